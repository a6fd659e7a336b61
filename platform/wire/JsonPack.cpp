#include "JsonPack.h"

#include <string>
#include <utility>
#include <vector>

#include <msgpack/null_visitor.hpp>
#include <msgpack/parse.hpp>
#include <msgpack/unpack.hpp>  // what the parser's templates need

namespace zvwire {

using json = nlohmann::json;

void WriteJson(const json& value, PackWriter& out) {
    switch (value.type()) {
        case json::value_t::null:
            return out.Nil();
        case json::value_t::boolean:
            return out.Bool(value.get<bool>());
        case json::value_t::number_integer:
            return out.Signed(value.get<std::int64_t>());
        case json::value_t::number_unsigned:
            return out.Unsigned(value.get<std::uint64_t>());
        case json::value_t::number_float:
            return out.Float(value.get<double>());
        case json::value_t::string:
            return out.String(value.get_ref<const std::string&>());
        case json::value_t::binary: {
            const json::binary_t& bytes = value.get_binary();
            if (bytes.has_subtype()) {
                return out.Extension(static_cast<std::int8_t>(bytes.subtype()), bytes.data(),
                                     bytes.size());
            }
            return out.Binary(bytes.data(), bytes.size());
        }
        case json::value_t::array:
            out.Array(static_cast<std::uint32_t>(value.size()));
            for (const json& element : value) WriteJson(element, out);
            return;
        case json::value_t::object:
            out.Map(static_cast<std::uint32_t>(value.size()));
            for (const auto& [key, element] : value.items()) {
                out.String(key);
                WriteJson(element, out);
            }
            return;
        case json::value_t::discarded:
            return;
    }
}

namespace {

// Builds the document as msgpack-cxx's parser walks the bytes; the last of a repeated key wins.
class Building : public msgpack::null_visitor {
  public:
    bool visit_nil() { return put(nullptr); }
    bool visit_boolean(bool v) { return put(v); }
    bool visit_positive_integer(std::uint64_t v) { return put(v); }
    bool visit_negative_integer(std::int64_t v) { return put(v); }
    bool visit_float32(float v) { return put(static_cast<double>(v)); }
    bool visit_float64(double v) { return put(v); }
    bool visit_str(const char* p, std::uint32_t n) {
        if (!m_inKey) return put(std::string(p, n));
        m_key.assign(p, n);
        return true;
    }
    bool visit_bin(const char* p, std::uint32_t n) {
        return put(json::binary(std::vector<std::uint8_t>(p, p + n)));
    }
    bool visit_ext(const char* p, std::uint32_t n) {
        return put(
            json::binary(std::vector<std::uint8_t>(p + 1, p + n), static_cast<std::uint8_t>(p[0])));
    }
    bool start_array(std::uint32_t) { return open(json::array()); }
    bool start_map(std::uint32_t) { return open(json::object()); }
    bool end_array() { return close(); }
    bool end_map() { return close(); }
    bool start_map_key() { return m_inKey = true; }
    bool end_map_key() {
        m_inKey = false;
        return true;
    }

    json Take() { return std::move(m_root); }

  private:
    json* slot() {
        if (m_open.empty()) return &m_root;
        json& in = *m_open.back();
        if (in.is_array()) return &in.emplace_back();
        return &in[m_key];
    }
    bool put(json value) {
        if (m_inKey) return false;
        *slot() = std::move(value);
        return true;
    }
    bool open(json container) {
        if (m_inKey) return false;
        json* const at = slot();
        *at = std::move(container);
        m_open.push_back(at);
        return true;
    }
    bool close() {
        m_open.pop_back();
        return true;
    }

    json m_root;
    std::vector<json*> m_open;
    std::string m_key;
    bool m_inKey = false;
};

}  // namespace

json ReadJson(const std::uint8_t* data, std::size_t size) {
    Building building;
    std::size_t used = 0;
    if (!msgpack::v2::parse(reinterpret_cast<const char*>(data), size, used, building) ||
        used != size) {
        throw std::runtime_error("not MessagePack");
    }
    return building.Take();
}

}  // namespace zvwire
