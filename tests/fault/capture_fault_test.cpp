// Every allocation and mutex failure of notification capture and draining, one injected failure
// per case: the one line it logs, what it drops, what stays queued, and that nothing leaks.
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

constexpr int kLockError = EINVAL;
constexpr int kUnlockError = EPERM;
static_assert(kLockError == 22 && kUnlockError == 1, "the lines below spell them out");

// The notifications the message client delivers. The IDs do not fit a signed 32-bit number, and
// none of the fields looks like the fill of a freed block.
constexpr unsigned long kCount = 0xFEDCBA98ul;  // 4275878552
const ZvVEventInfo kEvent{0x11111111u, 0x80000001u, 0x2222u, 0xBEEFu, 0x33333333u};
std::uint16_t kData[3] = {0x0102u, 0xA0B0u, 0xFFFFu};
const ZvValChgInfo kValue{0x44444444u, 0x90000002u, 0x55555555u, 0x6666u, 3u, 0x77777777u, kData};
int g_context;  // the message client's context for the capture functions

enum class Kind { PldCount, Event, ValueChange };

int g_directCounts, g_events, g_values;

void OnPldCount(void* context, unsigned long count) {
    ++g_directCounts;
    EXPECT_EQ(context, &g_context);
    EXPECT_EQ(count, kCount);
}
void OnEvent(void* context, const ZvVEventInfo* info) {
    ++g_events;
    EXPECT_EQ(context, nullptr);
    EXPECT_EQ(std::memcmp(info, &kEvent, sizeof kEvent), 0);
}
void OnValueChange(void* context, const ZvValChgInfo* info) {
    ++g_values;
    EXPECT_EQ(context, nullptr);
    EXPECT_EQ(std::memcmp(info, &kValue, offsetof(ZvValChgInfo, pData)), 0);
    EXPECT_NE(info->pData, kData);
    EXPECT_EQ(std::memcmp(info->pData, kData, sizeof kData), 0);
}

// What the message client does; allocates nothing of its own.
void Capture(Kind kind) {
    switch (kind) {
        case Kind::PldCount:
            return ZvPldProxy::CallbackPldCnt(&g_context, kCount);
        case Kind::Event:
            return ZvPldProxy::CallbackEvent(&g_context, &kEvent);
        case Kind::ValueChange:
            return ZvPldProxy::CallbackValueChange(&g_context, &kValue);
    }
}

// Takes one notification out; true if one came out.
bool DrainOne(ZvPldProxy& p, Kind kind) {
    const int events = g_events, values = g_values;
    switch (kind) {
        case Kind::PldCount: {
            unsigned long count = 7;
            const bool taken = p.CheckPldCount(&count);
            EXPECT_EQ(count, taken ? kCount : 7ul);
            return taken;
        }
        case Kind::Event:
            p.CheckEvent();
            return g_events > events;
        case Kind::ValueChange:
            p.CheckValueChange();
            return g_values > values;
    }
    return false;
}

// Runs `step` with the nth call of `call` failing; gives how many calls failed.
template <class Step>
unsigned WithFailure(Call call, unsigned nth, Step&& step) {
    fault::FailNth(call, nth, call == Call::MutexLock ? kLockError : kUnlockError);
    step();
    return fault::Disarm();
}

class NotificationFault : public ProxyTest {
  protected:
    ZvPldProxy& registerAll() {
        g_directCounts = g_events = g_values = 0;
        ZvPldProxy& p = start();
        EXPECT_CALL(*engine, RegPldCntChng(_, _, _)).WillOnce(Return(0));
        EXPECT_CALL(*engine, RegVelEvent(_, _, _)).WillOnce(Return(0));
        EXPECT_CALL(*engine, RegValueChange(_, _, _)).WillOnce(Return(0));
        p.RegisterForPldCountChange(OnPldCount, &g_context, 0);
        p.RegisterForEventChange(OnEvent, nullptr, 0);
        p.RegisterForValueChange(OnValueChange, nullptr, 0);
        return p;
    }
};

struct CaptureCase {
    const char* name;
    Kind kind;
    Call call;
    unsigned nth;
    bool queued;  // the notification comes out of its queue afterwards
    std::string line;
};

const CaptureCase kCaptureCases[] = {
    {"PldCountLock", Kind::PldCount, Call::MutexLock, 1, false,
     "CallbackPldCnt: mutex lock error: 22, for PLD count: 4275878552"},
    {"PldCountUnlock", Kind::PldCount, Call::MutexUnlock, 1, true,
     "CallbackPldCnt: mutex unlock error: 1, for PLD count: 4275878552"},
    {"EventCopy", Kind::Event, Call::Malloc, 1, false,
     "CallbackEvent: could not allocate memory - ID: 2147483649, state: 48879"},
    {"EventLock", Kind::Event, Call::MutexLock, 1, false,
     "CallbackEvent: mutex lock error: 22, ID: 2147483649, state: 48879"},
    {"EventUnlock", Kind::Event, Call::MutexUnlock, 1, true,
     "CallbackEvent: mutex unlock error: 1, ID: 2147483649, state: 48879"},
    {"ValueCopy", Kind::ValueChange, Call::Malloc, 1, false,
     // The size of the record: 24 on the target.
     "CallbackValueChange: could not allocate memory - ID: 2415919106, length: " +
         std::to_string(sizeof(ZvValChgInfo))},
    {"ValueData", Kind::ValueChange, Call::Malloc, 2, false,
     "CallbackValueChange: could not allocate memory - ID: 2415919106  length: 3"},
    {"ValueLock", Kind::ValueChange, Call::MutexLock, 1, false,
     "CallbackValueChange: mutex lock error: 22, ID: 2415919106, errno: 22"},
    {"ValueUnlock", Kind::ValueChange, Call::MutexUnlock, 1, true,
     "CallbackValueChange: mutex unlock error: 1, ID: 2415919106, errno: 1"},
};
void PrintTo(const CaptureCase& c, std::ostream* os) {
    *os << c.name;
}

