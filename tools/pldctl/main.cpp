// pldctl: reads and writes data points through libZvPldProxy, shows where a point stands in the
// report hierarchy, the engine's inventory and the active events, and watches the engine's
// notifications; controls a simulated engine and plays scenarios (Control.h). Without a
// subcommand it tours the simulated engine's catalogue.
#include <signal.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <list>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <CLI/CLI.hpp>

#include "Control.h"
#include "ZvPldProxy.h"
#include "ZvPldTypes.h"
#include "dlog.h"
#include "sim/SimEngine.h"

namespace {

// Failures of the calls made for the user; pldctl exits 1 when there was any. Every result code
// shown passes through describe(), which counts it; a failure shown without one (a false, an
// answer that did not come) is counted where it is found.
std::atomic<unsigned> g_failures{0};

void countFailure() {
    ++g_failures;
}

// A result code in words.
std::string describe(int rc) {
    if (rc == 0) return "0 (ok)";
    countFailure();
    if (rc == 2) return "2 (failed, see the log line)";
    if (rc >= 0x1000 && rc <= 0x1004) {
        const int status = rc - 0x1000 + 1;
        return std::to_string(rc) + " (engine status " + std::to_string(status) + ": " +
               zvsim::StatusText(status) + ")";
    }
    return std::to_string(rc) + " (unexpected result)";
}

// Log lines are shown under the output line that caused them. Notifications are printed on
// another thread, and the engine's thread may log, hence the lock.
std::mutex g_outputMutex;
std::vector<std::string> g_logLines;

void keepLogLine(int level, const char* tag, const char* text, void*) {
    std::lock_guard<std::mutex> lock(g_outputMutex);
    g_logLines.push_back(std::string(tag) + "/" + std::to_string(level) + ": " + text);
}

void printLine(const std::string& line) {
    std::lock_guard<std::mutex> lock(g_outputMutex);
    std::printf("%s\n", line.c_str());
    for (const std::string& log : g_logLines) std::printf("        log %s\n", log.c_str());
    g_logLines.clear();
    std::fflush(stdout);
}

struct Address {
    unsigned short device = 1;
    unsigned short gddId = 0;
    unsigned short mmIdx = 1;  // counted from 1
    unsigned long uofm = 0;
};

// "text" or "<result in words>"
std::string shown(int rc, const std::string& text) {
    return rc == 0 ? text : "<" + describe(rc) + ">";
}

// The value and its unit.
std::string valueText(ZvPldProxy& proxy, const Address& a) {
    std::string value, unit;
    const int rc = proxy.GetValueString(value, a.device, a.gddId, a.mmIdx, 0, a.uofm, 0, nullptr);
    const int urc = proxy.GetUomLabelString(unit, a.device, a.gddId, a.mmIdx, 0, a.uofm);
    if (rc != 0) return shown(rc, value);
    return urc == 0 ? (unit.empty() ? value : value + " " + unit) : value + " " + shown(urc, unit);
}

void showAttributes(ZvPldProxy& proxy, const Address& a) {
    struct Row {
        const char* name;
        int (ZvPldProxy::*get)(unsigned long*, unsigned short, unsigned short);
    };
    static const Row rows[] = {
        {"access rights", &ZvPldProxy::GetVelPointAccessRights},
        {"data type", &ZvPldProxy::GetVelPointDataType},
        {"unit id", &ZvPldProxy::GetVelPointUoMID},
        {"norm factor", &ZvPldProxy::GetVelPointNormFactor},
        {"modules", &ZvPldProxy::GetMaxModuleCnt},
        {"array dim", &ZvPldProxy::GetMaxArrayDim},
    };
    std::string line;
    for (const Row& row : rows) {
        unsigned long v = 0;
        const int rc = (proxy.*row.get)(&v, a.device, a.gddId);
        line +=
            std::string(line.empty() ? "" : ", ") + row.name + " " + shown(rc, std::to_string(v));
    }
    printLine("      " + line);
}

void showStates(ZvPldProxy& proxy, const Address& a) {
    std::list<int> values;
    std::list<std::string> names;
    ZvEnumStateType type{};
    const int rc = proxy.GetVelEnumStateInfo(&values, &names, &type, a.gddId, a.device);
    if (rc != 0) {
        printLine("      states: " + describe(rc));
        return;
    }
    std::string line;
    auto name = names.begin();
    for (int v : values) {
        line += (line.empty() ? "" : ", ") + std::to_string(v) + " " +
                (name != names.end() ? *name++ : std::string("?"));
    }
    printLine("      states (type " + std::to_string(type.type) + "): " + line);
}

std::string reportLabel(ZvPldProxy& proxy, unsigned short device, unsigned long gddId,
                        unsigned short mmIdx) {
    if (gddId > 0xFFFF) return "<GddId above 65535: the label cannot be asked for>";
    std::string label;
    const int rc = proxy.GetReportLabel(label, device, static_cast<unsigned short>(gddId), mmIdx);
    return rc == 0 ? "\"" + label + "\"" : shown(rc, label);
}

void showReport(ZvPldProxy& proxy, const Address& a) {
    std::string label;
    const int rc = proxy.GetReportLabel(label, a.device, a.gddId, a.mmIdx);
    printLine("report " + std::to_string(a.gddId) + ", module " + std::to_string(a.mmIdx) + ": " +
              (rc == 0 ? "\"" + label + "\"" : shown(rc, label)));
}

// The point's report and its ancestors, one line a level: GddId, module (from 1), the engine's
// auxValue and the report's label.
void showHierarchy(ZvPldProxy& proxy, const Address& a) {
    const std::string point = "device " + std::to_string(a.device) + ", GddId " +
                              std::to_string(a.gddId) + ", module " + std::to_string(a.mmIdx);
    unsigned long report = 0;
    if (proxy.GetPointReportNum(&report, a.device, a.gddId) != 0) {
        countFailure();
        printLine(point + ": no report holds this point");
        return;
    }
    std::list<unsigned long> auxValues, gddIds;
    std::list<unsigned short> modules;
    const int rc = proxy.GetHierarchyLists(auxValues, gddIds, modules, a.device, a.gddId, a.mmIdx);
    if (rc != 0) {
        if (rc == 0x1002) countFailure();
        printLine(point + ": report " + std::to_string(report) + ", no hierarchy: " +
                  (rc == 0x1002 ? "4098 (the engine keeps no ancestor record for the report)"
                                : describe(rc)));
        return;
    }
    printLine(point + ": report hierarchy, from the point's own report up");
    auto aux = auxValues.begin();
    auto module = modules.begin();
    unsigned level = 0;
    for (const unsigned long gddId : gddIds) {
        char head[80];
        std::snprintf(head, sizeof head, "  level %u  report %-5lu module %-3u auxValue %-10lu ",
                      level++, gddId, static_cast<unsigned>(*module), *aux);
        printLine(head + reportLabel(proxy, a.device, gddId, *module));
        ++aux;
        ++module;
    }
}

// Notifications, shown with their point's label and unit as the engine gives them, and their data
// decoded by the point's type in the catalogue. The callbacks that draining calls get no context,
// hence the process-wide pointers.
const zvsim::Catalogue* g_catalogue = nullptr;
ZvPldProxy* g_proxy = nullptr;

const zvsim::Point* pointOf(std::uint16_t deviceIdx, std::uint32_t gddId) {
    const auto dev = g_catalogue->devices.find(deviceIdx);
    if (dev == g_catalogue->devices.end()) return nullptr;
    const auto pnt = dev->second.points.find(gddId);
    return pnt == dev->second.points.end() ? nullptr : &pnt->second;
}

// The data of a value change: numbers and states as two 16-bit units, high half first; texts
// one unit a character. Data of an unknown point is shown as it came.
std::string decoded(const ZvValChgInfo& info) {
    const zvsim::Point* point = pointOf(info.deviceIdx, info.valueId);
    if (point != nullptr && point->kind == zvsim::Kind::Text) {
        std::string text;
        for (std::uint16_t i = 0; i < info.length; ++i) {
            const std::uint16_t c = info.pData[i];
            text += c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '?';
        }
        return "\"" + text + "\"";
    }
    if (point != nullptr && info.length == 2) {
        const std::uint32_t raw = (std::uint32_t{info.pData[0]} << 16) | info.pData[1];
        const std::int64_t value = point->kind == zvsim::Kind::Int
                                       ? std::int64_t{static_cast<std::int32_t>(raw)}
                                       : std::int64_t{raw};
        const std::string text = zvsim::RenderValue(*point, value);
        std::string unit;
        const int rc = g_proxy->GetUomLabelString(
            unit, info.deviceIdx, static_cast<unsigned short>(info.valueId),
            static_cast<unsigned short>(info.mmIdx + 1), 0, 0);
        return rc != 0 ? text + " " + shown(rc, unit) : unit.empty() ? text : text + " " + unit;
    }
    std::string units;
    for (std::uint16_t i = 0; i < info.length && i < 8; ++i) {
        char unit[8];
        std::snprintf(unit, sizeof unit, " %04x", static_cast<unsigned>(info.pData[i]));
        units += unit;
    }
    return std::to_string(info.length) + " units:" + units + (info.length > 8 ? " ..." : "");
}

// A GddId above 65535 has no label to ask for; a point without one is shown without it.
std::string valueChangeLine(const ZvValChgInfo& info) {
    std::string label;
    if (info.valueId <= 0xFFFF) {
        const int rc = g_proxy->GetLabelString(
            label, info.deviceIdx, static_cast<unsigned short>(info.valueId),
            static_cast<unsigned short>(info.mmIdx + 1), 0, nullptr);
        label = shown(rc, label);
    }
    return "device " + std::to_string(info.deviceIdx) + ", GddId " + std::to_string(info.valueId) +
           (label.empty() ? "" : " (" + label + ")") + ", module " +
           std::to_string(info.mmIdx + 1) + ": " + decoded(info);
}

std::string eventLine(const ZvVEventInfo& info) {
    const auto event = g_catalogue->events.find(info.eventId);
    return "event " + std::to_string(info.eventId) +
           (event != g_catalogue->events.end() ? " (" + event->second.label + ")" : "") +
           ", group " + std::to_string(info.groupId) + ", device " +
           std::to_string(info.deviceIdx) + ": state " + std::to_string(info.eventState) +
           (info.eventState == 0 ? " (inactive)" : " (active)");
}

// What `pldctl watch` counts and when it started.
struct Watch {
    std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
    std::atomic<unsigned long> values{0}, events{0}, counts{0};
    std::atomic<unsigned long> direct{0};  // PLD counts handed straight to the callback
};
// Static: the PLD-count callback's context must outlive the registration, which ends only when
// the proxy stops.
Watch g_watchState;
Watch* g_watch = nullptr;

// Set by SIGINT and SIGTERM; nothing else happens in the handler.
std::atomic<bool> g_interrupted{false};
static_assert(std::atomic<bool>::is_always_lock_free, "the signal handler stores a lock-free flag");

extern "C" void onSignal(int) {
    g_interrupted.store(true);
}

void printAt(const char* kind, unsigned long seq, const std::string& text) {
    const double t =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - g_watch->start).count();
    char head[48];
    if (seq != 0) {
        std::snprintf(head, sizeof head, "%8.3fs  %-6s #%-5lu ", t, kind, seq);
    } else {
        std::snprintf(head, sizeof head, "%8.3fs  %-6s        ", t, kind);
    }
    printLine(head + text);
}

