#include "Replies.h"

#include <cstdlib>
#include <vector>

#include "Messages.h"

namespace zvremote {

using zvstatus::kBufferTooSmall;
using zvwire::List;
using zvwire::NumberOf;
using zvwire::Object;

Y4_Status WriteAncestors(const json& reply, ZvVelRprtDfn* rprt) {
    const ZvPldEngAncestorEntry own = zvwire::AncestorOf(Object(reply, key::kReport));
    std::vector<ZvPldEngAncestorEntry> chain;
    for (const json& ancestor : List(reply, key::kAncestors)) {
        chain.push_back(zvwire::AncestorOf(ancestor));
    }
    const std::size_t need = sizeof(ZvPldEngAncestors) + chain.size() * sizeof chain[0];
    if (rprt->buf == nullptr || rprt->bufSize < need || chain.size() > 0xFFFF) {
        return kBufferTooSmall;
    }
    auto* const out = static_cast<unsigned char*>(rprt->buf);
    ZvPldEngAncestors header{};
    header.gddId = own.gddId;
    header.mmIdx = own.mmIdx;
    header.auxValue = own.auxValue;
    header.nmbrAncstrs = static_cast<std::uint16_t>(chain.size());
    header.ancstrs = reinterpret_cast<ZvPldEngAncestorEntry*>(out + sizeof header);
    std::memcpy(out, &header, sizeof header);
    if (!chain.empty()) std::memcpy(out + sizeof header, chain.data(), need - sizeof header);
    return 0;
}

Y4_Status WriteEnumStates(const json& reply, ZvEnumStateType* type, std::uint16_t* count,
                          unsigned int maxCount, std::uint16_t* values) {
    const json& states = List(reply, key::kValues);
    // The count of all states, which may be more than the room for their values.
    const auto total =
        Number<std::uint16_t>(reply, key::kCount, static_cast<std::uint16_t>(states.size()));
    for (std::size_t i = 0; i < states.size() && i < maxCount && values != nullptr; ++i) {
        values[i] = NumberOf<std::uint16_t>(states[i], key::kValues);
    }
    if (type != nullptr) type->type = Number<std::uint32_t>(reply, key::kType);
    if (count != nullptr) *count = total;
    return 0;
}

Y4_Status WriteInventory(const json& reply, ZvVelInventory* inventory) {
    *inventory = zvwire::InventoryOf(Object(reply, key::kInventory));
    return 0;
}

ZvProductIdentSeq* ProductSequence::operator()(const json& reply) const {
    const auto none = reply.find(key::kSeq);
    if (none != reply.end() && none->is_null()) return nullptr;
    const ZvProductIdentSeq record = zvwire::SequenceOf(Object(reply, key::kSeq));
    auto* out = static_cast<ZvProductIdentSeq*>(std::malloc(sizeof record));
    if (out != nullptr) *out = record;
    return out;
}

}  // namespace zvremote
