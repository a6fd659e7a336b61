#include "Scenario.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <set>
#include <stdexcept>
#include <thread>

#include <nlohmann/json.hpp>

#include "BoundedFile.h"
#include "Command.h"
#include "SimEngine.h"

namespace zvsim {
namespace {

using nlohmann::json;
using Clock = std::chrono::steady_clock;

// Bounds of what one file may ask for: enough for any afternoon of a plant, small enough that a
// file cannot make its reader hold much or play forever in one pass.
constexpr std::size_t kMaxFileBytes = 1 << 20;
constexpr std::size_t kMaxSteps = 1000;
constexpr std::int64_t kMaxPassMs = 24LL * 60 * 60 * 1000;
constexpr std::uint64_t kMaxRepeat = 1000000;
// A pass repeated until stopped must last a while, or it would send resets back to back.
constexpr std::int64_t kMinEndlessPassMs = 100;

[[noreturn]] void bad(const std::string& what) {
    throw std::runtime_error("scenario: " + what);
}

// A value of the file as a refusal shows it: the start of it, not a whole text of someone's.
std::string brief(const json& value) {
    return zvfiles::Shown(value.dump());
}

// A time in ms, within one pass.
std::int64_t timeOf(const json& value, const std::string& where) {
    if (!value.is_number_unsigned() || value.get<std::uint64_t>() > kMaxPassMs) {
        bad(where + " must be a whole number of ms from 0 to " + std::to_string(kMaxPassMs) +
            ", not " + brief(value));
    }
    return value.get<std::int64_t>();
}

std::uint64_t unsignedOf(const json& value, const std::string& where, std::uint64_t max) {
    if (!value.is_number_unsigned() || value.get<std::uint64_t>() > max) {
        bad(where + " must be a whole number from 0 to " + std::to_string(max) + ", not " +
            brief(value));
    }
    return value.get<std::uint64_t>();
}

ScenarioStep stepOf(const json& j, std::size_t index, std::int64_t previousMs) {
    const std::string where = "step " + std::to_string(index + 1);
    if (!j.is_object()) bad(where + " must be an object");
    const bool at = j.contains("at"), after = j.contains("after");
    if (at == after) bad(where + " must have exactly one of \"at\" and \"after\"");
    ScenarioStep step;
    step.place = index + 1;
    step.atMs = at ? timeOf(j.at("at"), where + "'s \"at\"")
                   : previousMs + timeOf(j.at("after"), where + "'s \"after\"");
    if (step.atMs > kMaxPassMs) {
        bad(where + " comes " + std::to_string(step.atMs) + " ms after the start, past " +
            std::to_string(kMaxPassMs));
    }
    json command = j;
    command.erase(at ? "at" : "after");
    if (j.contains("note")) {
        if (!j.at("note").is_string()) bad(where + "'s \"note\" must be a text");
        step.note = j.at("note").get<std::string>();
        command.erase("note");
    }
    if (!command.contains("do")) bad(where + " has no \"do\"");
    step.command = command.dump();
    const std::string fault = CheckCommand(step.command);
    if (!fault.empty()) bad(where + ": " + fault);
    // It would hold the player, and the check's scratch engine that no client calls, up to its
    // timeout: a step's time is its `at` or `after`.
    if (command.at("do") == "wait") bad(where + ": wait is no scenario step");
    return step;
}

bool refused(const std::string& answer) {
    const json j = json::parse(answer, nullptr, false);
    return !j.is_object() || j.value("ok", json()) != true;
}

// Sleeps until `due`, in short slices so that a stop is seen promptly; false when stopped.
bool waitUntil(Clock::time_point due, const std::atomic<bool>* stop) {
    constexpr auto kSlice = std::chrono::milliseconds(10);
    for (;;) {
        if (stop != nullptr && stop->load()) return false;
        const auto now = Clock::now();
        if (now >= due) return true;
        std::this_thread::sleep_for(std::min<Clock::duration>(due - now, kSlice));
    }
}

// The engine's clock as its status tells it: false when the answer has none.
bool engineNow(const std::function<std::string(const std::string&)>& send, std::int64_t& ms,
               bool& frozen, double& speed) {
    const json status = json::parse(send(R"({"do": "status"})"), nullptr, false);
    const json clock = status.is_object() ? status.value("clock", json()) : json();
    if (!clock.is_object() || !clock.value("ms", json()).is_number_integer()) return false;
    ms = clock["ms"].get<std::int64_t>();
    frozen = clock.value("frozen", false);
    speed = clock.value("speed", 1.0);
    return true;
}

enum class Came { Due, Stopped, Failed };

// Whether the engine refused an advance as a step that would leave too many changes to go out.
bool tooLargeAStep(const std::string& answer) {
    const json j = json::parse(answer, nullptr, false);
    const json error = j.is_object() ? j.value("error", json()) : json();
    return error.is_string() &&
           error.get<std::string>().find("take smaller steps") != std::string::npos;
}

// Until the engine's clock comes to `dueMs`: a running clock is waited on, in slices short
// enough to see a stop or a change of its speed; a frozen one is advanced there, in steps
// halved while the engine finds them too large (a busy plant) and grown back once taken.
// `nowMs`: the clock's time at the end.
Came engineUntil(const std::function<std::string(const std::string&)>& send, std::int64_t dueMs,
                 const std::atomic<bool>* stop, std::int64_t& nowMs) {
    constexpr std::int64_t kSliceMs = 100;
    std::int64_t stepMs = 0;  // the longest advance to try; 0: the whole way
    for (;;) {
        if (stop != nullptr && stop->load()) return Came::Stopped;
        bool frozen = false;
        double speed = 1;
        if (!engineNow(send, nowMs, frozen, speed)) return Came::Failed;
        if (nowMs >= dueMs) return Came::Due;
        if (frozen) {
            const std::int64_t ms = stepMs > 0 ? std::min(stepMs, dueMs - nowMs) : dueMs - nowMs;
            const std::string answer =
                send(json{{"do", "clock"}, {"action", "advance"}, {"ms", ms}}.dump());
            if (!refused(answer)) {
                stepMs = stepMs > 0 ? ms * 2 : 0;
            } else if (ms > 1 && tooLargeAStep(answer)) {
                stepMs = ms / 2;
            } else {
                return Came::Failed;
            }
            continue;
        }
        const double realMs = std::ceil(static_cast<double>(dueMs - nowMs) / speed);
        std::this_thread::sleep_for(std::chrono::milliseconds(
            static_cast<std::int64_t>(std::min<double>(realMs, kSliceMs))));
    }
}

}  // namespace

Scenario ParseScenario(const std::string& text) {
    if (text.size() > kMaxFileBytes) {
        bad("the file has " + std::to_string(text.size()) + " bytes, more than " +
            std::to_string(kMaxFileBytes));
    }
    const std::string tooDeep = zvfiles::NestingFault(text);
    if (!tooDeep.empty()) bad(tooDeep);
    json root;
    try {
        root = json::parse(text);
    } catch (const json::exception& e) {
        bad("not JSON: " + zvfiles::ParseFault(e.what()));
    }
    if (!root.is_object()) bad("the file must hold one JSON object");
    Scenario scenario;
    for (const auto& [key, value] : root.items()) {
        if (key == "name") {
            if (!value.is_string()) bad("\"name\" must be a text");
            scenario.name = value.get<std::string>();
        } else if (key == "seed") {
            scenario.seed = unsignedOf(value, "\"seed\"", INT64_MAX);  // as reset takes it
        } else if (key == "repeat") {
            scenario.repeat =
                static_cast<std::uint32_t>(unsignedOf(value, "\"repeat\"", kMaxRepeat));
        } else if (key != "steps") {
            bad("unknown field " + brief(key) + " (a scenario has name, seed, repeat and steps)");
        }
    }
    if (!root.contains("steps") || !root.at("steps").is_array()) bad("\"steps\" must be a list");
    const json& steps = root.at("steps");
    if (steps.empty() || steps.size() > kMaxSteps) {
        bad("\"steps\" must have 1 to " + std::to_string(kMaxSteps) + " steps, not " +
            std::to_string(steps.size()));
    }
    std::int64_t previousMs = 0;
    for (std::size_t i = 0; i < steps.size(); ++i) {
        scenario.steps.push_back(stepOf(steps[i], i, previousMs));
        previousMs = scenario.steps.back().atMs;
    }
    // Steps at the same time keep the file's order.
    std::stable_sort(scenario.steps.begin(), scenario.steps.end(),
                     [](const ScenarioStep& a, const ScenarioStep& b) { return a.atMs < b.atMs; });
    if (scenario.repeat == 0 && scenario.steps.back().atMs < kMinEndlessPassMs) {
        bad("a scenario repeated until stopped (\"repeat\": 0) must have its last step at " +
            std::to_string(kMinEndlessPassMs) + " ms or later");
    }
    return scenario;
}

Scenario ReadScenario(const std::string& path) {
    std::string text;
    const std::string fault = zvfiles::ReadFile(path, kMaxFileBytes, text);
    if (!fault.empty()) bad(fault);
    return ParseScenario(text);
}

namespace {

bool taken(const json& answer) {
    return answer.is_object() && answer.value("ok", false);
}

// A counted control (a fail's, a notify's) retires with calls and notifications that a scratch
// engine never sees: each one in force goes, its name kept in `retired`. False if none was.
bool retireCounted(SimEngine& scratch, std::set<std::string>& retired) {
    const json status = json::parse(scratch.Control(R"({"do":"status"})"), nullptr, false);
    if (!status.is_object() || !status.contains("controls")) return false;
    bool any = false;
    for (const json& control : status["controls"]) {
        if (!control.contains("left")) continue;
        const std::string name = control.value("name", "");
        scratch.Control(json{{"do", "clear"}, {"name", name}}.dump());
        retired.insert(name);
        any = true;
    }
    return any;
}

}  // namespace

std::string CheckScenario(const Scenario& scenario, Catalogue catalogue) {
    SimEngine scratch(std::move(catalogue));
    // Names of counted controls that may have retired by the time a later step comes.
    std::set<std::string> retired;
    scratch.Control(json{{"do", "reset"}, {"seed", scenario.seed}}.dump());
    for (const ScenarioStep& step : scenario.steps) {
        const json command = json::parse(step.command, nullptr, false);
        if (command.is_object() && command.size() == 1 && command.value("do", "") == "restart") {
            continue;
        }
        json answer = json::parse(scratch.Control(step.command), nullptr, false);
        if (!taken(answer) && retireCounted(scratch, retired)) {
            answer = json::parse(scratch.Control(step.command), nullptr, false);
        }
        if (!taken(answer) && command.value("do", "") == "clear" &&
            retired.count(command.value("name", "")) > 0) {
            continue;
        }
        if (!taken(answer)) {
            const json error = answer.is_object() ? answer.value("error", json()) : json();
            return "the engine refuses the step at " + std::to_string(step.atMs) + " ms" +
                   (step.note.empty() ? "" : " (" + step.note + ")") + ": " +
                   (error.is_string() ? error.get<std::string>() : answer.dump());
        }
    }
    return "";
}

bool PlayScenario(const Scenario& scenario, const PlayOptions& options) {
    auto send = [&options](const std::string& command) {
        try {
            return options.send(command);
        } catch (const std::exception& e) {
            return json{{"ok", false}, {"error", e.what()}}.dump();
        }
    };
    auto stopped = [&options] {
        return options.stop != nullptr && options.stop->load();
    };
    bool allTaken = true;
    for (std::uint64_t pass = 0; scenario.repeat == 0 || pass < scenario.repeat; ++pass) {
        if (stopped()) break;
        // A resumed first pass goes on where the engine was left: its start has been played.
        const std::int64_t from = pass == 0 ? options.resumeAtMs : 0;
        const auto start = Clock::now() - std::chrono::milliseconds(from);
        // On the engine's clock: its time at the pass's start, and at the last step.
        std::int64_t engineStart = 0, engineAt = 0;
        auto elapsedMs = [&] {
            return options.engineClock
                       ? engineAt - engineStart
                       : std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start)
                             .count();
        };
        if (options.place != nullptr) *options.place = {pass + 1, 0};
        if (from == 0) {
            const ScenarioStep reset{
                0, json{{"do", "reset"}, {"seed", scenario.seed}}.dump(),
                "pass " + std::to_string(pass + 1) +
                    (scenario.repeat == 0 ? "" : " of " + std::to_string(scenario.repeat))};
            const std::string answer = send(reset.command);
            allTaken = !refused(answer) && allTaken;
            if (options.onStep) options.onStep(reset, elapsedMs(), answer);
        }
        if (options.engineClock) {
            bool frozen = false;
            double speed = 1;
            allTaken = engineNow(send, engineAt, frozen, speed) && allTaken;
            engineStart = engineAt - from;
        }
        for (const ScenarioStep& step : scenario.steps) {
            if (step.atMs < from) continue;
            // The clock's own commands on the way to the step are none of the file's steps.
            if (options.place != nullptr) options.place->step = 0;
            if (options.engineClock) {
                const Came came =
                    engineUntil(send, engineStart + step.atMs, options.stop, engineAt);
                if (came == Came::Stopped) break;
                allTaken = came == Came::Due && allTaken;
            } else if (!waitUntil(start + std::chrono::milliseconds(step.atMs), options.stop)) {
                break;
            }
            if (options.place != nullptr) {
                options.place->step = step.place;
            }
            const std::string answer = send(step.command);
            allTaken = !refused(answer) && allTaken;
            if (options.onStep) options.onStep(step, elapsedMs(), answer);
        }
        // On a frozen clock a pass takes none of the host's time: one repeated until stopped
        // still lasts the least an endless pass may, rather than reset back to back.
        if (options.engineClock && scenario.repeat == 0) {
            waitUntil(start + std::chrono::milliseconds(kMinEndlessPassMs), options.stop);
        }
    }
    return allTaken;
}

}  // namespace zvsim
