// Records exchanged with the engine message client. Their layouts are fixed by the message
// client on the 32-bit target; the checks at the end hold there.
#ifndef ZV_PLD_TYPES_H
#define ZV_PLD_TYPES_H

#include <cstddef>
#include <cstdint>

typedef int Y4_Status;  // 0 is success

// A data point as the point requests name it. The record does not own auxText.
struct ZvVelPntDfn {
    std::uint16_t deviceIdx;
    std::uint32_t gddId;
    std::uint16_t mmIdx;  // counted from 0; 0xFFFF for none
    std::uint16_t auxIdx;
    std::int16_t auxParam;
    const char* auxText;
    std::uint32_t uofm;  // unit-of-measure selector
};

// Display record of a point; the proxy reads only its first field.
struct Y4paVelDsply {
    std::uint32_t uofmId;
};

// One enumeration state, for the request of its name.
struct ZvVelPntEnum {
    std::uint16_t deviceIdx;
    std::uint32_t gddId;
    std::uint16_t stateValue;
};

// The enumeration state type of a point: one value, not interpreted by the proxy.
struct ZvEnumStateType {
    std::uint32_t type;
};

// An event changed. The proxy reads eventId and eventState and copies the rest unchanged.
struct ZvVEventInfo {
    std::uint32_t sequence;  // the engine's count of event notifications, from 1
    std::uint32_t eventId;
    std::uint16_t deviceIdx;
    std::uint16_t eventState;
    std::uint32_t groupId;
};

// A value changed. The proxy reads valueId and length, copies the rest unchanged, and copies the
// `length` 16-bit units at pData into a block of its own.
struct ZvValChgInfo {
    std::uint32_t sequence;  // the engine's count of value-change notifications, from 1
    std::uint32_t valueId;   // the point's GddId
    std::uint32_t mmIdx;     // the module, counted from 0
    std::uint16_t deviceIdx;
    std::uint16_t length;    // 16-bit units at pData
    std::uint32_t dataType;  // as GetVelPntDataType answers
    std::uint16_t* pData;
};

// A report, for the report label and ancestor requests. The record does not own buf.
struct ZvVelRprtDfn {
    std::uint16_t deviceIdx;
    std::uint32_t gddId;    // the report's GddId
    std::uint16_t mmIdx;    // counted from 0; 0xFFFF: the report as a whole
    void* buf;              // the ancestor request's result buffer; null for a label
    std::uint32_t bufSize;  // bytes at buf
};

// One report of a point's ancestry: its GddId, module (counted from 0) and the engine's value.
struct ZvPldEngAncestorEntry {
    std::uint32_t gddId;
    std::uint16_t mmIdx;
    std::uint32_t auxValue;
};

// The reports above a point, as the ancestor request writes them into the caller's buffer: the
// point's own report (its first three fields have the layout of an entry), then nmbrAncstrs
// entries at ancstrs, within the same buffer.
struct ZvPldEngAncestors {
    std::uint32_t gddId;
    std::uint16_t mmIdx;
    std::uint32_t auxValue;
    std::uint16_t nmbrAncstrs;
    ZvPldEngAncestorEntry* ancstrs;
};

struct ZvCallbackInfo;

// A request passed through to the engine, and where its answer goes: the engine calls
// pfnCallback once per piece of the answer, from within Process or later from its own thread.
struct ZvPldEngInfo {
    std::int32_t reqParam;
    void* pUserData;     // handed back in each piece
    const char* pUrl;    // the request path
    const char* pQuery;  // the query text
    int (*pfnCallback)(ZvCallbackInfo* cbi);
    std::int32_t reqType;
};

// One piece of an answer. A piece that fills the buffer (procOutLen >= procOutBufSize) is
// followed by more; the first shorter one ends the answer.
struct ZvCallbackInfo {
    void* pUserData;      // the request's pUserData
    std::int32_t status;  // 0: a piece to use
    std::int32_t reqType;
    std::int32_t reqParam;
    std::uint32_t sequence;  // the piece's number in its answer, from 0
    std::uint32_t reserved;
    std::uint32_t procOutBufSize;  // bytes at pProcOutBuf
    std::uint32_t procOutLen;      // bytes of answer text in this piece
    char* pProcOutBuf;
};

// The engine's inventory. The proxy copies it whole and reads none of its fields.
struct ZvVelInventory {
    std::uint32_t serverVersion;  // major << 16 | minor
    std::uint16_t nmbrDevices;
    std::uint16_t maxDevices;
    std::uint32_t pldCount;
    std::uint32_t upTimeSec;
    char serverName[32];
};

// A device's product identity, a block from malloc that the receiver frees. A valid block has
// 2 to 8 identifiers and a non-zero revision.
struct ZvProductIdentSeq {
    std::uint8_t nmbrIds;
    std::uint8_t revision;
    std::uint16_t ids[8];
};

// The capture functions a client registers for each kind of notification; the engine hands the
// registration's context back as the first argument.
typedef void (*ZvPldCntChngFn)(void* context, unsigned long count);
typedef void (*ZvVelEventFn)(void* context, const ZvVEventInfo* info);
typedef void (*ZvValueChangeFn)(void* context, const ZvValChgInfo* info);

