#include <cstdint>

#include "ZvPldProxy.h"

namespace {

enum Order { kEqual = 0, kLess = 1, kGreater = 2 };

// Every field compares as an unsigned 32-bit number.
Order compare(std::uint32_t a, std::uint32_t b) {
    return a == b ? kEqual : a < b ? kLess : kGreater;
}

// The first field that differs decides.
Order compare(const ZvAncestorInfoBufKey& a, const ZvAncestorInfoBufKey& b) {
    Order o = compare(a.deviceIdx, b.deviceIdx);
    if (o == kEqual)
        o = compare(static_cast<std::uint32_t>(a.gddId), static_cast<std::uint32_t>(b.gddId));
    if (o == kEqual) o = compare(a.mmIdx, b.mmIdx);
    return o;
}

}  // namespace

ZvAncestorInfoBufKey::ZvAncestorInfoBufKey() : deviceIdx(0), gddId(0), mmIdx(0) {}

ZvAncestorInfoBufKey::ZvAncestorInfoBufKey(const ZvAncestorInfoBufKey& other) = default;

ZvAncestorInfoBufKey::ZvAncestorInfoBufKey(unsigned short deviceIdx, unsigned long gddId,
                                           unsigned short mmIdx)
    : deviceIdx(deviceIdx), gddId(gddId), mmIdx(mmIdx) {}

ZvAncestorInfoBufKey::~ZvAncestorInfoBufKey() = default;

ZvAncestorInfoBufKey& ZvAncestorInfoBufKey::operator=(const ZvAncestorInfoBufKey& other) = default;

bool operator==(const ZvAncestorInfoBufKey& a, const ZvAncestorInfoBufKey& b) {
    return compare(a, b) == kEqual;
}
bool operator!=(const ZvAncestorInfoBufKey& a, const ZvAncestorInfoBufKey& b) {
    return !(a == b);
}
bool operator<(const ZvAncestorInfoBufKey& a, const ZvAncestorInfoBufKey& b) {
    return compare(a, b) == kLess;
}
bool operator>(const ZvAncestorInfoBufKey& a, const ZvAncestorInfoBufKey& b) {
    return compare(a, b) == kGreater;
}
bool operator<=(const ZvAncestorInfoBufKey& a, const ZvAncestorInfoBufKey& b) {
    return a == b || a < b;
}
bool operator>=(const ZvAncestorInfoBufKey& a, const ZvAncestorInfoBufKey& b) {
    return a == b || a > b;
}
