#include "Pack.h"

#include <algorithm>
#include <cstring>

#include <msgpack/null_visitor.hpp>
#include <msgpack/parse.hpp>
#include <msgpack/unpack.hpp>  // what the parser's templates need

#include "Wire.h"

namespace zvwire {

// ---- Writing ----

PackWriter::PackWriter(std::vector<std::uint8_t>& out)
    : m_out(out), m_used(out.size()), m_packer(*this) {
    // Written through a pointer into room made at once: a vector grown value by value costs
    // more than the values.
    m_out.resize(std::max(m_out.capacity(), m_used + 64));
}

void PackWriter::grow(std::size_t size) {
    m_out.resize(std::max(2 * m_out.size(), m_used + size));
}

void PackWriter::Float(double value) {
    const bool single = value >= static_cast<double>(std::numeric_limits<float>::lowest()) &&
                        value <= static_cast<double>(std::numeric_limits<float>::max()) &&
                        static_cast<double>(static_cast<float>(value)) == value;
    if (single) {
        m_packer.pack_float(static_cast<float>(value));
    } else {
        m_packer.pack_double(value);
    }
}

void PackWriter::String(std::string_view text) {
    const auto n = static_cast<std::uint32_t>(text.size());
    m_packer.pack_str(n);
    m_packer.pack_str_body(text.data(), n);
}

void PackWriter::Binary(const void* data, std::size_t size) {
    const auto n = static_cast<std::uint32_t>(size);
    m_packer.pack_bin(n);
    if (n > 0) m_packer.pack_bin_body(static_cast<const char*>(data), n);
}

void PackWriter::Extension(std::int8_t type, const void* data, std::size_t size) {
    m_packer.pack_ext(size, type);
    if (size > 0)
        m_packer.pack_ext_body(static_cast<const char*>(data), static_cast<std::uint32_t>(size));
}

void PackWriter::TextField(std::string_view key, const char* text) {
    String(key);
    if (text == nullptr) {
        Nil();
    } else {
        String(text);
    }
}

// ---- Reading ----

// msgpack-cxx's visitor for PackIndex::Read: counts elements and nesting, refusing a container
// whose header announces more than the limits allow before its elements are read, refuses keys
// that are not strings, and records each field of a map that is not within a list.
class PackReading : public msgpack::null_visitor {
  public:
    PackReading(const std::uint8_t* data, const Limits& limits,
                std::vector<PackIndex::Entry>& entries, std::vector<std::uint32_t>& outer)
        : m_data(data), m_limits(limits), m_entries(entries), m_outer(outer) {}

    bool visit_nil() { return scalar(PackValue::Kind::Nil); }
    bool visit_boolean(bool) { return scalar(PackValue::Kind::Other); }
    bool visit_positive_integer(std::uint64_t v) { return scalar(PackValue::Kind::Unsigned, v); }
    bool visit_negative_integer(std::int64_t v) {
        return scalar(PackValue::Kind::Signed, static_cast<std::uint64_t>(v));
    }
    bool visit_float32(float) { return scalar(PackValue::Kind::Other); }
    bool visit_float64(double) { return scalar(PackValue::Kind::Other); }
    bool visit_str(const char* p, std::uint32_t n) {
        if (!m_inKey) return bytes(PackValue::Kind::String, p, n);
        if (!count(1)) return false;
        if (m_recording)
            m_entries.push_back({m_map, offset(p), n, PackValue::Kind::Other, 0, 0, 0});
        return true;
    }
    bool visit_bin(const char* p, std::uint32_t n) { return bytes(PackValue::Kind::Bytes, p, n); }
    // The type byte, then the data.
    bool visit_ext(const char* p, std::uint32_t n) {
        return bytes(PackValue::Kind::Bytes, p + 1, n - 1);
    }
    bool start_array(std::uint32_t n) { return open(n, false); }
    bool start_map(std::uint32_t n) { return open(2 * std::uint64_t{n}, true); }
    bool end_array() { return close(); }
    bool end_map() { return close(); }
    bool start_map_key() { return m_inKey = true; }
    bool end_map_key() {
        m_inKey = false;
        return true;
    }
    bool start_map_value() {
        m_valueNext = m_recording;
        return true;
    }

    const std::string& Exceeded() const { return m_exceeded; }

