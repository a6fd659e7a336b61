// pldctl: reads and writes data points through libZvPldProxy, shows where a point stands in the
// report hierarchy, the engine's inventory and the active events, and watches the engine's
// notifications, and captures an engine's catalogue (Commands.h); controls a simulated engine
// and plays scenarios (Control.h).
// Without a subcommand it tours the simulated engine's catalogue. This file: options and the
// steps of a run.
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "Commands.h"
#include "Control.h"
#include "EngineText.h"
#include "Notifications.h"
#include "Output.h"
#include "TraceShow.h"
#include "ZvPldProxy.h"
#include "dlog.h"
#include "sim/SimEngine.h"

namespace {

// What the command line asked for: the options' values and the subcommands, one parsed at most.
struct Options {
    std::string engine = "sim";
    std::string cataloguePath;
    pldctl::Address address;
    std::string newValue;
    double seconds = 0;
    std::vector<std::string> kinds{"value", "event", "count"};
    unsigned timeoutMs = 2000;
    CLI::App* get = nullptr;
    CLI::App* set = nullptr;
    CLI::App* attrs = nullptr;
    CLI::App* states = nullptr;
    CLI::App* hierarchy = nullptr;
    CLI::App* report = nullptr;
    CLI::App* watch = nullptr;
    CLI::App* info = nullptr;
    CLI::App* events = nullptr;
    CLI::App* capture = nullptr;
    pldctl::CaptureOptions captureOptions;
    CLI::Option* capturePoints = nullptr;
};

void addEngineOptions(CLI::App& app, Options& o) {
    app.add_option("--engine", o.engine,
                   std::string("message client's first text: sim (built-in catalogue), "
                               "sim:FILE, or unix:PATH (the engine daemon's socket); unix: "
                               "alone names the daemon's default: ") +
                       zvwire::kDefaultSocketWords)
        ->capture_default_str();
    app.add_option("--catalogue", o.cataloguePath,
                   "with unix:PATH, the catalogue file the daemon serves, for the tour, watch, "
                   "info and events to list (default: the built-in one)");
}

// get, set, attrs, enum, hierarchy and report: one point or report each.
void addPointCommands(CLI::App& app, Options& o) {
    pldctl::Address& a = o.address;
    auto addAddress = [&a](CLI::App* cmd) {
        cmd->add_option("device", a.device, "device index")->required();
        cmd->add_option("gddId", a.gddId, "GddId of the point")->required();
    };
    auto addModule = [&a](CLI::App* cmd) {
        cmd->add_option("mmIdx", a.mmIdx, "multi-module index, from 1")->capture_default_str();
        cmd->add_option("--uofm", a.uofm, "unit-of-measure selector")->capture_default_str();
    };
    o.get = app.add_subcommand("get", "label, value and unit of a point");
    addAddress(o.get);
    addModule(o.get);
    o.set = app.add_subcommand("set", "write a value as text, then read it back");
    addAddress(o.set);
    o.set->add_option("value", o.newValue, "new value")->required();
    o.set->add_option("--mm", a.mmIdx, "multi-module index, from 1")->capture_default_str();
    o.set->add_option("--uofm", a.uofm, "unit-of-measure selector")->capture_default_str();
    o.attrs = app.add_subcommand("attrs", "attributes of a point");
    addAddress(o.attrs);
    o.states = app.add_subcommand("enum", "states of an enumerated point");
    addAddress(o.states);
    o.hierarchy =
        app.add_subcommand("hierarchy", "a point's report and its ancestors, with their labels");
    addAddress(o.hierarchy);
    o.hierarchy->add_option("mmIdx", a.mmIdx, "multi-module index, from 1")->capture_default_str();
    o.report = app.add_subcommand("report", "the label of a report");
    o.report->add_option("device", a.device, "device index")->required();
    o.report->add_option("gddId", a.gddId, "GddId of the report")->required();
    o.report->add_option("mmIdx", a.mmIdx, "multi-module index, from 1")->capture_default_str();
}

// watch, info and events: what the catalogue lists.
void addCatalogueCommands(CLI::App& app, Options& o) {
    o.watch = app.add_subcommand("watch", "print notifications as they arrive");
    o.watch->add_option("--seconds", o.seconds, "stop after this long (default: until Ctrl-C)")
        ->check(CLI::NonNegativeNumber);
    o.watch->add_option("--kinds", o.kinds, "kinds to register for: value, event, count")
        ->delimiter(',')
        ->check(CLI::IsMember({"value", "event", "count"}))
        ->capture_default_str();
    o.info = app.add_subcommand(
        "info", "the engine's inventory; each device's product identity and FDM version");
    o.events = app.add_subcommand("events", "the active events, by group");
    o.events->add_option("--timeout", o.timeoutMs, "how long to wait for the answer, in ms")
        ->capture_default_str();
}

// "FIRST-LAST", two GddIds in order, into the capture's range.
bool gddIdRange(const std::string& text, pldctl::CaptureOptions* o) {
    unsigned first = 0, last = 0;
    int end = 0;
    if (std::sscanf(text.c_str(), "%5u-%5u%n", &first, &last, &end) != 2 ||
        static_cast<std::size_t>(end) != text.size() || first > last || last > 0xFFFF) {
        return false;
    }
    if (o != nullptr) {
        o->firstGddId = first;
        o->lastGddId = last;
    }
    return true;
}

void addCaptureCommand(CLI::App& app, Options& o) {
    o.capture = app.add_subcommand(
        "capture", "write the engine's catalogue, as its answers tell it, as a catalogue file");
    CLI::Option* out = o.capture->add_option("--out", o.captureOptions.out,
                                             "the catalogue file to write (default, or -: stdout)");
    pldctl::AddJsonFlag(o.capture, o.captureOptions.json)->needs(out);
    o.capturePoints = o.capture->add_option_function<std::string>(
        "--points", [&o](const std::string& range) { gddIdRange(range, &o.captureOptions); },
        "the GddIds probed on each device, FIRST-LAST (default: 0-65535 in process, "
        "0-2047 through a daemon or a device)");
    o.capturePoints->check(CLI::Validator(
        [](std::string& range) {
            return gddIdRange(range, nullptr)
                       ? std::string()
                       : "a range of GddIds is FIRST-LAST, 0 to 65535, not \"" + range + "\"";
        },
        "FIRST-LAST", "range"));
}

int failureStatus() {
    return pldctl::Failures() == 0 ? 0 : 1;
}

// The point subcommand given, if any; false when none was.
bool runPointCommand(ZvPldProxy& proxy, const Options& o) {
    const pldctl::Address& a = o.address;
    if (o.get->parsed()) {
        pldctl::ShowPoint(proxy, a);
    } else if (o.set->parsed()) {
        pldctl::SetPoint(proxy, a, o.newValue);
    } else if (o.attrs->parsed()) {
        pldctl::ShowAttributes(proxy, a);
    } else if (o.states->parsed()) {
        pldctl::ShowStates(proxy, a);
    } else if (o.hierarchy->parsed()) {
        pldctl::ShowHierarchy(proxy, a);
    } else if (o.report->parsed()) {
        pldctl::ShowReport(proxy, a);
    } else {
        return false;
    }
    return true;
}

// watch, info, events or the tour; the exit status.
int runCatalogueCommand(ZvPldProxy& proxy, const Options& o) {
    const bool inProcess = o.engine.rfind("sim", 0) == 0;
    if (inProcess && !o.cataloguePath.empty()) {
        std::fprintf(stderr,
                     "pldctl: --catalogue goes with --engine unix:PATH; the in-process engine "
                     "takes its catalogue as sim:FILE\n");
        return 2;
    }
    // What to list and how to decode a notification's data: the devices, points, types and
    // events of the catalogue the engine starts with. Labels, values and notifications come from
    // the engine.
    const zvsim::Catalogue catalogue =
        inProcess                 ? zvsim::SimEngine::FromClientText(o.engine.c_str())->Snapshot()
        : o.cataloguePath.empty() ? zvsim::Catalogue::BuiltIn()
                                  : zvsim::Catalogue::FromFile(o.cataloguePath);
    const pldctl::NotificationLines lines(proxy, catalogue);
    if (o.watch->parsed()) {
        pldctl::Watch(proxy, o.kinds, o.seconds);
    } else if (o.info->parsed()) {
        pldctl::ShowInfo(proxy, catalogue);
    } else if (o.events->parsed()) {
        pldctl::ShowEvents(proxy, catalogue, o.timeoutMs);
    } else {
        return pldctl::Tour(proxy, catalogue);
    }
    return failureStatus();
}

// The subcommands that go through a proxy: 0, 1 when a call failed, 2 when pldctl could not run,
// 3 when the engine cannot be reached.
int runWithProxy(const Options& o) {
    dlog_set_sink(pldctl::KeepLogLine, nullptr);
    try {
        if (o.capture->parsed() && o.captureOptions.json && o.captureOptions.out == "-") {
            std::fprintf(stderr,
                         "pldctl: capture: --json goes with --out FILE: the catalogue "
                         "would share stdout\n");
            return 2;
        }
        ZvPldProxy proxy(o.engine.c_str(), "pldctl");
        // Every call would fail alike, each with a line of its own.
        if (pldctl::InitFailed()) return pldctl::Unreachable();
        if (o.capture->parsed()) {
            // In process a probe costs half a microsecond; elsewhere each is a round trip of
            // 35 to 75, and all 65536 GddIds of three devices take 8 to 15 s.
            pldctl::CaptureOptions capture = o.captureOptions;
            if (o.capturePoints->count() == 0 && o.engine.rfind("sim", 0) != 0) {
                capture.lastGddId = 2047;
            }
            return pldctl::Capture(proxy, capture);
        }
        if (runPointCommand(proxy, o)) return failureStatus();
        return runCatalogueCommand(proxy, o);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "pldctl: %s\n", e.what());
        return 2;
    }
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"pldctl: data points through libZvPldProxy"};
    app.set_version_flag("--version", "pldctl " ZVPLD_VERSION);
    Options options;
    addEngineOptions(app, options);
    addPointCommands(app, options);
    addCatalogueCommands(app, options);
    addCaptureCommand(app, options);
    const pldctl::SimCommands sim(app);
    const pldctl::SimEvents simEvents(sim);
    const pldctl::ScenarioCommands scenario(app);
    const pldctl::TraceCommands trace(app);
    app.require_subcommand(0, 1);
    CLI11_PARSE(app, argc, argv);

    // A daemon's text that cannot be used is a mistake on the command line, not an engine out of
    // reach: said as such, before anything is tried.
    zvwire::DaemonText daemon;
    std::string mistake;
    if (!trace.parsed() && zvwire::NamesDaemon(options.engine.c_str()) &&
        !zvwire::ReadDaemonText(options.engine, daemon, mistake)) {
        std::fprintf(stderr, "pldctl: --engine %s: %s\n", options.engine.c_str(), mistake.c_str());
        return 2;
    }
    if (simEvents.parsed()) return simEvents.run(options.engine);
    if (sim.parsed()) return sim.run(options.engine);
    if (scenario.parsed()) return scenario.run(options.engine);
    if (trace.parsed()) return trace.run();
    return runWithProxy(options);
}
