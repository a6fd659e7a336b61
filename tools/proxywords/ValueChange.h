// A value change's data as both tools show it, read by the point's kind in the catalogue: the
// engine sends numbers and states as two 16-bit units, high half first, and texts one unit a
// character.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "ZvPldProxy.h"
#include "sim/SimEngine.h"

namespace proxywords {

// The point `gddId` of device `deviceIdx` in `catalogue`; null when it lists none.
const zvsim::Point* PointOf(const zvsim::Catalogue& catalogue, std::uint16_t deviceIdx,
                            std::uint32_t gddId);

struct DecodedChange {
    std::string text;  // a text point's characters (any outside printable ASCII as '?'), or
                       // the value as the engine renders it
    bool isText = false;
};

// The change's data decoded for `point`; none when there is no point, units without their data,
// or a number that does not come as two units.
std::optional<DecodedChange> Decode(const zvsim::Point* point, const ZvValChgInfo& info);

}  // namespace proxywords
