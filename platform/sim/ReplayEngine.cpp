// The replay's engine calls: each answered from the trace's record of the same request, with the
// recorded status and reply written where the call's caller looks for it, and journaled like the
// simulated engine's own; a request the trace does not hold is answered with kNoEngine.
#include "ReplayEngine.h"

#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "JournalCall.h"
#include "ReplayIndex.h"

namespace zvsim {
namespace {

using TOp = zvtrace::Op;

const zvtrace::Value* replyField(const zvtrace::Record& r, const char* name) {
    const zvtrace::Value* v = r.find(name);
    return v != nullptr && v->type != zvtrace::Type::None ? v : nullptr;
}

std::uint32_t numberOf(const zvtrace::Record& r, const char* name) {
    const zvtrace::Value* v = r.find(name);
    return v != nullptr ? v->number : 0;
}

// As the engine copies a point's texts: strncpy into `size` bytes.
void copyText(const zvtrace::Record& r, unsigned int size, char* buf) {
    const zvtrace::Value* text = replyField(r, "text");
    if (text == nullptr || buf == nullptr) return;
    std::strncpy(buf, text->bytes.c_str(), size);
}

TOp traceOp(Op op) {
    // The journal's ops follow the trace's, which count Init first.
    return static_cast<TOp>(static_cast<std::uint8_t>(op) + 2);
}

}  // namespace

std::shared_ptr<ReplayEngine> ReplayEngine::FromFile(const std::string& path) {
    return FromFile(path, ReplayIndex::kMaxIndexBytes);
}

std::shared_ptr<ReplayEngine> ReplayEngine::FromFile(const std::string& path,
                                                     std::size_t maxIndexBytes) {
    return std::make_shared<ReplayEngine>(std::make_unique<ReplayIndex>(path, maxIndexBytes));
}

ReplayEngine::ReplayEngine(std::unique_ptr<ReplayIndex> index)
    : SimEngine(std::move(index->catalogue)), m_index(std::move(index)) {}

ReplayEngine::~ReplayEngine() {
    stopThread();
}

bool ReplayEngine::recall(const RequestKey& key, zvtrace::Record& record, CallTarget& target,
                          std::uint64_t* number) {
    std::uint64_t n = 0;
    try {
        if (m_index->Answer(key.str(), record, number != nullptr ? *number : n)) return true;
    } catch (const std::exception&) {
        // the trace changed under the replay: nothing sound to answer
    }
    target.has |= JournalEntry::kUnrecorded;
    return false;
}

int ReplayEngine::Init() {
    zvtrace::Record r;
    CallTarget unused;
    return recall(RequestKey(TOp::Init), r, unused) ? r.head.status : SimEngine::Init();
}

Y4_Status ReplayEngine::text(Op op, const ZvVelPntDfn* pnt, unsigned int size, char* buf) {
    RequestKey key(traceOp(op));
    key.Point(pnt).U32(size);
    zvtrace::Record r;
    CallTarget target = TargetOf(pnt);
    const bool recorded = recall(key, r, target);
    Call call(*this, op, target, pnt->deviceIdx);
    if (!recorded) return call.answer(kNoEngine);
    copyText(r, size, buf);
    return call.answer(r.head.status);
}

Y4_Status ReplayEngine::GetVelPntStrLabel(const ZvVelPntDfn* pnt, unsigned int size, char* buf) {
    return text(Op::GetVelPntStrLabel, pnt, size, buf);
}

Y4_Status ReplayEngine::GetVelPntStrDscrptn(const ZvVelPntDfn* pnt, unsigned int size, char* buf) {
    return text(Op::GetVelPntStrDscrptn, pnt, size, buf);
}

Y4_Status ReplayEngine::GetVelPntStrUoM(const ZvVelPntDfn* pnt, unsigned int size, char* buf) {
    return text(Op::GetVelPntStrUoM, pnt, size, buf);
}

Y4_Status ReplayEngine::GetVelPntStr(const ZvVelPntDfn* pnt, unsigned int size, char* buf) {
    return text(Op::GetVelPntStr, pnt, size, buf);
}

template <class T>
Y4_Status ReplayEngine::number(Op op, const ZvVelPntDfn* pnt, T* value, const char* field) {
    RequestKey key(traceOp(op));
    key.Point(pnt);
    zvtrace::Record r;
    CallTarget target = TargetOf(pnt);
    const bool recorded = recall(key, r, target);
    Call call(*this, op, target, pnt->deviceIdx);
    if (!recorded) return call.answer(kNoEngine);
    if (const zvtrace::Value* v = replyField(r, field); v != nullptr && value != nullptr) {
        *value = static_cast<T>(v->number);
    }
    return call.answer(r.head.status);
}

Y4_Status ReplayEngine::GetVelPntInt32(const ZvVelPntDfn* pnt, std::int32_t* value) {
    return number(Op::GetVelPntInt32, pnt, value, "value");
}

Y4_Status ReplayEngine::GetVelPntUint32(const ZvVelPntDfn* pnt, std::uint32_t* value) {
    return number(Op::GetVelPntUint32, pnt, value, "value");
}

Y4_Status ReplayEngine::GetVelPntAccessRights(const ZvVelPntDfn* pnt, std::uint32_t* value) {
    return number(Op::GetVelPntAccessRights, pnt, value, "value");
}

Y4_Status ReplayEngine::GetVelPntDataType(const ZvVelPntDfn* pnt, std::uint32_t* value) {
    return number(Op::GetVelPntDataType, pnt, value, "value");
}

Y4_Status ReplayEngine::GetVelPntDsplyNF(const ZvVelPntDfn* pnt, std::uint32_t* value) {
    return number(Op::GetVelPntDsplyNF, pnt, value, "value");
}

Y4_Status ReplayEngine::GetVelPntUoMId(const ZvVelPntDfn* pnt, Y4paVelDsply* dsply) {
    return number(Op::GetVelPntUoMId, pnt, dsply != nullptr ? &dsply->uofmId : nullptr, "uofmId");
}

// A write changes nothing in a replay: it is answered as it was answered then.
Y4_Status ReplayEngine::write(Op op, RequestKey& key, const ZvVelPntDfn* pnt) {
    zvtrace::Record r;
    CallTarget target = TargetOf(pnt);
    const bool recorded = recall(key, r, target);
    Call call(*this, op, target, pnt->deviceIdx);
    return call.answer(recorded ? r.head.status : kNoEngine);
}

Y4_Status ReplayEngine::SetVelPntStr(const ZvVelPntDfn* pnt, const char* value,
                                     std::uint16_t setParam) {
    RequestKey key(TOp::SetVelPntStr);
    key.Point(pnt).Text(value).U32(setParam);
    return write(Op::SetVelPntStr, key, pnt);
}

Y4_Status ReplayEngine::SetVelPntInt32(const ZvVelPntDfn* pnt, std::int32_t value,
                                       std::uint16_t setParam) {
    RequestKey key(TOp::SetVelPntInt32);
    key.Point(pnt).I32(value).U32(setParam);
    return write(Op::SetVelPntInt32, key, pnt);
}

Y4_Status ReplayEngine::SetVelPntUint32(const ZvVelPntDfn* pnt, std::uint32_t value,
                                        std::uint16_t setParam) {
    RequestKey key(TOp::SetVelPntUint32);
    key.Point(pnt).U32(value).U32(setParam);
    return write(Op::SetVelPntUint32, key, pnt);
}

// A count answers its number; unrecorded, the failure value the daemon's clients get from 13.
std::uint32_t ReplayEngine::count(Op op, const RequestKey& key, const CallTarget& target,
                                  int device, std::uint32_t failure) {
    zvtrace::Record r;
    CallTarget t = target;
    const bool recorded = recall(key, r, t);
    Call call(*this, op, t, device);
    if (!recorded) return call.answer(failure, kNoEngine);
    return call.answer(static_cast<std::uint32_t>(r.head.status), kOk);
}

std::uint32_t ReplayEngine::GetMaxRprtMMCnt(std::uint16_t deviceIdx, std::uint32_t gddId) {
    const RequestKey key = RequestKey(TOp::GetMaxRprtMMCnt).U32(deviceIdx).U32(gddId);
    return count(Op::GetMaxRprtMMCnt, key, PointTarget(deviceIdx, gddId), deviceIdx, 0);
}

std::uint32_t ReplayEngine::GetMaxPntArrayDim(std::uint16_t deviceIdx, std::uint32_t gddId) {
    const RequestKey key = RequestKey(TOp::GetMaxPntArrayDim).U32(deviceIdx).U32(gddId);
    return count(Op::GetMaxPntArrayDim, key, PointTarget(deviceIdx, gddId), deviceIdx, 0);
}

std::uint32_t ReplayEngine::GetMaxNmbrAncstrs(unsigned short deviceIdx) {
    const RequestKey key = RequestKey(TOp::GetMaxNmbrAncstrs).U32(deviceIdx);
    return count(Op::GetMaxNmbrAncstrs, key, DeviceTarget(deviceIdx), deviceIdx, 0xFFFFFFFF);
}

std::uint32_t ReplayEngine::GetPointsRprt(unsigned short deviceIdx, unsigned long gddId) {
    const RequestKey key =
        RequestKey(TOp::GetPointsRprt).U32(deviceIdx).U32(static_cast<std::uint32_t>(gddId));
    return count(Op::GetPointsRprt, key, PointTarget(deviceIdx, static_cast<std::uint32_t>(gddId)),
                 deviceIdx, 0xFFFFFFFF);
}

// The record as the engine wrote it into the caller's buffer: the report, then its entries.
Y4_Status ReplayEngine::GetRprtAncstr(ZvVelRprtDfn* rprt) {
    const RequestKey key = RequestKey(TOp::GetRprtAncstr)
                               .U32(rprt->deviceIdx)
                               .U32(rprt->gddId)
                               .U32(rprt->mmIdx)
                               .U32(rprt->bufSize);
    zvtrace::Record r;
    CallTarget target = ReportTarget(rprt);
    const bool recorded = recall(key, r, target);
    Call call(*this, Op::GetRprtAncstr, target, rprt->deviceIdx);
    if (!recorded) return call.answer(kNoEngine);
    const zvtrace::Value* entries = replyField(r, "ancestors");
    const std::uint32_t count = numberOf(r, "count");
    const std::size_t size = sizeof(ZvPldEngAncestors) + count * sizeof(ZvPldEngAncestorEntry);
    if (entries == nullptr || entries->bytes.size() < std::size_t(count) * 10)
        return call.answer(r.head.status);
    // The same request from a client of another word size: this host's record is larger.
    if (rprt->buf == nullptr || rprt->bufSize < size) return call.answer(kBufferTooSmall);
    auto* const bytes = static_cast<unsigned char*>(rprt->buf);
    ZvPldEngAncestors head{};
    head.gddId = numberOf(r, "gdd");
    head.mmIdx = static_cast<std::uint16_t>(numberOf(r, "mm"));
    head.auxValue = numberOf(r, "aux");
    head.nmbrAncstrs = static_cast<std::uint16_t>(count);
    head.ancstrs = reinterpret_cast<ZvPldEngAncestorEntry*>(bytes + sizeof head);
    std::memcpy(bytes, &head, sizeof head);
    const auto* at = reinterpret_cast<const unsigned char*>(entries->bytes.data());
    for (std::uint32_t i = 0; i < count; ++i, at += 10) {
        const ZvPldEngAncestorEntry e{zvtrace::Get32(at), zvtrace::Get16(at + 4),
                                      zvtrace::Get32(at + 6)};
        std::memcpy(bytes + sizeof head + i * sizeof e, &e, sizeof e);
    }
    return call.answer(r.head.status);
}

// The label and a NUL after it, as the engine writes a report's label.
Y4_Status ReplayEngine::GetVelRprtStrLabel(ZvVelRprtDfn* rprt, unsigned int size, char* buf) {
    const RequestKey key = RequestKey(TOp::GetVelRprtStrLabel)
                               .U32(rprt->deviceIdx)
                               .U32(rprt->gddId)
                               .U32(rprt->mmIdx)
                               .U32(size);
    zvtrace::Record r;
    CallTarget target = ReportTarget(rprt);
    const bool recorded = recall(key, r, target);
    Call call(*this, Op::GetVelRprtStrLabel, target, rprt->deviceIdx);
    if (!recorded) return call.answer(kNoEngine);
    if (const zvtrace::Value* text = replyField(r, "text"); text != nullptr && buf != nullptr) {
        const std::size_t length = std::min<std::size_t>(text->bytes.size(), size);
        std::memcpy(buf, text->bytes.data(), length);
        buf[length] = '\0';
    }
    return call.answer(r.head.status);
}

Y4_Status ReplayEngine::GetVelEnumStateInfo(std::uint16_t deviceIdx, std::uint32_t gddId,
                                            ZvEnumStateType* type, std::uint16_t* count,
                                            unsigned int maxCount, std::uint16_t* values) {
    const RequestKey key =
        RequestKey(TOp::GetVelEnumStateInfo).U32(deviceIdx).U32(gddId).U32(maxCount);
    zvtrace::Record r;
    CallTarget target = PointTarget(deviceIdx, gddId);
    const bool recorded = recall(key, r, target);
    Call call(*this, Op::GetVelEnumStateInfo, target, deviceIdx);
    if (!recorded) return call.answer(kNoEngine);
    if (const zvtrace::Value* v = replyField(r, "type"); v != nullptr && type != nullptr) {
        type->type = v->number;
    }
    if (const zvtrace::Value* v = replyField(r, "count"); v != nullptr && count != nullptr) {
        *count = static_cast<std::uint16_t>(v->number);
    }
    if (const zvtrace::Value* v = replyField(r, "values"); v != nullptr && values != nullptr) {
        const auto* at = reinterpret_cast<const unsigned char*>(v->bytes.data());
        for (std::size_t i = 0; i < v->bytes.size() / 2 && i < maxCount; ++i) {
            values[i] = zvtrace::Get16(at + 2 * i);
        }
    }
    return call.answer(r.head.status);
}

Y4_Status ReplayEngine::GetVelEnumStateStr(const ZvVelPntEnum* state, unsigned int size,
                                           char* buf) {
    const RequestKey key = RequestKey(TOp::GetVelEnumStateStr)
                               .U32(state->deviceIdx)
                               .U32(state->gddId)
                               .U32(state->stateValue)
                               .U32(size);
    zvtrace::Record r;
    CallTarget target = PointTarget(state->deviceIdx, state->gddId);
    const bool recorded = recall(key, r, target);
    Call call(*this, Op::GetVelEnumStateStr, target, state->deviceIdx);
    if (!recorded) return call.answer(kNoEngine);
    copyText(r, size, buf);
    return call.answer(r.head.status);
}

Y4_Status ReplayEngine::GetVelServerInventory(ZvVelInventory* inventory) {
    zvtrace::Record r;
    CallTarget target;
    const bool recorded = recall(RequestKey(TOp::GetVelServerInventory), r, target);
    Call call(*this, Op::GetVelServerInventory, target, -1);
    if (!recorded) return call.answer(kNoEngine);
    if (inventory != nullptr && r.head.status == kOk) {
        std::memset(inventory, 0, sizeof *inventory);
        inventory->serverVersion = numberOf(r, "serverVersion");
        inventory->nmbrDevices = static_cast<std::uint16_t>(numberOf(r, "nmbrDevices"));
        inventory->maxDevices = static_cast<std::uint16_t>(numberOf(r, "maxDevices"));
        inventory->pldCount = numberOf(r, "pldCount");
        inventory->upTimeSec = numberOf(r, "upTimeSec");
        if (const zvtrace::Value* name = r.find("serverName")) {
            std::memcpy(inventory->serverName, name->bytes.data(),
                        std::min(name->bytes.size(), sizeof inventory->serverName));
        }
    }
    return call.answer(r.head.status);
}

ZvProductIdentSeq* ReplayEngine::GetProdSeqId(unsigned short deviceIdx) {
    zvtrace::Record r;
    CallTarget target = DeviceTarget(deviceIdx);
    const bool recorded = recall(RequestKey(TOp::GetProdSeqId).U32(deviceIdx), r, target);
    Call call(*this, Op::GetProdSeqId, target, deviceIdx);
    if (!recorded) return call.answer(nullptr, kNoEngine);
    const zvtrace::Value* identity = replyField(r, "identity");
    if (identity == nullptr) return call.answer(nullptr, r.head.status);
    auto* seq = static_cast<ZvProductIdentSeq*>(std::malloc(sizeof(ZvProductIdentSeq)));
    if (seq == nullptr) return call.answer(nullptr, kRejected);
    const auto* b = reinterpret_cast<const unsigned char*>(identity->bytes.data());
    seq->nmbrIds = b[0];
    seq->revision = b[1];
    for (std::size_t i = 0; i < 8; ++i) seq->ids[i] = zvtrace::Get16(b + 2 + 2 * i);
    return call.answer(seq, r.head.status);
}

Y4_Status ReplayEngine::GetVelFDMVersion(int deviceIdx, int size, char* buf) {
    zvtrace::Record r;
    CallTarget target = DeviceTarget(static_cast<std::uint16_t>(deviceIdx));
    const bool recorded =
        recall(RequestKey(TOp::GetVelFDMVersion).I32(deviceIdx).I32(size), r, target);
    Call call(*this, Op::GetVelFDMVersion, target, deviceIdx);
    if (!recorded) return call.answer(kNoEngine);
    if (size > 0) copyText(r, static_cast<unsigned int>(size), buf);
    return call.answer(r.head.status);
}

}  // namespace zvsim
