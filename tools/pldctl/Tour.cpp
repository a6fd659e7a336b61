// pldctl without a subcommand: a tour of the engine's catalogue, each point's label, values,
// description, attributes and states; a write and its value change, a refused write; a report
// hierarchy, the inventory and the active events.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

#include "Commands.h"
#include "Notifications.h"
#include "Output.h"

namespace pldctl {
namespace {

// The tour's write: its value change, drained on this thread.
std::atomic<bool> g_writeSeen{false};

void tourValue(void*, const ZvValChgInfo* info) {
    if (info->deviceIdx != 1 || info->valueId != 101) return;  // a live point moved meanwhile
    g_writeSeen.store(true);
    PrintLine("  value change #" + std::to_string(info->sequence) + ": " + ValueChangeLine(*info));
}

}  // namespace

// The tour shows failures on purpose (a read-only point, an offline device, non-ASCII texts):
// it gives 1 only when the engine misbehaved, its write's value change or the active-events
// answer not arriving.
int Tour(ZvPldProxy& proxy, const zvsim::Catalogue& catalogue) {
    for (const auto& [index, device] : catalogue.devices) {
        PrintLine("Device " + std::to_string(index) + ": " + device.name +
                  (device.offline ? " (offline)" : ""));
        for (const auto& [gddId, point] : device.points) {
            Address a{index, static_cast<unsigned short>(gddId), 1, 0};
            std::string label, description;
            const int lrc = proxy.GetLabelString(label, a.device, a.gddId, 1, 0, nullptr);
            char head[40];
            std::snprintf(head, sizeof head, "  %-5u %-24s", static_cast<unsigned>(gddId),
                          Shown(lrc, label).c_str());
            std::string line = head;
            for (std::size_t m = 1; m <= point.modules(); ++m) {
                a.mmIdx = static_cast<unsigned short>(m);
                line += (m > 1 ? " | " : " ") + ValueText(proxy, a);
            }
            PrintLine(line);
            const int drc = proxy.GetFullDescriptionString(description, a.device, a.gddId, 1, 0);
            PrintLine("      " + Shown(drc, description));
            ShowAttributes(proxy, a);
            if (point.kind == zvsim::Kind::Enum) ShowStates(proxy, a);
        }
    }

    const Address setpoint{1, 101, 1, 0};
    proxy.RegisterForValueChange(tourValue, nullptr, 0);
    PrintLine("\nWrite: SetValueString(\"65.5\") to device 1, GddId 101, module 1");
    const int rc =
        proxy.SetValueString("65.5", setpoint.device, setpoint.gddId, 1, 0, 0, 0, nullptr, 0);
    PrintLine("  result " + Describe(rc) + "; read back: " + ValueText(proxy, setpoint));
    // The engine delivers on its own thread; the change waits in the proxy's queue until this
    // thread drains it.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (rc == 0 && !g_writeSeen.load() && std::chrono::steady_clock::now() < deadline) {
        proxy.CheckValueChange();
        if (!g_writeSeen.load()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    const bool changeLost = rc == 0 && !g_writeSeen.load();
    if (changeLost) PrintLine("  no value change arrived within 2 s");
    PrintLine("Write: SetValueUInt32(1) to device 1, GddId 103 (read-only)");
    const int ro = proxy.SetValueUInt32(1, 1, 103, 1, 0, 0, 0, 0);
    PrintLine("  result " + Describe(ro));

    PrintLine("\nReport hierarchy of device 1, GddId 100");
    ShowHierarchy(proxy, Address{1, 100, 1, 0});

    PrintLine("\nInventory, product identities and FDM versions");
    ShowInfo(proxy, catalogue);
    PrintLine("\nActive events");
    const unsigned failures = Failures();
    ShowEvents(proxy, catalogue, 2000);
    return changeLost || Failures() != failures ? 1 : 0;
}

}  // namespace pldctl
