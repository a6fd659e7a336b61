// Each allocation and mutex failure of capture, draining and the hierarchy queries: its one line,
// what stays queued or cached, no lock held, no leak.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstddef>
#include <thread>

#include "FaultInjection.h"
#include "MockEngine.h"
#include "sim/SimEngine.h"

using fault::Call;
using namespace ::testing;

namespace {

// The notifications the message client delivers. The IDs do not fit a signed 32-bit number, and
// no field looks like the fill of a freed block.
constexpr unsigned long kCount = 0xFEDCBA98ul;  // 4275878552
const ZvVEventInfo kEvent{0x11111111u, 0x80000001u, 0x2222u, 0xBEEFu, 0x33333333u};
std::uint16_t kData[3] = {0x0102u, 0xA0B0u, 0xFFFFu};
const ZvValChgInfo kValue{0x44444444u, 0x90000002u, 0x55555555u, 0x6666u, 3u, 0x77777777u, kData};
int g_context;            // the message client's context for the capture functions
int g_direct, g_drained;  // intact PLD counts handed over at once, events and value changes drained

void OnPldCount(void* context, unsigned long count) {
    g_direct += context == &g_context && count == kCount;
}
void OnEvent(void* context, const ZvVEventInfo* info) {
    g_drained += context == nullptr && std::memcmp(info, &kEvent, sizeof kEvent) == 0;
}
void OnValueChange(void* context, const ZvValChgInfo* info) {
    g_drained += context == nullptr && info->pData != kData &&
                 std::memcmp(info, &kValue, offsetof(ZvValChgInfo, pData)) == 0 &&
                 std::memcmp(info->pData, kData, sizeof kData) == 0;
}

enum Op { CallbackPldCnt, CallbackEvent, CallbackValue, CheckPldCount, CheckEvent, CheckValue };
const char* const kOpName[] = {"CallbackPldCnt", "CallbackEvent", "CallbackValueChange",
                               "CheckPldCount",  "CheckEvent",    "CheckValueChange"};
const char* const kCallName[] = {"Malloc", "Lock", "Unlock"};
constexpr Call kMalloc = Call::Malloc, kLock = Call::MutexLock, kUnlock = Call::MutexUnlock;

// Delivers one notification of the kind `op` captures or drains.
void Capture(Op op) {
    if (op % 3 == 0) ZvPldProxy::CallbackPldCnt(&g_context, kCount);
    if (op % 3 == 1) ZvPldProxy::CallbackEvent(&g_context, &kEvent);
    if (op % 3 == 2) ZvPldProxy::CallbackValueChange(&g_context, &kValue);
}

// Takes one notification of the kind out; true if one came out intact.
bool DrainOne(ZvPldProxy& p, Op op) {
    const int drained = g_drained;
    unsigned long count = 0;
    if (op % 3 == 0) return p.CheckPldCount(&count) && count == kCount;
    op % 3 == 1 ? p.CheckEvent() : p.CheckValueChange();
    return g_drained > drained;
}

struct FaultCase {
    Op op;
    Call call;
    unsigned nth;      // a malloc past the copy's only fails when the queue has to grow
    std::string tail;  // of the line, after the function's name
    std::string name = kOpName[op] + std::string(kCallName[int(call)]) + std::to_string(nth);
};

const std::string kLength = sizeof(void*) == 4 ? "24" : "32";  // the record's size
const FaultCase kCases[] = {
    {CallbackPldCnt, kLock, 1, ": mutex lock error: 22, for PLD count: 4275878552"},
    {CallbackPldCnt, kUnlock, 1, ": mutex unlock error: 1, for PLD count: 4275878552"},
    {CallbackPldCnt, kMalloc, 1, ": could not allocate memory, for PLD count: 4275878552"},
    {CallbackEvent, kMalloc, 1, ": could not allocate memory - ID: 2147483649, state: 48879"},
    {CallbackEvent, kLock, 1, ": mutex lock error: 22, ID: 2147483649, state: 48879"},
    {CallbackEvent, kUnlock, 1, ": mutex unlock error: 1, ID: 2147483649, state: 48879"},
    {CallbackEvent, kMalloc, 2, ": could not allocate memory - ID: 2147483649, state: 48879"},
    {CallbackValue, kMalloc, 1, ": could not allocate memory - ID: 2415919106, length: " + kLength},
    {CallbackValue, kMalloc, 2, ": could not allocate memory - ID: 2415919106  length: 3"},
    {CallbackValue, kLock, 1, ": mutex lock error: 22, ID: 2415919106, errno: 22"},
    {CallbackValue, kUnlock, 1, ": mutex unlock error: 1, ID: 2415919106, errno: 1"},
    {CallbackValue, kMalloc, 3, ": could not allocate memory - ID: 2415919106  length: 3"},
    {CheckPldCount, kLock, 1, ": mutex lock error: 22"},
    {CheckPldCount, kUnlock, 1, ": mutex unlock error: 1"},
    {CheckEvent, kLock, 1, ": mutex lock error: 22"},
    {CheckEvent, kUnlock, 1, ": mutex unlock error: 1"},
    {CheckValue, kLock, 1, ": mutex lock error: 22"},
    {CheckValue, kUnlock, 1, ": mutex unlock error: 1"},
};

// What active-events requests and answers leave: error lines, results, "sent" for each request the
// engine got, the IDs the callback got. Appended within the capacity reserved here, allocating
// nothing: a sink or callback that allocated would move the failing malloc.
std::string g_seen(256, ' ');
void OnLine(int level, const char*, const char* text, void*) {
    if (level == 3) g_seen.append(text).append("; ");
}
void OnAnswer(std::list<ZvPldProxy::ActiveEvent*>* events) {
    g_seen += "got";
    for (const auto* e : *events) g_seen += ' ' + std::to_string(e->eventId), delete e;
    events->clear();  // its nodes too, so that nothing is counted as leaked
    g_seen += "; ";
}

// Answers the report requests allocating and locking nothing, so that the nth malloc or lock of
// a query is always the proxy's same one. One ancestor: two levels. Takes active-events requests
// without answering them; its FDM version is longer than a short string holds; its product
// identity block starts with `identity`.
class ReportEngine : public zvsim::SimEngine {
  public:
    ReportEngine() : SimEngine(zvsim::Catalogue{}) {}
    Y4_Status Process(ZvPldEngInfo*) override { return g_seen += "sent ", 0; }
    Y4_Status GetVelFDMVersion(int, int n, char* buf) override { return memset(buf, 'v', n), 0; }
    std::uint32_t GetMaxNmbrAncstrs(unsigned short) override { return ++asked, 1; }
    std::uint32_t GetPointsRprt(unsigned short, unsigned long) override { return ++asked, 0x500; }
    Y4_Status GetRprtAncstr(ZvVelRprtDfn* rprt) override {
        auto* record = static_cast<ZvPldEngAncestors*>(rprt->buf);
        auto* entry = reinterpret_cast<ZvPldEngAncestorEntry*>(record + 1);
        *record = ZvPldEngAncestors{rprt->gddId, 0, 10, 1, entry};
        *entry = ZvPldEngAncestorEntry{0x400, 1, 11};
        return ++fetches, 0;
    }
    ZvProductIdentSeq* GetProdSeqId(unsigned short) override {
        if (identity[0] == 0xFF) return nullptr;  // the device has none
        auto* block = static_cast<ZvProductIdentSeq*>(std::malloc(sizeof(ZvProductIdentSeq)));
        if (block != nullptr) std::memcpy(block, identity, sizeof identity);
        return block;
    }
    int fetches = 0, asked = 0;
    std::uint8_t identity[2] = {};
};

class Fault : public ProxyTest {
  protected:
    Fault() {
        ZvPldSetEngineFactory([this](const char*, const char*, const char*) { return reports; });
    }
    void SetUp() override { begin(start()); }
    static void begin(ZvPldProxy& p) {
        p.RegisterForPldCountChange(OnPldCount, &g_context, 0);
        p.RegisterForEventChange(OnEvent, nullptr, 0);
        p.RegisterForValueChange(OnValueChange, nullptr, 0);
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

class NotificationFault : public Fault, public WithParamInterface<FaultCase> {};

// Drains, from within a capture's failing unlock, the copy it has just queued, as another thread
// may: the capture's line must not read it.
ZvPldProxy* g_proxy;
Op g_op;
int g_drainedWithin;
void DrainWithin() {
    g_drainedWithin += DrainOne(*g_proxy, g_op);
}

TEST_P(NotificationFault, LogsOnceKeepsWhatWasQueuedAndLeaksNothing) {
    const FaultCase& c = GetParam();
    const bool inDrain = c.op >= CheckPldCount;
    g_proxy = proxy.get(), g_op = c.op;
    int before = 0;
    for (;; ++before) {  // until the failure hits: at once, or when a capture's queue has to grow
        ASSERT_LT(before, 10000);
        if (inDrain) Capture(c.op);
        fault::FailNth(c.call, c.nth, c.call == kLock ? EINVAL : EPERM,  // 22 and 1 in the lines
                       !inDrain && c.call == kUnlock ? DrainWithin : nullptr);
        const bool taken = inDrain ? DrainOne(*proxy, c.op) : (Capture(c.op), false);
        if (fault::Disarm()) {
            EXPECT_EQ(taken, inDrain && c.call == kUnlock);  // a failed lock takes nothing
            break;
        }
    }
    EXPECT_THAT(log.take(), ElementsAre(ErrorLine(kOpName[c.op] + c.tail)));
    // Out come those queued before, and the failing one if a capture unlock or a drain lock failed.
    int drained = 0;
    while (DrainOne(*proxy, c.op)) ++drained;
    EXPECT_EQ(drained + g_drainedWithin, before + (inDrain ? c.call == kLock : c.call == kUnlock));
    // A PLD count reaches its callback at once, whatever became of its queue.
    EXPECT_EQ(g_direct, c.op % 3 == CallbackPldCnt ? before + 1 : 0);
    EXPECT_THAT(log.take(), IsEmpty());
    EXPECT_EQ(fault::LiveBlocks(), 0);
}

INSTANTIATE_TEST_SUITE_P(EachBranch, NotificationFault, ValuesIn(kCases), OpName);

using AnswerFault = Fault;

// A request, an answer in two pieces and the FDM version, each row's failure before one of them.
TEST_F(AnswerFault, LogsOnceDropsTheRequestOrPieceOrGivesWhatWasParsedAndLeaksNothing) {
    const std::string sent = "sent 0; ",
                      memory = "ProcessActiveEventsCB Allocate memory space failed; ";
    // The step the failure comes before; the last piece's mallocs: the text, its working copy,
    // then record, node...
    const std::tuple<int, Call, unsigned, std::string> cases[] = {
        {0, kLock, 1, "GetActiveEvents: mutex lock error: 22; 2; got 7 9 3; 20"},
        {1, kLock, 1, sent + "ProcessActiveEventsCB: mutex lock error: 22; got 3; 20"},
        {2, kMalloc, 1, sent + memory + "got 7; 20"},
        {2, kMalloc, 2, sent + memory + "got; 20"},  // the working copy: nothing to parse
        {2, kMalloc, 3, sent + memory + "got; 20"},
        {2, kMalloc, 7, sent + memory + "got 7 9; 20"},
        {3, kMalloc, 1, sent + "got 7 9 3; GetFdmVersion Allocate memory space failed; 0"},
    };
    std::list<ZvPldProxy::ActiveEvent*> events;
    ASSERT_EQ(proxy->GetActiveEvents(&events, OnAnswer, 0), 0);
    dlog_set_sink(OnLine, nullptr);
    const int live = fault::LiveBlocks();  // the table's
    for (const auto& [failingStep, call, nth, seen] : cases) {
        g_seen.clear();
        for (int step = 0; step < 4; ++step) {
            if (step == failingStep) fault::FailNth(call, nth, EINVAL);
            if (step == 0)
                g_seen += std::to_string(proxy->GetActiveEvents(&events, OnAnswer, 0)) + "; ";
            char piece[16] = "(5,6:7,8|";
            if (step == 2) std::strcpy(piece, "9,10)(1,2:3,4)");  // the text outgrows a short one
            const auto len = std::uint32_t(std::strlen(piece));   // 9 fills its buffer, 14 ends
            ZvCallbackInfo cbi{&events, 0, 2, 0, 0, 0, step == 1 ? len : 16, len, piece};
            if (step == 1 || step == 2) ZvPldProxy::ProcessActiveEventsCB(&cbi);
            if (step == 3) g_seen += std::to_string(proxy->GetFdmVersion(1).size());
            EXPECT_EQ(fault::Disarm(), step == failingStep) << step;
        }
        EXPECT_EQ(g_seen, seen);
        EXPECT_EQ(fault::LiveBlocks(), live);
    }
}

using HierarchyFault = Fault;

TEST_F(HierarchyFault, EachFailureFailsTheQueryAloneLeaksNothingAndServesNothingStale) {
    const struct {
        Call call;
        int nth, locksHeld;  // the singleton lock comes first, then the PLD-count mutex
        const char* line;
    } cases[] = {{kLock, 2, 1, "FillAncestorInfoForPt: mutex lock error: 22"},
                 {kUnlock, 1, 1, "FillAncestorInfoForPt: mutex unlock error: 1"}};
    for (const auto& c : cases) {  // one fetch, then a PLD-count change
        EXPECT_EQ(Query(), "0 9 1");
        ZvPldProxy::CallbackPldCnt(nullptr, 2);
        EXPECT_EQ(Query(c.call, c.nth, c.call == kLock ? EINVAL : EPERM), "2 3 0");
        EXPECT_THAT(log.take(), ElementsAre(LogLine{3, "ZvPldProxy", c.line, c.locksHeld}));
        EXPECT_EQ(ZvLinuxMutex::HeldByThisThread(), 0);
        EXPECT_EQ(Query(), "0 9 1");  // dropped by the failed query's clear, or by the next one's
        EXPECT_EQ(Query(), "0 9 0");
        proxy->ClearAncestorInfo();
        EXPECT_EQ(fault::LiveBlocks(), 0);
    }
    // A PLD count whose queue lock failed marks nothing stale: the record is served again.
    EXPECT_EQ(Query(), "0 9 1");
    fault::FailNth(kLock, 1, EINVAL);
    ZvPldProxy::CallbackPldCnt(nullptr, 3);
    EXPECT_TRUE(fault::Disarm());
    EXPECT_EQ(Query(), "0 9 0");
    log.take();
    proxy->ClearAncestorInfo();
    // The ancestor buffer, the map node, then the lists' elements level by level.
    for (unsigned nth = 1; nth < 100; ++nth) {
        const std::string failed = Query(Call::Malloc, nth);  // short: no block of its own
        if (failed == "0 9 1") break;
        const bool kept = nth > 2;  // the record was cached before the lists failed
        const char* line = kept ? "GetHierarchyLists Allocate memory space failed"
                                : "FillAncestorInfoForPt Allocate memory space failed";
        EXPECT_EQ(failed, nth == 1 ? "2 3 0" : "2 3 1") << nth;  // no SCOPED_TRACE: it keeps blocks
        EXPECT_THAT(log.take(), ElementsAre(LogLine{3, "ZvPldProxy", line, 1}));
        EXPECT_EQ(ZvLinuxMutex::HeldByThisThread(), 0);
        EXPECT_EQ(Query(), kept ? "0 9 0" : "0 9 1");
        proxy->ClearAncestorInfo();
        EXPECT_EQ(fault::LiveBlocks(), 0);
    }
}

// A client's subclass answers the two report queries the cache asks; its first report query
// fills the same point first, as a direct fill racing this one would.
class OwnReportQueries : public ZvPldProxy {
  public:
    using ZvPldProxy::ZvPldProxy;
    int GetMaxNmbrAncestors(unsigned long* maxAncestors, unsigned short) override {
        *maxAncestors = 1;
        return 0;
    }
    int GetPointReportNum(unsigned long* reportGddId, unsigned short, unsigned short) override {
        if (!raced) {
            raced = true;
            EXPECT_EQ(FillAncestorInfoForPt(&first, kPoint), 0);
        }
        *reportGddId = 0x501;
        return 0;
    }
    const ZvAncestorInfoBufKey kPoint{7, 0x1234, 2};
    ZvPldEngAncestors* first = nullptr;
    bool raced = false;
};

class CacheRace : public Fault {
    void SetUp() override { begin(start<OwnReportQueries>()); }
};

TEST_F(CacheRace, AFillThatFindsItsPointCachedMeanwhileKeepsThatRecordAndFreesItsOwn) {
    auto& p = static_cast<OwnReportQueries&>(*proxy);
    ZvPldEngAncestors* record = nullptr;
    EXPECT_EQ(p.FillAncestorInfoForPt(&record, p.kPoint), 0);
    EXPECT_EQ(record, p.first);
    EXPECT_EQ(record->gddId, 0x501u);  // the subclass's answers, not the engine's
    EXPECT_EQ(reports->asked, 0);
    EXPECT_EQ(reports->fetches, 2);
    p.ClearAncestorInfo();
    EXPECT_EQ(fault::LiveBlocks(), 0);
}

TEST_F(Fault, AProductIdentityIsFreedUnlessItIsHandedOver) {
    const struct {
        std::uint8_t ids, revision;
        bool valid;
    } cases[] = {{1, 1, false}, {9, 1, false}, {2, 0, false},
                 {2, 1, true},  {8, 1, true},  {0xFF, 0, false}};
    ZvProductIdentSeq earlier{};
    EXPECT_FALSE(proxy->GetProdSeqId(nullptr, 1));
    for (const auto& c : cases) {
        reports->identity[0] = c.ids, reports->identity[1] = c.revision;
        ZvProductIdentSeq* out = &earlier;
        EXPECT_EQ(proxy->GetProdSeqId(&out, 1), c.valid);
        EXPECT_EQ(fault::LiveBlocks(), c.valid ? 1 : 0) << int(c.ids);
        EXPECT_EQ(out == &earlier, !c.valid);  // written only when handed over
        if (c.valid) std::free(out);
    }
}

// An answer piece on a thread that the message client did not join waits, at the answer's guard
// or in the client's callback, while the proxy is destroyed, then goes on.
std::atomic<bool> g_waiting, g_destroyed;
void WaitForTheDestruction() {
    g_waiting = true;
    while (!g_destroyed) std::this_thread::yield();
}
void NeverCalled(std::list<ZvPldProxy::ActiveEvent*>*) {
    ADD_FAILURE() << "an answer delivered after the destruction";
}
void WaitInTheCallback(std::list<ZvPldProxy::ActiveEvent*>* events) {
    for (const auto* e : *events) delete e;
    events->clear();
    WaitForTheDestruction();
}

using Destruction = ProxyTest;

TEST_F(Destruction, AnAnswerPieceMeanwhileFindsNoInstanceOrLeavesTheDestroyedOneAlone) {
    const struct {
        ZvPldProxy::ActiveEventsCb callback;
        bool atGuard;  // else in the callback
    } cases[] = {{NeverCalled, true}, {WaitInTheCallback, false}};
    for (const auto& c : cases) {
        g_waiting = g_destroyed = false;
        alignas(ZvPldProxy) unsigned char storage[sizeof(ZvPldProxy)];
        auto* p = new (storage) ZvPldProxy("sim", "unit-test");
        std::list<ZvPldProxy::ActiveEvent*> events;
        EXPECT_CALL(*engine, Process(_)).WillOnce(Return(0));
        ASSERT_EQ(p->GetActiveEvents(&events, c.callback, 0), 0);
        char text[] = "(1,2:3,4)";
        ZvCallbackInfo cbi{&events, 0, 2, 0, 0, 0, 64, 9, text};
        std::thread delivering([&] {
            if (c.atGuard) fault::AtNth(kLock, 1, WaitForTheDestruction);
            ZvPldProxy::ProcessActiveEventsCB(&cbi);
            fault::Disarm();
        });
        while (!g_waiting) std::this_thread::yield();
        p->~ZvPldProxy();
        std::memset(storage, 0xAB, sizeof storage);  // whatever a piece did to it would show
        g_destroyed = true;
        delivering.join();
        EXPECT_EQ(std::count(storage, storage + sizeof storage, 0xAB), long(sizeof storage));
        EXPECT_TRUE(events.empty());
    }
}

}  // namespace
