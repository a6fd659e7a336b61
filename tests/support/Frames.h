// Frames for tests, most written byte by byte: what the encoder would never make.
#ifndef ZVPLD_TESTS_FRAMES_H
#define ZVPLD_TESTS_FRAMES_H

#include <cstdint>
#include <string>
#include <vector>

#include "Wire.h"

namespace frames {

// `message` as the encoder frames it.
inline std::vector<std::uint8_t> Of(const nlohmann::json& message) {
    std::vector<std::uint8_t> out;
    zvwire::AppendFrame(message, out);
    return out;
}

// `body` after its length, four bytes big-endian.
inline std::vector<std::uint8_t> Framed(const std::string& body) {
    std::vector<std::uint8_t> out(4);
    zvwire::PutLength(out.data(), static_cast<std::uint32_t>(body.size()));
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

// {"id": 1, "op": "X", "pad": [nil × count]}: 7 elements and the nils.
inline std::vector<std::uint8_t> Nils(std::uint32_t count) {
    std::string body = "\x83\xA2id\x01\xA2op\xA1X\xA3pad\xDD";
    for (int shift = 24; shift >= 0; shift -= 8) body += char(count >> shift);
    return Framed(body + std::string(count, '\xC0'));
}

// {"id": 1, "op": "X", "pad": [[...[]...]]}: `depth` containers in all.
inline std::vector<std::uint8_t> Nested(int depth) {
    return Framed("\x83\xA2id\x01\xA2op\xA1X\xA3pad" + std::string(depth - 2, '\x91') + "\x90");
}

}  // namespace frames

#endif
