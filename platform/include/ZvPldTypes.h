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

#if UINTPTR_MAX == 0xFFFFFFFFu
static_assert(sizeof(ZvVelPntDfn) == 24 && offsetof(ZvVelPntDfn, gddId) == 4 &&
                  offsetof(ZvVelPntDfn, mmIdx) == 8 && offsetof(ZvVelPntDfn, auxIdx) == 10 &&
                  offsetof(ZvVelPntDfn, auxParam) == 12 && offsetof(ZvVelPntDfn, auxText) == 16 &&
                  offsetof(ZvVelPntDfn, uofm) == 20,
              "ZvVelPntDfn layout");
static_assert(sizeof(ZvVelPntEnum) == 12 && offsetof(ZvVelPntEnum, gddId) == 4 &&
                  offsetof(ZvVelPntEnum, stateValue) == 8,
              "ZvVelPntEnum layout");
static_assert(sizeof(Y4paVelDsply) == 4 && sizeof(ZvEnumStateType) == 4, "one-word records");
#endif

#endif
