// The trace's records: a traced call's, built after the unlock from what its facade noted, and
// those of the notifications and answer pieces the engine hands over, each built on the thread
// that got it and handed whole to the trace.
#include <cstring>
#include <exception>
#include <string>

#include "Frame.h"
#include "TraceFile.h"

namespace zvpld {

namespace {

using zvtrace::Encoder;
using zvtrace::Op;

template <class T>
const T* at(std::uintptr_t word) {
    return reinterpret_cast<const T*>(word);
}

void text(Encoder& e, const char* s) {
    if (s == nullptr) {
        e.None();
    } else {
        e.Text(s, strnlen(s, zvtrace::kMaxTextBytes));
    }
}

// A reply buffer's text: what the engine wrote before its first NUL, within its size.
void reply(Encoder& e, std::uintptr_t buf, std::uintptr_t size) {
    e.Text(at<char>(buf), strnlen(at<char>(buf), size));
}

void point(Encoder& e, std::uintptr_t word) {
    const ZvVelPntDfn& p = *at<ZvVelPntDfn>(word);
    e.U32(p.deviceIdx);
    e.U32(p.gddId);
    e.U32(p.mmIdx);
    e.U32(p.auxIdx);
    e.I32(p.auxParam);
    text(e, p.auxText);
    e.U32(p.uofm);
}

// 16-bit values as the format keeps them: big-endian.
void values16(Encoder& e, const std::uint16_t* v, std::size_t count) {
    unsigned char few[256];
    std::string many;
    unsigned char* bytes = few;
    if (2 * count > sizeof few) {
        many.resize(2 * count);
        bytes = reinterpret_cast<unsigned char*>(&many[0]);
    }
    for (std::size_t i = 0; i < count; ++i) zvtrace::Put16(bytes + 2 * i, v[i]);
    e.Bytes(bytes, 2 * count);
}

// The ancestor record as the engine wrote it; on a failure nothing the engine wrote is sound.
void ancestors(Encoder& e, const ZvVelRprtDfn& rprt, Y4_Status status) {
    const auto* rec = static_cast<const ZvPldEngAncestors*>(rprt.buf);
    if (status != 0 || rec == nullptr || rprt.bufSize < sizeof(ZvPldEngAncestors)) {
        for (int i = 0; i < 4; ++i) e.U32(0);
        e.None();
        return;
    }
    e.U32(rec->gddId);
    e.U32(rec->mmIdx);
    e.U32(rec->auxValue);
    e.U32(rec->nmbrAncstrs);
    const std::size_t bytes = 10u * rec->nmbrAncstrs;
    if (!ancestorEntriesWithin(*rec, rprt.bufSize) || bytes > zvtrace::kMaxBytesField) {
        e.None();
        return;
    }
    std::string entries(bytes, '\0');
    for (std::size_t i = 0; i < rec->nmbrAncstrs; ++i) {
        auto* to = reinterpret_cast<unsigned char*>(&entries[10 * i]);
        zvtrace::Put32(to, rec->ancstrs[i].gddId);
        zvtrace::Put16(to + 4, rec->ancstrs[i].mmIdx);
        zvtrace::Put32(to + 6, rec->ancstrs[i].auxValue);
    }
    e.Bytes(entries.data(), entries.size());
}

void identity(Encoder& e, const ZvProductIdentSeq* seq) {
    if (seq == nullptr) return e.None();
    unsigned char bytes[18];
    bytes[0] = seq->nmbrIds;
    bytes[1] = seq->revision;
    for (int i = 0; i < 8; ++i) zvtrace::Put16(bytes + 2 + 2 * i, seq->ids[i]);
    e.Bytes(bytes, sizeof bytes);
}

// The inventory: a reply alone.
void inventory(Encoder& e, const ZvVelInventory& v) {
    for (std::uint32_t n : {v.serverVersion, std::uint32_t{v.nmbrDevices},
                            std::uint32_t{v.maxDevices}, v.pldCount, v.upTimeSec}) {
        e.U32(n);
    }
    e.Bytes(v.serverName, sizeof v.serverName);
}

// The fields of call `op` in the order of its shape: request, then reply.
void fields(Encoder& e, Op op, const std::uintptr_t* a, std::uintptr_t answer) {
    const auto status = static_cast<Y4_Status>(answer);
    switch (op) {
        case Op::Init:
            break;
        case Op::GetVelServerInventory:
            inventory(e, *at<ZvVelInventory>(a[0]));
            break;
        case Op::UnReg:
            e.I32(static_cast<std::int32_t>(a[0]));
            break;
        case Op::RegPldCntChng:
        case Op::RegVelEvent:
        case Op::RegValueChange:
            e.U32(static_cast<std::uint32_t>(a[2]));
            break;
        case Op::GetVelPntStrLabel:
        case Op::GetVelPntStrDscrptn:
        case Op::GetVelPntStrUoM:
        case Op::GetVelPntStr:
            point(e, a[0]);
            e.U32(static_cast<std::uint32_t>(a[1]));
            reply(e, a[2], a[1]);
            break;
        case Op::GetVelPntInt32:
            point(e, a[0]);
            e.I32(*at<std::int32_t>(a[1]));
            break;
        case Op::GetVelPntUint32:
        case Op::GetVelPntAccessRights:
        case Op::GetVelPntDataType:
        case Op::GetVelPntDsplyNF:
            point(e, a[0]);
            e.U32(*at<std::uint32_t>(a[1]));
            break;
        case Op::GetVelPntUoMId:
            point(e, a[0]);
            e.U32(at<Y4paVelDsply>(a[1])->uofmId);
            break;
        case Op::SetVelPntStr:
            point(e, a[0]);
            text(e, at<char>(a[1]));
            e.U32(static_cast<std::uint32_t>(a[2]));
            break;
        case Op::SetVelPntInt32:
            point(e, a[0]);
            e.I32(static_cast<std::int32_t>(a[1]));
            e.U32(static_cast<std::uint32_t>(a[2]));
            break;
        case Op::SetVelPntUint32:
            point(e, a[0]);
            e.U32(static_cast<std::uint32_t>(a[1]));
            e.U32(static_cast<std::uint32_t>(a[2]));
            break;
        case Op::GetMaxRprtMMCnt:
        case Op::GetMaxPntArrayDim:
        case Op::GetPointsRprt:
            e.U32(static_cast<std::uint32_t>(a[0]));
            e.U32(static_cast<std::uint32_t>(a[1]));
            break;
        case Op::GetMaxNmbrAncstrs:
            e.U32(static_cast<std::uint32_t>(a[0]));
            break;
        case Op::GetRprtAncstr: {
            const ZvVelRprtDfn& r = *at<ZvVelRprtDfn>(a[0]);
            for (std::uint32_t v :
                 {std::uint32_t{r.deviceIdx}, r.gddId, std::uint32_t{r.mmIdx}, r.bufSize}) {
                e.U32(v);
            }
            ancestors(e, r, status);
            break;
        }
        case Op::GetVelRprtStrLabel: {
            const ZvVelRprtDfn& r = *at<ZvVelRprtDfn>(a[0]);
            e.U32(r.deviceIdx);
            e.U32(r.gddId);
            e.U32(r.mmIdx);
            e.U32(static_cast<std::uint32_t>(a[1]));
            reply(e, a[2], a[1]);
            break;
        }
        case Op::GetVelEnumStateInfo: {
            e.U32(static_cast<std::uint32_t>(a[0]));
            e.U32(static_cast<std::uint32_t>(a[1]));
            e.U32(static_cast<std::uint32_t>(a[4]));
            const std::uint16_t count = *at<std::uint16_t>(a[3]);
            e.U32(at<ZvEnumStateType>(a[2])->type);
            e.U32(count);
            values16(e, at<std::uint16_t>(a[5]), count < a[4] ? count : a[4]);
            break;
        }
        case Op::GetVelEnumStateStr: {
            const ZvVelPntEnum& s = *at<ZvVelPntEnum>(a[0]);
            e.U32(s.deviceIdx);
            e.U32(s.gddId);
            e.U32(s.stateValue);
            e.U32(static_cast<std::uint32_t>(a[1]));
            reply(e, a[2], a[1]);
            break;
        }
        case Op::Process: {
            const ZvPldEngInfo& r = *at<ZvPldEngInfo>(a[0]);
            e.I32(r.reqParam);
            text(e, r.pUrl);
            text(e, r.pQuery);
            e.I32(r.reqType);
            break;
        }
        case Op::GetProdSeqId:
            e.U32(static_cast<std::uint32_t>(a[0]));
            identity(e, at<ZvProductIdentSeq>(answer));
            break;
        case Op::GetVelFDMVersion:
            e.I32(static_cast<std::int32_t>(a[0]));
            e.I32(static_cast<std::int32_t>(a[1]));
            reply(e, a[2], a[1] > 0x7FFFFFFF ? 0 : a[1]);
            break;
    }
}

zvtrace::Head headOf(Trace& trace, zvtrace::Kind kind, std::uint8_t op, std::int32_t status) {
    zvtrace::Head head;
    head.kind = kind;
    head.op = op;
    head.thread = trace.ThreadNumber();
    head.seq = trace.NextSeq();
    head.start = head.end = trace.Now();
    head.status = status;
    return head;
}

template <class Fill>
void note(zvtrace::NoteKind kind, Fill&& fill) {
    const TraceUse use;
    Trace* trace = use.trace();
    if (trace == nullptr || !trace->Recording()) return;
    const zvtrace::Shape& shape = zvtrace::kNotes[static_cast<int>(kind) - 1];
    try {
        trace->Add(false, [&](std::string& out) {
            Encoder e(out, headOf(*trace, zvtrace::Kind::Note, static_cast<std::uint8_t>(kind), 0),
                      shape.requestCount, 0);
            fill(e);
            return e.Finish();
        });
    } catch (const std::exception&) {  // nothing is thrown into the engine's thread
    }
}

// A Process call whose pieces the trace gets: the library's own active-events answer, or a
// caller's answer relayed.
bool answersWithPieces(const std::uintptr_t* a) {
    const auto* request = at<ZvPldEngInfo>(a[0]);
    return request != nullptr &&
           (request->pfnCallback == &ZvPldProxy::ProcessActiveEventsCB || IsRelayed(request));
}

}  // namespace

void TracedClient::begin() {
    m_seq = m_trace->NextSeq();
    m_start = m_trace->Now();
    if (m_op == Op::Process && answersWithPieces(m_args)) {
        const auto* request = at<ZvPldEngInfo>(m_args[0]);
        const bool relayed = IsRelayed(request);
        if (relayed) RelayOpened(request, m_seq);
        m_trace->OpenAnswer(m_seq, !relayed);
    }
}

void TracedClient::end() {
    m_end = m_trace->Now();
}

void TracedClient::Append() {
    Trace& trace = *m_trace;
    if (!trace.Recording()) return;
    const zvtrace::Shape& shape = zvtrace::kCalls[static_cast<int>(m_op) - 1];
    zvtrace::Head head;
    head.kind = zvtrace::Kind::Call;
    head.op = static_cast<std::uint8_t>(m_op);
    head.thread = trace.ThreadNumber();
    head.seq = m_seq;
    head.start = m_start;
    head.end = m_end;
    head.status = static_cast<std::int32_t>(m_op == Op::GetProdSeqId ? 0 : m_answer);
    try {
        trace.AddCall(m_seq, m_op == Op::Process && answersWithPieces(m_args),
                      [&](std::string& out) {
                          Encoder e(out, head, shape.requestCount, shape.replyCount);
                          fields(e, m_op, m_args, m_answer);
                          return e.Finish();
                      });
    } catch (const std::exception&) {  // the trace's lock failed: the call goes on untraced
    }
}

void TracePldCount(unsigned long count) {
    note(zvtrace::NoteKind::PldCount,
         [&](Encoder& e) { e.U32(static_cast<std::uint32_t>(count)); });
}

void TraceEvent(const ZvVEventInfo* info) {
    note(zvtrace::NoteKind::Event, [&](Encoder& e) {
        for (std::uint32_t v : {info->sequence, info->eventId, std::uint32_t{info->deviceIdx},
                                std::uint32_t{info->eventState}, info->groupId}) {
            e.U32(v);
        }
    });
}

void TraceValueChange(const ZvValChgInfo* info) {
    note(zvtrace::NoteKind::ValueChange, [&](Encoder& e) {
        for (std::uint32_t v :
             {info->sequence, info->valueId, info->mmIdx, std::uint32_t{info->deviceIdx},
              std::uint32_t{info->length}, info->dataType}) {
            e.U32(v);
        }
        if (info->pData == nullptr) return e.None();
        values16(e, info->pData, info->length);
    });
}

void TracePiece(const ZvCallbackInfo* cbi) {
    TracePiece(cbi, 0);
}

void TracePiece(const ZvCallbackInfo* cbi, std::uint32_t relayedCall) {
    const TraceUse use;
    Trace* trace = use.trace();
    if (cbi == nullptr || trace == nullptr || !trace->Recording()) return;
    const std::uint32_t call = relayedCall != 0 ? relayedCall : trace->AnswerCall();
    // A piece with no buffer is kept as one with no text.
    const std::uint32_t outLen = cbi->pProcOutBuf == nullptr ? 0 : cbi->procOutLen;
    std::size_t size = outLen < cbi->procOutBufSize ? outLen : cbi->procOutBufSize;
    if (size > zvtrace::kMaxBytesField) size = zvtrace::kMaxBytesField;
    try {
        trace->AddPiece(call, [&](std::string& out) {
            Encoder e(out, headOf(*trace, zvtrace::Kind::Piece, 0, cbi->status),
                      zvtrace::kPiece.requestCount, 0);
            e.U32(call);
            e.I32(cbi->reqType);
            e.I32(cbi->reqParam);
            e.U32(cbi->sequence);
            e.U32(cbi->procOutBufSize);
            e.U32(outLen);
            e.Bytes(cbi->pProcOutBuf != nullptr ? cbi->pProcOutBuf : "", size);
            return e.Finish();
        });
    } catch (const std::exception&) {  // nothing is thrown into the engine's thread
    }
}

}  // namespace zvpld
