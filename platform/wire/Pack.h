// The one MessagePack codec of the frames, on msgpack-cxx: its packer writes a message into the
// frame's bytes, and its parser reads a frame in one pass that checks the limits and records the
// fields of its maps where they lie, building nothing. The forms written are the smallest, as
// nlohmann's to_msgpack writes them, so that either side may be of an earlier build.
#ifndef ZV_PACK_H
#define ZV_PACK_H

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <msgpack/pack.hpp>

#include "Fields.h"

namespace zvwire {

struct Limits;

// Appends MessagePack values to `out`, which holds exactly the bytes written once the writer is
// gone (meanwhile it may hold room not yet written).
class PackWriter {
  public:
    explicit PackWriter(std::vector<std::uint8_t>& out);
    ~PackWriter() { m_out.resize(m_used); }
    PackWriter(const PackWriter&) = delete;
    PackWriter& operator=(const PackWriter&) = delete;

    void Map(std::uint32_t entries) { m_packer.pack_map(entries); }
    void Array(std::uint32_t size) { m_packer.pack_array(size); }
    void Unsigned(std::uint64_t value) { m_packer.pack_uint64(value); }
    void Signed(std::int64_t value) { m_packer.pack_int64(value); }
    void Nil() { m_packer.pack_nil(); }
    void Bool(bool value) { value ? m_packer.pack_true() : m_packer.pack_false(); }
    void Float(double value);  // as a float32 when that holds it exactly
    void String(std::string_view text);
    void Binary(const void* data, std::size_t size);
    void Extension(std::int8_t type, const void* data, std::size_t size);
    // An integer of any type.
    template <class T>
    void Number(T value) {
        if constexpr (std::numeric_limits<T>::is_signed) {
            Signed(value);
        } else {
            Unsigned(value);
        }
    }
    // A key and an integer; a key and a text (nil for none).
    template <class T>
    void Field(std::string_view key, T value) {
        String(key);
        Number(value);
    }
    void TextField(std::string_view key, const char* text);

    // Bytes that are MessagePack already (fields written apart).
    void Raw(const void* data, std::size_t size) {
        if (size > 0) write(static_cast<const char*>(data), size);
    }

    // msgpack-cxx's stream, through which every value goes: inlined into the packer's calls.
    // `data` is not null (an empty binary's may be: its writers see to it).
    void write(const char* data, std::size_t size) {
        if (m_out.size() - m_used < size) grow(size);
        std::memcpy(m_out.data() + m_used, data, size);
        m_used += size;
    }

  private:
    void grow(std::size_t size);

    std::vector<std::uint8_t>& m_out;
    std::size_t m_used;
    msgpack::packer<PackWriter> m_packer;
};

// One value of a map, where it lies.
struct PackValue {
    enum class Kind : std::uint8_t { Unsigned, Signed, Nil, String, Bytes, Map, Other };
    Kind kind = Kind::Other;
    std::uint64_t u = 0;
    std::int64_t i = 0;
    std::string_view bytes;  // a string's, a binary's or an extension's data
    std::uint32_t map = 0;   // a map's number among the message's
};

class MapView;

// The fields of a message's maps (every map not within a list), read in the pass that checks
// the frame. Kept as offsets, so that they move with a copy of the bytes.
class PackIndex {
  public:
    // Whether `size` bytes hold exactly one MessagePack value within `limits` (elements and
    // nesting), with every map's keys strings; otherwise `error` says why.
    bool Read(const std::uint8_t* data, std::size_t size, const Limits& limits, std::string& error);
    // The message's map, in `data` (the bytes read, or a copy of them).
    MapView Root(const std::uint8_t* data) const;

    struct Entry {
        std::uint32_t parent;  // the map's number
        std::uint32_t keyAt, keyLength;
        PackValue::Kind kind;
        std::uint32_t map;  // a map's number
        std::uint64_t u;    // an integer's bits; a string's or binary's offset
        std::uint32_t length;
    };

  private:
    friend class MapView;
    std::vector<Entry> m_entries;
    std::vector<std::uint32_t> m_outer;  // the reading's containers, kept for its room
};

// A map of a message read by PackIndex, field by field.
class MapView {
  public:
    MapView() = default;
    MapView(const PackIndex& index, const std::uint8_t* data, std::uint32_t map)
        : m_index(&index), m_data(data), m_map(map) {}
    // The value of `key`, the last if it is there more than once.
    std::optional<PackValue> Find(std::string_view key) const;
    // The map that a value of Kind::Map found here is.
    MapView Nested(std::uint32_t map) const { return MapView(*m_index, m_data, map); }

  private:
    const PackIndex* m_index = nullptr;
    const std::uint8_t* m_data = nullptr;
    std::uint32_t m_map = 0;
};

// A message as read: its bytes and their fields.
struct PackedMessage {
    std::vector<std::uint8_t> bytes;
    PackIndex fields;
    MapView Root() const { return fields.Root(bytes.data()); }
};

// The readers of Fields.h for a map read in place, as strict.
template <class T>
T NumberOf(const PackValue& value, const char* what) {
    using L = std::numeric_limits<T>;
    if (value.kind == PackValue::Kind::Unsigned) {
        if (value.u > static_cast<std::uint64_t>(L::max())) ThrowMalformed(what, "out of range");
        return static_cast<T>(value.u);
    }
    if (value.kind != PackValue::Kind::Signed) ThrowMalformed(what, "not an integer");
    const std::int64_t v = value.i;
    if (v < static_cast<std::int64_t>(L::min()) ||
        (v > 0 && static_cast<std::uint64_t>(v) > static_cast<std::uint64_t>(L::max()))) {
        ThrowMalformed(what, "out of range");
    }
    return static_cast<T>(v);
}

template <class T>
T Number(const MapView& map, const char* key, std::optional<T> fallback = std::nullopt) {
    const std::optional<PackValue> value = map.Find(key);
    if (!value && fallback) return *fallback;
    if (!value ||
        (value->kind != PackValue::Kind::Unsigned && value->kind != PackValue::Kind::Signed)) {
        ThrowMalformed(key, "missing or not an integer");
    }
    return NumberOf<T>(*value, key);
}

// The text `key`, a string or binary; nil or absent is no text.
std::optional<std::string_view> TextView(const MapView& map, const char* key);
std::optional<std::string> Text(const MapView& map, const char* key);
// The map `key`.
MapView Object(const MapView& map, const char* key);

}  // namespace zvwire

#endif
