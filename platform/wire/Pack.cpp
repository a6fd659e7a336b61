#include "Pack.h"

#include <cstring>

#include "Wire.h"

namespace zvwire {

namespace {

std::uint64_t bigEndian(const std::uint8_t* p, int bytes) {
    std::uint64_t value = 0;
    for (int i = 0; i < bytes; ++i) value = (value << 8) | p[i];
    return value;
}

// What a value's first byte says of it.
struct Head {
    enum class Type { Scalar, Bytes, Extension, String, Array, Map, Bad } type = Type::Bad;
    int lengthBytes = 0;        // bytes after the first that hold the length, count or value
    std::uint64_t inline_ = 0;  // a fixed form's length or count
    int fixedData = 0;          // a scalar's or fixed extension's bytes after the first
};

Head headOf(std::uint8_t b) {
    using T = Head::Type;
    if (b <= 0x7F || b >= 0xE0 || b == 0xC0 || b == 0xC2 || b == 0xC3) return {T::Scalar};
    if (b <= 0x8F) return {T::Map, 0, b & 0x0Fu};
    if (b <= 0x9F) return {T::Array, 0, b & 0x0Fu};
    if (b <= 0xBF) return {T::String, 0, b & 0x1Fu};
    switch (b) {
        case 0xC4:
            return {T::Bytes, 1};
        case 0xC5:
            return {T::Bytes, 2};
        case 0xC6:
            return {T::Bytes, 4};
        case 0xC7:
            return {T::Extension, 1};
        case 0xC8:
            return {T::Extension, 2};
        case 0xC9:
            return {T::Extension, 4};
        case 0xCA:
            return {T::Scalar, 0, 0, 4};
        case 0xCB:
            return {T::Scalar, 0, 0, 8};
        case 0xCC:
        case 0xD0:
            return {T::Scalar, 0, 0, 1};
        case 0xCD:
        case 0xD1:
            return {T::Scalar, 0, 0, 2};
        case 0xCE:
        case 0xD2:
            return {T::Scalar, 0, 0, 4};
        case 0xCF:
        case 0xD3:
            return {T::Scalar, 0, 0, 8};
        case 0xD4:
            return {T::Scalar, 0, 0, 2};  // fixext: a type byte and its data
        case 0xD5:
            return {T::Scalar, 0, 0, 3};
        case 0xD6:
            return {T::Scalar, 0, 0, 5};
        case 0xD7:
            return {T::Scalar, 0, 0, 9};
        case 0xD8:
            return {T::Scalar, 0, 0, 17};
        case 0xD9:
            return {T::String, 1};
        case 0xDA:
            return {T::String, 2};
        case 0xDB:
            return {T::String, 4};
        case 0xDC:
            return {T::Array, 2};
        case 0xDD:
            return {T::Array, 4};
        case 0xDE:
            return {T::Map, 2};
        case 0xDF:
            return {T::Map, 4};
        default:
            return {};  // 0xC1, never used
    }
}

// Walks one value, counting elements and nesting as it goes; refuses a container whose header
// announces more than the limits allow before reading its elements.
class Scanner {
  public:
    Scanner(const std::uint8_t* p, const std::uint8_t* end, const Limits& limits)
        : m_p(p), m_end(end), m_limits(limits) {}

    bool Value(bool key = false) {
        if (m_p == m_end) return bad();
        const Head head = headOf(*m_p++);
        if (head.type == Head::Type::Bad || (key && head.type != Head::Type::String)) return bad();
        if (head.type == Head::Type::Scalar) return skip(head.fixedData) && count(1);
        std::uint64_t n = head.inline_;
        if (head.lengthBytes > 0) {
            if (m_end - m_p < head.lengthBytes) return bad();
            n = bigEndian(m_p, head.lengthBytes);
            m_p += head.lengthBytes;
        }
        switch (head.type) {
            case Head::Type::Extension:
                return skip(n + 1) && count(1);
            case Head::Type::Bytes:
            case Head::Type::String:
                return skip(n) && count(1);
            case Head::Type::Array:
                return container(n, false);
            default:
                return container(n, true);
        }
    }
    bool AtEnd() const { return m_p == m_end; }
    const std::string& Exceeded() const { return m_exceeded; }

