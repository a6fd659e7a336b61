#include "Operations.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>
#include <string_view>
#include <type_traits>
#include <unordered_map>
#include <vector>

#include "Control.h"
#include "Fields.h"
#include "Log.h"
#include "Messages.h"
#include "Names.h"
#include "Pack.h"

namespace pldengined {

using nlohmann::json;
using zvwire::Malformed;
using zvwire::Number;
using zvwire::Object;
using zvwire::Text;
namespace key = zvwire::key;
namespace op = zvwire::op;

namespace {

// Texts are read into buffers of at most this many bytes, whatever size a client names.
constexpr unsigned int kMaxText = 1u << 16;

using Point = zvwire::PointArgument;

ZvVelRprtDfn reportFrom(const json& request) {
    return zvwire::ReportOf(Object(request, key::kRprt));
}

// The bytes the engine wrote into a buffer of `size`: up to its NUL, or all of them.
json binaryText(const std::vector<char>& buf, std::size_t size) {
    const std::size_t n = strnlen(buf.data(), size);
    return json::binary(std::vector<std::uint8_t>(buf.begin(), buf.begin() + n));
}

template <class Message>
unsigned int textSize(const Message& request) {
    return std::min(Number<unsigned int>(request, key::kSize), kMaxText);
}

using Handler = void (*)(Call&, const json& request, Answer& answer);

template <class T, Y4_Status (zvsim::SimEngine::*Set)(const ZvVelPntDfn*, T, std::uint16_t),
          zvsim::Op kOp>
void setNumber(Call&, const json& request, Answer& answer) {
    const Point point(request);
    const auto setParam = Number<std::uint16_t>(request, key::kSetParam, 0);
    const T value = Number<T>(request, key::kValue);
    answer.write = ClientWrite{[point, value, setParam](zvsim::SimEngine& e) {
                                   const ZvVelPntDfn pnt = point.Dfn();
                                   return (e.*Set)(&pnt, value, setParam);
                               },
                               kOp, point.dfn};
}

void setText(Call&, const json& request, Answer& answer) {
    const Point point(request);
    const auto setParam = Number<std::uint16_t>(request, key::kSetParam, 0);
    const std::optional<std::string> value = Text(request, key::kValue);
    answer.write =
        ClientWrite{[point, value, setParam](zvsim::SimEngine& e) {
                        const ZvVelPntDfn pnt = point.Dfn();
                        return e.SetVelPntStr(&pnt, value ? value->c_str() : nullptr, setParam);
                    },
                    zvsim::Op::SetVelPntStr, point.dfn};
}

template <std::uint32_t (zvsim::SimEngine::*Get)(std::uint16_t, std::uint32_t)>
void countOf(Call& call, const json& request, Answer& answer) {
    answer.reply[key::kValue] = (call.engine.*Get)(Number<std::uint16_t>(request, key::kDeviceIdx),
                                                   Number<std::uint32_t>(request, key::kGddId));
}

void pointsReport(Call& call, const json& request, Answer& answer) {
    answer.reply[key::kValue] =
        call.engine.GetPointsRprt(Number<std::uint16_t>(request, key::kDeviceIdx),
                                  Number<unsigned long>(request, key::kGddId));
}

void maxAncestors(Call& call, const json& request, Answer& answer) {
    answer.reply[key::kValue] =
        call.engine.GetMaxNmbrAncstrs(Number<std::uint16_t>(request, key::kDeviceIdx));
}

void reportAncestors(Call& call, const json& request, Answer& answer) {
    // The engine writes in this process's layout; the client lays the records out in its own
    // buffer, so the daemon asks with room for the longest chain the device may have. It asks
    // once: each ask is a call the journal shows and the controls delay.
    ZvVelRprtDfn rprt = reportFrom(request);
    const std::size_t room = sizeof(ZvPldEngAncestors) + call.engine.MaxAncestors(rprt.deviceIdx) *
                                                             sizeof(ZvPldEngAncestorEntry);
    std::vector<std::uint64_t> buf(room / sizeof(std::uint64_t) + 1, 0);
    rprt.buf = buf.data();
    rprt.bufSize = static_cast<std::uint32_t>(room);
    const Y4_Status status = call.engine.GetRprtAncstr(&rprt);
    json& reply = answer.reply;
    reply[key::kStatus] = status;
    if (status != zvsim::kOk) return;
    const auto* bytes = reinterpret_cast<const unsigned char*>(buf.data());
    ZvPldEngAncestors head{};
    std::memcpy(&head, bytes, sizeof head);
    reply[key::kReport] = zvwire::AncestorJson(head.gddId, head.mmIdx, head.auxValue);
    json ancestors = json::array();
    for (std::size_t i = 0; i < head.nmbrAncstrs; ++i) {
        ZvPldEngAncestorEntry e{};
        std::memcpy(&e, bytes + sizeof head + i * sizeof e, sizeof e);
        ancestors.push_back(zvwire::AncestorJson(e.gddId, e.mmIdx, e.auxValue));
    }
    reply[key::kAncestors] = std::move(ancestors);
}

void reportLabel(Call& call, const json& request, Answer& answer) {
    ZvVelRprtDfn rprt = reportFrom(request);
    const unsigned int size = textSize(request);
    std::vector<char> buf(size + 1, '\0');
    answer.reply[key::kStatus] = call.engine.GetVelRprtStrLabel(&rprt, size, buf.data());
    answer.reply[key::kText] = binaryText(buf, size);
}

void enumStateInfo(Call& call, const json& request, Answer& answer) {
    const auto cells =
        std::min<unsigned int>(Number<unsigned int>(request, key::kMaxCount), 0xFFFF);
    std::vector<std::uint16_t> values(cells);
    ZvEnumStateType type{};
    std::uint16_t count = 0;
    const Y4_Status status = call.engine.GetVelEnumStateInfo(
        Number<std::uint16_t>(request, key::kDeviceIdx),
        Number<std::uint32_t>(request, key::kGddId), &type, &count, cells, values.data());
    values.resize(std::min<std::size_t>(count, cells));
    answer.reply[key::kStatus] = status;
    answer.reply[key::kType] = type.type;
    answer.reply[key::kCount] = count;  // the engine's true count, which may pass maxCount
    answer.reply[key::kValues] = values;
}

void enumStateText(Call& call, const json& request, Answer& answer) {
    const ZvVelPntEnum state = zvwire::EnumStateOf(Object(request, key::kState));
    const unsigned int size = textSize(request);
    std::vector<char> buf(size + 1, '\0');
    answer.reply[key::kStatus] = call.engine.GetVelEnumStateStr(&state, size, buf.data());
    answer.reply[key::kText] = binaryText(buf, size);
}

void process(Call& call, const json& request, Answer& answer) {
    const auto req = request.find(key::kReq);
    if (req == request.end() || !req->is_number_integer())
        throw Malformed("req missing or not an integer");
    const std::optional<std::string> url = Text(request, key::kUrl);
    const std::optional<std::string> query = Text(request, key::kQuery);
    ZvPldEngInfo info{};
    info.reqParam = Number<std::int32_t>(request, key::kReqParam);
    info.reqType = Number<std::int32_t>(request, key::kReqType);
    info.pUrl = url ? url->c_str() : nullptr;
    info.pQuery = query ? query->c_str() : nullptr;
    answer.reply[key::kStatus] = call.fanOut.Process(call.connection, *req, info);
}

void inventory(Call& call, const json&, Answer& answer) {
    ZvVelInventory inv{};
    answer.reply[key::kStatus] = call.engine.GetVelServerInventory(&inv);
    answer.reply[key::kInventory] = zvwire::InventoryJson(inv);
}

void productIds(Call& call, const json& request, Answer& answer) {
    ZvProductIdentSeq* seq =
        call.engine.GetProdSeqId(Number<std::uint16_t>(request, key::kDeviceIdx));
    if (seq == nullptr) {
        answer.reply[key::kSeq] = nullptr;
        return;
    }
    answer.reply[key::kSeq] = zvwire::SequenceJson(*seq);
    std::free(seq);
}

void fdmVersion(Call& call, const json& request, Answer& answer) {
    const int size = std::min<int>(Number<int>(request, key::kSize), static_cast<int>(kMaxText));
    std::vector<char> buf(size > 0 ? size + 1 : 1, '\0');
    answer.reply[key::kStatus] =
        call.engine.GetVelFDMVersion(Number<int>(request, key::kDeviceIdx), size, buf.data());
    answer.reply[key::kText] = binaryText(buf, size > 0 ? static_cast<std::size_t>(size) : 0);
}

void setEventState(Call& call, const json& request, Answer& answer) {
    answer.reply[key::kStatus] = call.engine.SetEventState(
        Number<std::uint32_t>(request, key::kEventId), Number<std::uint16_t>(request, key::kState));
}

void announcePldCount(Call& call, const json&, Answer& answer) {
    call.engine.AnnouncePldCount();
    answer.reply[key::kStatus] = zvsim::kOk;
}

void init(Call& call, const json& request, Answer& answer) {
    zvwire::List(request, key::kTexts);
    answer.reply[key::kValue] = call.engine.Init();
}

void reg(Call& call, const json& request, Answer& answer) {
    const std::optional<std::string> kind = Text(request, key::kKind);
    Number<std::uint16_t>(request, key::kRegArg, 0);
    const unsigned bit = kind == zvwire::note::kPld     ? FanOut::kPld
                         : kind == zvwire::note::kEvent ? FanOut::kEvent
                         : kind == zvwire::note::kValue ? FanOut::kValue
                                                        : FanOut::kNone;
    call.connection->kinds |= bit;
    answer.reply[key::kStatus] = bit != 0 ? zvsim::kOk : zvsim::kRejected;
    // The engine's registration is the daemon's own: the client's is journaled here.
    if (bit != 0) {
        call.engine.JournalCall(bit == FanOut::kPld     ? zvsim::Op::RegPldCntChng
                                : bit == FanOut::kEvent ? zvsim::Op::RegVelEvent
                                                        : zvsim::Op::RegValueChange,
                                zvsim::kOk);
    }
}

void unReg(Call& call, const json& request, Answer& answer) {
    const bool all = Number<int>(request, key::kWhat) == 1;
    if (all) {
        call.connection->kinds &= FanOut::kFeed;  // a subscription to the feed is not a Reg
        ++call.connection->unregs;
    }
    answer.reply[key::kStatus] = all ? zvsim::kOk : zvsim::kRejected;
    call.engine.JournalCall(zvsim::Op::UnReg, all ? zvsim::kOk : zvsim::kRejected);
}

using E = zvsim::SimEngine;
using zvsim::Op;

// An op's handler, and the status that answers a reply of it too long for a frame.
struct Operation {
    Handler handler;
    Y4_Status tooLong = zvsim::kNoEngine;
};

const std::unordered_map<std::string, Operation> kOperations = {
    {op::kSetVelPntStr, {&setText}},
    {op::kSetVelPntInt32, {&setNumber<std::int32_t, &E::SetVelPntInt32, Op::SetVelPntInt32>}},
    {op::kSetVelPntUint32, {&setNumber<std::uint32_t, &E::SetVelPntUint32, Op::SetVelPntUint32>}},
    {op::kGetMaxRprtMMCnt, {&countOf<&E::GetMaxRprtMMCnt>}},
    {op::kGetMaxPntArrayDim, {&countOf<&E::GetMaxPntArrayDim>}},
    {op::kGetPointsRprt, {&pointsReport}},
    {op::kGetMaxNmbrAncstrs, {&maxAncestors}},
    {op::kGetRprtAncstr, {&reportAncestors, zvsim::kBufferTooSmall}},
    {op::kGetVelRprtStrLabel, {&reportLabel}},
    {op::kGetVelEnumStateInfo, {&enumStateInfo}},
    {op::kGetVelEnumStateStr, {&enumStateText}},
    {op::kProcess, {&process}},
    {op::kGetVelServerInventory, {&inventory}},
    {op::kGetProdSeqId, {&productIds}},
    {op::kGetVelFDMVersion, {&fdmVersion}},
    {op::kSetEventState, {&setEventState}},
    {op::kAnnouncePldCount, {&announcePldCount}},
    {op::kInit, {&init}},
    {op::kReg, {&reg}},
    {op::kUnReg, {&unReg}},
    {op::kControl, {&AnswerControl}},
};

// ---- The hot reads, answered from the request's bytes without building its document ----

// The reply {id, status, `key`}, framed, with `write` writing the value of `key`.
template <class Write>
Frame packedReply(const zvwire::PackValue& id, Y4_Status status, const char* key, Write write) {
    auto bytes = std::make_shared<std::vector<std::uint8_t>>();
    bytes->reserve(64);
    const std::size_t start = zvwire::BeginFrame(*bytes);
    {
        zvwire::PackWriter out(*bytes);
        zvwire::WriteReplyHead(out, id, status, key);
        write(out);
    }
    // At most kMaxText bytes of text: far within a frame.
    zvwire::EndFrame(*bytes, start);
    return bytes;
}

using InPlace = Frame (*)(Call&, const zvwire::MapView& request, const zvwire::PackValue& id);

template <Y4_Status (zvsim::SimEngine::*Get)(const ZvVelPntDfn*, unsigned int, char*)>
Frame pointText(Call& call, const zvwire::MapView& request, const zvwire::PackValue& id) {
    const Point point(request);
    const ZvVelPntDfn pnt = point.Dfn();
    const unsigned int size = textSize(request);
    std::vector<char> buf(size + 1, '\0');
    const Y4_Status status = (call.engine.*Get)(&pnt, size, buf.data());
    return packedReply(id, status, key::kText, [&](zvwire::PackWriter& out) {
        out.Binary(buf.data(), strnlen(buf.data(), size));
    });
}

template <class T, class Out, Y4_Status (zvsim::SimEngine::*Get)(const ZvVelPntDfn*, Out*)>
Frame pointValue(Call& call, const zvwire::MapView& request, const zvwire::PackValue& id) {
    const Point point(request);
    const ZvVelPntDfn pnt = point.Dfn();
    Out value{};
    const Y4_Status status = (call.engine.*Get)(&pnt, &value);
    return packedReply(id, status, key::kValue, [&](zvwire::PackWriter& out) {
        if constexpr (std::is_same_v<Out, Y4paVelDsply>) {
            out.Unsigned(value.uofmId);
        } else {
            out.Number(static_cast<T>(value));
        }
    });
}

const std::unordered_map<std::string_view, InPlace> kInPlace = {
    {op::kGetVelPntStrLabel, &pointText<&E::GetVelPntStrLabel>},
    {op::kGetVelPntStrDscrptn, &pointText<&E::GetVelPntStrDscrptn>},
    {op::kGetVelPntStrUoM, &pointText<&E::GetVelPntStrUoM>},
    {op::kGetVelPntStr, &pointText<&E::GetVelPntStr>},
    {op::kGetVelPntUint32, &pointValue<std::uint32_t, std::uint32_t, &E::GetVelPntUint32>},
    {op::kGetVelPntAccessRights,
     &pointValue<std::uint32_t, std::uint32_t, &E::GetVelPntAccessRights>},
    {op::kGetVelPntDataType, &pointValue<std::uint32_t, std::uint32_t, &E::GetVelPntDataType>},
    {op::kGetVelPntDsplyNF, &pointValue<std::uint32_t, std::uint32_t, &E::GetVelPntDsplyNF>},
    {op::kGetVelPntInt32, &pointValue<std::int32_t, std::int32_t, &E::GetVelPntInt32>},
    {op::kGetVelPntUoMId, &pointValue<std::uint32_t, Y4paVelDsply, &E::GetVelPntUoMId>},
};

}  // namespace

bool AnswerInPlace(Call& call, const zvwire::MapView& request, Frame& reply) {
    const auto op = request.Find(key::kOp);
    if (!op || op->kind != zvwire::PackValue::Kind::String) return false;
    const auto handler = kInPlace.find(op->bytes);
    if (handler == kInPlace.end()) return false;
    const auto id = request.Find(key::kId);
    if (!id || (id->kind != zvwire::PackValue::Kind::Unsigned &&
                id->kind != zvwire::PackValue::Kind::Signed)) {
        throw Malformed("id missing or not an integer");
    }
    reply = handler->second(call, request, *id);
    return true;
}

Answer AnswerTo(Call& call, const json& request) {
    const auto id = request.find(key::kId);
    const auto op = request.find(key::kOp);
    if (id == request.end() || !id->is_number_integer())
        throw Malformed("id missing or not an integer");
    if (op == request.end() || !op->is_string()) throw Malformed("op missing or not a text");
    Answer answer{{{key::kId, *id}}, std::nullopt};
    const auto handler = kOperations.find(op->get_ref<const std::string&>());
    if (handler == kOperations.end()) {
        answer.reply[key::kStatus] = zvsim::kUnknownRequest;
    } else {
        handler->second.handler(call, request, answer);
    }
    return answer;
}

Frame ReplyFrame(const Connection& c, const json& request, const json& reply) {
    if (Frame frame = FrameOf(reply)) return frame;
    const std::string& op = request.at(key::kOp).get_ref<const std::string&>();
    const auto known = kOperations.find(op);
    const Y4_Status status = known == kOperations.end() ? zvsim::kNoEngine : known->second.tooLong;
    Log("connection %u: the reply to %s does not fit in a frame, answered %d", c.Id(), op.c_str(),
        static_cast<int>(status));
    return FrameOf({{key::kId, reply.at(key::kId)}, {key::kStatus, status}});
}

}  // namespace pldengined
