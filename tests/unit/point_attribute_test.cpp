// The attribute queries: two that get a count back, four that send a record and get a status.
#include "MockEngine.h"

using ::testing::_;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

constexpr unsigned short kDevice = 7;
constexpr unsigned short kGddId = 0x1234;

using Getter = int (ZvPldProxy::*)(unsigned long*, unsigned short, unsigned short);

int query(ZvPldProxy& p, Getter get, unsigned long* value) {
    return (p.*get)(value, kDevice, kGddId);
}

// --- count queries -------------------------------------------------------------------------

struct CountOp {
    const char* name;
    void (*expect)(MockEngine&, std::uint32_t answer);
    Getter get;
    const char* failure;
};

const CountOp kCountOps[] = {
    {"GetMaxModuleCnt",
     [](MockEngine& e, std::uint32_t n) {
         EXPECT_CALL(e, GetMaxRprtMMCnt(kDevice, kGddId)).WillOnce(ReturnUnderClientLock(n));
     },
     &ZvPldProxy::GetMaxModuleCnt,
     "GetMaxModuleCnt : Get maximum multi-module count error, GddId :4660"},
    {"GetMaxArrayDim",
     [](MockEngine& e, std::uint32_t n) {
         EXPECT_CALL(e, GetMaxPntArrayDim(kDevice, kGddId)).WillOnce(ReturnUnderClientLock(n));
     },
     &ZvPldProxy::GetMaxArrayDim,
     "GetMaxArrayDim : get point's max  Array Dimension error,GddId:4660, device Id: 7"},
};

void PrintTo(const CountOp& op, std::ostream* os) {
    *os << op.name;
}

class CountQuery : public ProxyTest, public ::testing::WithParamInterface<CountOp> {};

TEST_P(CountQuery, ZeroIsAFailureAndAnyOtherAnswerIsTheCount) {
    ZvPldProxy& p = start();
    for (const std::uint32_t answer : {1u, 0xFFFFFFFFu}) {
        GetParam().expect(*engine, answer);
        unsigned long value = 0;
        EXPECT_EQ(query(p, GetParam().get, &value), 0);
        EXPECT_EQ(value, answer);
    }
    GetParam().expect(*engine, 0);
    unsigned long value = 55;
    EXPECT_EQ(query(p, GetParam().get, &value), 2);
    EXPECT_EQ(value, 55u);
    EXPECT_THAT(log.take(), ElementsAre(ErrorLine(GetParam().failure)));
}

INSTANTIATE_TEST_SUITE_P(Both, CountQuery, ::testing::ValuesIn(kCountOps), OpName());

// --- record queries ------------------------------------------------------------------------

// The engine's answer: a status, and what it leaves in the cell.
using Handler = std::function<Y4_Status(const ZvVelPntDfn*, std::uint32_t* cell)>;

struct RecordOp {
    const char* name;
    void (*expect)(MockEngine&, Handler);
    Getter get;
    std::string (*failure)(Y4_Status status, std::uint32_t cellAfter);
};

const RecordOp kRecordOps[] = {
    {"GetVelPointAccessRights",
     [](MockEngine& e, Handler h) { EXPECT_CALL(e, GetVelPntAccessRights(_, _)).WillOnce(h); },
     &ZvPldProxy::GetVelPointAccessRights,
     [](Y4_Status st, std::uint32_t) {
         return "GetVelPointAccessRights - unable to get data access rights due to error:" +
                std::to_string(st) + " - GddId: 4660, device Id: 7";
     }},
    {"GetVelPointDataType",
     [](MockEngine& e, Handler h) { EXPECT_CALL(e, GetVelPntDataType(_, _)).WillOnce(h); },
     &ZvPldProxy::GetVelPointDataType,
     [](Y4_Status st, std::uint32_t) {
         return "GetVelPointDataType - unable to get data type due to error: " +
                std::to_string(st) + " - GddId: 4660,device Id:7";
     }},
    {"GetVelPointUoMID",
     [](MockEngine& e, Handler h) {
         EXPECT_CALL(e, GetVelPntUoMId(_, _))
             .WillOnce([h](const ZvVelPntDfn* rec, Y4paVelDsply* d) { return h(rec, &d->uofmId); });
     },
     &ZvPldProxy::GetVelPointUoMID,
     [](Y4_Status st, std::uint32_t cell) {
         return "GetVelPointUoMID- unable to get units of measure ID due to error: " +
                std::to_string(st) + " - GddId: 4660, uofmID: " + std::to_string(cell);
     }},
    {"GetVelPointNormFactor",
     [](MockEngine& e, Handler h) { EXPECT_CALL(e, GetVelPntDsplyNF(_, _)).WillOnce(h); },
     &ZvPldProxy::GetVelPointNormFactor,
     [](Y4_Status st, std::uint32_t cell) {
         return "GetVelPointNormFactor- unable to get data point's norm factor due to error:" +
                std::to_string(st) +
                " - GddId: 4660, normalization factor: " + std::to_string(cell);
     }},
};

void PrintTo(const RecordOp& op, std::ostream* os) {
    *os << op.name;
}

class RecordQuery : public ProxyTest, public ::testing::WithParamInterface<RecordOp> {
  protected:
    const RecordOp& op = GetParam();
};

TEST_P(RecordQuery, TheRecordNamesOnlyThePointAndTheCellStartsAtZero) {
    ZvPldProxy& p = start();
    op.expect(*engine, [](const ZvVelPntDfn* rec, std::uint32_t* cell) {
        EXPECT_EQ(ZvLinuxMutex::HeldByThisThread(), 1);
        EXPECT_EQ(*cell, 0u);
        EXPECT_EQ(rec->deviceIdx, kDevice);
        EXPECT_EQ(rec->gddId, kGddId);
        EXPECT_EQ(rec->mmIdx, 0);
        EXPECT_EQ(rec->auxIdx, 0);
        EXPECT_EQ(rec->auxParam, 0);
        EXPECT_EQ(rec->auxText, nullptr);
        EXPECT_EQ(rec->uofm, 0u);
        *cell = 0xFFFFFFFFu;
        return 0;
    });
    unsigned long value = 0;
    EXPECT_EQ(query(p, op.get, &value), 0);
    EXPECT_EQ(value, 0xFFFFFFFFu);
}

TEST_P(RecordQuery, StatusesOneToFiveAnd1007ArePassedOnAndOthersLogged) {
    ZvPldProxy& p = start();
    struct {
        Y4_Status status;
        int result;
        std::uint32_t cellAfter;  // what the engine leaves in the cell
    } const cases[] = {{1, 4096, 0}, {5, 4100, 0}, {1007, 4096, 0}, {9, 2, 0}, {-2, 2, 42}};
    for (const auto& c : cases) {
        SCOPED_TRACE("status " + std::to_string(c.status));
        op.expect(*engine, [&](const ZvVelPntDfn*, std::uint32_t* cell) {
            *cell = c.cellAfter;
            return c.status;
        });
        unsigned long value = 55;
        EXPECT_EQ(query(p, op.get, &value), c.result);
        EXPECT_EQ(value, 55u);
        if (c.result == 2) {
            EXPECT_THAT(log.take(), ElementsAre(ErrorLine(op.failure(c.status, c.cellAfter))));
        } else {
            EXPECT_THAT(log.take(), IsEmpty());
        }
    }
}

INSTANTIATE_TEST_SUITE_P(AllFour, RecordQuery, ::testing::ValuesIn(kRecordOps), OpName());

}  // namespace