void watchedValue(void*, const ZvValChgInfo* info) {
    ++g_watch->values;
    printAt("value", info->sequence, valueChangeLine(*info));
}

void watchedEvent(void*, const ZvVEventInfo* info) {
    ++g_watch->events;
    printAt("event", info->sequence, eventLine(*info));
}

// On the engine's thread, as the count arrives; CheckPldCount hands it over once more.
void pldCountArrived(void* context, unsigned long) {
    ++static_cast<Watch*>(context)->direct;
}

void watch(ZvPldProxy& proxy, const std::vector<std::string>& kinds, double seconds) {
    auto wants = [&kinds](const char* kind) {
        for (const std::string& k : kinds) {
            if (k == kind) return true;
        }
        return false;
    };
    Watch& w = g_watchState;
    w.start = std::chrono::steady_clock::now();
    g_watch = &w;
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);

    const bool counts = wants("count"), events = wants("event"), values = wants("value");
    if (counts) proxy.RegisterForPldCountChange(pldCountArrived, &w, 0);
    if (events) proxy.RegisterForEventChange(watchedEvent, nullptr, 0);
    if (values) proxy.RegisterForValueChange(watchedValue, nullptr, 0);
    char start[64] = "Watching until interrupted (Ctrl-C)";
    if (seconds > 0)
        std::snprintf(start, sizeof start, "Watching for %g s (Ctrl-C stops)", seconds);
    printLine(start);

    // The client's own thread drains the queues: every PLD count, then one event and one value
    // change a turn; it rests a little when nothing came.
    std::atomic<bool> done{false};
    std::thread drainer([&] {
        while (!done.load()) {
            const unsigned long before = w.values + w.events;
            bool any = false;
            unsigned long count = 0;
            while (counts && proxy.CheckPldCount(&count)) {
                any = true;
                ++w.counts;
                printAt("count", 0, "PLD count " + std::to_string(count));
            }
            if (events) proxy.CheckEvent();
            if (values) proxy.CheckValueChange();
            if (!any && w.values + w.events == before) {
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
        }
    });
    const auto end = w.start + std::chrono::duration<double>(seconds);
    while (!g_interrupted.load() && (seconds <= 0 || std::chrono::steady_clock::now() < end)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    done.store(true);
    drainer.join();
    printLine(std::string(g_interrupted.load() ? "Interrupted" : "Done") + ": value changes " +
              std::to_string(w.values.load()) + ", events " + std::to_string(w.events.load()) +
              ", PLD counts " + std::to_string(w.counts.load()) + " (" +
              std::to_string(w.direct.load()) +
              " of them also straight to the PLD-count callback)");
}

// The inventory, then each catalogued device's product identity and FDM version.
void showInfo(ZvPldProxy& proxy) {
    ZvVelInventory inv{};
    if (!proxy.GetPldInventory(&inv)) {
        countFailure();
        printLine("inventory: not available");
        return;
    }
    char line[160];
    std::snprintf(line, sizeof line,
                  "Engine \"%.*s\" %u.%u: %u of at most %u devices, PLD count %u, up %u s",
                  static_cast<int>(sizeof inv.serverName), inv.serverName,
                  static_cast<unsigned>(inv.serverVersion >> 16),
                  static_cast<unsigned>(inv.serverVersion & 0xFFFF),
                  static_cast<unsigned>(inv.nmbrDevices), static_cast<unsigned>(inv.maxDevices),
                  static_cast<unsigned>(inv.pldCount), static_cast<unsigned>(inv.upTimeSec));
    printLine(line);
    for (const auto& [index, device] : g_catalogue->devices) {
        ZvProductIdentSeq* seq = nullptr;
        std::string identity;
        if (proxy.GetProdSeqId(&seq, index)) {
            for (unsigned i = 0; i < seq->nmbrIds; ++i) {
                char id[8];
                std::snprintf(id, sizeof id, " 0x%04x", static_cast<unsigned>(seq->ids[i]));
                identity += id;
            }
            identity = "ids" + identity + ", revision " + std::to_string(seq->revision);
            std::free(seq);
        } else {
            // The proxy does not tell a device without a block from a block it refused: either
            // way no identity was read.
            countFailure();
            identity = "no valid product identity";
            if (device.identity) {
                const std::size_t n = device.identity->ids.size();
                identity += " (the engine's block was refused: " + std::to_string(n) +
                            (n == 1 ? " id" : " ids") + ", revision " +
                            std::to_string(device.identity->revision) + ")";
            } else {
                identity += " (the engine has none)";
            }
        }
        const std::string fdm = proxy.GetFdmVersion(index);
        printLine("Device " + std::to_string(index) + " (" + device.name +
                  "): product identity: " + identity + "; FDM version \"" + fdm + "\" (" +
                  std::to_string(fdm.size()) + " characters)");
    }
}

// The active-events answer: the callback may run on the engine's thread, or within
// GetActiveEvents under the proxy's client lock, so it only hands the list over.
struct EventsAnswer {
    std::mutex mutex;
    std::condition_variable arrived;
    bool done = false;
    std::list<ZvPldProxy::ActiveEvent*> list;  // valid until the proxy stops
};
EventsAnswer g_answer;

void answered(std::list<ZvPldProxy::ActiveEvent*>*) {
    std::lock_guard<std::mutex> lock(g_answer.mutex);
    g_answer.done = true;
    g_answer.arrived.notify_all();
}

void showEvents(ZvPldProxy& proxy, unsigned timeoutMs) {
    const int rc = proxy.GetActiveEvents(&g_answer.list, answered, 0);
    if (rc != 0) {
        printLine("active events: " + describe(rc));
        return;
    }
    std::unique_lock<std::mutex> lock(g_answer.mutex);
    if (!g_answer.arrived.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                   [] { return g_answer.done; })) {
        lock.unlock();
        countFailure();
        std::fprintf(stderr, "pldctl: no answer to the active-events request within %u ms\n",
                     timeoutMs);
        // No answer comes after the stop; one that came meanwhile is ours to delete.
        proxy.stop_y4IpcToClientProc();
        lock.lock();
        if (g_answer.done) {
            for (ZvPldProxy::ActiveEvent* e : g_answer.list) delete e;
        }
        return;
    }
    std::list<ZvPldProxy::ActiveEvent*> events;
    events.swap(g_answer.list);
    g_answer.done = false;
    lock.unlock();
    printLine("Active events: " + std::to_string(events.size()));
    bool first = true;
    std::uint32_t group = 0;
    for (ZvPldProxy::ActiveEvent* e : events) {
        if (first || e->groupId != group) printLine("  group " + std::to_string(e->groupId));
        first = false;
        group = e->groupId;
        const auto event = g_catalogue->events.find(e->eventId);
        printLine("    event " + std::to_string(e->eventId) +
                  (event != g_catalogue->events.end() ? " (" + event->second.label + ")" : "") +
                  ": state " + std::to_string(e->eventState));
        delete e;  // the records are the client's
    }
}

