// Every allocation and mutex failure of notification capture and draining, one injected failure
// per case: the one line it logs, what stays queued, and that nothing leaks.
#include <cerrno>
#include <cstddef>
#include <cstring>

#include "FaultInjection.h"
#include "MockEngine.h"

using fault::Call;
using ::testing::_;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::Return;

namespace {

// The notifications the message client delivers. The IDs do not fit a signed 32-bit number, and
// no field looks like the fill of a freed block.
constexpr unsigned long kCount = 0xFEDCBA98ul;  // 4275878552
const ZvVEventInfo kEvent{0x11111111u, 0x80000001u, 0x2222u, 0xBEEFu, 0x33333333u};
std::uint16_t kData[3] = {0x0102u, 0xA0B0u, 0xFFFFu};
const ZvValChgInfo kValue{0x44444444u, 0x90000002u, 0x55555555u, 0x6666u, 3u, 0x77777777u, kData};
int g_context;            // the message client's context for the capture functions
int g_direct, g_drained;  // PLD counts handed over at once; events and value changes drained

void OnPldCount(void* context, unsigned long count) {
    ++g_direct;
    EXPECT_EQ(context, &g_context);
    EXPECT_EQ(count, kCount);
}
void OnEvent(void* context, const ZvVEventInfo* info) {
    ++g_drained;
    EXPECT_EQ(context, nullptr);
    EXPECT_EQ(std::memcmp(info, &kEvent, sizeof kEvent), 0);
}
void OnValueChange(void* context, const ZvValChgInfo* info) {
    ++g_drained;
    EXPECT_EQ(context, nullptr);
    EXPECT_EQ(std::memcmp(info, &kValue, offsetof(ZvValChgInfo, pData)), 0);
    EXPECT_NE(info->pData, kData);
    EXPECT_EQ(std::memcmp(info->pData, kData, sizeof kData), 0);
}

enum class Kind { PldCount, Event, ValueChange };

void Capture(Kind kind) {
    if (kind == Kind::PldCount) ZvPldProxy::CallbackPldCnt(&g_context, kCount);
    if (kind == Kind::Event) ZvPldProxy::CallbackEvent(&g_context, &kEvent);
    if (kind == Kind::ValueChange) ZvPldProxy::CallbackValueChange(&g_context, &kValue);
}

// Takes one notification out; true if one came out.
bool DrainOne(ZvPldProxy& p, Kind kind) {
    const int drained = g_drained;
    if (kind == Kind::Event) p.CheckEvent();
    if (kind == Kind::ValueChange) p.CheckValueChange();
    if (kind != Kind::PldCount) return g_drained > drained;
    unsigned long count = 7;
    const bool taken = p.CheckPldCount(&count);
    EXPECT_EQ(count, taken ? kCount : 7ul);
    return taken;
}

// Runs `step` with the nth call of `call` failing; true if it failed.
template <class Step>
bool WithFailure(Call call, unsigned nth, Step&& step) {
    fault::FailNth(call, nth, call == Call::MutexLock ? EINVAL : EPERM);  // 22, 1 in the lines
    step();
    return fault::Disarm();
}

struct FaultCase {
    const char* name;
    Kind kind;
    bool inDrain;  // the failure hits a draining call, not the capture
    Call call;
    unsigned nth;  // a malloc past the copy's only fails when the queue has to grow
    int left;      // notifications that come out after the failing call
    std::string line;
    friend void PrintTo(const FaultCase& c, std::ostream* os) { *os << c.name; }
};

const std::string kValueLength = std::to_string(sizeof(ZvValChgInfo));  // 24 on the target
const FaultCase kCases[] = {
    {"PldCountLock", Kind::PldCount, false, Call::MutexLock, 1, 0,
     "CallbackPldCnt: mutex lock error: 22, for PLD count: 4275878552"},
    {"PldCountUnlock", Kind::PldCount, false, Call::MutexUnlock, 1, 1,
     "CallbackPldCnt: mutex unlock error: 1, for PLD count: 4275878552"},
    {"PldCountGrowth", Kind::PldCount, false, Call::Malloc, 1, 0,
     "CallbackPldCnt: could not allocate memory, for PLD count: 4275878552"},
    {"EventCopy", Kind::Event, false, Call::Malloc, 1, 0,
     "CallbackEvent: could not allocate memory - ID: 2147483649, state: 48879"},
    {"EventLock", Kind::Event, false, Call::MutexLock, 1, 0,
     "CallbackEvent: mutex lock error: 22, ID: 2147483649, state: 48879"},
    {"EventUnlock", Kind::Event, false, Call::MutexUnlock, 1, 1,
     "CallbackEvent: mutex unlock error: 1, ID: 2147483649, state: 48879"},
    {"EventGrowth", Kind::Event, false, Call::Malloc, 2, 0,
     "CallbackEvent: could not allocate memory - ID: 2147483649, state: 48879"},
    {"ValueCopy", Kind::ValueChange, false, Call::Malloc, 1, 0,
     "CallbackValueChange: could not allocate memory - ID: 2415919106, length: " + kValueLength},
    {"ValueData", Kind::ValueChange, false, Call::Malloc, 2, 0,
     "CallbackValueChange: could not allocate memory - ID: 2415919106  length: 3"},
    {"ValueLock", Kind::ValueChange, false, Call::MutexLock, 1, 0,
     "CallbackValueChange: mutex lock error: 22, ID: 2415919106, errno: 22"},
    {"ValueUnlock", Kind::ValueChange, false, Call::MutexUnlock, 1, 1,
     "CallbackValueChange: mutex unlock error: 1, ID: 2415919106, errno: 1"},
    {"ValueGrowth", Kind::ValueChange, false, Call::Malloc, 3, 0,
     "CallbackValueChange: could not allocate memory - ID: 2415919106  length: 3"},
    {"CheckPldCountLock", Kind::PldCount, true, Call::MutexLock, 1, 1,
     "CheckPldCount: mutex lock error: 22"},
    {"CheckPldCountUnlock", Kind::PldCount, true, Call::MutexUnlock, 1, 0,
     "CheckPldCount: mutex unlock error: 1"},
    {"CheckEventLock", Kind::Event, true, Call::MutexLock, 1, 1,
     "CheckEvent: mutex lock error: 22"},
    {"CheckEventUnlock", Kind::Event, true, Call::MutexUnlock, 1, 0,
     "CheckEvent: mutex unlock error: 1"},
    {"CheckValueChangeLock", Kind::ValueChange, true, Call::MutexLock, 1, 1,
     "CheckValueChange: mutex lock error: 22"},
    {"CheckValueChangeUnlock", Kind::ValueChange, true, Call::MutexUnlock, 1, 0,
     "CheckValueChange: mutex unlock error: 1"},
};

class NotificationFault : public ProxyTest, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(NotificationFault, LogsOnceKeepsWhatWasQueuedAndLeaksNothing) {
    const FaultCase& c = GetParam();
    ZvPldProxy& p = start();
    EXPECT_CALL(*engine, RegPldCntChng(_, _, _)).WillOnce(Return(0));
    EXPECT_CALL(*engine, RegVelEvent(_, _, _)).WillOnce(Return(0));
    EXPECT_CALL(*engine, RegValueChange(_, _, _)).WillOnce(Return(0));
    p.RegisterForPldCountChange(OnPldCount, &g_context, 0);
    p.RegisterForEventChange(OnEvent, nullptr, 0);
    p.RegisterForValueChange(OnValueChange, nullptr, 0);
    fault::TrackBlocks();

    // Captures until the failure hits: at once, or when the queue has to grow.
    int before = 0;
    if (c.inDrain) {
        Capture(c.kind);
        // A failed unlock still delivers; a failed lock takes nothing.
        EXPECT_TRUE(WithFailure(
            c.call, c.nth, [&] { EXPECT_EQ(DrainOne(p, c.kind), c.call == Call::MutexUnlock); }));
    } else {
        while (!WithFailure(c.call, c.nth, [&] { Capture(c.kind); })) {
            ASSERT_LT(++before, 10000) << "the failure never hit";
        }
    }
    EXPECT_THAT(log.take(), ElementsAre(ErrorLine(c.line)));
    int drained = 0;
    while (DrainOne(p, c.kind)) ++drained;
    EXPECT_EQ(drained, before + c.left);
    // A PLD count reaches its callback at once, whatever became of its queue.
    EXPECT_EQ(g_direct, c.kind == Kind::PldCount ? before + 1 : 0);
    EXPECT_THAT(log.take(), IsEmpty());
    EXPECT_EQ(fault::LiveBlocks(), 0);
}

INSTANTIATE_TEST_SUITE_P(EachBranch, NotificationFault, ::testing::ValuesIn(kCases), OpName());

}  // namespace
