// The message client's readers of the daemon's replies, one for each kind of result: each has
// the value that a call answers when it fails, and throws zvwire::Malformed for a reply that is.
#ifndef ZV_REMOTE_REPLIES_H
#define ZV_REMOTE_REPLIES_H

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "Fields.h"
#include "Names.h"
#include "Pack.h"
#include "ZvPldStatus.h"
#include "ZvPldTypes.h"

namespace zvremote {

using json = nlohmann::json;
using zvstatus::kNoEngine;
using zvwire::Number;
namespace key = zvwire::key;

struct Status {
    Y4_Status failure = kNoEngine;
    template <class Reply>
    Y4_Status operator()(const Reply& reply) const {
        return Number<Y4_Status>(reply, key::kStatus);
    }
};

// A count or Init's result, in `value`.
template <class T>
struct Count {
    T failure;
    T operator()(const json& reply) const { return Number<T>(reply, key::kValue); }
};

// The status, and on success the `value` into the caller's variable.
template <class T>
struct Value {
    T* value;
    Y4_Status failure = kNoEngine;
    template <class Reply>
    Y4_Status operator()(const Reply& reply) const {
        const auto status = Number<Y4_Status>(reply, key::kStatus);
        if (status == 0 && value != nullptr) *value = Number<T>(reply, key::kValue);
        return status;
    }
};

inline std::optional<std::string> textOf(const json& reply, const char* key) {
    return zvwire::Text(reply, key);
}
inline std::optional<std::string_view> textOf(const zvwire::MapView& reply, const char* key) {
    return zvwire::TextView(reply, key);
}

// The text goes into the caller's buffer as the daemon sent it, within `room` bytes, with a NUL
// after it where it leaves room (as strncpy leaves the engine's buffer).
struct Text {
    char* buf;
    std::size_t room;
    Y4_Status failure = kNoEngine;
    template <class Reply>
    Y4_Status operator()(const Reply& reply) const {
        const auto status = Number<Y4_Status>(reply, key::kStatus);
        const auto text = textOf(reply, key::kText);
        if (!text) return status;
        const auto& value = *text;
        if (buf != nullptr && room > 0) {
            const std::size_t n = std::min(value.size(), room);
            std::memcpy(buf, value.data(), n);
            if (n < room) buf[n] = '\0';
        }
        return status;
    }
};

// A reply with records of its own, read by `read` once its status is 0.
template <class Read>
struct Records {
    Read read;
    Y4_Status failure = kNoEngine;
    Y4_Status operator()(const json& reply) const {
        const auto status = Number<Y4_Status>(reply, key::kStatus);
        return status != 0 ? status : read(reply);
    }
};
template <class Read>
Records(Read) -> Records<Read>;

// GetRprtAncstr's report and its chain, in the caller's buffer in the engine's layout.
Y4_Status WriteAncestors(const json& reply, ZvVelRprtDfn* rprt);
Y4_Status WriteEnumStates(const json& reply, ZvEnumStateType* type, std::uint16_t* count,
                          unsigned int maxCount, std::uint16_t* values);
Y4_Status WriteInventory(const json& reply, ZvVelInventory* inventory);

// GetProdSeqId's record, in memory of malloc's that the caller frees; null for none.
struct ProductSequence {
    ZvProductIdentSeq* failure = nullptr;
    ZvProductIdentSeq* operator()(const json& reply) const;
};

}  // namespace zvremote

#endif
