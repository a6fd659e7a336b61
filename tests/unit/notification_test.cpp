// Registration with the engine, capture into the queues and draining, against a mocked engine.
// The capture functions are called here as the engine's delivering thread would call them.
#include "MockEngine.h"

using ::testing::_;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

int g_context;
void* const kContext = &g_context;

// What the client's callbacks saw: "<callback> <context> <id> <data>...".
std::vector<std::string> g_seen;
void see(int n, void* context, unsigned long id, const std::uint16_t* data, std::size_t units) {
    std::string s =
        std::to_string(n) + (context == nullptr ? " null " : " ctx ") + std::to_string(id);
    EXPECT_TRUE(context == nullptr || context == kContext);
    for (std::size_t i = 0; i < units; ++i) s += " " + std::to_string(data[i]);
    g_seen.push_back(s);
}
template <int N>
void onCount(void* context, unsigned long count) {
    see(N, context, count, nullptr, 0);
}
template <int N>
void onEvent(void* context, const ZvVEventInfo* info) {
    see(N, context, info->eventId, &info->eventState, 1);
}
template <int N>
void onValue(void* context, const ZvValChgInfo* info) {
    see(N, context, info->valueId, info->pData, info->length);
}
// By registration: none, the first, the second.
constexpr ZvPldProxy::PldCountCb kOnCount[] = {nullptr, onCount<1>, onCount<2>};
constexpr ZvPldProxy::EventCb kOnEvent[] = {nullptr, onEvent<1>, onEvent<2>};
constexpr ZvPldProxy::ValueChangeCb kOnValue[] = {nullptr, onValue<1>, onValue<2>};

std::uint16_t g_three[] = {3};

// One kind of notification: how it is registered, delivered by the engine and drained.
struct Kind {
    const char* name;
    const char* failure;  // the refused registration's line, for status 7
    void (*expectRegistration)(MockEngine&, Y4_Status);
    void (*registerCallback)(ZvPldProxy&, int which);  // of kOnCount...
    void (*deliver)(std::uint32_t id);                 // as the engine's thread does
    void (*drain)(ZvPldProxy&);
    const char* seen;  // what the first callback sees of notification 2
    friend void PrintTo(const Kind& k, std::ostream* os) { *os << k.name; }
};

constexpr int kRegArg = 0x12345678;  // only its low 16 bits reach the engine
constexpr std::uint16_t kEngineRegArg = 0x5678;

const Kind kKinds[] = {
    {"RegisterForPldCountChange", "RegisterForPldCountChange: RegPldCntChng() returned error: 7",
     [](MockEngine& e, Y4_Status status) {
         EXPECT_CALL(e, RegPldCntChng(&ZvPldProxy::CallbackPldCnt, kContext, kEngineRegArg))
             .WillOnce(ReturnUnderClientLock(status));
     },
     [](ZvPldProxy& p, int w) { p.RegisterForPldCountChange(kOnCount[w], kContext, kRegArg); },
     [](std::uint32_t id) { ZvPldProxy::CallbackPldCnt(kContext, id); },
     [](ZvPldProxy& p) {
         unsigned long count = 0;
         p.CheckPldCount(&count);
     },
     "1 ctx 2"},  // called directly, with the registration's context
    {"RegisterForEventChange", "RegisterForEventChange: RegVelEvent() returned error: 7",
     [](MockEngine& e, Y4_Status status) {
         EXPECT_CALL(e, RegVelEvent(&ZvPldProxy::CallbackEvent, kContext, kEngineRegArg))
             .WillOnce(ReturnUnderClientLock(status));
     },
     [](ZvPldProxy& p, int w) { p.RegisterForEventChange(kOnEvent[w], kContext, kRegArg); },
     [](std::uint32_t id) {
         const ZvVEventInfo info{0, id, 0, 3, 0};
         ZvPldProxy::CallbackEvent(kContext, &info);
     },
     [](ZvPldProxy& p) { p.CheckEvent(); }, "1 null 2 3"},
    {"RegisterForValueChange", "RegisterForValueChange: RegValueChange() returned error: 7",
     [](MockEngine& e, Y4_Status status) {
         EXPECT_CALL(e, RegValueChange(&ZvPldProxy::CallbackValueChange, kContext, kEngineRegArg))
             .WillOnce(ReturnUnderClientLock(status));
     },
     [](ZvPldProxy& p, int w) { p.RegisterForValueChange(kOnValue[w], kContext, kRegArg); },
     [](std::uint32_t id) {
         const ZvValChgInfo info{0, id, 0, 0, 1, 0, g_three};
         ZvPldProxy::CallbackValueChange(kContext, &info);
     },
     [](ZvPldProxy& p) { p.CheckValueChange(); }, "1 null 2 3"},
};

class Registration : public ProxyTest, public ::testing::WithParamInterface<Kind> {
  protected:
    // Delivers notification 2 and drains once; gives what the callbacks saw.
    std::vector<std::string> deliverAndDrain() {
        g_seen.clear();
        kind.deliver(2);
        kind.drain(*proxy);
        return g_seen;
    }
    const Kind& kind = GetParam();
};

