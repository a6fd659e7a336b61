// Allocation and mutex failures inside the hierarchy queries: each fails its query alone, with its
// one line, and leaves no lock held, no block leaked and nothing cached that should not be.
#include <cerrno>
#include <list>

#include "FaultInjection.h"
#include "MockEngine.h"
#include "sim/SimEngine.h"

using fault::Call;
using ::testing::ElementsAre;

namespace {

constexpr unsigned short kDevice = 7, kGdd = 0x1234, kMmIdx = 2;

// Answers the report requests at once, allocating and locking nothing, so that the nth malloc or
// lock of a query is always the proxy's same one. Two ancestors: three levels.
class ReportEngine : public zvsim::SimEngine {
  public:
    ReportEngine() : SimEngine(zvsim::Catalogue{}) {}
    std::uint32_t GetMaxNmbrAncstrs(unsigned short) override { return ++requests, 2; }
    std::uint32_t GetPointsRprt(unsigned short, unsigned long) override {
        return ++requests, 0x500;
    }
    Y4_Status GetRprtAncstr(ZvVelRprtDfn* rprt) override {
        ++requests;
        auto* record = static_cast<ZvPldEngAncestors*>(rprt->buf);
        auto* entries = reinterpret_cast<ZvPldEngAncestorEntry*>(record + 1);
        *record = ZvPldEngAncestors{0x500, 0, 10, 2, entries};
        entries[0] = ZvPldEngAncestorEntry{0x400, 1, 11};
        entries[1] = ZvPldEngAncestorEntry{0x300, 2, 12};
        return 0;
    }
    int requests = 0;
};

LogLine UnderSingletonLock(const std::string& text) {
    return LogLine{3, "ZvPldProxy", text, 1};
}

class HierarchyFault : public ProxyTest {
  protected:
    HierarchyFault() {
        ZvPldSetEngineFactory([this](const char*, const char*, const char*) { return reports; });
        start();
        fault::TrackBlocks();
    }

    // A query of level 1 that succeeds, and how many engine requests it made.
    int Succeeds() {
        const int before = reports->requests;
        unsigned short aux = 0, mm = 0;
        unsigned long gdd = 0;
        EXPECT_EQ(proxy->GetHierarchyInfo(&aux, &mm, &gdd, 1, kDevice, kGdd, kMmIdx), 0);
        EXPECT_EQ(gdd, 0x400ul);
        return reports->requests - before;
    }

    std::shared_ptr<ReportEngine> reports = std::make_shared<ReportEngine>();
};

TEST_F(HierarchyFault, EachAllocationThatFailsFailsTheListsAloneAndLeaksNothing) {
    // The ancestor buffer, the map node, then the lists' elements level by level.
    for (unsigned nth = 1;; ++nth) {
        ASSERT_LT(nth, 100u) << "the query never succeeded";
        {
            std::list<unsigned long> aux{9}, gdd{9};
            std::list<unsigned short> mm{9};
            fault::FailNth(Call::Malloc, nth, 0);
            const int result = proxy->GetHierarchyLists(aux, gdd, mm, kDevice, kGdd, kMmIdx);
            if (!fault::Disarm()) {
                EXPECT_EQ(result, 0);
                EXPECT_THAT(mm, ElementsAre(9, 1, 2, 3));
                break;
            }
            const bool kept = nth > 2;  // the record was cached before the lists failed
            EXPECT_EQ(result, 2) << "malloc " << nth;  // no SCOPED_TRACE: it keeps blocks
            EXPECT_THAT(aux, ElementsAre(9u));
            EXPECT_THAT(gdd, ElementsAre(9u));
            EXPECT_THAT(mm, ElementsAre(9u));
            EXPECT_THAT(log.take(),
                        ElementsAre(UnderSingletonLock(
                            kept ? "GetHierarchyLists : Allocate memory space failed"
                                 : "FillAncestorInfoForPt Allocate memory space failed")));
            EXPECT_EQ(ZvLinuxMutex::HeldByThisThread(), 0);
            EXPECT_EQ(Succeeds(), kept ? 0 : 3);
        }
        proxy->ClearAncestorInfo();
        EXPECT_EQ(fault::LiveBlocks(), 0);
    }
}

struct MutexCase {
    const char* name;
    Call call;
    unsigned nth;  // the singleton lock comes first, then the PLD-count mutex
    std::string line;
    int locksHeld;
};

const MutexCase kMutexCases[] = {
    {"SingletonLock", Call::MutexLock, 1, "GetHierarchyInfo: mutex lock error: 22", 0},
    {"PldCountLock", Call::MutexLock, 2, "FillAncestorInfoForPt: mutex lock error: 22", 1},
    {"PldCountUnlock", Call::MutexUnlock, 1, "FillAncestorInfoForPt: mutex unlock error: 1", 1},
};

class HierarchyMutexFault : public HierarchyFault,
                            public ::testing::WithParamInterface<MutexCase> {};

TEST_P(HierarchyMutexFault, FailsTheQueryAloneAndTheStaleRecordIsNeverServed) {
    const MutexCase& c = GetParam();
    EXPECT_EQ(Succeeds(), 3);
    ZvPldProxy::CallbackPldCnt(nullptr, 2);
    unsigned short aux = 77, mm = 77;
    unsigned long gdd = 77;
    fault::FailNth(c.call, c.nth, c.call == Call::MutexLock ? EINVAL : EPERM);
    EXPECT_EQ(proxy->GetHierarchyInfo(&aux, &mm, &gdd, 1, kDevice, kGdd, kMmIdx), 2);
    EXPECT_TRUE(fault::Disarm());
    EXPECT_EQ(aux + mm + gdd, 3 * 77ul);
    EXPECT_THAT(log.take(), ElementsAre(LogLine{3, "ZvPldProxy", c.line, c.locksHeld}));
    EXPECT_EQ(ZvLinuxMutex::HeldByThisThread(), 0);
    // Dropped by the failed query's clear, or by the next query's.
    EXPECT_EQ(Succeeds(), 3);
    EXPECT_EQ(Succeeds(), 0);
    proxy->ClearAncestorInfo();
    EXPECT_EQ(fault::LiveBlocks(), 0);
}

INSTANTIATE_TEST_SUITE_P(EachLock, HierarchyMutexFault, ::testing::ValuesIn(kMutexCases), OpName());

}  // namespace
