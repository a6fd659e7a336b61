// The engine's operations over the connection: each maps its arguments to a request and the
// reply to its outputs, with one of the reply readers of Replies.h.
#include "RemoteEngine.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "EngineText.h"
#include "Messages.h"
#include "Names.h"
#include "Pack.h"
#include "Replies.h"
#include "ZvPldStatus.h"
#include "dlog.h"

namespace zvremote {

namespace {

using json = nlohmann::json;
using zvstatus::kBufferTooSmall;
using zvstatus::kNoEngine;
using zvstatus::kRejected;
using zvstatus::kUnknownRequest;
using zvwire::List;
using zvwire::Number;
using zvwire::NumberOf;
using zvwire::Object;
namespace op = zvwire::op;

// ---- Requests ----

json call(const char* name, json arguments = json::object()) {
    arguments[key::kOp] = name;
    return arguments;
}

// An operation on a point, written straight to MessagePack (the reads are the hot calls): its
// `op` and `pnt`, then the `more` fields its caller writes.
RemoteConnection::Packed onPoint(const char* name, const ZvVelPntDfn* pnt, std::uint32_t more) {
    RemoteConnection::Packed request;
    request.entries = zvwire::kPointCallFields + more;
    request.fields.reserve(128);
    {
        zvwire::PackWriter out(request.fields);
        zvwire::WritePointCall(out, name, *pnt);
    }
    return request;
}

RemoteConnection::Packed pointText(const char* name, const ZvVelPntDfn* pnt, unsigned int size) {
    RemoteConnection::Packed request = onPoint(name, pnt, 1);
    zvwire::PackWriter(request.fields).Field(key::kSize, size);
    return request;
}

template <class T>
RemoteConnection::Packed pointWrite(const char* name, const ZvVelPntDfn* pnt, T value,
                                    std::uint16_t setParam) {
    RemoteConnection::Packed request = onPoint(name, pnt, 2);
    {
        zvwire::PackWriter out(request.fields);
        out.Field(key::kSetParam, setParam);
        if constexpr (std::is_same_v<T, const char*>) {
            out.TextField(key::kValue, value);
        } else {
            out.Field(key::kValue, value);
        }
    }
    return request;
}

}  // namespace

std::shared_ptr<RemoteEngine> RemoteEngine::FromClientText(const char* first, const char* second,
                                                           const char* third) {
    if (!zvwire::NamesDaemon(first)) return nullptr;
    zvwire::DaemonText daemon;
    std::string error;
    const bool usable = zvwire::ReadDaemonText(first, daemon, error);
    std::shared_ptr<RemoteEngine> engine(
        new RemoteEngine(std::move(daemon.path), daemon.deadline,
                         std::array<std::string, 3>{first, second != nullptr ? second : "",
                                                    third != nullptr ? third : ""}));
    if (!usable) {
        // Any other engine in its place would answer for the daemon, and a default in place of
        // a mistaken deadline would hide the mistake: no call goes anywhere.
        __dlog_printf(3, "ZvPldMsgClient", "%s: %s; every call fails with 13", first,
                      error.c_str());
        engine->m_connection.Close();
    }
    // The delivering thread owns the engine too: closed from within a capture or response
    // function, the engine outlives its client until that function has returned.
    engine->m_delivery.Start(engine->m_connection, engine);
    struct Closer {
        std::shared_ptr<RemoteEngine> owner;
        void operator()(RemoteEngine* closing) {
            closing->Close();
            owner.reset();
        }
    };
    RemoteEngine* const raw = engine.get();
    return std::shared_ptr<RemoteEngine>(raw, Closer{std::move(engine)});
}

RemoteEngine::RemoteEngine(std::string path, std::chrono::milliseconds deadline,
                           std::array<std::string, 3> texts)
    : m_texts(std::move(texts)), m_connection(std::move(path), deadline, m_delivery) {}

RemoteEngine::~RemoteEngine() {
    Close();
}

template <class Read>
auto RemoteEngine::ask(json request, const Read& read) -> decltype(Read::failure) {
    std::uint64_t generation = 0;
    const std::optional<json> reply = m_connection.Call(std::move(request), &generation);
    if (!reply) return read.failure;
    try {
        return read(*reply);
    } catch (const std::exception&) {
        m_connection.Break(generation);  // as bad as a malformed frame
        return read.failure;
    }
}

template <class Read>
auto RemoteEngine::ask(const RemoteConnection::Packed& request, const Read& read)
    -> decltype(Read::failure) {
    std::uint64_t generation = 0;
    zvwire::PackedMessage reply;
    if (!m_connection.Call(request, reply, &generation)) return read.failure;
    try {
        return read(reply.Root());
    } catch (const std::exception&) {
        m_connection.Break(generation);
        return read.failure;
    }
}

// ---- Connection and registrations ----

int RemoteEngine::Init() {
    const json request = call(op::kInit, {{key::kTexts, m_texts}});
    const int value = ask(request, Count<int>{0});
    m_connection.Introduce(request);
    return value;
}

Y4_Status RemoteEngine::UnReg(int what) {
    const Y4_Status status = ask(call(op::kUnReg, {{key::kWhat, what}}), Status{});
    // Withdrawn here whatever the daemon said: nothing is called out after UnReg(1).
    if (what == 1) m_delivery.WithdrawAll();
    return status;
}

void RemoteEngine::Close() {
    std::thread delivery = m_delivery.Stop();
    m_connection.Close();
    m_delivery.Finish(std::move(delivery));
}

Y4_Status RemoteEngine::reg(NoteDelivery::Kind kind, void (*capture)(), void* context,
                            std::uint16_t regArg) {
    if (capture == nullptr) return kRejected;
    const auto before = m_delivery.Register(kind, {capture, context, regArg});
    const Y4_Status status = ask(NoteDelivery::RegRequest(kind, regArg), Status{});
    // One the daemon did not answer stays: it is registered when the daemon comes back.
    m_delivery.Registered(kind, capture, status == 0 || status == kNoEngine, before);
    return status;
}

Y4_Status RemoteEngine::RegPldCntChng(ZvPldCntChngFn capture, void* context, std::uint16_t regArg) {
    return reg(NoteDelivery::kPld, reinterpret_cast<void (*)()>(capture), context, regArg);
}

Y4_Status RemoteEngine::RegVelEvent(ZvVelEventFn capture, void* context, std::uint16_t regArg) {
    return reg(NoteDelivery::kEvent, reinterpret_cast<void (*)()>(capture), context, regArg);
}

Y4_Status RemoteEngine::RegValueChange(ZvValueChangeFn capture, void* context,
                                       std::uint16_t regArg) {
    return reg(NoteDelivery::kValue, reinterpret_cast<void (*)()>(capture), context, regArg);
}

// ---- Points ----

Y4_Status RemoteEngine::GetVelPntStrLabel(const ZvVelPntDfn* pnt, unsigned int size, char* buf) {
    if (pnt == nullptr) return kRejected;
    return ask(pointText(op::kGetVelPntStrLabel, pnt, size), Text{buf, size});
}

Y4_Status RemoteEngine::GetVelPntStrDscrptn(const ZvVelPntDfn* pnt, unsigned int size, char* buf) {
    if (pnt == nullptr) return kRejected;
    return ask(pointText(op::kGetVelPntStrDscrptn, pnt, size), Text{buf, size});
}

Y4_Status RemoteEngine::GetVelPntStrUoM(const ZvVelPntDfn* pnt, unsigned int size, char* buf) {
    if (pnt == nullptr) return kRejected;
    return ask(pointText(op::kGetVelPntStrUoM, pnt, size), Text{buf, size});
}

Y4_Status RemoteEngine::GetVelPntStr(const ZvVelPntDfn* pnt, unsigned int size, char* buf) {
    if (pnt == nullptr) return kRejected;
    return ask(pointText(op::kGetVelPntStr, pnt, size), Text{buf, size});
}

Y4_Status RemoteEngine::GetVelPntInt32(const ZvVelPntDfn* pnt, std::int32_t* value) {
    if (pnt == nullptr) return kRejected;
    return ask(onPoint(op::kGetVelPntInt32, pnt, 0), Value<std::int32_t>{value});
}

Y4_Status RemoteEngine::GetVelPntUint32(const ZvVelPntDfn* pnt, std::uint32_t* value) {
    if (pnt == nullptr) return kRejected;
    return ask(onPoint(op::kGetVelPntUint32, pnt, 0), Value<std::uint32_t>{value});
}

Y4_Status RemoteEngine::SetVelPntStr(const ZvVelPntDfn* pnt, const char* value,
                                     std::uint16_t setParam) {
    if (pnt == nullptr || value == nullptr) return kRejected;
    return ask(pointWrite(op::kSetVelPntStr, pnt, value, setParam), Status{});
}

Y4_Status RemoteEngine::SetVelPntInt32(const ZvVelPntDfn* pnt, std::int32_t value,
                                       std::uint16_t setParam) {
    if (pnt == nullptr) return kRejected;
    return ask(pointWrite(op::kSetVelPntInt32, pnt, value, setParam), Status{});
}

Y4_Status RemoteEngine::SetVelPntUint32(const ZvVelPntDfn* pnt, std::uint32_t value,
                                        std::uint16_t setParam) {
    if (pnt == nullptr) return kRejected;
    return ask(pointWrite(op::kSetVelPntUint32, pnt, value, setParam), Status{});
}

Y4_Status RemoteEngine::GetVelPntAccessRights(const ZvVelPntDfn* pnt, std::uint32_t* value) {
    if (pnt == nullptr) return kRejected;
    return ask(onPoint(op::kGetVelPntAccessRights, pnt, 0), Value<std::uint32_t>{value});
}

Y4_Status RemoteEngine::GetVelPntDataType(const ZvVelPntDfn* pnt, std::uint32_t* value) {
    if (pnt == nullptr) return kRejected;
    return ask(onPoint(op::kGetVelPntDataType, pnt, 0), Value<std::uint32_t>{value});
}

Y4_Status RemoteEngine::GetVelPntDsplyNF(const ZvVelPntDfn* pnt, std::uint32_t* value) {
    if (pnt == nullptr) return kRejected;
    return ask(onPoint(op::kGetVelPntDsplyNF, pnt, 0), Value<std::uint32_t>{value});
}

Y4_Status RemoteEngine::GetVelPntUoMId(const ZvVelPntDfn* pnt, Y4paVelDsply* dsply) {
    if (pnt == nullptr) return kRejected;
    return ask(onPoint(op::kGetVelPntUoMId, pnt, 0),
               Value<std::uint32_t>{dsply != nullptr ? &dsply->uofmId : nullptr});
}

// ---- Devices and reports ----

std::uint32_t RemoteEngine::GetMaxRprtMMCnt(std::uint16_t deviceIdx, std::uint32_t gddId) {
    return ask(call(op::kGetMaxRprtMMCnt, {{key::kDeviceIdx, deviceIdx}, {key::kGddId, gddId}}),
               Count<std::uint32_t>{0});
}

std::uint32_t RemoteEngine::GetMaxPntArrayDim(std::uint16_t deviceIdx, std::uint32_t gddId) {
    return ask(call(op::kGetMaxPntArrayDim, {{key::kDeviceIdx, deviceIdx}, {key::kGddId, gddId}}),
               Count<std::uint32_t>{0});
}

std::uint32_t RemoteEngine::GetMaxNmbrAncstrs(unsigned short deviceIdx) {
    return ask(call(op::kGetMaxNmbrAncstrs, {{key::kDeviceIdx, deviceIdx}}),
               Count<std::uint32_t>{0xFFFFFFFF});
}

std::uint32_t RemoteEngine::GetPointsRprt(unsigned short deviceIdx, unsigned long gddId) {
    return ask(call(op::kGetPointsRprt, {{key::kDeviceIdx, deviceIdx},
                                         {key::kGddId, static_cast<std::uint32_t>(gddId)}}),
               Count<std::uint32_t>{0});
}

Y4_Status RemoteEngine::GetRprtAncstr(ZvVelRprtDfn* rprt) {
    if (rprt == nullptr) return kRejected;
    return ask(call(op::kGetRprtAncstr,
                    {{key::kRprt, zvwire::ReportJson(*rprt)}, {key::kBufSize, rprt->bufSize}}),
               Records{[rprt](const json& reply) {
                   return WriteAncestors(reply, rprt);
               }});
}

// The engine writes the label and a NUL: the caller's buffer holds size + 1 bytes.
Y4_Status RemoteEngine::GetVelRprtStrLabel(ZvVelRprtDfn* rprt, unsigned int size, char* buf) {
    if (rprt == nullptr) return kRejected;
    return ask(call(op::kGetVelRprtStrLabel,
                    {{key::kRprt, zvwire::ReportJson(*rprt)}, {key::kSize, size}}),
               Text{buf, std::size_t{size} + 1});
}

Y4_Status RemoteEngine::GetVelEnumStateInfo(std::uint16_t deviceIdx, std::uint32_t gddId,
                                            ZvEnumStateType* type, std::uint16_t* count,
                                            unsigned int maxCount, std::uint16_t* values) {
    return ask(
        call(op::kGetVelEnumStateInfo,
             {{key::kDeviceIdx, deviceIdx}, {key::kGddId, gddId}, {key::kMaxCount, maxCount}}),
        Records{[=](const json& reply) {
            return WriteEnumStates(reply, type, count, maxCount, values);
        }});
}

Y4_Status RemoteEngine::GetVelEnumStateStr(const ZvVelPntEnum* state, unsigned int size,
                                           char* buf) {
    if (state == nullptr) return kRejected;
    return ask(call(op::kGetVelEnumStateStr,
                    {{key::kState, zvwire::EnumStateJson(*state)}, {key::kSize, size}}),
               Text{buf, size});
}

// ---- Pass-through and the server ----

Y4_Status RemoteEngine::Process(ZvPldEngInfo* request) {
    if (request == nullptr || request->pfnCallback == nullptr || request->pUrl == nullptr ||
        request->pQuery == nullptr) {
        return kUnknownRequest;
    }
    const std::uint32_t req = m_delivery.Expect(request->pfnCallback, request->pUserData);
    const Y4_Status status = ask(call(op::kProcess, {{key::kReq, req},
                                                     {key::kUrl, request->pUrl},
                                                     {key::kQuery, request->pQuery},
                                                     {key::kReqType, request->reqType},
                                                     {key::kReqParam, request->reqParam}}),
                                 Status{});
    if (status != 0) m_delivery.Forget(req);
    return status;
}

Y4_Status RemoteEngine::GetVelServerInventory(ZvVelInventory* inventory) {
    if (inventory == nullptr) return kRejected;
    return ask(call(op::kGetVelServerInventory), Records{[inventory](const json& reply) {
                   return WriteInventory(reply, inventory);
               }});
}

ZvProductIdentSeq* RemoteEngine::GetProdSeqId(unsigned short deviceIdx) {
    return ask(call(op::kGetProdSeqId, {{key::kDeviceIdx, deviceIdx}}), ProductSequence{});
}

Y4_Status RemoteEngine::GetVelFDMVersion(int deviceIdx, int size, char* buf) {
    return ask(call(op::kGetVelFDMVersion, {{key::kDeviceIdx, deviceIdx}, {key::kSize, size}}),
               Text{buf, size > 0 ? static_cast<std::size_t>(size) : 0});
}

}  // namespace zvremote
