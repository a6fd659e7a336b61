// The two numeric reads and the three writes share one frame; each case runs against all five.
#include "MockEngine.h"

using ::testing::_;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

constexpr std::uint32_t kEngineValue = 0xFFFFFFFBu;  // -5 as a signed number
constexpr std::uint16_t kSetParam = 0xBEEF;
const char kNewText[] = "21.5";

// What the engine saw of one call.
struct Seen {
    ZvVelPntDfn rec;
    int locksHeld;
};

using Handler = std::function<Y4_Status(const ZvVelPntDfn*)>;

struct NumericOp {
    const char* name;
    void (*expect)(MockEngine&, Handler);  // reads answer kEngineValue in their cell
    int (*call)(ZvPldProxy&, std::uint32_t& cell, const PointArgs&);
    bool passesAuxText;  // the caller's auxText; otherwise "0"
    int results[8];      // for statuses 0, 1, 2, 3, 4, 5, 1007, -7; -1: message and 2
    const char* format;  // failure message after the name, with its four numbers
};

constexpr Y4_Status kStatuses[8] = {0, 1, 2, 3, 4, 5, 1007, -7};

const NumericOp kOps[] = {
    {"GetValueSInt32",
     [](MockEngine& e, Handler h) {
         EXPECT_CALL(e, GetVelPntInt32(_, _))
             .WillOnce([h](const ZvVelPntDfn* rec, std::int32_t* v) {
                 *v = static_cast<std::int32_t>(kEngineValue);
                 return h(rec);
             });
     },
     [](ZvPldProxy& p, std::uint32_t& cell, const PointArgs& a) {
         int v = static_cast<int>(cell);
         const int rc =
             p.GetValueSInt32(&v, a.device, a.gddId, a.mmIdx, a.auxIdx, a.uofm, a.auxParam);
         cell = static_cast<std::uint32_t>(v);
         return rc;
     },
     false,
     {0, 4096, 4097, 4098, 4099, 4100, -1, -1},
     " - unable to get data due to error:%d - GddId: %d, mmIdx:%d, uofm: %ld"},
    {"GetValueUInt32",
     [](MockEngine& e, Handler h) {
         EXPECT_CALL(e, GetVelPntUint32(_, _))
             .WillOnce([h](const ZvVelPntDfn* rec, std::uint32_t* v) {
                 *v = kEngineValue;
                 return h(rec);
             });
     },
     [](ZvPldProxy& p, std::uint32_t& cell, const PointArgs& a) {
         unsigned int v = cell;
         const int rc =
             p.GetValueUInt32(&v, a.device, a.gddId, a.mmIdx, a.auxIdx, a.uofm, a.auxParam);
         cell = v;
         return rc;
     },
     false,
     {0, 4096, 4097, 4098, 4099, 4100, 4096, -1},
     " - unable to get data due to error:%d - GddId: %d, mmIdx:%d, uofm: %ld"},
    {"SetValueString",
     [](MockEngine& e, Handler h) {
         EXPECT_CALL(e, SetVelPntStr(_, kNewText, kSetParam)).WillOnce([h](auto rec, auto, auto) {
             return h(rec);
         });
     },
     [](ZvPldProxy& p, std::uint32_t&, const PointArgs& a) {
         return p.SetValueString(kNewText, a.device, a.gddId, a.mmIdx, a.auxIdx, a.uofm, a.auxParam,
                                 a.auxText, kSetParam);
     },
     true,
     {0, 4096, 4097, 4098, -1, -1, -1, -1},
     " - unable to set data due to error:%d - GddId:%d, mmIdx:%d, uofm:%ld"},
    {"SetValueSInt32",
     [](MockEngine& e, Handler h) {
         EXPECT_CALL(e, SetVelPntInt32(_, -5, kSetParam)).WillOnce([h](auto rec, auto, auto) {
             return h(rec);
         });
     },
     [](ZvPldProxy& p, std::uint32_t&, const PointArgs& a) {
         return p.SetValueSInt32(-5, a.device, a.gddId, a.mmIdx, a.auxIdx, a.uofm, a.auxParam,
                                 kSetParam);
     },
     false,
     {0, 4096, 4097, 4098, -1, -1, -1, -1},
     ": - unable to set data due to error:%d - GddId:%d, mmIdx:%d, uofm: %ld"},
    {"SetValueUInt32",
     [](MockEngine& e, Handler h) {
         EXPECT_CALL(e, SetVelPntUint32(_, kEngineValue, kSetParam))
             .WillOnce([h](auto rec, auto, auto) { return h(rec); });
     },
     [](ZvPldProxy& p, std::uint32_t&, const PointArgs& a) {
         return p.SetValueUInt32(kEngineValue, a.device, a.gddId, a.mmIdx, a.auxIdx, a.uofm,
                                 a.auxParam, kSetParam);
     },
     false,
     {0, 4096, 4097, 4098, -1, -1, -1, -1},
     " - unable to set data due to error:%d - GddId: %d, mmIdx:%d, uofm: %ld"},
};

