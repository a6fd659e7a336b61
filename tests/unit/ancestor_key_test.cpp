#include <gtest/gtest.h>

#include "ZvPldProxy.h"

namespace {

struct Ordered {
    ZvAncestorInfoBufKey lower, higher;
};

void PrintTo(const Ordered& o, std::ostream* os) {
    *os << "(" << o.lower.deviceIdx << "," << o.lower.gddId << "," << o.lower.mmIdx << ") < ("
        << o.higher.deviceIdx << "," << o.higher.gddId << "," << o.higher.mmIdx << ")";
}

class AncestorKeyOrder : public ::testing::TestWithParam<Ordered> {};

TEST_P(AncestorKeyOrder, AllSixOperatorsAgreeOnTheOrder) {
    const ZvAncestorInfoBufKey& a = GetParam().lower;
    const ZvAncestorInfoBufKey& b = GetParam().higher;
    EXPECT_TRUE(a < b && a <= b && a != b && !(a == b) && !(a > b) && !(a >= b));
    EXPECT_TRUE(b > a && b >= a && b != a && !(b == a) && !(b < a) && !(b <= a));
}

INSTANTIATE_TEST_SUITE_P(
    Keys, AncestorKeyOrder,
    ::testing::Values(Ordered{{1, 9, 5}, {2, 0, 0}},          // device decides first
                      Ordered{{1, 7, 9}, {1, 8, 0}},          // then GddId
                      Ordered{{1, 7, 0}, {1, 7, 65535}},      // then mmIdx, unsigned
                      Ordered{{1, 1, 0}, {1, 0x80000000, 0}}  // GddId compares unsigned
                      ));

TEST(AncestorKey, CopiesAndDefaultsCompareEqual) {
    const ZvAncestorInfoBufKey a, b;
    EXPECT_TRUE(a == b && a <= b && a >= b && !(a != b) && !(a < b) && !(a > b));
    const ZvAncestorInfoBufKey source(3, 4, 5);
    ZvAncestorInfoBufKey assigned;
    assigned = source;
    EXPECT_TRUE(ZvAncestorInfoBufKey(source) == source && assigned == source);
}

}  // namespace
