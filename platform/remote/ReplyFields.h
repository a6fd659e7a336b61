// What the message client reads of replies and notifications beyond the shared readers.
#ifndef ZV_REMOTE_REPLY_FIELDS_H
#define ZV_REMOTE_REPLY_FIELDS_H

#include <cstdint>
#include <vector>

#include <nlohmann/json.hpp>

#include "Fields.h"

namespace zvremote {

// The binary `key` of `j`: a record's bytes (a server name, a piece's buffer) are never a string.
inline const std::vector<std::uint8_t>& Bytes(const nlohmann::json& j, const char* key) {
    const auto it = j.find(key);
    if (it == j.end() || !it->is_binary()) zvwire::ThrowMalformed(key, "missing or not binary");
    return it->get_binary();
}

}  // namespace zvremote

#endif