class CaptureFault : public NotificationFault, public ::testing::WithParamInterface<CaptureCase> {};

TEST_P(CaptureFault, LogsOnceKeepsOnlyWhatWasQueuedAndLeaksNothing) {
    const CaptureCase& c = GetParam();
    ZvPldProxy& p = registerAll();
    fault::BlockTracker blocks;
    EXPECT_EQ(WithFailure(c.call, c.nth, [&] { Capture(c.kind); }), 1u);
    EXPECT_THAT(log.take(), ElementsAre(ErrorLine(c.line)));
    EXPECT_EQ(DrainOne(p, c.kind), c.queued);
    EXPECT_FALSE(DrainOne(p, c.kind));
    // A PLD count reaches its callback at once, whatever became of its queue.
    EXPECT_EQ(g_directCounts, c.kind == Kind::PldCount ? 1 : 0);
    EXPECT_THAT(log.take(), IsEmpty());
    EXPECT_EQ(blocks.Live(), 0);
}

INSTANTIATE_TEST_SUITE_P(EachBranch, CaptureFault, ::testing::ValuesIn(kCaptureCases), OpName());

// The queue itself cannot grow: the append throws std::bad_alloc on the first allocation that
// capture makes after its copy.
struct GrowthCase {
    const char* name;
    Kind kind;
    unsigned copies;  // allocations for the copy, before the append
    const char* line;
};

const GrowthCase kGrowthCases[] = {
    {"PldCount", Kind::PldCount, 0,
     "CallbackPldCnt: could not allocate memory, for PLD count: 4275878552"},
    {"Event", Kind::Event, 1,
     "CallbackEvent: could not allocate memory - ID: 2147483649, state: 48879"},
    {"ValueChange", Kind::ValueChange, 2,
     "CallbackValueChange: could not allocate memory - ID: 2415919106  length: 3"},
};
void PrintTo(const GrowthCase& c, std::ostream* os) {
    *os << c.name;
}

class QueueGrowthFault : public NotificationFault,
                         public ::testing::WithParamInterface<GrowthCase> {};

TEST_P(QueueGrowthFault, DropsTheNotificationUnlocksAndLeaksNothing) {
    const GrowthCase& c = GetParam();
    ZvPldProxy& p = registerAll();
    fault::BlockTracker blocks;
    // Captures until one of them has to grow the queue.
    int captured = 0;
    while (WithFailure(Call::Malloc, c.copies + 1, [&] { Capture(c.kind); }) == 0) {
        ASSERT_LT(++captured, 10000) << "the queue never grew";
    }
    EXPECT_THAT(log.take(), ElementsAre(ErrorLine(c.line)));
    // The queue's mutex is free again, and everything before the lost one comes out.
    int drained = 0;
    while (DrainOne(p, c.kind)) ++drained;
    EXPECT_EQ(drained, captured);
    EXPECT_EQ(g_directCounts, c.kind == Kind::PldCount ? captured + 1 : 0);
    EXPECT_EQ(blocks.Live(), 0);
}

INSTANTIATE_TEST_SUITE_P(EachQueue, QueueGrowthFault, ::testing::ValuesIn(kGrowthCases), OpName());

struct DrainCase {
    const char* name;
    Kind kind;
    Call call;
    const char* line;
};

const DrainCase kDrainCases[] = {
    {"CheckPldCountLock", Kind::PldCount, Call::MutexLock, "CheckPldCount: mutex lock error: 22"},
    {"CheckPldCountUnlock", Kind::PldCount, Call::MutexUnlock,
     "CheckPldCount: mutex unlock error: 1"},
    {"CheckEventLock", Kind::Event, Call::MutexLock, "CheckEvent: mutex lock error: 22"},
    {"CheckEventUnlock", Kind::Event, Call::MutexUnlock, "CheckEvent: mutex unlock error: 1"},
    {"CheckValueChangeLock", Kind::ValueChange, Call::MutexLock,
     "CheckValueChange: mutex lock error: 22"},
    {"CheckValueChangeUnlock", Kind::ValueChange, Call::MutexUnlock,
     "CheckValueChange: mutex unlock error: 1"},
};
void PrintTo(const DrainCase& c, std::ostream* os) {
    *os << c.name;
}

class DrainFault : public NotificationFault, public ::testing::WithParamInterface<DrainCase> {};

TEST_P(DrainFault, AFailedLockTakesNothingAndAFailedUnlockStillDelivers) {
    const DrainCase& c = GetParam();
    ZvPldProxy& p = registerAll();
    fault::BlockTracker blocks;
    Capture(c.kind);
    const bool lockFails = c.call == Call::MutexLock;
    bool delivered = false;
    EXPECT_EQ(WithFailure(c.call, 1, [&] { delivered = DrainOne(p, c.kind); }), 1u);
    EXPECT_THAT(log.take(), ElementsAre(ErrorLine(c.line)));
    EXPECT_EQ(delivered, !lockFails);
    // What a failed lock left is there for the next call, once.
    EXPECT_EQ(DrainOne(p, c.kind), lockFails);
    EXPECT_FALSE(DrainOne(p, c.kind));
    EXPECT_THAT(log.take(), IsEmpty());
    EXPECT_EQ(blocks.Live(), 0);
}

INSTANTIATE_TEST_SUITE_P(EachBranch, DrainFault, ::testing::ValuesIn(kDrainCases), OpName());

}  // namespace
