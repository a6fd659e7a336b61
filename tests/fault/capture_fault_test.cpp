// Each allocation and mutex failure of capture and draining: its line, what stays queued, no leak.
#include <cerrno>
#include <cstddef>
#include <cstring>

#include "FaultInjection.h"
#include "MockEngine.h"

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
    friend void PrintTo(const FaultCase& c, std::ostream* os) { *os << c.name; }
};

const std::string kLength = std::to_string(sizeof(ZvValChgInfo));  // 24 on the target
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

class NotificationFault : public ProxyTest, public WithParamInterface<FaultCase> {};

TEST_P(NotificationFault, LogsOnceKeepsWhatWasQueuedAndLeaksNothing) {
    const FaultCase& c = GetParam();
    ZvPldProxy& p = start();
    EXPECT_CALL(*engine, RegPldCntChng).WillOnce(Return(0));
    EXPECT_CALL(*engine, RegVelEvent).WillOnce(Return(0));
    EXPECT_CALL(*engine, RegValueChange).WillOnce(Return(0));
    p.RegisterForPldCountChange(OnPldCount, &g_context, 0);
    p.RegisterForEventChange(OnEvent, nullptr, 0);
    p.RegisterForValueChange(OnValueChange, nullptr, 0);
    fault::TrackBlocks();
    const bool inDrain = c.op >= CheckPldCount;
    int before = 0;
    for (;; ++before) {  // until the failure hits: at once, or when a capture's queue has to grow
        ASSERT_LT(before, 10000);
        if (inDrain) Capture(c.op);
        fault::FailNth(c.call, c.nth, c.call == kLock ? EINVAL : EPERM);  // 22 and 1 in the lines
        const bool taken = inDrain ? DrainOne(p, c.op) : (Capture(c.op), false);
        if (fault::Disarm()) {
            EXPECT_EQ(taken, inDrain && c.call == kUnlock);  // a failed lock takes nothing
            break;
        }
    }
    EXPECT_THAT(log.take(), ElementsAre(ErrorLine(kOpName[c.op] + c.tail)));
    // Out come those queued before, and the failing one if a capture unlock or a drain lock failed.
    int drained = 0;
    while (DrainOne(p, c.op)) ++drained;
    EXPECT_EQ(drained, before + (inDrain ? c.call == kLock : c.call == kUnlock));
    // A PLD count reaches its callback at once, whatever became of its queue.
    EXPECT_EQ(g_direct, c.op % 3 == CallbackPldCnt ? before + 1 : 0);
    EXPECT_THAT(log.take(), IsEmpty());
    EXPECT_EQ(fault::LiveBlocks(), 0);
}

INSTANTIATE_TEST_SUITE_P(EachBranch, NotificationFault, ValuesIn(kCases), OpName());

}  // namespace
