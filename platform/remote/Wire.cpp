#include "Wire.h"

#include <exception>

namespace zvwire {

namespace {

using json = nlohmann::json;

constexpr std::size_t kHeader = 4;

// Once this many bytes at the front of the buffer are used up they are dropped, so that a long
// stream of frames keeps the buffer near the size of one frame.
constexpr std::size_t kCompactAt = 64 * 1024;

// The MessagePack reader recurses once per level of nesting: a frame of nothing but one-element
// arrays would exhaust the stack. Nesting is measured first, building nothing.
constexpr std::size_t kMaxDepth = 64;

class DepthCheck {
  public:
    bool null() { return true; }
    bool boolean(bool) { return true; }
    bool number_integer(json::number_integer_t) { return true; }
    bool number_unsigned(json::number_unsigned_t) { return true; }
    bool number_float(json::number_float_t, const json::string_t&) { return true; }
    bool string(json::string_t&) { return true; }
    bool binary(json::binary_t&) { return true; }
    bool key(json::string_t&) { return true; }
    bool start_object(std::size_t) { return ++m_depth <= kMaxDepth; }
    bool start_array(std::size_t) { return ++m_depth <= kMaxDepth; }
    bool end_object() { return --m_depth, true; }
    bool end_array() { return --m_depth, true; }
    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) {
        return false;
    }

  private:
    std::size_t m_depth = 0;
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
        if (length == 0 || length > kMaxFrame) Next(unused);
    }
}

FrameDecoder::Result FrameDecoder::Next(nlohmann::json& message) {
    if (!m_error.empty()) return Result::Bad;
    const std::size_t available = m_buffer.size() - m_start;
    if (available < kHeader) return Result::NeedMore;
    const std::uint32_t length = lengthAt(m_buffer, m_start);
    if (length == 0) {
        m_error = "empty frame";
    } else if (length > kMaxFrame) {
        m_error = "frame of " + std::to_string(length) + " bytes is too long";
    } else if (available - kHeader < length) {
        return Result::NeedMore;
    } else {
        const std::uint8_t* const begin = m_buffer.data() + m_start + kHeader;
        try {
            DepthCheck depth;
            if (!json::sax_parse(begin, begin + length, &depth, json::input_format_t::msgpack)) {
                m_error = "frame is not MessagePack, or nested too deeply";
            } else {
                json decoded = json::from_msgpack(begin, begin + length);
                if (decoded.is_object()) {
                    message = std::move(decoded);
                    m_start += kHeader + length;
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
