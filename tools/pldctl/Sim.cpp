// `pldctl sim VERB ...`: one control command of the simulated engine, built from the command line.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <exception>

#include "Control.h"
#include "Output.h"
#include "sim/Controller.h"
#include "sim/SimEngine.h"

namespace pldctl {
namespace {

using nlohmann::json;

// "10s", "500ms", "2m", "1.5s" or a bare number of ms, turned into ms.
const CLI::Validator kDuration(
    [](std::string& text) -> std::string {
        static const struct {
            const char* unit;
            double ms;
        } units[] = {{"", 1}, {"ms", 1}, {"s", 1000}, {"m", 60000}};
        char* end = nullptr;
        const double n = std::strtod(text.c_str(), &end);
        if (end == text.c_str() || !std::isfinite(n) || n < 0) {
            return "a duration is a number and a unit (ms, s or m), not \"" + text + "\"";
        }
        for (const auto& u : units) {
            if (std::string(end) == u.unit && n * u.ms <= 1e12) {
                text = std::to_string(std::llround(n * u.ms));
                return "";
            }
        }
        return "a duration is a number and a unit (ms, s or m), not \"" + text + "\"";
    },
    "DURATION", "duration");

bool isNumber(const std::string& text) {
    char* end = nullptr;
    const double n = std::strtod(text.c_str(), &end);
    return end != text.c_str() && *end == '\0' && std::isfinite(n);
}

// A number as JSON: whole numbers as integers, so that a field taking integers takes them.
json numberOf(const std::string& text) {
    const double n = std::strtod(text.c_str(), nullptr);
    if (std::floor(n) == n && std::fabs(n) < 9e15) return static_cast<std::int64_t>(n);
    return n;
}

void printStatus(const json& answer) {
    std::printf("seed %s\n", answer.value("seed", json()).dump().c_str());
    std::string offline;
    for (const json& d : answer.value("offline", json::array())) {
        offline += (offline.empty() ? "" : ", ") + d.dump();
    }
    std::printf("offline devices: %s\n", offline.empty() ? "none" : offline.c_str());
    std::printf("held answers: %s\n", answer.value("held", json(0)).dump().c_str());
    const json clock = answer.value("clock", json::object());
    std::printf("clock: %s at %s ms, speed %g\n",
                clock.value("frozen", false) ? "frozen" : "running",
                clock.value("ms", json()).dump().c_str(), clock.value("speed", 1.0));
    const json controls = answer.value("controls", json::array());
    std::printf("controls: %s\n",
                controls.empty() ? "none" : std::to_string(controls.size()).c_str());
    for (const json& c : controls) {
        json rest = c;
        const std::string name = rest.value("name", "");
        rest.erase("name");
        std::printf("  %-20s %s\n", name.c_str(), CommandLine(rest).c_str());
    }
}

}  // namespace

CLI::Option* AddJsonFlag(CLI::App* app, bool& json) {
    return app->add_flag("--json", json,
                         "answer in JSON, one object a line on stdout; messages go to stderr");
}

void PrintJson(const json& object) {
    std::printf("%s\n", object.dump(-1, ' ', false, json::error_handler_t::replace).c_str());
    std::fflush(stdout);
}

std::string CommandLine(const json& command) {
    std::string line = command.value("do", "?");
    for (const auto& [key, value] : command.items()) {
        if (key == "do") continue;
        line += " " + key + "=" + (value.is_string() ? value.get<std::string>() : value.dump());
    }
    return line;
}

bool Unreachable(const std::string& error) {
    return error.rfind("engine not reachable: ", 0) == 0;
}

int WithController(const std::string& engine, const std::function<int(const Send&)>& use) {
    return WithEngineController(engine, [&use](zvsim::Controller& controller) {
        return use([&controller](const std::string& command) { return controller.Send(command); });
    });
}

int WithEngineController(const std::string& engine,
                         const std::function<int(zvsim::Controller&)>& use) {
    std::shared_ptr<zvsim::SimEngine> local;
    try {
        if (engine.rfind("unix:", 0) != 0) local = zvsim::SimEngine::FromClientText(engine.c_str());
    } catch (const std::exception& e) {
        std::fprintf(stderr, "pldctl: %s\n", e.what());
        return 2;
    }
    std::string error;
    const std::unique_ptr<zvsim::Controller> controller =
        zvsim::Controller::Open(engine, error, "pldctl");
    if (!controller) {
        std::fprintf(stderr, "pldctl: engine not reachable: %s\n", error.c_str());
        return 1;
    }
    return use(*controller);
}

SimCommands::Verb& SimCommands::verb(const char* name, const char* doVerb, const char* help) {
    m_verbs.push_back(Verb{m_sim->add_subcommand(name, help), json{{"do", doVerb}}, nullptr});
    AddJsonFlag(m_verbs.back().app, *m_json);
    return m_verbs.back();
}

SimCommands::SimCommands(CLI::App& app) {
    m_sim = app.add_subcommand(
        "sim",
        "control the simulated engine: faults, the plant, notifications (with --engine unix:PATH; "
        "the in-process engine dies with pldctl)");
    m_sim->require_subcommand(1);
    AddJsonFlag(m_sim, *m_json);
    // An option (or a positional, without dashes) that sets one field of the command.
    auto whole = [](Verb& v, const std::string& option, const char* field, const char* help) {
        return v.app->add_option_function<std::int64_t>(
            option, [&v, field](const std::int64_t& n) { v.command[field] = n; }, help);
    };
    auto text = [](Verb& v, const std::string& option, const char* field, const char* help) {
        return v.app->add_option_function<std::string>(
            option, [&v, field](const std::string& s) { v.command[field] = s; }, help);
    };
    auto number = [](Verb& v, const std::string& option, const char* field, const char* help) {
        return v.app
            ->add_option_function<std::string>(
                option, [&v, field](const std::string& s) { v.command[field] = numberOf(s); }, help)
            ->check(CLI::Number);
    };
    auto duration = [&whole](Verb& v, const std::string& option, const char* field,
                             const char* help) {
        return whole(v, option, field, help)->transform(kDuration);
    };
    const char* const nameHelp = "the control's name (default: derived from its target)";
    const char* const moduleHelp = "the engine's module index, from 0 (default 0)";

    Verb& offline = verb("offline", "offline", "a device's values answer 1007 (offline)");
    whole(offline, "device", "device", "device index")->required();
    Verb& online = verb("online", "online", "the device answers again");
    whole(online, "device", "device", "device index")->required();

    Verb& fail = verb("fail", "fail", "a point's reads and/or writes answer a status");
    whole(fail, "device", "device", "device index")->required();
    whole(fail, "point", "point", "GddId of the point")->required();
    whole(fail, "--status", "status", "the status answered, 1 to 65535")->required();
    whole(fail, "--count", "count", "answer it this many times (default: until cleared)");
    text(fail, "--name", "name", nameHelp);
    auto reads = std::make_shared<bool>(false), writes = std::make_shared<bool>(false);
    fail.app->add_flag("--reads", *reads, "only reads fail");
    fail.app->add_flag("--writes", *writes, "only writes fail");
    fail.finish = [reads, writes](json& c) {
        c["on"] = *reads == *writes ? "both" : *reads ? "reads" : "writes";
    };

    Verb& delay = verb("delay", "delay", "answers come later: a fixed time or uniform in a range");
    CLI::Option* ms = duration(delay, "--ms", "ms", "the delay");
    CLI::Option* min = duration(delay, "--min-ms", "min_ms", "the shortest delay of a range");
    CLI::Option* max = duration(delay, "--max-ms", "max_ms", "the longest delay of a range");
    ms->excludes(min)->excludes(max);
    min->needs(max);
    max->needs(min);
    whole(delay, "--device", "device", "only this device's answers (default: every call)");
    text(delay, "--name", "name", nameHelp);

    Verb& stall = verb("stall", "stall", "answers are held until `sim release`");
    whole(stall, "--device", "device", "only this device's answers (default: every call)");
    text(stall, "--name", "name", nameHelp);
    verb("release", "release", "every held answer goes out; every stall ends");

    Verb& plant =
        verb("plant", "plant", "the plant moves a point: ramp, sine, noise, step, triangle");
    whole(plant, "device", "device", "device index")->required();
    whole(plant, "point", "point", "GddId of the point")->required();
    text(plant, "signal", "signal", "ramp, sine, noise, step or triangle")
        ->required()
        ->check(CLI::IsMember({"ramp", "sine", "noise", "step", "triangle"}));
    number(plant, "min", "min", "lowest value, in display units")->required();
    number(plant, "max", "max", "highest value, in display units")->required();
    duration(plant, "--period", "period_ms", "the signal's period")->required();
    duration(plant, "--update", "update_ms", "time between values (default 500ms)");
    whole(plant, "--module", "module", moduleHelp);
    whole(plant, "--steps", "steps", "levels of a step signal, 2 or more");
    text(plant, "--name", "name", nameHelp);

    Verb& set = verb("set", "set", "the plant sets a value once, with its value change");
    whole(set, "device", "device", "device index")->required();
    whole(set, "point", "point", "GddId of the point")->required();
    set.app
        ->add_option_function<std::string>(
            "value", [&set](const std::string& s) { set.command["value"] = s; },
            "a number in display units, or a state name or text")
        ->required();
    whole(set, "--module", "module", moduleHelp);
    auto asText = std::make_shared<bool>(false);
    set.app->add_flag("--text", *asText, "send the value as text even when it reads as a number");
    set.finish = [asText](json& c) {
        const std::string v = c["value"].get<std::string>();
        if (!*asText && isNumber(v)) c["value"] = numberOf(v);
    };

    Verb& burst = verb("burst", "burst", "value changes of a point's value, back to back");
    whole(burst, "device", "device", "device index")->required();
    whole(burst, "point", "point", "GddId of the point")->required();
    whole(burst, "--count", "count", "how many, 1 to 10000")->required();
    whole(burst, "--module", "module", moduleHelp);
    verb("pld-count", "pld_count", "a PLD-count change");

    Verb& notify =
        verb("notify", "notify", "the next notifications are dropped or delivered twice");
    text(notify, "action", "action", "drop or repeat")
        ->required()
        ->check(CLI::IsMember({"drop", "repeat"}));
    text(notify, "--kind", "kind", "value, event or pld (default: any)")
        ->check(CLI::IsMember({"value", "event", "pld"}));
    whole(notify, "--count", "count", "how many (default 1)");
    text(notify, "--name", "name", nameHelp);

    Verb& event = verb("event", "event", "an event's state");
    whole(event, "id", "id", "event id")->required();
    whole(event, "state", "state", "its state, 0 inactive")->required();

    Verb& parent = verb("report-parent", "report_parent", "a report's parent (0: none)");
    whole(parent, "device", "device", "device index")->required();
    whole(parent, "report", "report", "GddId of the report")->required();
    whole(parent, "parent", "parent", "GddId of its new parent, 0 for none")->required();
    whole(parent, "--module", "module", "the parent's module, from 0 (default 0)");

    Verb& clear = verb("clear", "clear", "removes one standing control by name");
    text(clear, "name", "name", "its name, as `sim status` lists it")->required();
    verb("restart", "restart", "the daemon saves its state and restarts on the same socket");
    Verb& reset = verb("reset", "reset", "removes every control, releases held answers, reseeds");
    whole(reset, "--seed", "seed", "the new seed (default: the one in force)");
    // The full reset and the engine's clock.
    auto flag = [](Verb& v, const std::string& option, const char* field, const char* help) {
        return v.app->add_flag_function(
            option, [&v, field](std::int64_t) { v.command[field] = true; }, help);
    };
    flag(reset, "--catalogue", "catalogue",
         "also back to the catalogue as loaded: points, values, events, PLD count (seed: the "
         "engine's first)");
    flag(reset, "--keep-values", "keep_values", "with --catalogue: the points keep their values");
    Verb& clock = verb("clock", "clock", "the engine's own time: freeze, run or advance it");
    text(clock, "action", "action", "freeze, run or advance")
        ->required()
        ->check(CLI::IsMember({"freeze", "run", "advance"}));
    duration(clock, "--by", "ms", "advance: how far (a duration: 500ms, 10s, 2m)");
    number(clock, "--speed", "speed", "run: its speed, 0.001 to 1000 (default 1)");
    verb("status", "status", "the seed, offline devices, held answers and the controls in force");

    // The call journal: the same filters for journal and wait.
    auto filters = [&](Verb& v) {
        v.app->add_option_function<std::string>(
            "--op", [&v](const std::string& s) { v.command["op"] = s; },
            "only calls of this engine operation (GetVelPntStr, SetVelPntInt32, Process, ...)");
        whole(v, "--device", "device", "only calls about this device");
        whole(v, "--point", "point", "only calls about this GddId");
        v.app->add_option_function<std::string>(
            "--client",
            [&v](const std::string& s) {
                v.command["client"] = isNumber(s) ? numberOf(s) : json(s);
            },
            "only calls of in-process, or of this daemon connection number");
        whole(v, "--since", "since", "only calls after this sequence number");
    };
    Verb& journal = verb("journal", "journal", "the engine calls made, oldest first");
    filters(journal);
    whole(journal, "--limit", "limit", "list at most this many, 0 to 1000 (default 100)");
    verb("journal-clear", "journal_clear", "empties the call journal");
    Verb& wait = verb("wait", "wait", "waits until calls matching the filters have been made");
    filters(wait);
    whole(wait, "--count", "count", "how many calls, 1 to 1000000 (default 1)");
    duration(wait, "--timeout", "timeout_ms", "how long to wait at most (up to 10m)")->required();
}

int SimCommands::run(const std::string& engine) const {
    const Verb* chosen = nullptr;
    for (const Verb& v : m_verbs) {
        if (v.app->parsed()) chosen = &v;
    }
    json command = chosen->command;
    if (chosen->finish) chosen->finish(command);
    const std::string to = command["do"] == "wait" ? WaitDeadline(engine, command) : engine;
    return WithController(to, [&](const Send& send) {
        const json answer = json::parse(send(command.dump()), nullptr, false);
        if (!answer.is_object() || answer.value("ok", json()) != true) {
            const std::string error = answer.is_object() ? answer.value("error", "no error given")
                                                         : "the answer is not JSON";
            std::fprintf(stderr, "pldctl: sim %s: %s\n", chosen->app->get_name().c_str(),
                         error.c_str());
            if (*m_json)
                PrintJson(answer.is_object() ? answer : json{{"ok", false}, {"error", error}});
            return Unreachable(error) ? kUnreachable : 1;
        }
        if (*m_json) {
            PrintJson(answer);
        } else if (command["do"] == "status") {
            printStatus(answer);
        } else if (command["do"] == "journal") {
            PrintJournal(answer);
        } else {
            std::printf("%s\n", answer.value("done", "done").c_str());
        }
        return 0;
    });
}

}  // namespace pldctl
