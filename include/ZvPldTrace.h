// The trace file that the library writes when the client process asks for one (ZVPLD_TRACE):
// its layout, shared by the library that writes it and the tools that read it and answer from
// it. docs/trace-format.md describes the file for people.
//
// Every number is big-endian whatever the host, so a trace written on the device is read on a
// workstation. A file is a header, then records, each whole: a reader stops at the last whole
// record of a trace cut short.
#ifndef ZV_PLD_TRACE_H
#define ZV_PLD_TRACE_H

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

namespace zvtrace {

constexpr char kMagic[8] = {'Z', 'V', 'P', 'L', 'D', 'T', 'R', 'C'};
constexpr std::uint16_t kVersion = 1;

// The header: magic, version, flags (0), the writer's pid, the wall-clock time the trace began
// (ms since 1970, for people only), 8 bytes reserved (0).
constexpr std::size_t kHeaderBytes = 32;

// A record: its length (the bytes after the length word), then a fixed part, then its fields.
//   u32 length; u8 kind; u8 op; u16 thread; u32 seq; u64 start; u64 end; i32 status;
//   u8 request fields; u8 reply fields; then the fields, request first.
constexpr std::size_t kLengthBytes = 4;
constexpr std::size_t kFixedBytes = 30;
// A record's length is at most this: the largest field (a value change's data, 65535 units)
// with room to spare.
constexpr std::uint32_t kMaxRecordBytes = 262144;
constexpr std::uint32_t kMaxTextBytes = 65536;
constexpr std::uint32_t kMaxBytesField = 131072;
constexpr std::size_t kMaxFields = 16;

enum class Kind : std::uint8_t {
    Call = 1,   // an engine call: op names it; start and end bracket it
    Note = 2,   // a notification the engine handed over: op is a NoteKind; end == start
    Piece = 3,  // a piece of an answer to a request passed through (Process); op 0
    End = 4,    // the trace ends here on purpose: op is an EndReason; no fields
};

enum class NoteKind : std::uint8_t { PldCount = 1, Event = 2, ValueChange = 3 };
enum class EndReason : std::uint8_t { Closed = 1, SizeLimit = 2 };

// A field: u8 type, then its value. Numbers are 4 bytes; texts and byte blocks a u32 length and
// that many bytes (a text is the bytes as the engine wrote them before its first NUL, not
// checked for ASCII: the trace shows what came, the library's own check comes after).
enum class Type : std::uint8_t { U32 = 1, I32 = 2, Text = 3, Bytes = 4, None = 5 };

struct Field {
    const char* name;
    Type type;
    bool nullable;  // None may stand in its place: a null pointer, or nothing sound to record
};

struct Shape {
    const char* name;
    std::uint8_t requestCount;
    const Field* request;
    std::uint8_t replyCount;
    const Field* reply;
    // The call answers a number rather than a status: the status word holds its 32 bits.
    bool statusIsAnswer;
};

namespace fields {
// A point record's fields (ZvVelPntDfn), first in every point request.
// clang-format off
#define ZVTRACE_POINT                                                                  \
    {"device", Type::U32, false}, {"gdd", Type::U32, false}, {"mm", Type::U32, false}, \
    {"aux", Type::U32, false}, {"auxParam", Type::I32, false},                         \
    {"auxText", Type::Text, true}, {"uofm", Type::U32, false}
// clang-format on
constexpr Field kNone[1] = {{"", Type::None, false}};
constexpr Field kPoint[] = {ZVTRACE_POINT};
constexpr Field kPointText[] = {ZVTRACE_POINT, {"size", Type::U32, false}};
constexpr Field kPointSetText[] = {
    ZVTRACE_POINT, {"value", Type::Text, true}, {"setParam", Type::U32, false}};
constexpr Field kPointSetInt[] = {
    ZVTRACE_POINT, {"value", Type::I32, false}, {"setParam", Type::U32, false}};
constexpr Field kPointSetUint[] = {
    ZVTRACE_POINT, {"value", Type::U32, false}, {"setParam", Type::U32, false}};
#undef ZVTRACE_POINT
constexpr Field kText[] = {{"text", Type::Text, false}};
constexpr Field kInt[] = {{"value", Type::I32, false}};
constexpr Field kUint[] = {{"value", Type::U32, false}};
constexpr Field kUofm[] = {{"uofmId", Type::U32, false}};
constexpr Field kRegArg[] = {{"regArg", Type::U32, false}};
constexpr Field kWhat[] = {{"what", Type::I32, false}};
constexpr Field kDevice[] = {{"device", Type::U32, false}};
constexpr Field kDeviceGdd[] = {{"device", Type::U32, false}, {"gdd", Type::U32, false}};
constexpr Field kReport[] = {{"device", Type::U32, false},
                             {"gdd", Type::U32, false},
                             {"mm", Type::U32, false},
                             {"bufSize", Type::U32, false}};
// The ancestor record as it was written: the point's own report, the count, and `count`
// entries of 10 bytes each (u32 gdd, u16 mm, u32 aux). ancestors is None when the entries did
// not lie within the buffer.
constexpr Field kAncestors[] = {{"gdd", Type::U32, false},
                                {"mm", Type::U32, false},
                                {"aux", Type::U32, false},
                                {"count", Type::U32, false},
                                {"ancestors", Type::Bytes, true}};
constexpr Field kReportText[] = {{"device", Type::U32, false},
                                 {"gdd", Type::U32, false},
                                 {"mm", Type::U32, false},
                                 {"size", Type::U32, false}};
constexpr Field kEnumInfo[] = {
    {"device", Type::U32, false}, {"gdd", Type::U32, false}, {"maxCount", Type::U32, false}};
// values: min(count, maxCount) 16-bit values.
constexpr Field kEnumStates[] = {
    {"type", Type::U32, false}, {"count", Type::U32, false}, {"values", Type::Bytes, false}};
constexpr Field kEnumText[] = {{"device", Type::U32, false},
                               {"gdd", Type::U32, false},
                               {"state", Type::U32, false},
                               {"size", Type::U32, false}};
constexpr Field kProcess[] = {{"reqParam", Type::I32, false},
                              {"url", Type::Text, true},
                              {"query", Type::Text, true},
                              {"reqType", Type::I32, false}};
// serverName: the 32 bytes as they came.
constexpr Field kInventory[] = {
    {"serverVersion", Type::U32, false}, {"nmbrDevices", Type::U32, false},
    {"maxDevices", Type::U32, false},    {"pldCount", Type::U32, false},
    {"upTimeSec", Type::U32, false},     {"serverName", Type::Bytes, false}};
// identity: 18 bytes, u8 nmbrIds, u8 revision, 8 u16 ids; None for a null answer.
constexpr Field kIdentity[] = {{"identity", Type::Bytes, true}};
constexpr Field kFdm[] = {{"device", Type::I32, false}, {"size", Type::I32, false}};
// A piece: the Process call it answers (that call's seq), then the piece as it came; text is
// min(outLen, bufSize) bytes. The record's status is the piece's.
constexpr Field kPiece[] = {{"call", Type::U32, false},     {"reqType", Type::I32, false},
                            {"reqParam", Type::I32, false}, {"sequence", Type::U32, false},
                            {"bufSize", Type::U32, false},  {"outLen", Type::U32, false},
                            {"text", Type::Bytes, false}};
constexpr Field kPldCount[] = {{"count", Type::U32, false}};
constexpr Field kEvent[] = {{"sequence", Type::U32, false},
                            {"eventId", Type::U32, false},
                            {"device", Type::U32, false},
                            {"state", Type::U32, false},
                            {"groupId", Type::U32, false}};
// data: `length` 16-bit units; None when the record carried no data pointer.
constexpr Field kValueChange[] = {{"sequence", Type::U32, false}, {"valueId", Type::U32, false},
                                  {"mm", Type::U32, false},       {"device", Type::U32, false},
                                  {"length", Type::U32, false},   {"dataType", Type::U32, false},
                                  {"data", Type::Bytes, true}};
}  // namespace fields

#define ZVTRACE_N(a) static_cast<std::uint8_t>(sizeof(a) / sizeof(Field)), a
#define ZVTRACE_NONE 0, fields::kNone

// The engine calls, numbered from 1 in this order.
enum class Op : std::uint8_t {
    Init = 1,
    UnReg,
    RegPldCntChng,
    RegVelEvent,
    RegValueChange,
    GetVelPntStrLabel,
    GetVelPntStrDscrptn,
    GetVelPntStrUoM,
    GetVelPntStr,
    GetVelPntInt32,
    GetVelPntUint32,
    SetVelPntStr,
    SetVelPntInt32,
    SetVelPntUint32,
    GetVelPntAccessRights,
    GetVelPntDataType,
    GetVelPntDsplyNF,
    GetVelPntUoMId,
    GetMaxRprtMMCnt,
    GetMaxPntArrayDim,
    GetMaxNmbrAncstrs,
    GetPointsRprt,
    GetRprtAncstr,
    GetVelRprtStrLabel,
    GetVelEnumStateInfo,
    GetVelEnumStateStr,
    Process,
    GetVelServerInventory,
    GetProdSeqId,
    GetVelFDMVersion,
};
constexpr std::uint8_t kOpCount = 30;

// Each call's shape, indexed by Op - 1.
constexpr Shape kCalls[kOpCount] = {
    {"Init", ZVTRACE_NONE, ZVTRACE_NONE, true},
    {"UnReg", ZVTRACE_N(fields::kWhat), ZVTRACE_NONE, false},
    {"RegPldCntChng", ZVTRACE_N(fields::kRegArg), ZVTRACE_NONE, false},
    {"RegVelEvent", ZVTRACE_N(fields::kRegArg), ZVTRACE_NONE, false},
    {"RegValueChange", ZVTRACE_N(fields::kRegArg), ZVTRACE_NONE, false},
    {"GetVelPntStrLabel", ZVTRACE_N(fields::kPointText), ZVTRACE_N(fields::kText), false},
    {"GetVelPntStrDscrptn", ZVTRACE_N(fields::kPointText), ZVTRACE_N(fields::kText), false},
    {"GetVelPntStrUoM", ZVTRACE_N(fields::kPointText), ZVTRACE_N(fields::kText), false},
    {"GetVelPntStr", ZVTRACE_N(fields::kPointText), ZVTRACE_N(fields::kText), false},
    {"GetVelPntInt32", ZVTRACE_N(fields::kPoint), ZVTRACE_N(fields::kInt), false},
    {"GetVelPntUint32", ZVTRACE_N(fields::kPoint), ZVTRACE_N(fields::kUint), false},
    {"SetVelPntStr", ZVTRACE_N(fields::kPointSetText), ZVTRACE_NONE, false},
    {"SetVelPntInt32", ZVTRACE_N(fields::kPointSetInt), ZVTRACE_NONE, false},
    {"SetVelPntUint32", ZVTRACE_N(fields::kPointSetUint), ZVTRACE_NONE, false},
    {"GetVelPntAccessRights", ZVTRACE_N(fields::kPoint), ZVTRACE_N(fields::kUint), false},
    {"GetVelPntDataType", ZVTRACE_N(fields::kPoint), ZVTRACE_N(fields::kUint), false},
    {"GetVelPntDsplyNF", ZVTRACE_N(fields::kPoint), ZVTRACE_N(fields::kUint), false},
    {"GetVelPntUoMId", ZVTRACE_N(fields::kPoint), ZVTRACE_N(fields::kUofm), false},
    {"GetMaxRprtMMCnt", ZVTRACE_N(fields::kDeviceGdd), ZVTRACE_NONE, true},
    {"GetMaxPntArrayDim", ZVTRACE_N(fields::kDeviceGdd), ZVTRACE_NONE, true},
    {"GetMaxNmbrAncstrs", ZVTRACE_N(fields::kDevice), ZVTRACE_NONE, true},
    {"GetPointsRprt", ZVTRACE_N(fields::kDeviceGdd), ZVTRACE_NONE, true},
    {"GetRprtAncstr", ZVTRACE_N(fields::kReport), ZVTRACE_N(fields::kAncestors), false},
    {"GetVelRprtStrLabel", ZVTRACE_N(fields::kReportText), ZVTRACE_N(fields::kText), false},
    {"GetVelEnumStateInfo", ZVTRACE_N(fields::kEnumInfo), ZVTRACE_N(fields::kEnumStates), false},
    {"GetVelEnumStateStr", ZVTRACE_N(fields::kEnumText), ZVTRACE_N(fields::kText), false},
    {"Process", ZVTRACE_N(fields::kProcess), ZVTRACE_NONE, false},
    {"GetVelServerInventory", ZVTRACE_NONE, ZVTRACE_N(fields::kInventory), false},
    {"GetProdSeqId", ZVTRACE_N(fields::kDevice), ZVTRACE_N(fields::kIdentity), false},
    {"GetVelFDMVersion", ZVTRACE_N(fields::kFdm), ZVTRACE_N(fields::kText), false},
};

// The notifications' shapes, indexed by NoteKind - 1; all their fields are in `request`.
constexpr std::uint8_t kNoteCount = 3;
constexpr Shape kNotes[kNoteCount] = {
    {"PldCount", ZVTRACE_N(fields::kPldCount), ZVTRACE_NONE, false},
    {"Event", ZVTRACE_N(fields::kEvent), ZVTRACE_NONE, false},
    {"ValueChange", ZVTRACE_N(fields::kValueChange), ZVTRACE_NONE, false},
};
constexpr Shape kPiece = {"Piece", ZVTRACE_N(fields::kPiece), ZVTRACE_NONE, false};
constexpr Shape kEnd = {"End", ZVTRACE_NONE, ZVTRACE_NONE, false};
#undef ZVTRACE_N
#undef ZVTRACE_NONE

// The shape of a record of `kind` and `op`, or null when this version has none.
constexpr const Shape* ShapeOf(Kind kind, std::uint8_t op) {
    switch (kind) {
        case Kind::Call:
            return op >= 1 && op <= kOpCount ? &kCalls[op - 1] : nullptr;
        case Kind::Note:
            return op >= 1 && op <= kNoteCount ? &kNotes[op - 1] : nullptr;
        case Kind::Piece:
            return op == 0 ? &kPiece : nullptr;
        case Kind::End:
            return op == static_cast<std::uint8_t>(EndReason::Closed) ||
                           op == static_cast<std::uint8_t>(EndReason::SizeLimit)
                       ? &kEnd
                       : nullptr;
    }
    return nullptr;
}

// Big-endian numbers at any alignment: one store or load of the word on a big-endian host (the
// device), a byte swap and one on a little-endian one, rather than a store a byte.
template <class T>
inline T BigEndian(T v) {
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    if constexpr (sizeof(T) == 2) return static_cast<T>(__builtin_bswap16(v));
    if constexpr (sizeof(T) == 4) return static_cast<T>(__builtin_bswap32(v));
    if constexpr (sizeof(T) == 8) return static_cast<T>(__builtin_bswap64(v));
#endif
    return v;
}
template <class T>
inline void PutBig(unsigned char* at, T v) {
    v = BigEndian(v);
    std::memcpy(at, &v, sizeof v);
}
template <class T>
inline T GetBig(const unsigned char* at) {
    T v;
    std::memcpy(&v, at, sizeof v);
    return BigEndian(v);
}
inline void Put16(unsigned char* at, std::uint16_t v) {
    PutBig(at, v);
}
inline void Put32(unsigned char* at, std::uint32_t v) {
    PutBig(at, v);
}
inline void Put64(unsigned char* at, std::uint64_t v) {
    PutBig(at, v);
}
inline std::uint16_t Get16(const unsigned char* at) {
    return GetBig<std::uint16_t>(at);
}
inline std::uint32_t Get32(const unsigned char* at) {
    return GetBig<std::uint32_t>(at);
}
inline std::uint64_t Get64(const unsigned char* at) {
    return GetBig<std::uint64_t>(at);
}

// The fixed part of a record, as written and as read.
struct Head {
    Kind kind = Kind::Call;
    std::uint8_t op = 0;
    std::uint16_t thread = 0;  // the writing thread's number in this trace, from 1
    // Calls: the call's number, taken as it began; other records: taken as they were written.
    // One count from 1, so a piece names its Process call by it.
    std::uint32_t seq = 0;
    std::uint64_t start = 0;  // ns since the trace began, on a monotonic clock
    std::uint64_t end = 0;    // a call's return; the same as start for other records
    std::int32_t status = 0;  // the engine's status, or the answer (Shape::statusIsAnswer)
};

// Builds one record in a buffer of the caller's: the head, then the fields in the shape's
// order. Finish() writes the length and gives the record's bytes; a record that would pass
// kMaxRecordBytes is not finished (false), the buffer left as it was. The fields gather in a
// small buffer of the encoder's own and reach the caller's in one append, so that a record costs
// one growth of it rather than one a field.
class Encoder {
  public:
    Encoder(std::string& out, const Head& head, std::uint8_t requestCount, std::uint8_t replyCount)
        : m_out(out), m_begin(out.size()) {
        unsigned char* fixed = m_buf;
        Put32(fixed, 0);
        fixed[4] = static_cast<unsigned char>(head.kind);
        fixed[5] = head.op;
        Put16(fixed + 6, head.thread);
        Put32(fixed + 8, head.seq);
        Put64(fixed + 12, head.start);
        Put64(fixed + 20, head.end);
        Put32(fixed + 28, static_cast<std::uint32_t>(head.status));
        fixed[32] = requestCount;
        fixed[33] = replyCount;
        m_used = kLengthBytes + kFixedBytes;
    }
    void U32(std::uint32_t v) { number(Type::U32, v); }
    void I32(std::int32_t v) { number(Type::I32, static_cast<std::uint32_t>(v)); }
    void None() {
        room(1);
        m_buf[m_used++] = static_cast<unsigned char>(Type::None);
    }
    // A text or byte block; `size` is cut to its type's limit.
    void Text(const char* data, std::size_t size) { block(Type::Text, data, size, kMaxTextBytes); }
    void Bytes(const void* data, std::size_t size) {
        block(Type::Bytes, data, size, kMaxBytesField);
    }
    // Writes the fields gathered so far to the caller's buffer; Finish does it too.
    void Flush() {
        m_out.append(reinterpret_cast<const char*>(m_buf), m_used);
        m_used = 0;
    }
    bool Finish() {
        Flush();
        const std::size_t length = m_out.size() - m_begin - kLengthBytes;
        if (length > kMaxRecordBytes) {
            m_out.resize(m_begin);
            return false;
        }
        Put32(reinterpret_cast<unsigned char*>(&m_out[m_begin]),
              static_cast<std::uint32_t>(length));
        return true;
    }

