// `pldctl scenario run|check FILE`: a scenario file read, and played against the engine with each
// step printed as it is answered and told to the engine's event feed.
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <functional>
#include <memory>
#include <stdexcept>

#include "Control.h"
#include "Output.h"
#include "sim/Controller.h"
#include "sim/Feed.h"
#include "sim/Scenario.h"
#include "sim/SimEngine.h"

namespace pldctl {
namespace {

using nlohmann::json;

// Set by SIGINT and SIGTERM: the play ends before its next step.
std::atomic<bool> g_stop{false};

extern "C" void stopPlaying(int) {
    g_stop.store(true);
}

// A fault on stderr, and with --json as the answer's object on stdout.
void fault(bool asJson, const std::string& where, const std::string& error) {
    std::fprintf(stderr, "pldctl: %s: %s\n", where.c_str(), error.c_str());
    if (asJson) PrintJson(json{{"ok", false}, {"error", where + ": " + error}});
}

// The scenario in the file; null, with the fault told, when it cannot be read or is bad.
std::unique_ptr<zvsim::Scenario> readScenario(const std::string& path, bool asJson) {
    try {
        return std::make_unique<zvsim::Scenario>(zvsim::ReadScenario(path));
    } catch (const std::exception& e) {
        fault(asJson, path, e.what());
        return nullptr;
    }
}

std::string passes(std::uint32_t repeat) {
    return repeat == 0 ? "until stopped" : repeat == 1 ? "once" : std::to_string(repeat) + " times";
}

}  // namespace

// 0 when the engine of the catalogue asked for takes every step, or none was asked for; else 1
// with the refusal, or 2 when the catalogue cannot be read.
int ScenarioCommands::checkSteps(const zvsim::Scenario& scenario) const {
    json verdict{{"ok", true},
                 {"name", scenario.name},
                 {"steps", scenario.steps.size()},
                 {"last_ms", scenario.steps.back().atMs},
                 {"seed", scenario.seed},
                 {"repeat", scenario.repeat},
                 {"catalogue", m_catalogue.empty() ? json() : json(m_catalogue)}};
    std::string error;
    if (!m_catalogue.empty()) {
        try {
            error = zvsim::CheckScenario(scenario, m_catalogue == "built-in"
                                                       ? zvsim::Catalogue::BuiltIn()
                                                       : zvsim::Catalogue::FromFile(m_catalogue));
        } catch (const std::exception& e) {
            fault(m_json, m_catalogue, e.what());
            return 2;
        }
    }
    if (error.empty()) {
        if (m_json) {
            PrintJson(verdict);
        } else if (!m_catalogue.empty()) {
            std::printf("Every step is taken by the engine of %s\n", m_catalogue.c_str());
        }
        return 0;
    }
    std::fprintf(stderr, "pldctl: %s: %s\n", m_file.c_str(), error.c_str());
    verdict["ok"] = false;
    verdict["error"] = m_file + ": " + error;
    if (m_json) PrintJson(verdict);
    return 1;
}

ScenarioCommands::ScenarioCommands(CLI::App& app) {
    m_scenario = app.add_subcommand(
        "scenario", "read or play a scenario file (with --engine unix:PATH, against the daemon)");
    m_scenario->require_subcommand(1);
    m_run = m_scenario->add_subcommand("run", "play it, printing each step as it is answered");
    m_run->add_option("file", m_file, "the scenario file")->required();
    m_run->add_flag("--loop", m_loop, "play it until Ctrl-C, whatever its repeat says");
    m_run
        ->add_option("--speed", m_speed,
                     "the engine clock's speed for the run, 0.001 to 1000 (put back after it)")
        ->check(CLI::Range(0.001, 1000.0));
    CLI::App* check = m_scenario->add_subcommand("check", "read it and say what it holds");
    check->add_option("file", m_file, "the scenario file")->required();
    for (CLI::App* app : {m_scenario, m_run, check}) AddJsonFlag(app, m_json);
    check->add_option(
        "--catalogue", m_catalogue,
        "check each step against this catalogue file (\"built-in\": the built-in one)");
}

int ScenarioCommands::run(const std::string& engine) const {
    std::unique_ptr<zvsim::Scenario> scenario = readScenario(m_file, m_json);
    if (!scenario) return 2;
    const std::int64_t lastMs = scenario->steps.back().atMs;
    if (m_loop) scenario->repeat = 0;
    std::fprintf(m_json ? stderr : stdout,
                 "Scenario \"%s\": %zu steps over %.3f s, seed %llu, played %s\n",
                 scenario->name.c_str(), scenario->steps.size(), lastMs / 1000.0,
                 static_cast<unsigned long long>(scenario->seed), passes(scenario->repeat).c_str());
    std::fflush(m_json ? stderr : stdout);
    return m_run->parsed() ? play(*scenario, engine) : checkSteps(*scenario);
}

int ScenarioCommands::play(const zvsim::Scenario& scenario, const std::string& engine) const {
    OnStopSignals(stopPlaying);
    return WithEngineController(engine, [&](zvsim::Controller& controller) {
        unsigned sent = 0, refused = 0;
        // The steps go by the engine's clock: at its speed, and a frozen clock is advanced to
        // each step's time.
        auto send = [&controller](const std::string& command) {
            return controller.Send(command);
        };
        zvsim::PlayOptions options;
        zvsim::PlayOptions::Place place;
        options.place = &place;
        // Each step's command tells the engine which step it plays, for its event feed.
        options.send = [&](const std::string& command) {
            if (place.step == 0) return send(command);
            // Sorted by time, the steps are not in the file's order.
            const zvsim::ScenarioStep& step =
                *std::find_if(scenario.steps.begin(), scenario.steps.end(),
                              [&](const zvsim::ScenarioStep& s) { return s.place == place.step; });
            return controller.Play(
                command, {scenario.name, place.pass, place.step, step.atMs, step.note, ""});
        };
        options.stop = &g_stop;
        options.engineClock = true;
        const json before = json::parse(send(R"({"do": "status"})"), nullptr, false);
        if (before.is_object() && Unreachable(before.value("error", ""))) {
            std::fprintf(stderr, "pldctl: %s\n", before.value("error", "").c_str());
            if (m_json) PrintJson(before);
            return kUnreachable;
        }
        const json clock = before.is_object() ? before.value("clock", json()) : json();
        if (m_speed > 0) {
            const json answer = json::parse(
                send(json{{"do", "clock"}, {"action", "run"}, {"speed", m_speed}}.dump()), nullptr,
                false);
            if (!answer.is_object() || answer.value("ok", json()) != true) {
                std::fprintf(stderr, "pldctl: --speed: %s\n",
                             answer.is_object() ? answer.value("error", "refused").c_str()
                                                : "the answer is not JSON");
                return 1;
            }
        }
        options.onStep = [&](const zvsim::ScenarioStep& step, std::int64_t elapsedMs,
                             const std::string& text) {
            ++sent;
            const json answer = json::parse(text, nullptr, false);
            const bool ok = answer.is_object() && answer.value("ok", json()) == true;
            refused += ok ? 0 : 1;
            if (m_json) {
                // The step's place in the file; a pass's reset is none of them: null.
                PrintJson({{"at_ms", elapsedMs},
                           {"step", step.place > 0 ? json(step.place) : json()},
                           {"note", step.note},
                           {"command", json::parse(step.command)},
                           {"answer", answer.is_discarded() ? json(text) : answer}});
                return;
            }
            const std::string result = ok ? answer.value("done", "done")
                                       : answer.is_object()
                                           ? "refused: " + answer.value("error", "no error given")
                                           : "refused: the answer is not JSON";
            std::string line = CommandLine(json::parse(step.command));
            if (!step.note.empty()) line += " (" + step.note + ")";
            std::printf("%+8.3fs  %s: %s\n", elapsedMs / 1000.0, line.c_str(), result.c_str());
            std::fflush(stdout);
        };
        zvsim::PlayScenario(scenario, options);
        if (m_speed > 0 && clock.is_object()) {
            send(
                clock.value("frozen", false)
                    ? json{{"do", "clock"}, {"action", "freeze"}}.dump()
                    : json{{"do", "clock"}, {"action", "run"}, {"speed", clock.value("speed", 1.0)}}
                          .dump());
        }
        if (m_json) {
            PrintJson({{"end", g_stop ? "stopped" : "done"}, {"sent", sent}, {"refused", refused}});
        } else {
            std::printf("%s: %u commands sent, %u refused\n", g_stop ? "Stopped" : "Done", sent,
                        refused);
        }
        return refused == 0 ? 0 : 1;
    });
}

}  // namespace pldctl
