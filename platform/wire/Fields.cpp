#include "Fields.h"

namespace zvwire {

void ThrowMalformed(const char* key, const char* what) {
    throw Malformed(std::string(key) + " " + what);
}

const nlohmann::json& Object(const nlohmann::json& j, const char* key) {
    const auto it = j.find(key);
    if (it == j.end() || !it->is_object()) ThrowMalformed(key, "missing or not a map");
    return *it;
}

const nlohmann::json& List(const nlohmann::json& j, const char* key) {
    const auto it = j.find(key);
    if (it == j.end() || !it->is_array()) ThrowMalformed(key, "missing or not a list");
    return *it;
}

std::optional<std::string> Text(const nlohmann::json& j, const char* key) {
    const auto it = j.find(key);
    if (it == j.end() || it->is_null()) return std::nullopt;
    if (it->is_string()) return it->get<std::string>();
    if (it->is_binary()) return std::string(it->get_binary().begin(), it->get_binary().end());
    ThrowMalformed(key, "not a text");
}

const std::vector<std::uint8_t>& Bytes(const nlohmann::json& j, const char* key) {
    const auto it = j.find(key);
    if (it == j.end() || !it->is_binary()) ThrowMalformed(key, "missing or not binary");
    return it->get_binary();
}

}  // namespace zvwire