void PrintTo(const NumericOp& op, std::ostream* os) {
    *os << op.name;
}

class NumericValue : public ProxyTest, public ::testing::WithParamInterface<NumericOp> {
  protected:
    const NumericOp& op = GetParam();

    int run(Y4_Status status, std::uint32_t& cell, const PointArgs& a, Seen* seen = nullptr) {
        op.expect(*engine, [=](const ZvVelPntDfn* rec) {
            if (seen != nullptr) *seen = Seen{*rec, ZvLinuxMutex::HeldByThisThread()};
            return status;
        });
        return op.call(*proxy, cell, a);
    }
};

TEST_P(NumericValue, TheEngineGetsThePointUnderTheClientLock) {
    start();
    for (const unsigned short mmIdx : {2, 0}) {
        PointArgs a = kPoint;
        a.mmIdx = mmIdx;
        Seen seen{};
        std::uint32_t cell = 0;
        ASSERT_EQ(run(0, cell, a, &seen), 0);
        EXPECT_EQ(seen.locksHeld, 1);
        // The numeric operations send the library's own "0" in place of an aux text.
        EXPECT_STREQ(seen.rec.auxText, op.passesAuxText ? kAuxText : "0");
        ExpectRecord(seen.rec, a, static_cast<std::uint16_t>(mmIdx - 1), true,
                     op.passesAuxText ? kAuxText : seen.rec.auxText, true);
    }
}

TEST_P(NumericValue, StatusesMapByTheOperationsTableAndFailuresKeepTheCell) {
    start();
    for (int i = 0; i < 8; ++i) {
        SCOPED_TRACE("status " + std::to_string(kStatuses[i]));
        std::uint32_t cell = 77;
        const int rc = run(kStatuses[i], cell, kPoint);
        const int want = op.results[i];
        EXPECT_EQ(rc, want < 0 ? 2 : want);
        const bool isRead = op.name[0] == 'G';
        EXPECT_EQ(cell, isRead && rc == 0 ? kEngineValue : 77u);
        if (want < 0) {
            EXPECT_THAT(
                log.take(),
                ElementsAre(ErrorLine(FailureText(op.name, op.format, kStatuses[i], kPoint))));
        } else {
            EXPECT_THAT(log.take(), IsEmpty());
        }
    }
}

INSTANTIATE_TEST_SUITE_P(AllFive, NumericValue, ::testing::ValuesIn(kOps), OpName());

using NumericAuxText = ProxyTest;

TEST_F(NumericAuxText, SetValueStringPassesANullAuxTextAsNull) {
    ZvPldProxy& p = start();
    EXPECT_CALL(*engine, SetVelPntStr(_, _, _)).WillOnce([](const ZvVelPntDfn* rec, auto, auto) {
        EXPECT_EQ(rec->auxText, nullptr);
        return 0;
    });
    EXPECT_EQ(p.SetValueString("1", 1, 2, 1, 0, 0, 0, nullptr, 0), 0);
}

}  // namespace
