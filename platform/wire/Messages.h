// The messages' records, written and read here for both ends, so that each field's name is
// spelled once: a point and the point calls' requests and replies, written in place; the
// records of the other calls (a report, a chain of ancestors, an enum state, the inventory, a
// product sequence, a notification's, an answer piece's) as json maps. docs/engine-protocol.md
// lists the messages.
#ifndef ZV_MESSAGES_H
#define ZV_MESSAGES_H

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "Names.h"
#include "Pack.h"
#include "ZvPldTypes.h"

namespace zvwire {

// ---- The point calls ----

// `op` and `pnt`: the first two fields of a point call's request, after `id`.
constexpr std::uint32_t kPointCallFields = 2;
void WritePointCall(PackWriter& out, const char* op, const ZvVelPntDfn& pnt);

// The point a request names, from a json document or a map read in place; its record points
// into the text it owns.
struct PointArgument {
    template <class Message>
    explicit PointArgument(const Message& request) {
        const auto& p = Object(request, "pnt");
        auxText = Text(p, "auxText");
        dfn.deviceIdx = Number<std::uint16_t>(p, "deviceIdx");
        dfn.gddId = Number<std::uint32_t>(p, "gddId");
        dfn.mmIdx = Number<std::uint16_t>(p, "mmIdx");
        dfn.auxIdx = Number<std::uint16_t>(p, "auxIdx", 0);
        dfn.auxParam = Number<std::int16_t>(p, "auxParam", 0);
        dfn.uofm = Number<std::uint32_t>(p, "uofm", 0);
    }
    ZvVelPntDfn Dfn() const {
        ZvVelPntDfn d = dfn;
        d.auxText = auxText ? auxText->c_str() : nullptr;
        return d;
    }

    ZvVelPntDfn dfn{};
    std::optional<std::string> auxText;
};

// A point call's reply: `id` as the request had it, `status`, then `key`, whose value the caller
// writes.
void WriteReplyHead(PackWriter& out, const PackValue& id, Y4_Status status, const char* key);

// ---- The records of the other calls ----

nlohmann::json ReportJson(const ZvVelRprtDfn& rprt);  // `deviceIdx`, `gddId`, `mmIdx`
ZvVelRprtDfn ReportOf(const nlohmann::json& record);

nlohmann::json AncestorJson(std::uint32_t gddId, std::uint16_t mmIdx, std::uint32_t auxValue);
ZvPldEngAncestorEntry AncestorOf(const nlohmann::json& record);

nlohmann::json EnumStateJson(const ZvVelPntEnum& state);
ZvVelPntEnum EnumStateOf(const nlohmann::json& record);

nlohmann::json InventoryJson(const ZvVelInventory& inventory);
ZvVelInventory InventoryOf(const nlohmann::json& record);

nlohmann::json SequenceJson(const ZvProductIdentSeq& seq);
ZvProductIdentSeq SequenceOf(const nlohmann::json& record);

// ---- Notifications and answer pieces ----

nlohmann::json EventJson(const ZvVEventInfo& info);
ZvVEventInfo EventOf(const nlohmann::json& record);

// A value change's record without its data, which goes beside it; read back, pData is null.
nlohmann::json ValueChangeJson(const ZvValChgInfo& info);
ZvValChgInfo ValueChangeOf(const nlohmann::json& record);

// A piece of the answer to the request `req`: the whole message, the engine's buffer in it.
nlohmann::json PieceJson(const nlohmann::json& req, const ZvCallbackInfo& piece);
// Its record, but for pUserData and the buffer.
ZvCallbackInfo PieceOf(const nlohmann::json& message);

}  // namespace zvwire

#endif
