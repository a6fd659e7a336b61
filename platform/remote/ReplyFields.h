// The message client's readers of the fields of replies and notifications: each throws
// Malformed, or nlohmann's own exception, for a field that is missing or of the wrong type.
#ifndef ZV_REMOTE_REPLY_FIELDS_H
#define ZV_REMOTE_REPLY_FIELDS_H

#include <cstdint>
#include <limits>
#include <stdexcept>
#include <vector>

#include <nlohmann/json.hpp>

namespace zvremote {

// A reply or notification that lacks a field, or has one of the wrong type.
struct Malformed : std::runtime_error {
    explicit Malformed(const char* what) : std::runtime_error(what) {}
};

template <class T>
T get(const nlohmann::json& message, const char* key) {
    const nlohmann::json& field = message.at(key);
    if (!field.is_number_integer()) throw Malformed(key);
    return field.get<T>();
}

// A record's unsigned field; one out of the field's range is malformed, not cut short.
template <class T>
T fieldOf(const nlohmann::json& field) {
    if (field.is_number_unsigned() && field.get<std::uint64_t>() <= std::numeric_limits<T>::max()) {
        return static_cast<T>(field.get<std::uint64_t>());
    }
    if (field.is_number_integer() && field.get<std::int64_t>() >= 0 &&
        static_cast<std::uint64_t>(field.get<std::int64_t>()) <= std::numeric_limits<T>::max()) {
        return static_cast<T>(field.get<std::int64_t>());
    }
    throw Malformed("a record's field out of range");
}

template <class T>
T fieldOf(const nlohmann::json& record, const char* key) {
    return fieldOf<T>(record.at(key));
}

// The bytes of a binary field; throws for anything else.
inline const std::vector<std::uint8_t>& bytes(const nlohmann::json& field) {
    return field.get_binary();
}

}  // namespace zvremote

#endif