// Only the first registration that the engine accepts reaches it; a null callback changes
// nothing; a refusal is logged, leaves no callback, and the next registration asks again.
TEST_P(Registration, TheEngineIsAskedUntilItAcceptsAndLaterCallbacksOnlyReplaceTheStoredOne) {
    ZvPldProxy& p = start();
    kind.registerCallback(p, 0);  // the strict engine sees no call
    kind.expectRegistration(*engine, 7);
    kind.registerCallback(p, 1);
    EXPECT_THAT(log.take(), ElementsAre(ErrorLine(kind.failure)));
    EXPECT_THAT(deliverAndDrain(), IsEmpty());  // consumed undelivered
    kind.drain(p);
    EXPECT_THAT(g_seen, IsEmpty());

    kind.expectRegistration(*engine, 0);
    kind.registerCallback(p, 1);
    EXPECT_THAT(deliverAndDrain(), ElementsAre(kind.seen));
    kind.registerCallback(p, 2);
    kind.registerCallback(p, 0);
    EXPECT_THAT(deliverAndDrain(), ElementsAre("2" + std::string(kind.seen + 1)));
    // The stored callback outlives the stop, so registering then does not reach the engine.
    p.stop_y4IpcToClientProc();
    kind.registerCallback(p, 1);
    EXPECT_THAT(deliverAndDrain(), ElementsAre(kind.seen));
    EXPECT_THAT(log.take(), IsEmpty());
}

INSTANTIATE_TEST_SUITE_P(AllThree, Registration, ::testing::ValuesIn(kKinds), OpName());

class Queues : public ProxyTest {
  protected:
    Queues() {
        EXPECT_CALL(*engine, RegPldCntChng(_, _, _)).Times(::testing::AtMost(1));
        EXPECT_CALL(*engine, RegVelEvent(_, _, _)).Times(::testing::AtMost(1));
        EXPECT_CALL(*engine, RegValueChange(_, _, _)).Times(::testing::AtMost(1));
        start();
    }
};

TEST_F(Queues, APldCountGoesToTheCallbackAtOnceAndIsQueuedFirst) {
    unsigned long count = 77;
    ZvPldProxy::CallbackPldCnt(kContext, 5);  // no callback yet: queued only
    EXPECT_TRUE(proxy->CheckPldCount(&count));
    EXPECT_EQ(count, 5u);
    proxy->RegisterForPldCountChange(
        [](void* context, unsigned long n) {
            // Called with no queue lock held, after the count was queued.
            unsigned long queued = 0;
            ZvPldProxy::GetInstance()->CheckPldCount(&queued);
            const auto unit = static_cast<std::uint16_t>(queued);
            see(1, context, n, &unit, 1);
        },
        kContext, 0);
    ZvPldProxy::CallbackPldCnt(kContext, 6);
    ZvPldProxy::CallbackPldCnt(kContext, 7);
    EXPECT_FALSE(proxy->CheckPldCount(&count));  // and draining calls no callback
    EXPECT_EQ(count, 5u);
    EXPECT_THAT(g_seen, ElementsAre("1 ctx 6 6", "1 ctx 7 7"));
}

TEST_F(Queues, CallbacksMayDrainTheirQueueAgainSinceNoQueueLockIsHeld) {
    proxy->RegisterForEventChange(
        [](void* c, const ZvVEventInfo* i) {
            onEvent<1>(c, i);
            if (g_seen.size() == 1) ZvPldProxy::GetInstance()->CheckEvent();
        },
        kContext, 0);
    proxy->RegisterForValueChange(
        [](void* c, const ZvValChgInfo* i) {
            onValue<2>(c, i);
            if (g_seen.size() == 3) ZvPldProxy::GetInstance()->CheckValueChange();
        },
        kContext, 0);
    std::uint16_t data[] = {0xFFFF};
    for (std::uint16_t id : {1, 2}) {
        const ZvVEventInfo event{0, id, 0, id, 0};
        ZvPldProxy::CallbackEvent(nullptr, &event);
        // A value change with no data still gets a block of its own, of 0 bytes.
        const ZvValChgInfo value{
            0, id + 2u, 0, 0, static_cast<std::uint16_t>(id - 1), 0, id == 1 ? nullptr : data};
        ZvPldProxy::CallbackValueChange(nullptr, &value);
    }
    proxy->CheckEvent();
    proxy->CheckValueChange();
    EXPECT_THAT(g_seen, ElementsAre("1 null 1 1", "1 null 2 2", "2 null 3", "2 null 4 65535"));
    EXPECT_THAT(log.take(), IsEmpty());
}

// The leak checker of the asan build sees the copies if the library does not free them.
TEST_F(Queues, CopiesStillQueuedWhenTheLibraryIsUnloadedAreFreed) {
    const ZvVEventInfo event{0, 1, 0, 1, 0};
    const ZvValChgInfo value{0, 2, 0, 0, 1, 0, g_three};
    ZvPldProxy::CallbackEvent(nullptr, &event);
    ZvPldProxy::CallbackValueChange(nullptr, &value);
}

}  // namespace
