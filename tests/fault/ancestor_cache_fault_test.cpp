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

// Answers the report requests allocating and locking nothing, so that the nth malloc or lock of
// a query is always the proxy's same one. One ancestor: two levels.
class ReportEngine : public zvsim::SimEngine {
  public:
    ReportEngine() : SimEngine(zvsim::Catalogue{}) {}
    std::uint32_t GetMaxNmbrAncstrs(unsigned short) override { return 1; }
    std::uint32_t GetPointsRprt(unsigned short, unsigned long) override { return 0x500; }
    Y4_Status GetRprtAncstr(ZvVelRprtDfn* rprt) override {
        auto* record = static_cast<ZvPldEngAncestors*>(rprt->buf);
        auto* entry = reinterpret_cast<ZvPldEngAncestorEntry*>(record + 1);
        *record = ZvPldEngAncestors{0x500, 0, 10, 1, entry};
        *entry = ZvPldEngAncestorEntry{0x400, 1, 11};
        return ++fetches, 0;
    }
    int fetches = 0;
};

class HierarchyFault : public ProxyTest {
  protected:
    HierarchyFault() {
        ZvPldSetEngineFactory([this](const char*, const char*, const char*) { return reports; });
        start();
        fault::TrackBlocks();
    }

    // A query of every level into lists holding 9, with the nth call of `call` failing (0: none):
    // "result, length of the three lists, records fetched".
    std::string Query(Call call = Call::Malloc, unsigned nth = 0, int error = 0) {
        const int before = reports->fetches;
        std::list<unsigned long> aux{9}, gdd{9};
        std::list<unsigned short> mm{9};
        fault::FailNth(call, nth, error);
        const int result = proxy->GetHierarchyLists(aux, gdd, mm, 7, 0x1234, 2);
        fault::Disarm();
        return std::to_string(result) + ' ' + std::to_string(aux.size() + gdd.size() + mm.size()) +
               ' ' + std::to_string(reports->fetches - before);
    }

    std::shared_ptr<ReportEngine> reports = std::make_shared<ReportEngine>();
};

TEST_F(HierarchyFault, EachAllocationThatFailsFailsTheListsAloneAndLeaksNothing) {
    // The ancestor buffer, the map node, then the lists' elements level by level.
    for (unsigned nth = 1; nth < 100; ++nth) {
        const std::string failed = Query(Call::Malloc, nth);  // short: no block of its own
        if (failed == "0 9 1") break;
        const bool kept = nth > 2;  // the record was cached before the lists failed
        const char* line = kept ? "GetHierarchyLists : Allocate memory space failed"
                                : "FillAncestorInfoForPt Allocate memory space failed";
        EXPECT_EQ(failed, nth == 1 ? "2 3 0" : "2 3 1") << nth;  // no SCOPED_TRACE: it keeps blocks
        EXPECT_THAT(log.take(), ElementsAre(LogLine{3, "ZvPldProxy", line, 1}));
        EXPECT_EQ(ZvLinuxMutex::HeldByThisThread(), 0);
        EXPECT_EQ(Query(), kept ? "0 9 0" : "0 9 1");
        proxy->ClearAncestorInfo();
        EXPECT_EQ(fault::LiveBlocks(), 0);
    }
}

TEST_F(HierarchyFault, AFailedMutexCallFailsTheQueryAloneAndTheStaleRecordIsNeverServed) {
    const struct {
        Call call;
        int nth, locksHeld;  // the singleton lock comes first, then the PLD-count mutex
        const char* line;
    } cases[] = {{Call::MutexLock, 1, 0, "GetHierarchyLists: mutex lock error: 22"},
                 {Call::MutexLock, 2, 1, "FillAncestorInfoForPt: mutex lock error: 22"},
                 {Call::MutexUnlock, 1, 1, "FillAncestorInfoForPt: mutex unlock error: 1"}};
    for (const auto& c : cases) {  // one fetch, then a PLD-count change
        EXPECT_EQ(Query(), "0 9 1");
        ZvPldProxy::CallbackPldCnt(nullptr, 2);
        EXPECT_EQ(Query(c.call, c.nth, c.call == Call::MutexLock ? EINVAL : EPERM), "2 3 0");
        EXPECT_THAT(log.take(), ElementsAre(LogLine{3, "ZvPldProxy", c.line, c.locksHeld}));
        EXPECT_EQ(ZvLinuxMutex::HeldByThisThread(), 0);
        EXPECT_EQ(Query(), "0 9 1");  // dropped by the failed query's clear, or by the next one's
        EXPECT_EQ(Query(), "0 9 0");
        proxy->ClearAncestorInfo();
        EXPECT_EQ(fault::LiveBlocks(), 0);
    }
}

}  // namespace