  private:
    // The entry whose value comes now, if any.
    PackIndex::Entry* value() {
        if (!m_valueNext) return nullptr;
        m_valueNext = false;
        return &m_entries.back();
    }
    bool scalar(PackValue::Kind kind, std::uint64_t u = 0) {
        if (m_inKey || !count(1)) return false;
        if (PackIndex::Entry* e = value()) {
            e->kind = kind;
            e->u = u;
        }
        return true;
    }
    bool bytes(PackValue::Kind kind, const char* p, std::uint32_t n) {
        if (m_inKey || !count(1)) return false;
        if (PackIndex::Entry* e = value()) {
            e->kind = kind;
            e->u = offset(p);
            e->length = n;
        }
        return true;
    }
    bool count(std::uint64_t n) {
        m_counted += n;
        return m_counted <= m_limits.maxElements || tooMany();
    }
    bool tooMany() {
        m_exceeded = "frame holds more than " + std::to_string(m_limits.maxElements) + " elements";
        return false;
    }
    bool open(std::uint64_t announced, bool map) {
        if (m_inKey) return false;
        if (++m_depth > m_limits.maxDepth) {
            m_exceeded = "frame is nested deeper than " + std::to_string(m_limits.maxDepth);
            return false;
        }
        if (!count(1)) return false;
        if (m_counted + announced > m_limits.maxElements) return count(announced);
        PackIndex::Entry* const e = value();
        m_outer.push_back(m_recording ? m_map | kRecording : m_map);
        // The message's map, and a map that is a recorded field's value.
        m_recording = map && (m_depth == 1 || e != nullptr);
        if (m_recording) m_map = m_maps++;
        if (e != nullptr && m_recording) {
            e->kind = PackValue::Kind::Map;
            e->map = m_map;
        }
        return true;
    }
    bool close() {
        --m_depth;
        m_map = m_outer.back() & ~kRecording;
        m_recording = (m_outer.back() & kRecording) != 0;
        m_outer.pop_back();
        return true;
    }
    std::uint32_t offset(const char* p) const {
        return static_cast<std::uint32_t>(reinterpret_cast<const std::uint8_t*>(p) - m_data);
    }

    static constexpr std::uint32_t kRecording = 1u << 31;

    const std::uint8_t* const m_data;
    const Limits& m_limits;
    std::vector<PackIndex::Entry>& m_entries;
    std::vector<std::uint32_t>& m_outer;  // the containers that the one being read is in
    std::uint64_t m_counted = 0;
    std::size_t m_depth = 0;
    std::uint32_t m_maps = 0;
    std::uint32_t m_map = 0;  // the map being read, if m_recording
    bool m_recording = false;
    bool m_inKey = false;
    bool m_valueNext = false;  // the next value is the last entry's
    std::string m_exceeded;
};

bool PackIndex::Read(const std::uint8_t* data, std::size_t size, const Limits& limits,
                     std::string& error) {
    m_entries.clear();
    m_outer.clear();
    PackReading reading(data, limits, m_entries, m_outer);
    std::size_t used = 0;
    bool parsed = false;
    try {
        parsed = size > 0 &&
                 msgpack::v2::parse(reinterpret_cast<const char*>(data), size, used, reading);
    } catch (const msgpack::unpack_error&) {
        // An ext of 2^32-1 bytes, whose length with its type byte overflows a 32-bit size.
    }
    // msgpack-cxx takes a value followed by more bytes: a frame holds one value and no more.
    if (parsed && used == size) return true;
    m_entries.clear();
    error = reading.Exceeded().empty() ? "frame is not MessagePack" : reading.Exceeded();
    return false;
}

MapView PackIndex::Root(const std::uint8_t* data) const {
    return MapView(*this, data, 0);
}

namespace {

// Keys are a few bytes: compared here rather than by a call.
bool sameKey(const std::uint8_t* at, std::string_view key) {
    for (std::size_t i = 0; i < key.size(); ++i) {
        if (at[i] != static_cast<std::uint8_t>(key[i])) return false;
    }
    return true;
}

}  // namespace

std::optional<PackValue> MapView::Find(std::string_view key) const {
    if (m_index == nullptr) return std::nullopt;
    const PackIndex::Entry* found = nullptr;
    // From the end: the last of a repeated key is the one that counts.
    const std::vector<PackIndex::Entry>& entries = m_index->m_entries;
    for (auto e = entries.rbegin(); e != entries.rend(); ++e) {
        if (e->parent == m_map && e->keyLength == key.size() && sameKey(m_data + e->keyAt, key)) {
            found = &*e;
            break;
        }
    }
    if (found == nullptr) return std::nullopt;
    PackValue v;
    v.kind = found->kind;
    v.u = found->u;
    v.i = static_cast<std::int64_t>(found->u);
    v.map = found->map;
    if (v.kind == PackValue::Kind::String || v.kind == PackValue::Kind::Bytes) {
        v.bytes = {reinterpret_cast<const char*>(m_data + found->u), found->length};
    }
    return v;
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
    if (!value || value->kind != PackValue::Kind::Map) ThrowMalformed(key, "missing or not a map");
    return map.Nested(value->map);
}

}  // namespace zvwire
