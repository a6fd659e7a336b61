// Frames between message clients and the engine daemon: a 4-byte big-endian length, then one
// MessagePack-encoded map. docs/engine-protocol.md describes the messages.
#ifndef ZV_WIRE_H
#define ZV_WIRE_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace zvwire {

constexpr std::uint32_t kMaxFrame = 1u << 20;

// Appends `message` (a map) to `out` as one frame. A message longer than kMaxFrame is not
// appended: `out` is left as it was and the result is false.
bool AppendFrame(const nlohmann::json& message, std::vector<std::uint8_t>& out);

// Cuts a byte stream into messages. Once a frame is malformed the decoder stays failed.
class FrameDecoder {
  public:
    enum class Result { Message, NeedMore, Bad };

    void Feed(const std::uint8_t* data, std::size_t size);
    // The next whole message, if there is one; Bad, with Error() saying why, for a frame that
    // is too long or empty, not MessagePack, or not a map.
    Result Next(nlohmann::json& message);
    const std::string& Error() const { return m_error; }

  private:
    std::vector<std::uint8_t> m_buffer;
    std::size_t m_start = 0;
    std::string m_error;
};

}  // namespace zvwire

#endif