// The layouts the 32-bit target's message client was built with: every field's offset (a first
// field sits at 0 in any standard-layout record) and each record's size.
#if UINTPTR_MAX == 0xFFFFFFFFu
static_assert(sizeof(ZvVelPntDfn) == 24 && offsetof(ZvVelPntDfn, gddId) == 4 &&
                  offsetof(ZvVelPntDfn, mmIdx) == 8 && offsetof(ZvVelPntDfn, auxIdx) == 10 &&
                  offsetof(ZvVelPntDfn, auxParam) == 12 && offsetof(ZvVelPntDfn, auxText) == 16 &&
                  offsetof(ZvVelPntDfn, uofm) == 20,
              "ZvVelPntDfn layout");
static_assert(sizeof(ZvVelPntEnum) == 12 && offsetof(ZvVelPntEnum, gddId) == 4 &&
                  offsetof(ZvVelPntEnum, stateValue) == 8,
              "ZvVelPntEnum layout");
static_assert(sizeof(ZvVEventInfo) == 16 && offsetof(ZvVEventInfo, eventId) == 4 &&
                  offsetof(ZvVEventInfo, deviceIdx) == 8 &&
                  offsetof(ZvVEventInfo, eventState) == 10 && offsetof(ZvVEventInfo, groupId) == 12,
              "ZvVEventInfo layout");
static_assert(sizeof(ZvValChgInfo) == 24 && offsetof(ZvValChgInfo, valueId) == 4 &&
                  offsetof(ZvValChgInfo, mmIdx) == 8 && offsetof(ZvValChgInfo, deviceIdx) == 12 &&
                  offsetof(ZvValChgInfo, length) == 14 && offsetof(ZvValChgInfo, dataType) == 16 &&
                  offsetof(ZvValChgInfo, pData) == 20,
              "ZvValChgInfo layout");
static_assert(sizeof(ZvVelRprtDfn) == 20 && offsetof(ZvVelRprtDfn, gddId) == 4 &&
                  offsetof(ZvVelRprtDfn, mmIdx) == 8 && offsetof(ZvVelRprtDfn, buf) == 12 &&
                  offsetof(ZvVelRprtDfn, bufSize) == 16,
              "ZvVelRprtDfn layout");
static_assert(sizeof(ZvPldEngAncestorEntry) == 12 && offsetof(ZvPldEngAncestorEntry, mmIdx) == 4 &&
                  offsetof(ZvPldEngAncestorEntry, auxValue) == 8,
              "ZvPldEngAncestorEntry layout");
static_assert(sizeof(ZvPldEngAncestors) == 20 && offsetof(ZvPldEngAncestors, mmIdx) == 4 &&
                  offsetof(ZvPldEngAncestors, auxValue) == 8 &&
                  offsetof(ZvPldEngAncestors, nmbrAncstrs) == 12 &&
                  offsetof(ZvPldEngAncestors, ancstrs) == 16,
              "ZvPldEngAncestors layout");
static_assert(sizeof(ZvPldEngInfo) == 24 && offsetof(ZvPldEngInfo, pUserData) == 4 &&
                  offsetof(ZvPldEngInfo, pUrl) == 8 && offsetof(ZvPldEngInfo, pQuery) == 12 &&
                  offsetof(ZvPldEngInfo, pfnCallback) == 16 &&
                  offsetof(ZvPldEngInfo, reqType) == 20,
              "ZvPldEngInfo layout");
static_assert(sizeof(ZvCallbackInfo) == 36 && offsetof(ZvCallbackInfo, status) == 4 &&
                  offsetof(ZvCallbackInfo, reqType) == 8 &&
                  offsetof(ZvCallbackInfo, reqParam) == 12 &&
                  offsetof(ZvCallbackInfo, sequence) == 16 &&
                  offsetof(ZvCallbackInfo, reserved) == 20 &&
                  offsetof(ZvCallbackInfo, procOutBufSize) == 24 &&
                  offsetof(ZvCallbackInfo, procOutLen) == 28 &&
                  offsetof(ZvCallbackInfo, pProcOutBuf) == 32,
              "ZvCallbackInfo layout");
static_assert(offsetof(ZvVelInventory, nmbrDevices) == 4 &&
                  offsetof(ZvVelInventory, maxDevices) == 6 &&
                  offsetof(ZvVelInventory, pldCount) == 8 &&
                  offsetof(ZvVelInventory, upTimeSec) == 12 &&
                  offsetof(ZvVelInventory, serverName) == 16,
              "ZvVelInventory layout");
static_assert(sizeof(Y4paVelDsply) == 4 && sizeof(ZvEnumStateType) == 4, "one-word records");
// A field that padding follows could widen without moving the next one; on the big-endian target
// its value would still move.
static_assert(sizeof(ZvVelPntDfn::deviceIdx) == 2 && sizeof(ZvVelPntDfn::auxParam) == 2 &&
                  sizeof(ZvVelPntEnum::deviceIdx) == 2 && sizeof(ZvVelPntEnum::stateValue) == 2 &&
                  sizeof(ZvVelRprtDfn::deviceIdx) == 2 && sizeof(ZvVelRprtDfn::mmIdx) == 2 &&
                  sizeof(ZvPldEngAncestorEntry::mmIdx) == 2 &&
                  sizeof(ZvPldEngAncestors::mmIdx) == 2 &&
                  sizeof(ZvPldEngAncestors::nmbrAncstrs) == 2,
              "16-bit fields before padding");
#endif
static_assert(sizeof(ZvVelInventory) == 48, "ZvVelInventory is copied as 48 bytes");
static_assert(sizeof(ZvProductIdentSeq) == 18 && offsetof(ZvProductIdentSeq, revision) == 1 &&
                  offsetof(ZvProductIdentSeq, ids) == 2,
              "ZvProductIdentSeq layout");

#endif
