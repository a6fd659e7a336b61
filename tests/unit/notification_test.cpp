// Registration with the engine, capture into the queues and draining, against a mocked engine.
// The capture functions are called here as the engine's delivering thread would call them.
#include "MockEngine.h"

using ::testing::_;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::Return;

namespace {

// What a client callback saw: which callback, its context, and the notification.
struct Seen {
    int callback;  // 1 or 2: the first or the second registered
    void* context;
    unsigned long id;  // PLD count, eventId or valueId
    std::vector<std::uint16_t> data;
    bool operator==(const Seen& o) const {
        return callback == o.callback && context == o.context && id == o.id && data == o.data;
    }
};
void PrintTo(const Seen& s, std::ostream* os) {
    *os << "{cb " << s.callback << ", ctx " << s.context << ", id " << s.id << ", " << s.data.size()
        << " units}";
}

std::vector<Seen> g_seen;

template <int N>
void onCount(void* context, unsigned long count) {
    g_seen.push_back({N, context, count, {}});
}
template <int N>
void onEvent(void* context, const ZvVEventInfo* info) {
    g_seen.push_back({N, context, info->eventId, {info->eventState}});
}
template <int N>
void onValue(void* context, const ZvValChgInfo* info) {
    g_seen.push_back({N, context, info->valueId, {info->pData, info->pData + info->length}});
}

int g_context;
void* const kContext = &g_context;

ZvVEventInfo eventInfo(std::uint32_t id, std::uint16_t state) {
    return ZvVEventInfo{0xA1A2A3A4, id, 0xB1B2, state, 0xC1C2C3C4};
}

// One kind of notification: how it is registered, delivered by the engine and drained.
struct Kind {
    const char* name;
    const char* failure;  // the refused registration's line, for status 7
    void (*expectRegistration)(MockEngine&, Y4_Status);
    void (*registerCallback)(ZvPldProxy&, int which);  // 0: a null callback
    void (*deliver)(std::uint32_t id);                 // as the engine's thread does
    void (*drain)(ZvPldProxy&);
    bool direct;  // the callback is called on delivery rather than on draining
};

constexpr int kRegArg = 0x12345678;  // only its low 16 bits reach the engine
constexpr std::uint16_t kEngineRegArg = 0x5678;

const Kind kKinds[] = {
    {"RegisterForPldCountChange", "RegisterForPldCountChange: RegPldCntChng() returned error: 7",
     [](MockEngine& e, Y4_Status status) {
         EXPECT_CALL(e, RegPldCntChng(&ZvPldProxy::CallbackPldCnt, kContext, kEngineRegArg))
             .WillOnce(ReturnUnderClientLock(status));
     },
     [](ZvPldProxy& p, int which) {
         p.RegisterForPldCountChange(which == 0   ? nullptr
                                     : which == 1 ? onCount<1>
                                                  : onCount<2>,
                                     kContext, kRegArg);
     },
     [](std::uint32_t id) { ZvPldProxy::CallbackPldCnt(kContext, id); },
     [](ZvPldProxy& p) {
         unsigned long count = 0;
         p.CheckPldCount(&count);
     },
     true},
    {"RegisterForEventChange", "RegisterForEventChange: RegVelEvent() returned error: 7",
     [](MockEngine& e, Y4_Status status) {
         EXPECT_CALL(e, RegVelEvent(&ZvPldProxy::CallbackEvent, kContext, kEngineRegArg))
             .WillOnce(ReturnUnderClientLock(status));
     },
     [](ZvPldProxy& p, int which) {
         p.RegisterForEventChange(which == 0   ? nullptr
                                  : which == 1 ? onEvent<1>
                                               : onEvent<2>,
                                  kContext, kRegArg);
     },
     [](std::uint32_t id) {
         const ZvVEventInfo info = eventInfo(id, 3);
         ZvPldProxy::CallbackEvent(kContext, &info);
     },
     [](ZvPldProxy& p) { p.CheckEvent(); }, false},
    {"RegisterForValueChange", "RegisterForValueChange: RegValueChange() returned error: 7",
     [](MockEngine& e, Y4_Status status) {
         EXPECT_CALL(e, RegValueChange(&ZvPldProxy::CallbackValueChange, kContext, kEngineRegArg))
             .WillOnce(ReturnUnderClientLock(status));
     },
     [](ZvPldProxy& p, int which) {
         p.RegisterForValueChange(which == 0   ? nullptr
                                  : which == 1 ? onValue<1>
                                               : onValue<2>,
                                  kContext, kRegArg);
     },
     [](std::uint32_t id) {
         std::uint16_t data[] = {3};
         const ZvValChgInfo info{0, id, 0, 0, 1, 0, data};
         ZvPldProxy::CallbackValueChange(kContext, &info);
     },
     [](ZvPldProxy& p) { p.CheckValueChange(); }, false},
};

void PrintTo(const Kind& k, std::ostream* os) {
    *os << k.name;
}

class Registration : public ProxyTest, public ::testing::WithParamInterface<Kind> {
  protected:
    Registration() { g_seen.clear(); }
    const Kind& kind = GetParam();

