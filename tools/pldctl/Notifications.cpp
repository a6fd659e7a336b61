// Notifications as lines: the data of a value change decoded, the labels asked of the engine.
#include "Notifications.h"

#include <cstdint>
#include <cstdio>

#include "Output.h"

namespace pldctl {
namespace {

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
        return rc != 0 ? text + " " + Shown(rc, unit) : unit.empty() ? text : text + " " + unit;
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
