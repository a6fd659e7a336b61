// pldctl: reads and writes data points through libZvPldProxy. Without a subcommand it tours the
// simulated engine's catalogue.
#include <cstdio>
#include <exception>
#include <list>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "ZvPldProxy.h"
#include "ZvPldTypes.h"
#include "dlog.h"
#include "sim/SimEngine.h"

namespace {

// A result code in words.
std::string describe(int rc) {
    if (rc == 0) return "0 (ok)";
    if (rc == 2) return "2 (failed, see the log line)";
    if (rc >= 0x1000 && rc <= 0x1004) {
        const int status = rc - 0x1000 + 1;
        return std::to_string(rc) + " (engine status " + std::to_string(status) + ": " +
               zvsim::StatusText(status) + ")";
    }
    return std::to_string(rc) + " (unexpected result)";
}

// Log lines are shown under the output line that caused them.
std::vector<std::string> g_logLines;

void keepLogLine(int level, const char* tag, const char* text, void*) {
    g_logLines.push_back(std::string(tag) + "/" + std::to_string(level) + ": " + text);
}

void printLine(const std::string& line) {
    std::printf("%s\n", line.c_str());
    for (const std::string& log : g_logLines) std::printf("        log %s\n", log.c_str());
    g_logLines.clear();
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

int showStates(ZvPldProxy& proxy, const Address& a) {
    std::list<int> values;
    std::list<std::string> names;
    ZvEnumStateType type{};
    const int rc = proxy.GetVelEnumStateInfo(&values, &names, &type, a.gddId, a.device);
    if (rc != 0) {
        printLine("      states: " + describe(rc));
        return rc;
    }
    std::string line;
    auto name = names.begin();
    for (int v : values) {
        line += (line.empty() ? "" : ", ") + std::to_string(v) + " " +
                (name != names.end() ? *name++ : std::string("?"));
    }
    printLine("      states (type " + std::to_string(type.type) + "): " + line);
    return 0;
}

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
    printLine("\nWrite: SetValueString(\"65.5\") to device 1, GddId 101, module 1");
    const int rc =
        proxy.SetValueString("65.5", setpoint.device, setpoint.gddId, 1, 0, 0, 0, nullptr, 0);
    printLine("  result " + describe(rc) + "; read back: " + valueText(proxy, setpoint));
    printLine("Write: SetValueUInt32(1) to device 1, GddId 103 (read-only)");
    const int ro = proxy.SetValueUInt32(1, 1, 103, 1, 0, 0, 0, 0);
    printLine("  result " + describe(ro));
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"pldctl: data points through libZvPldProxy"};
    std::string engine = "sim";
    app.add_option("--engine", engine,
                   "message client's first text: sim (built-in catalogue) or sim:FILE")
        ->capture_default_str();
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
    app.require_subcommand(0, 1);
    CLI11_PARSE(app, argc, argv);

    dlog_set_sink(keepLogLine, nullptr);
    try {
        ZvPldProxy proxy(engine.c_str(), "pldctl");
        if (get->parsed()) {
            std::string label;
            const int rc = proxy.GetLabelString(label, a.device, a.gddId, a.mmIdx, 0, nullptr);
            printLine(shown(rc, label) + ": " + valueText(proxy, a));
            return rc == 0 ? 0 : 1;
        }
        if (set->parsed()) {
            const int rc = proxy.SetValueString(newValue.c_str(), a.device, a.gddId, a.mmIdx, 0,
                                                a.uofm, 0, nullptr, 0);
            printLine("set: " + describe(rc));
            printLine("read back: " + valueText(proxy, a));
            return rc == 0 ? 0 : 1;
        }
        if (attrs->parsed()) {
            showAttributes(proxy, a);
            return 0;
        }
        if (states->parsed()) return showStates(proxy, a) == 0 ? 0 : 1;
        if (engine.rfind("sim", 0) != 0) {
            std::fprintf(stderr, "pldctl: the tour needs the simulated engine (--engine sim)\n");
            return 2;
        }
        return tour(proxy, zvsim::SimEngine::FromClientText(engine.c_str())->Snapshot());
    } catch (const std::exception& e) {
        std::fprintf(stderr, "pldctl: %s\n", e.what());
        return 2;
    }
}