// The tour's write: its value change, drained on this thread.
std::atomic<bool> g_writeSeen{false};

void tourValue(void*, const ZvValChgInfo* info) {
    if (info->deviceIdx != 1 || info->valueId != 101) return;  // a live point moved meanwhile
    g_writeSeen.store(true);
    printLine("  value change #" + std::to_string(info->sequence) + ": " + valueChangeLine(*info));
}

// The tour shows failures on purpose (a read-only point, an offline device, non-ASCII texts):
// it gives 1 only when the engine misbehaved, its write's value change or the active-events
// answer not arriving.
int tour(ZvPldProxy& proxy, const zvsim::Catalogue& catalogue) {
    for (const auto& [index, device] : catalogue.devices) {
        printLine("Device " + std::to_string(index) + ": " + device.name +
                  (device.offline ? " (offline)" : ""));
        for (const auto& [gddId, point] : device.points) {
            Address a{index, static_cast<unsigned short>(gddId), 1, 0};
            std::string label, description;
            const int lrc = proxy.GetLabelString(label, a.device, a.gddId, 1, 0, nullptr);
            char head[40];
            std::snprintf(head, sizeof head, "  %-5u %-24s", static_cast<unsigned>(gddId),
                          shown(lrc, label).c_str());
            std::string line = head;
            for (std::size_t m = 1; m <= point.modules(); ++m) {
                a.mmIdx = static_cast<unsigned short>(m);
                line += (m > 1 ? " | " : " ") + valueText(proxy, a);
            }
            printLine(line);
            const int drc = proxy.GetFullDescriptionString(description, a.device, a.gddId, 1, 0);
            printLine("      " + shown(drc, description));
            showAttributes(proxy, a);
            if (point.kind == zvsim::Kind::Enum) showStates(proxy, a);
        }
    }

    const Address setpoint{1, 101, 1, 0};
    proxy.RegisterForValueChange(tourValue, nullptr, 0);
    printLine("\nWrite: SetValueString(\"65.5\") to device 1, GddId 101, module 1");
    const int rc =
        proxy.SetValueString("65.5", setpoint.device, setpoint.gddId, 1, 0, 0, 0, nullptr, 0);
    printLine("  result " + describe(rc) + "; read back: " + valueText(proxy, setpoint));
    // The engine delivers on its own thread; the change waits in the proxy's queue until this
    // thread drains it.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (rc == 0 && !g_writeSeen.load() && std::chrono::steady_clock::now() < deadline) {
        proxy.CheckValueChange();
        if (!g_writeSeen.load()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    const bool changeLost = rc == 0 && !g_writeSeen.load();
    if (changeLost) printLine("  no value change arrived within 2 s");
    printLine("Write: SetValueUInt32(1) to device 1, GddId 103 (read-only)");
    const int ro = proxy.SetValueUInt32(1, 1, 103, 1, 0, 0, 0, 0);
    printLine("  result " + describe(ro));

    printLine("\nReport hierarchy of device 1, GddId 100");
    showHierarchy(proxy, Address{1, 100, 1, 0});

    printLine("\nInventory, product identities and FDM versions");
    showInfo(proxy);
    printLine("\nActive events");
    const unsigned failures = g_failures;
    showEvents(proxy, 2000);
    return changeLost || g_failures != failures ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"pldctl: data points through libZvPldProxy"};
    app.set_version_flag("--version", "pldctl " ZVPLD_VERSION);
    std::string engine = "sim";
    app.add_option("--engine", engine,
                   "message client's first text: sim (built-in catalogue), sim:FILE, or unix:PATH "
                   "(the engine daemon's socket)")
        ->capture_default_str();
    std::string cataloguePath;
    app.add_option("--catalogue", cataloguePath,
                   "with unix:PATH, the catalogue file the daemon serves, for the tour, watch, "
                   "info and events to list (default: the built-in one)");
    Address a;
    auto addAddress = [&a](CLI::App* cmd) {
        cmd->add_option("device", a.device, "device index")->required();
        cmd->add_option("gddId", a.gddId, "GddId of the point")->required();
    };
    auto addModule = [&a](CLI::App* cmd) {
        cmd->add_option("mmIdx", a.mmIdx, "multi-module index, from 1")->capture_default_str();
        cmd->add_option("--uofm", a.uofm, "unit-of-measure selector")->capture_default_str();
    };
    CLI::App* get = app.add_subcommand("get", "label, value and unit of a point");
    addAddress(get);
    addModule(get);
    std::string newValue;
    CLI::App* set = app.add_subcommand("set", "write a value as text, then read it back");
    addAddress(set);
    set->add_option("value", newValue, "new value")->required();
    set->add_option("--mm", a.mmIdx, "multi-module index, from 1")->capture_default_str();
    set->add_option("--uofm", a.uofm, "unit-of-measure selector")->capture_default_str();
    CLI::App* attrs = app.add_subcommand("attrs", "attributes of a point");
    addAddress(attrs);
    CLI::App* states = app.add_subcommand("enum", "states of an enumerated point");
    addAddress(states);
    CLI::App* hierarchy =
        app.add_subcommand("hierarchy", "a point's report and its ancestors, with their labels");
    addAddress(hierarchy);
    hierarchy->add_option("mmIdx", a.mmIdx, "multi-module index, from 1")->capture_default_str();
    CLI::App* report = app.add_subcommand("report", "the label of a report");
    report->add_option("device", a.device, "device index")->required();
    report->add_option("gddId", a.gddId, "GddId of the report")->required();
    report->add_option("mmIdx", a.mmIdx, "multi-module index, from 1")->capture_default_str();
    CLI::App* watching = app.add_subcommand("watch", "print notifications as they arrive");
    double seconds = 0;
    watching->add_option("--seconds", seconds, "stop after this long (default: until Ctrl-C)")
        ->check(CLI::NonNegativeNumber);
    std::vector<std::string> kinds{"value", "event", "count"};
    watching->add_option("--kinds", kinds, "kinds to register for: value, event, count")
        ->delimiter(',')
        ->check(CLI::IsMember({"value", "event", "count"}))
        ->capture_default_str();
    CLI::App* info = app.add_subcommand(
        "info", "the engine's inventory; each device's product identity and FDM version");
    CLI::App* events = app.add_subcommand("events", "the active events, by group");
    unsigned timeoutMs = 2000;
    events->add_option("--timeout", timeoutMs, "how long to wait for the answer, in ms")
        ->capture_default_str();
    const pldctl::SimCommands sim(app);
    const pldctl::ScenarioCommands scenario(app);
    app.require_subcommand(0, 1);
    CLI11_PARSE(app, argc, argv);
    if (sim.parsed()) return sim.run(engine);
    if (scenario.parsed()) return scenario.run(engine);

    dlog_set_sink(keepLogLine, nullptr);
    try {
        ZvPldProxy proxy(engine.c_str(), "pldctl");
        int toured = -1;  // the tour's own status, once it has run
        if (get->parsed()) {
            std::string label;
            const int rc = proxy.GetLabelString(label, a.device, a.gddId, a.mmIdx, 0, nullptr);
            printLine(shown(rc, label) + ": " + valueText(proxy, a));
        } else if (set->parsed()) {
            const int rc = proxy.SetValueString(newValue.c_str(), a.device, a.gddId, a.mmIdx, 0,
                                                a.uofm, 0, nullptr, 0);
            printLine("set: " + describe(rc));
            printLine("read back: " + valueText(proxy, a));
        } else if (attrs->parsed()) {
            showAttributes(proxy, a);
        } else if (states->parsed()) {
            showStates(proxy, a);
        } else if (hierarchy->parsed()) {
            showHierarchy(proxy, a);
        } else if (report->parsed()) {
            showReport(proxy, a);
        } else {
            const bool inProcess = engine.rfind("sim", 0) == 0;
            if (inProcess && !cataloguePath.empty()) {
                std::fprintf(stderr,
                             "pldctl: --catalogue goes with --engine unix:PATH; the in-process "
                             "engine takes its catalogue as sim:FILE\n");
                return 2;
            }
            // What to list and how to decode a notification's data: the devices, points, types
            // and events of the catalogue the engine starts with. Labels, values and
            // notifications come from the engine.
            const zvsim::Catalogue catalogue =
                inProcess ? zvsim::SimEngine::FromClientText(engine.c_str())->Snapshot()
                : cataloguePath.empty() ? zvsim::Catalogue::BuiltIn()
                                        : zvsim::Catalogue::FromFile(cataloguePath);
            g_catalogue = &catalogue;
            g_proxy = &proxy;
            if (watching->parsed()) {
                watch(proxy, kinds, seconds);
            } else if (info->parsed()) {
                showInfo(proxy);
            } else if (events->parsed()) {
                showEvents(proxy, timeoutMs);
            } else {
                toured = tour(proxy, catalogue);
            }
            g_catalogue = nullptr;  // the catalogue goes before the proxy stops
            g_proxy = nullptr;
        }
        if (toured >= 0) return toured;
        return g_failures == 0 ? 0 : 1;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "pldctl: %s\n", e.what());
        return 2;
    }
}
