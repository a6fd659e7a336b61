// Frames between message clients and the engine daemon: a 4-byte big-endian length, then one
// MessagePack-encoded map. docs/engine-protocol.md describes the messages.
#ifndef ZV_WIRE_H
#define ZV_WIRE_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "Pack.h"

namespace zvwire {

constexpr std::uint32_t kMaxFrame = 1u << 20;

// What one frame may hold. The bytes are checked on the header alone; the elements (every value,
// container and key) and the nesting are counted before anything is built, because a decoded
// element costs many times its encoded byte: a frame of a million nils would take tens of MB.
struct Limits {
    std::uint32_t maxBytes = kMaxFrame;
    // The longest reply: an ancestor chain of 65,536 records of three fields.
    std::size_t maxElements = std::size_t{1} << 19;
    std::size_t maxDepth = 16;
};

// A request needs a few dozen elements (the largest, a plant control with every field, 30) and at
// most a text or two (the engine takes texts of 255 bytes at most; a URL and query are not much
// longer). Each element costs the daemon's one thread time to decode: a frame of 4,000 took
// 2.5 ms, so 50 clients sending such frames held up every other client's answers.
constexpr Limits kRequestLimits{16u << 10, 128, 8};

// Every frame is written in place: BeginFrame leaves room for the length at the end of `out` and
// gives where the frame starts, the message is written after it, and EndFrame writes the length.
// A message longer than kMaxFrame is taken off again: `out` is left as it was before BeginFrame
// and the result is false.
std::size_t BeginFrame(std::vector<std::uint8_t>& out);
bool EndFrame(std::vector<std::uint8_t>& out, std::size_t start);
// The four bytes of a frame's length, at `at`.
void PutLength(std::uint8_t* at, std::uint32_t length);

// Appends `message` (a map) to `out` as one frame, as EndFrame.
bool AppendFrame(const nlohmann::json& message, std::vector<std::uint8_t>& out);

// Cuts a byte stream into messages. Once a frame is malformed the decoder stays failed.
class FrameDecoder {
  public:
    enum class Result { Message, NeedMore, Bad };

    explicit FrameDecoder(Limits limits = {}) : m_limits(limits) {}

    void Feed(const std::uint8_t* data, std::size_t size);
    // The next whole message, if there is one; Bad, with Error() saying why, for a frame that
    // is too long or empty, not MessagePack, not a map, or beyond the limits.
    Result Next(nlohmann::json& message);
    // The same, giving the message's MessagePack bytes as they are, checked against the limits,
    // with their fields in Fields(): they stay valid until the next call of Feed or Next.
    Result NextBytes(const std::uint8_t*& data, std::size_t& size);
    const PackIndex& Fields() const { return m_fields; }
    const std::string& Error() const { return m_error; }
    // Whether the next call of Next would give a message or a fault, not NeedMore.
    bool Waiting() const;
    // Bytes fed and not yet taken by Next: a part of a frame, or frames still to be read.
    std::size_t Buffered() const { return m_buffer.size() - m_start; }

  private:
    void fail(std::string error);

    Limits m_limits;
    std::vector<std::uint8_t> m_buffer;
    std::size_t m_start = 0;
    PackIndex m_fields;
    std::string m_error;
};

}  // namespace zvwire

#endif