  private:
    void room(std::size_t bytes) {
        if (m_used + bytes > sizeof m_buf) Flush();
    }
    void number(Type type, std::uint32_t v) {
        room(5);
        m_buf[m_used] = static_cast<unsigned char>(type);
        Put32(m_buf + m_used + 1, v);
        m_used += 5;
    }
    void block(Type type, const void* data, std::size_t size, std::size_t limit) {
        if (size > limit) size = limit;
        number(type, static_cast<std::uint32_t>(size));
        if (size == 0) return;
        room(size);
        if (size > sizeof m_buf) {
            m_out.append(static_cast<const char*>(data), size);
        } else {
            std::memcpy(m_buf + m_used, data, size);
            m_used += size;
        }
    }
    std::string& m_out;
    std::size_t m_begin;
    unsigned char m_buf[256];
    std::size_t m_used;
};

// The header's 32 bytes.
inline void PutHeader(unsigned char* at, std::uint32_t pid, std::uint64_t wallMs) {
    for (std::size_t i = 0; i < sizeof kMagic; ++i) at[i] = static_cast<unsigned char>(kMagic[i]);
    Put16(at + 8, kVersion);
    Put16(at + 10, 0);
    Put32(at + 12, pid);
    Put64(at + 16, wallMs);
    Put64(at + 24, 0);
}

}  // namespace zvtrace

#endif
