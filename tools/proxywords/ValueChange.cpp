#include "ValueChange.h"

namespace proxywords {

const zvsim::Point* PointOf(const zvsim::Catalogue& catalogue, std::uint16_t deviceIdx,
                            std::uint32_t gddId) {
    const auto dev = catalogue.devices.find(deviceIdx);
    if (dev == catalogue.devices.end()) return nullptr;
    const auto pnt = dev->second.points.find(gddId);
    return pnt == dev->second.points.end() ? nullptr : &pnt->second;
}

std::optional<DecodedChange> Decode(const zvsim::Point* point, const ZvValChgInfo& info) {
    if (point == nullptr || (info.pData == nullptr && info.length > 0)) return std::nullopt;
    if (point->kind == zvsim::Kind::Text) {
        DecodedChange change{{}, true};
        for (std::uint16_t i = 0; i < info.length; ++i) {
            const std::uint16_t c = info.pData[i];
            change.text += c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '?';
        }
        return change;
    }
    if (info.length != 2) return std::nullopt;
    const std::uint32_t raw = (std::uint32_t{info.pData[0]} << 16) | info.pData[1];
    const std::int64_t value = point->kind == zvsim::Kind::Int
                                   ? std::int64_t{static_cast<std::int32_t>(raw)}
                                   : std::int64_t{raw};
    return DecodedChange{zvsim::RenderValue(*point, value), false};
}

}  // namespace proxywords