  private:
    bool bad() { return false; }
    bool skip(std::uint64_t n) {
        if (static_cast<std::uint64_t>(m_end - m_p) < n) return false;
        m_p += n;
        return true;
    }
    bool count(std::uint64_t n) {
        m_counted += n;
        if (m_counted <= m_limits.maxElements) return true;
        m_exceeded = "frame holds more than " + std::to_string(m_limits.maxElements) + " elements";
        return false;
    }
    bool container(std::uint64_t n, bool map) {
        if (++m_depth > m_limits.maxDepth) {
            m_exceeded = "frame is nested deeper than " + std::to_string(m_limits.maxDepth);
            return false;
        }
        const std::uint64_t announced = map ? 2 * n : n;
        if (!count(1)) return false;
        if (m_counted + announced > m_limits.maxElements) return count(announced);
        for (std::uint64_t i = 0; i < n; ++i) {
            if ((map && !Value(true)) || !Value()) return false;
        }
        --m_depth;
        return true;
    }

    const std::uint8_t* m_p;
    const std::uint8_t* const m_end;
    const Limits& m_limits;
    std::size_t m_depth = 0;
    std::uint64_t m_counted = 0;
    std::string m_exceeded;
};

// The value at `p` (which Scan accepted), into `out` if given, and where the next one starts.
const std::uint8_t* readValue(const std::uint8_t* const at, const std::uint8_t* end,
                              PackValue* out) {
    const std::uint8_t* p = at;
    const std::uint8_t b = *p++;
    const Head head = headOf(b);
    PackValue v;
    v.at = at;
    const std::uint8_t* next = nullptr;
    if (head.type == Head::Type::Scalar) {
        if (b <= 0x7F) {
            v.kind = PackValue::Kind::Unsigned;
            v.u = b;
        } else if (b >= 0xE0) {
            v.kind = PackValue::Kind::Signed;
            v.i = static_cast<std::int8_t>(b);
        } else if (b == 0xC0) {
            v.kind = PackValue::Kind::Nil;
        } else if (b >= 0xCC && b <= 0xCF) {
            v.kind = PackValue::Kind::Unsigned;
            v.u = bigEndian(p, head.fixedData);
        } else if (b >= 0xD0 && b <= 0xD3) {
            v.kind = PackValue::Kind::Signed;
            const int bits = 8 * head.fixedData;
            const std::uint64_t raw = bigEndian(p, head.fixedData);
            v.i = bits == 64 ? static_cast<std::int64_t>(raw)
                             : static_cast<std::int64_t>(raw << (64 - bits)) >> (64 - bits);
        } else if (b >= 0xD4 && b <= 0xD8) {  // fixext: a type byte, then the data
            v.kind = PackValue::Kind::Bytes;
            v.bytes = {reinterpret_cast<const char*>(p + 1),
                       static_cast<std::size_t>(head.fixedData - 1)};
        }
        next = p + head.fixedData;
    } else {
        std::uint64_t n = head.inline_;
        if (head.lengthBytes > 0) {
            n = bigEndian(p, head.lengthBytes);
            p += head.lengthBytes;
        }
        if (head.type == Head::Type::Map || head.type == Head::Type::Array) {
            if (head.type == Head::Type::Map) v.kind = PackValue::Kind::Map;
            const std::uint64_t values = head.type == Head::Type::Map ? 2 * n : n;
            for (std::uint64_t i = 0; i < values && p < end; ++i) p = readValue(p, end, nullptr);
            next = p;
        } else {
            if (head.type == Head::Type::Extension) ++p;  // its type
            v.kind =
                head.type == Head::Type::String ? PackValue::Kind::String : PackValue::Kind::Bytes;
            v.bytes = {reinterpret_cast<const char*>(p), static_cast<std::size_t>(n)};
            next = p + n;
        }
    }
    if (out != nullptr) {
        v.size = static_cast<std::size_t>(next - at);
        *out = v;
    }
    return next;
}

}  // namespace

std::uint8_t* PackWriter::grow(std::size_t n) {
    const std::size_t at = m_out.size();
    m_out.resize(at + n);
    return m_out.data() + at;
}

void PackWriter::header(std::uint8_t code, std::uint64_t value, int bytes) {
    std::uint8_t* p = grow(1 + static_cast<std::size_t>(bytes));
    *p++ = code;
    for (int i = bytes - 1; i >= 0; --i) *p++ = static_cast<std::uint8_t>(value >> (8 * i));
}

void PackWriter::Map(std::uint32_t entries) {
    if (entries <= 15) {
        m_out.push_back(static_cast<std::uint8_t>(0x80 | entries));
    } else if (entries <= 0xFFFF) {
        header(0xDE, entries, 2);
    } else {
        header(0xDF, entries, 4);
    }
}

void PackWriter::Unsigned(std::uint64_t value) {
    if (value <= 0x7F) {
        m_out.push_back(static_cast<std::uint8_t>(value));
    } else if (value <= 0xFF) {
        header(0xCC, value, 1);
    } else if (value <= 0xFFFF) {
        header(0xCD, value, 2);
    } else if (value <= 0xFFFFFFFF) {
        header(0xCE, value, 4);
    } else {
        header(0xCF, value, 8);
    }
}

void PackWriter::Signed(std::int64_t value) {
    if (value >= 0) return Unsigned(static_cast<std::uint64_t>(value));
    const auto raw = static_cast<std::uint64_t>(value);
    if (value >= -32) {
        m_out.push_back(static_cast<std::uint8_t>(raw));
    } else if (value >= INT8_MIN) {
        header(0xD0, raw, 1);
    } else if (value >= INT16_MIN) {
        header(0xD1, raw, 2);
    } else if (value >= INT32_MIN) {
        header(0xD2, raw, 4);
    } else {
        header(0xD3, raw, 8);
    }
}

void PackWriter::String(std::string_view text) {
    const std::size_t n = text.size();
    if (n <= 31) {
        std::uint8_t* p = grow(1 + n);
        *p = static_cast<std::uint8_t>(0xA0 | n);
        if (n > 0) std::memcpy(p + 1, text.data(), n);
        return;
    }
    if (n <= 0xFF) {
        header(0xD9, n, 1);
    } else if (n <= 0xFFFF) {
        header(0xDA, n, 2);
    } else {
        header(0xDB, n, 4);
    }
    std::memcpy(grow(n), text.data(), n);
}

void PackWriter::Binary(const void* data, std::size_t size) {
    if (size <= 0xFF) {
        header(0xC4, size, 1);
    } else if (size <= 0xFFFF) {
        header(0xC5, size, 2);
    } else {
        header(0xC6, size, 4);
    }
    if (size > 0) std::memcpy(grow(size), data, size);
}

void PackWriter::TextField(std::string_view key, const char* text) {
    String(key);
    if (text == nullptr) {
        Nil();
    } else {
        String(text);
    }
}

bool Scan(const std::uint8_t* data, std::size_t size, const Limits& limits, std::string& error) {
    Scanner scanner(data, data + size, limits);
    if (scanner.Value() && scanner.AtEnd()) return true;
    error = scanner.Exceeded().empty() ? "frame is not MessagePack" : scanner.Exceeded();
    return false;
}

bool MapView::Open(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return false;
    const Head head = headOf(data[0]);
    if (head.type != Head::Type::Map) return false;
    m_entries = static_cast<std::uint32_t>(head.inline_);
    m_begin = data + 1;
    if (head.lengthBytes > 0) {
        m_entries = static_cast<std::uint32_t>(bigEndian(data + 1, head.lengthBytes));
        m_begin += head.lengthBytes;
    }
    m_end = data + size;
    m_indexed = m_entries <= kIndexed;
    if (!m_indexed) return true;
    const std::uint8_t* p = m_begin;
    std::uint32_t read = 0;
    for (; read < m_entries && p < m_end; ++read) {
        PackValue name;
        p = readValue(p, m_end, &name);
        m_index[read].key = name.bytes;
        p = readValue(p, m_end, &m_index[read].value);
    }
    m_entries = read;
    return true;
}

std::optional<PackValue> MapView::Find(std::string_view key) const {
    std::optional<PackValue> found;
    if (m_indexed) {
        for (std::uint32_t i = 0; i < m_entries; ++i) {
            if (m_index[i].key == key) found = m_index[i].value;
        }
        return found;
    }
    const std::uint8_t* p = m_begin;
    for (std::uint32_t i = 0; i < m_entries && p < m_end; ++i) {
        PackValue name;
        p = readValue(p, m_end, &name);
        const bool match = name.bytes == key;
        PackValue value;
        p = readValue(p, m_end, &value);
        if (match) found = value;
    }
    return found;
}

std::optional<std::string_view> TextView(const MapView& map, const char* key) {
    const std::optional<PackValue> value = map.Find(key);
    if (!value || value->kind == PackValue::Kind::Nil) return std::nullopt;
    if (value->kind != PackValue::Kind::String && value->kind != PackValue::Kind::Bytes) {
        ThrowMalformed(key, "not a text");
    }
    return value->bytes;
}

std::optional<std::string> Text(const MapView& map, const char* key) {
    const std::optional<std::string_view> text = TextView(map, key);
    if (!text) return std::nullopt;
    return std::string(*text);
}

MapView Object(const MapView& map, const char* key) {
    const std::optional<PackValue> value = map.Find(key);
    MapView object;
    if (!value || value->kind != PackValue::Kind::Map || !object.Open(value->at, value->size)) {
        ThrowMalformed(key, "missing or not a map");
    }
    return object;
}

}  // namespace zvwire
