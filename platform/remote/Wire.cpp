#include "Wire.h"

#include <exception>

namespace zvwire {

namespace {

using json = nlohmann::json;

constexpr std::size_t kHeader = 4;

// Once this many bytes at the front of the buffer are used up they are dropped, so that a long
// stream of frames keeps the buffer near the size of one frame.
constexpr std::size_t kCompactAt = 64 * 1024;

// Counts a frame's elements and nesting, building nothing: the MessagePack reader recurses once
// per level, and each element it builds costs many bytes. Refuses as soon as a header announces
// more than the limits allow.
class Bounds {
  public:
    explicit Bounds(const Limits& limits) : m_limits(limits) {}

    bool null() { return count(1); }
    bool boolean(bool) { return count(1); }
    bool number_integer(json::number_integer_t) { return count(1); }
    bool number_unsigned(json::number_unsigned_t) { return count(1); }
    bool number_float(json::number_float_t, const json::string_t&) { return count(1); }
    bool string(json::string_t&) { return count(1); }
    bool binary(json::binary_t&) { return count(1); }
    bool key(json::string_t&) { return count(1); }
    bool start_object(std::size_t n) { return open(n == std::size_t(-1) ? 0 : 2 * n); }
    bool start_array(std::size_t n) { return open(n == std::size_t(-1) ? 0 : n); }
    bool end_object() { return --m_depth, true; }
    bool end_array() { return --m_depth, true; }
    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) {
        return false;
    }

    // Why the walk stopped, when it was the limits.
    const std::string& Exceeded() const { return m_exceeded; }

  private:
    bool count(std::size_t n) {
        m_counted += n;
        if (m_counted <= m_limits.maxElements) return true;
        m_exceeded = "frame holds more than " + std::to_string(m_limits.maxElements) + " elements";
        return false;
    }
    // A container's own element, and the ones its header announces before they are read.
    bool open(std::size_t announced) {
        if (++m_depth > m_limits.maxDepth) {
            m_exceeded = "frame is nested deeper than " + std::to_string(m_limits.maxDepth);
            return false;
        }
        if (!count(1)) return false;
        if (m_counted + announced > m_limits.maxElements) return count(announced);
        return true;
    }

    const Limits& m_limits;
    std::size_t m_depth = 0;
    std::size_t m_counted = 0;  // elements read, and announced by open headers
    std::string m_exceeded;
};

std::uint32_t lengthAt(const std::vector<std::uint8_t>& buffer, std::size_t at) {
    std::uint32_t length = 0;
    for (std::size_t i = 0; i < kHeader; ++i) length = (length << 8) | buffer[at + i];
    return length;
}

}  // namespace

bool AppendFrame(const nlohmann::json& message, std::vector<std::uint8_t>& out) {
    const std::size_t at = out.size();
    out.resize(at + kHeader);
    json::to_msgpack(message, out);
    const std::size_t length = out.size() - at - kHeader;
    if (length > kMaxFrame) {  // the other side would take it for a broken stream
        out.resize(at);
        return false;
    }
    for (std::size_t i = 0; i < kHeader; ++i) {
        out[at + i] = static_cast<std::uint8_t>(length >> (8 * (kHeader - 1 - i)));
    }
    return true;
}

void FrameDecoder::Feed(const std::uint8_t* data, std::size_t size) {
    if (!m_error.empty() || size == 0) return;
    if (m_start > 0 && (m_start == m_buffer.size() || m_start >= kCompactAt)) {
        m_buffer.erase(m_buffer.begin(), m_buffer.begin() + static_cast<std::ptrdiff_t>(m_start));
        m_start = 0;
    }
    m_buffer.insert(m_buffer.end(), data, data + size);
    // A bad length at the front is refused now (Next fails it and releases the buffer), before
    // more of its bytes pile up.
    if (m_buffer.size() - m_start >= kHeader) {
        const std::uint32_t length = lengthAt(m_buffer, m_start);
        nlohmann::json unused;
        if (length == 0 || length > m_limits.maxBytes) Next(unused);
    }
}

FrameDecoder::Result FrameDecoder::Next(nlohmann::json& message) {
    if (!m_error.empty()) return Result::Bad;
    const std::size_t available = m_buffer.size() - m_start;
    if (available < kHeader) return Result::NeedMore;
    const std::uint32_t length = lengthAt(m_buffer, m_start);
    if (length == 0) {
        m_error = "empty frame";
    } else if (length > m_limits.maxBytes) {
        m_error = "frame of " + std::to_string(length) + " bytes is too long";
    } else if (available - kHeader < length) {
        return Result::NeedMore;
    } else {
        const std::uint8_t* const begin = m_buffer.data() + m_start + kHeader;
        try {
            Bounds bounds(m_limits);
            if (!json::sax_parse(begin, begin + length, &bounds, json::input_format_t::msgpack)) {
                m_error =
                    bounds.Exceeded().empty() ? "frame is not MessagePack" : bounds.Exceeded();
            } else {
                json decoded = json::from_msgpack(begin, begin + length);
                if (decoded.is_object()) {
                    message = std::move(decoded);
                    m_start += kHeader + length;
                    if (m_start == m_buffer.size()) {  // an idle decoder holds no long frame's room
                        m_buffer.clear();
                        if (m_buffer.capacity() > kCompactAt) m_buffer.shrink_to_fit();
                        m_start = 0;
                    }
                    return Result::Message;
                }
                m_error = "frame is not a map";
            }
        } catch (const std::exception& e) {
            m_error = std::string("frame is not MessagePack: ") + e.what();
        }
    }
    m_buffer.clear();
    m_buffer.shrink_to_fit();
    m_start = 0;
    return Result::Bad;
}

}  // namespace zvwire
