#include <gtest/gtest.h>

#include "ZvPldProxy.h"

namespace {

TEST(AncestorKey, AllSixOperatorsOrderByDeviceThenGddIdThenModuleAllUnsigned) {
    const ZvAncestorInfoBufKey ordered[][2] = {
        {{1, 9, 5}, {2, 0, 0}},           // device decides first
        {{1, 7, 9}, {1, 8, 0}},           // then GddId
        {{1, 7, 0}, {1, 7, 65535}},       // then mmIdx, unsigned
        {{1, 1, 0}, {1, 0x80000000, 0}},  // GddId compares unsigned
    };
    for (const auto& [a, b] : ordered) {
        SCOPED_TRACE(testing::Message() << b.deviceIdx << "," << b.gddId << "," << b.mmIdx);
        EXPECT_TRUE(a < b && a <= b && a != b && !(a == b) && !(a > b) && !(a >= b));
        EXPECT_TRUE(b > a && b >= a && b != a && !(b == a) && !(b < a) && !(b <= a));
    }
}

TEST(AncestorKey, CopiesAndDefaultsCompareEqual) {
    const ZvAncestorInfoBufKey a, b;
    EXPECT_TRUE(a == b && a <= b && a >= b && !(a != b) && !(a < b) && !(a > b));
    const ZvAncestorInfoBufKey source(3, 4, 5);
    ZvAncestorInfoBufKey assigned;
    assigned = source;
    EXPECT_TRUE(ZvAncestorInfoBufKey(source) == source && assigned == source);
}

}  // namespace
