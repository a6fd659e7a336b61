// Notifications as lines: the data of a value change decoded, the labels asked of the engine.
#include "Notifications.h"

#include <cstdint>
#include <cstdio>

#include "Output.h"
#include "ValueChange.h"

namespace pldctl {
namespace {

const zvsim::Catalogue* g_catalogue = nullptr;
ZvPldProxy* g_proxy = nullptr;

// The data of a value change, read by its point's kind; data of an unknown point is shown as it
// came.
std::string decoded(const ZvValChgInfo& info) {
    const auto change =
        proxywords::Decode(proxywords::PointOf(*g_catalogue, info.deviceIdx, info.valueId), info);
    if (change && change->isText) return "\"" + change->text + "\"";
    if (change) {
        std::string unit;
        const int rc = g_proxy->GetUomLabelString(
            unit, info.deviceIdx, static_cast<unsigned short>(info.valueId),
            static_cast<unsigned short>(info.mmIdx + 1), 0, 0);
        return rc != 0        ? change->text + " " + Shown(rc, unit)
               : unit.empty() ? change->text
                              : change->text + " " + unit;
    }
    std::string units;
    for (std::uint16_t i = 0; i < info.length && i < 8; ++i) {
        char unit[8];
        std::snprintf(unit, sizeof unit, " %04x", static_cast<unsigned>(info.pData[i]));
        units += unit;
    }
    return std::to_string(info.length) + " units:" + units + (info.length > 8 ? " ..." : "");
}

}  // namespace

NotificationLines::NotificationLines(ZvPldProxy& proxy, const zvsim::Catalogue& catalogue) {
    g_catalogue = &catalogue;
    g_proxy = &proxy;
}

NotificationLines::~NotificationLines() {
    g_catalogue = nullptr;
    g_proxy = nullptr;
}

// A GddId above 65535 has no label to ask for; a point without one is shown without it.
std::string ValueChangeLine(const ZvValChgInfo& info) {
    std::string label;
    if (info.valueId <= 0xFFFF) {
        const int rc = g_proxy->GetLabelString(
            label, info.deviceIdx, static_cast<unsigned short>(info.valueId),
            static_cast<unsigned short>(info.mmIdx + 1), 0, nullptr);
        label = Shown(rc, label);
    }
    return "device " + std::to_string(info.deviceIdx) + ", GddId " + std::to_string(info.valueId) +
           (label.empty() ? "" : " (" + label + ")") + ", module " +
           std::to_string(info.mmIdx + 1) + ": " + decoded(info);
}

std::string EventLine(const ZvVEventInfo& info) {
    const auto event = g_catalogue->events.find(info.eventId);
    return "event " + std::to_string(info.eventId) +
           (event != g_catalogue->events.end() ? " (" + event->second.label + ")" : "") +
           ", group " + std::to_string(info.groupId) + ", device " +
           std::to_string(info.deviceIdx) + ": state " + std::to_string(info.eventState) +
           (info.eventState == 0 ? " (inactive)" : " (active)");
}

}  // namespace pldctl
