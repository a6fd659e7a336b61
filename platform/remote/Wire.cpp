#include "Wire.h"

namespace zvwire {

void AppendFrame(const nlohmann::json&, std::vector<std::uint8_t>&) {}

void FrameDecoder::Feed(const std::uint8_t*, std::size_t) {}

FrameDecoder::Result FrameDecoder::Next(nlohmann::json&) {
    return Result::NeedMore;
}

}  // namespace zvwire
