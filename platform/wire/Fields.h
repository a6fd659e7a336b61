// Strict readers of a message's fields: a field that is missing (unless it has a default), of
// the wrong type or out of its type's range makes the message malformed.
#ifndef ZV_FIELDS_H
#define ZV_FIELDS_H

#include <cstdint>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace zvwire {

struct Malformed : std::runtime_error {
    using std::runtime_error::runtime_error;
};

[[noreturn]] void ThrowMalformed(const char* key, const char* what);

// The integer `value`, which must fit in T; `what` names it when it does not (a list's element).
template <class T>
T NumberOf(const nlohmann::json& value, const char* what) {
    if (!value.is_number_integer()) ThrowMalformed(what, "not an integer");
    using Limits = std::numeric_limits<T>;
    if (value.is_number_unsigned()) {
        const auto v = value.template get<std::uint64_t>();
        if (v > static_cast<std::uint64_t>(Limits::max())) ThrowMalformed(what, "out of range");
        return static_cast<T>(v);
    }
    const auto v = value.template get<std::int64_t>();
    if (v < static_cast<std::int64_t>(Limits::min()) ||
        (v > 0 && static_cast<std::uint64_t>(v) > static_cast<std::uint64_t>(Limits::max()))) {
        ThrowMalformed(what, "out of range");
    }
    return static_cast<T>(v);
}

// The integer `key` of `j`, which must fit in T; `fallback` when it is absent.
template <class T>
T Number(const nlohmann::json& j, const char* key, std::optional<T> fallback = std::nullopt) {
    const auto it = j.find(key);
    if (it == j.end() && fallback) return *fallback;
    if (it == j.end() || !it->is_number_integer()) ThrowMalformed(key, "missing or not an integer");
    return NumberOf<T>(*it, key);
}

// The map `key` of `j`.
const nlohmann::json& Object(const nlohmann::json& j, const char* key);
// The list `key` of `j`.
const nlohmann::json& List(const nlohmann::json& j, const char* key);
// The text `key` of `j`, a string or binary; nil or absent is no text (a null pointer).
std::optional<std::string> Text(const nlohmann::json& j, const char* key);
// The binary `key` of `j`: a record's bytes (a server name, a piece's buffer) are never a string.
const std::vector<std::uint8_t>& Bytes(const nlohmann::json& j, const char* key);

}  // namespace zvwire

#endif
