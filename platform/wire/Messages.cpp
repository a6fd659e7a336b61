#include "Messages.h"

#include <algorithm>
#include <cstring>
#include <iterator>

#include "Fields.h"

namespace zvwire {

using json = nlohmann::json;

void WritePointCall(PackWriter& out, const char* op, const ZvVelPntDfn& pnt) {
    out.String(key::kOp);
    out.String(op);
    out.String(key::kPnt);
    out.Map(7);
    out.Field("auxIdx", pnt.auxIdx);
    out.Field("auxParam", pnt.auxParam);
    out.TextField("auxText", pnt.auxText);
    out.Field("deviceIdx", pnt.deviceIdx);
    out.Field("gddId", pnt.gddId);
    out.Field("mmIdx", pnt.mmIdx);
    out.Field("uofm", pnt.uofm);
}

void WriteReplyHead(PackWriter& out, const PackValue& id, Y4_Status status, const char* key) {
    out.Map(3);
    out.String(key::kId);
    if (id.kind == PackValue::Kind::Unsigned) {
        out.Unsigned(id.u);
    } else {
        out.Signed(id.i);
    }
    out.Field(key::kStatus, status);
    out.String(key);
}

json ReportJson(const ZvVelRprtDfn& rprt) {
    return {{"deviceIdx", rprt.deviceIdx}, {"gddId", rprt.gddId}, {"mmIdx", rprt.mmIdx}};
}

ZvVelRprtDfn ReportOf(const json& record) {
    ZvVelRprtDfn rprt{};
    rprt.deviceIdx = Number<std::uint16_t>(record, "deviceIdx");
    rprt.gddId = Number<std::uint32_t>(record, "gddId");
    rprt.mmIdx = Number<std::uint16_t>(record, "mmIdx");
    return rprt;
}

json AncestorJson(std::uint32_t gddId, std::uint16_t mmIdx, std::uint32_t auxValue) {
    return {{"gddId", gddId}, {"mmIdx", mmIdx}, {"auxValue", auxValue}};
}

ZvPldEngAncestorEntry AncestorOf(const json& record) {
    return ZvPldEngAncestorEntry{Number<std::uint32_t>(record, "gddId"),
                                 Number<std::uint16_t>(record, "mmIdx"),
                                 Number<std::uint32_t>(record, "auxValue")};
}

json EnumStateJson(const ZvVelPntEnum& state) {
    return {
        {"deviceIdx", state.deviceIdx}, {"gddId", state.gddId}, {"stateValue", state.stateValue}};
}

ZvVelPntEnum EnumStateOf(const json& record) {
    return ZvVelPntEnum{Number<std::uint16_t>(record, "deviceIdx"),
                        Number<std::uint32_t>(record, "gddId"),
                        Number<std::uint16_t>(record, "stateValue")};
}

json InventoryJson(const ZvVelInventory& inv) {
    const auto* server = reinterpret_cast<const std::uint8_t*>(inv.serverName);
    return {{"serverVersion", inv.serverVersion},
            {"nmbrDevices", inv.nmbrDevices},
            {"maxDevices", inv.maxDevices},
            {"pldCount", inv.pldCount},
            {"upTimeSec", inv.upTimeSec},
            {"serverName", json::binary(std::vector<std::uint8_t>(
                               server, server + strnlen(inv.serverName, sizeof inv.serverName)))}};
}

ZvVelInventory InventoryOf(const json& record) {
    ZvVelInventory out{};
    out.serverVersion = Number<std::uint32_t>(record, "serverVersion");
    out.nmbrDevices = Number<std::uint16_t>(record, "nmbrDevices");
    out.maxDevices = Number<std::uint16_t>(record, "maxDevices");
    out.pldCount = Number<std::uint32_t>(record, "pldCount");
    out.upTimeSec = Number<std::uint32_t>(record, "upTimeSec");
    const std::vector<std::uint8_t>& name = Bytes(record, "serverName");
    if (name.size() > sizeof out.serverName) ThrowMalformed("serverName", "too long");
    std::copy(name.begin(), name.end(), out.serverName);
    return out;
}

json SequenceJson(const ZvProductIdentSeq& seq) {
    return {{"nmbrIds", seq.nmbrIds},
            {"revision", seq.revision},
            {"ids", std::vector<std::uint16_t>(seq.ids, std::end(seq.ids))}};
}

ZvProductIdentSeq SequenceOf(const json& record) {
    ZvProductIdentSeq seq{};
    seq.nmbrIds = Number<std::uint8_t>(record, "nmbrIds");
    seq.revision = Number<std::uint8_t>(record, "revision");
    const json& ids = List(record, "ids");
    if (ids.size() > std::size(seq.ids)) ThrowMalformed("ids", "too many");
    for (std::size_t i = 0; i < ids.size(); ++i)
        seq.ids[i] = NumberOf<std::uint16_t>(ids[i], "ids");
    return seq;
}

json EventJson(const ZvVEventInfo& info) {
    return {{"sequence", info.sequence},
            {"eventId", info.eventId},
            {"deviceIdx", info.deviceIdx},
            {"eventState", info.eventState},
            {"groupId", info.groupId}};
}

ZvVEventInfo EventOf(const json& record) {
    ZvVEventInfo info{};
    info.sequence = Number<std::uint32_t>(record, "sequence");
    info.eventId = Number<std::uint32_t>(record, "eventId");
    info.deviceIdx = Number<std::uint16_t>(record, "deviceIdx");
    info.eventState = Number<std::uint16_t>(record, "eventState");
    info.groupId = Number<std::uint32_t>(record, "groupId");
    return info;
}

json ValueChangeJson(const ZvValChgInfo& info) {
    return {{"sequence", info.sequence},   {"valueId", info.valueId}, {"mmIdx", info.mmIdx},
            {"deviceIdx", info.deviceIdx}, {"length", info.length},   {"dataType", info.dataType}};
}

ZvValChgInfo ValueChangeOf(const json& record) {
    ZvValChgInfo info{};
    info.sequence = Number<std::uint32_t>(record, "sequence");
    info.valueId = Number<std::uint32_t>(record, "valueId");
    info.mmIdx = Number<std::uint32_t>(record, "mmIdx");
    info.deviceIdx = Number<std::uint16_t>(record, "deviceIdx");
    info.length = Number<std::uint16_t>(record, "length");
    info.dataType = Number<std::uint32_t>(record, "dataType");
    return info;
}

json PieceJson(const json& req, const ZvCallbackInfo& piece) {
    const auto* buf = reinterpret_cast<const std::uint8_t*>(piece.pProcOutBuf);
    return {{key::kNtf, note::kPiece},
            {key::kReq, req},
            {key::kStatus, piece.status},
            {key::kReqType, piece.reqType},
            {key::kReqParam, piece.reqParam},
            {"sequence", piece.sequence},
            {key::kBufSize, piece.procOutBufSize},
            {"len", piece.procOutLen},
            {key::kBuf, json::binary(std::vector<std::uint8_t>(buf, buf + piece.procOutBufSize))}};
}

ZvCallbackInfo PieceOf(const json& message) {
    ZvCallbackInfo piece{};
    piece.status = Number<std::int32_t>(message, key::kStatus);
    piece.reqType = Number<std::int32_t>(message, key::kReqType);
    piece.reqParam = Number<std::int32_t>(message, key::kReqParam);
    piece.sequence = Number<std::uint32_t>(message, "sequence");
    piece.procOutBufSize = Number<std::uint32_t>(message, key::kBufSize);
    piece.procOutLen = Number<std::uint32_t>(message, "len");
    return piece;
}

}  // namespace zvwire
