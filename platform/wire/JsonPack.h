// Messages as json documents, for every message but the point calls': written and read by the
// same codec as those, in the same forms nlohmann's to_msgpack and from_msgpack use, so that a
// document comes back as it went.
#ifndef ZV_JSON_PACK_H
#define ZV_JSON_PACK_H

#include <cstddef>
#include <cstdint>

#include <nlohmann/json.hpp>

#include "Pack.h"

namespace zvwire {

void WriteJson(const nlohmann::json& value, PackWriter& out);

// The document of `size` bytes that PackIndex::Read accepted.
nlohmann::json ReadJson(const std::uint8_t* data, std::size_t size);

}  // namespace zvwire

#endif
