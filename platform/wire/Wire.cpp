#include "Wire.h"

#include <exception>

#include "JsonPack.h"

namespace zvwire {

namespace {

using json = nlohmann::json;

constexpr std::size_t kHeader = 4;

// Once this many bytes at the front of the buffer are used up they are dropped, so that a long
// stream of frames keeps the buffer near the size of one frame.
constexpr std::size_t kCompactAt = 64 * 1024;

std::uint32_t lengthAt(const std::vector<std::uint8_t>& buffer, std::size_t at) {
    std::uint32_t length = 0;
    for (std::size_t i = 0; i < kHeader; ++i) length = (length << 8) | buffer[at + i];
    return length;
}

}  // namespace

std::size_t BeginFrame(std::vector<std::uint8_t>& out) {
    const std::size_t start = out.size();
    out.resize(start + kHeader);
    return start;
}

bool EndFrame(std::vector<std::uint8_t>& out, std::size_t start) {
    const std::size_t length = out.size() - start - kHeader;
    if (length > kMaxFrame) {  // the other side would take it for a broken stream
        out.resize(start);
        return false;
    }
    PutLength(out.data() + start, static_cast<std::uint32_t>(length));
    return true;
}

void PutLength(std::uint8_t* at, std::uint32_t length) {
    for (std::size_t i = 0; i < kHeader; ++i) {
        at[i] = static_cast<std::uint8_t>(length >> (8 * (kHeader - 1 - i)));
    }
}

bool AppendFrame(const nlohmann::json& message, std::vector<std::uint8_t>& out) {
    const std::size_t start = BeginFrame(out);
    {
        PackWriter writer(out);
        WriteJson(message, writer);
    }
    return EndFrame(out, start);
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
        const std::uint8_t* unused = nullptr;
        std::size_t size = 0;
        if (length == 0 || length > m_limits.maxBytes) NextBytes(unused, size);
    }
}

FrameDecoder::Result FrameDecoder::Next(nlohmann::json& message) {
    const std::uint8_t* data = nullptr;
    std::size_t size = 0;
    const Result result = NextBytes(data, size);
    if (result != Result::Message) return result;
    try {
        message = ReadJson(data, size);
        return result;
    } catch (const std::exception& e) {
        fail(std::string("frame is not MessagePack: ") + e.what());
        return Result::Bad;
    }
}

bool FrameDecoder::Waiting() const {
    if (!m_error.empty()) return true;
    const std::size_t available = m_buffer.size() - m_start;
    if (available < kHeader) return false;
    const std::uint32_t length = lengthAt(m_buffer, m_start);
    return length == 0 || length > m_limits.maxBytes || available - kHeader >= length;
}

FrameDecoder::Result FrameDecoder::NextBytes(const std::uint8_t*& data, std::size_t& size) {
    if (!m_error.empty()) return Result::Bad;
    if (m_start == m_buffer.size() && m_start > 0) {  // an idle decoder holds no long frame's room
        m_buffer.clear();
        if (m_buffer.capacity() > kCompactAt) m_buffer.shrink_to_fit();
        m_start = 0;
    }
    const std::size_t available = m_buffer.size() - m_start;
    if (available < kHeader) return Result::NeedMore;
    const std::uint32_t length = lengthAt(m_buffer, m_start);
    std::string error;
    if (length == 0) {
        error = "empty frame";
    } else if (length > m_limits.maxBytes) {
        error = "frame of " + std::to_string(length) + " bytes is too long";
    } else if (available - kHeader < length) {
        return Result::NeedMore;
    } else {
        const std::uint8_t* const begin = m_buffer.data() + m_start + kHeader;
        // One pass checks the bytes and the limits before anything is built from them.
        if (m_fields.Read(begin, length, m_limits, error)) {
            if ((*begin >= 0x80 && *begin <= 0x8F) || *begin == 0xDE || *begin == 0xDF) {
                m_start += kHeader + length;
                data = begin;
                size = length;
                return Result::Message;
            }
            error = "frame is not a map";
        }
    }
    fail(std::move(error));
    return Result::Bad;
}

void FrameDecoder::fail(std::string error) {
    m_error = std::move(error);
    m_buffer.clear();
    m_buffer.shrink_to_fit();
    m_start = 0;
}

}  // namespace zvwire