    // Delivers a notification and drains once; gives which callback got it (0: none).
    int deliverAndDrain(std::uint32_t id) {
        g_seen.clear();
        kind.deliver(id);
        kind.drain(*proxy);
        if (g_seen.empty()) return 0;
        EXPECT_EQ(g_seen.size(), 1u);
        // The context of the registration comes back only with a directly called callback.
        EXPECT_EQ(g_seen[0].context, kind.direct ? kContext : nullptr);
        EXPECT_EQ(g_seen[0].id, id);
        return g_seen[0].callback;
    }
};

// Only the first registration that the engine accepts reaches it; a null callback changes
// nothing; a refusal is logged, leaves no callback, and the next registration asks again.
TEST_P(Registration, TheEngineIsAskedUntilItAcceptsAndLaterCallbacksOnlyReplaceTheStoredOne) {
    ZvPldProxy& p = start();
    kind.registerCallback(p, 0);  // the strict engine sees no call
    kind.expectRegistration(*engine, 7);
    kind.registerCallback(p, 1);
    EXPECT_THAT(log.take(), ElementsAre(ErrorLine(kind.failure)));
    EXPECT_EQ(deliverAndDrain(1), 0);  // consumed undelivered
    kind.drain(p);
    EXPECT_TRUE(g_seen.empty());

    kind.expectRegistration(*engine, 0);
    kind.registerCallback(p, 1);
    EXPECT_EQ(deliverAndDrain(2), 1);
    kind.registerCallback(p, 2);
    kind.registerCallback(p, 0);
    EXPECT_EQ(deliverAndDrain(3), 2);
    // The stored callback outlives the stop, so registering then does not reach the engine.
    p.stop_y4IpcToClientProc();
    kind.registerCallback(p, 1);
    EXPECT_EQ(deliverAndDrain(4), 1);
    EXPECT_THAT(log.take(), IsEmpty());
}

INSTANTIATE_TEST_SUITE_P(AllThree, Registration, ::testing::ValuesIn(kKinds), OpName());

class Queues : public ProxyTest {
  protected:
    Queues() {
        g_seen.clear();
        EXPECT_CALL(*engine, RegPldCntChng(_, _, _)).Times(::testing::AtMost(1));
        EXPECT_CALL(*engine, RegVelEvent(_, _, _)).Times(::testing::AtMost(1));
        EXPECT_CALL(*engine, RegValueChange(_, _, _)).Times(::testing::AtMost(1));
        start();
    }
};

TEST_F(Queues, APldCountGoesToTheCallbackAtOnceAndIsQueuedFirst) {
    unsigned long count = 77;
    ZvPldProxy::CallbackPldCnt(kContext, 5);  // no callback yet: queued only
    EXPECT_TRUE(g_seen.empty());
    EXPECT_TRUE(proxy->CheckPldCount(&count));
    EXPECT_EQ(count, 5u);
    proxy->RegisterForPldCountChange(
        [](void* context, unsigned long n) {
            // Called with no queue lock held, after the count was queued.
            unsigned long queued = 0;
            ZvPldProxy::GetInstance()->CheckPldCount(&queued);
            g_seen.push_back({1, context, n, {static_cast<std::uint16_t>(queued)}});
        },
        kContext, 0);
    ZvPldProxy::CallbackPldCnt(kContext, 6);
    ZvPldProxy::CallbackPldCnt(kContext, 7);
    EXPECT_THAT(g_seen, ElementsAre(Seen{1, kContext, 6, {6}}, Seen{1, kContext, 7, {7}}));
    EXPECT_FALSE(proxy->CheckPldCount(&count));  // and draining calls no callback
    EXPECT_EQ(count, 5u);
    EXPECT_EQ(g_seen.size(), 2u);
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
        const ZvVEventInfo event = eventInfo(id, id);
        ZvPldProxy::CallbackEvent(nullptr, &event);
        // A value change with no data still gets a block of its own, of 0 bytes.
        const ZvValChgInfo value{
            0, id + 2u, 0, 0, static_cast<std::uint16_t>(id - 1), 0, id == 1 ? nullptr : data};
        ZvPldProxy::CallbackValueChange(nullptr, &value);
    }
    proxy->CheckEvent();
    proxy->CheckValueChange();
    EXPECT_THAT(g_seen, ElementsAre(Seen{1, nullptr, 1, {1}}, Seen{1, nullptr, 2, {2}},
                                    Seen{2, nullptr, 3, {}}, Seen{2, nullptr, 4, {0xFFFF}}));
    EXPECT_THAT(log.take(), IsEmpty());
}

// The leak checker of the asan build sees the copies if the library does not free them.
TEST_F(Queues, CopiesStillQueuedWhenTheLibraryIsUnloadedAreFreed) {
    const ZvVEventInfo event = eventInfo(1, 1);
    std::uint16_t data[] = {1, 2};
    const ZvValChgInfo value{0, 2, 0, 0, 2, 0, data};
    ZvPldProxy::CallbackEvent(nullptr, &event);
    ZvPldProxy::CallbackValueChange(nullptr, &value);
}

}  // namespace
