// MessagePack written and read without building a json document: the hot requests and replies
// are a handful of fields, and a map node and a key for each cost more than the call's bytes.
// The forms written are the smallest, as nlohmann's to_msgpack writes them.
#ifndef ZV_PACK_H
#define ZV_PACK_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Fields.h"

namespace zvwire {

struct Limits;

// Appends MessagePack values to `out`.
class PackWriter {
  public:
    explicit PackWriter(std::vector<std::uint8_t>& out) : m_out(out) {}

    void Map(std::uint32_t entries);
    void Unsigned(std::uint64_t value);
    void Signed(std::int64_t value);
    void Nil() { m_out.push_back(0xC0); }
    void String(std::string_view text);
    void Binary(const void* data, std::size_t size);
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

  private:
    std::uint8_t* grow(std::size_t n);  // n more bytes at the end, to be written
    void header(std::uint8_t code, std::uint64_t value, int bytes);

    std::vector<std::uint8_t>& m_out;
};

// Whether `size` bytes hold exactly one MessagePack value within `limits` (elements and
// nesting, counted as the frame decoder counts them), with every map's keys strings; otherwise
// `error` says why.
bool Scan(const std::uint8_t* data, std::size_t size, const Limits& limits, std::string& error);

// One value of a map read in place.
struct PackValue {
    enum class Kind { Unsigned, Signed, Nil, String, Bytes, Map, Other } kind = Kind::Other;
    std::uint64_t u = 0;
    std::int64_t i = 0;
    std::string_view bytes;            // a string's, a binary's or an extension's data
    const std::uint8_t* at = nullptr;  // where the value starts (a map's header)
    std::size_t size = 0;              // its bytes
};

// A MessagePack map whose bytes Scan accepted, read field by field without building it.
class MapView {
  public:
    // False when `data` does not start with a map.
    bool Open(const std::uint8_t* data, std::size_t size);
    // The value of `key`, the last if it is there more than once.
    std::optional<PackValue> Find(std::string_view key) const;

  private:
    // The fields of a map of a few, read once; a longer map is walked at each Find.
    static constexpr std::size_t kIndexed = 16;
    struct Entry {
        std::string_view key;
        PackValue value;
    };

    const std::uint8_t* m_begin = nullptr;  // the first key
    const std::uint8_t* m_end = nullptr;
    std::uint32_t m_entries = 0;
    bool m_indexed = false;
    std::array<Entry, kIndexed> m_index;
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
