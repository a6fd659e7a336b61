// Registration with the engine, capture into the queues and draining, against a mocked engine.
// The capture functions are called here as the engine's delivering thread would call them.
#include <utility>

#include "MockEngine.h"

using namespace ::testing;

namespace {

int g_context;
void* const kContext = &g_context;
std::uint16_t g_three[] = {3};

// What the client's callbacks saw: "<kind><callback> <context> <id> <data>...".
std::vector<std::string> g_seen;
void see(std::string s, void* context, unsigned long id, const std::uint16_t* data, int units) {
    s += (context == kContext ? " ctx " : context ? " other " : " null ") + std::to_string(id);
    for (int i = 0; i < units; ++i) s += " " + std::to_string(data[i]);
    g_seen.push_back(s);
}
// Callback N of each kind. Callback 'R' drains its own queue again from within, which deadlocks
// if a queue lock is held around it; its PLD count shows the last count queued.
template <char N>
struct Cb {
    static void count(void* c, unsigned long n) {
        while (N == 'R' && ZvPldProxy::GetInstance()->CheckPldCount(&n)) continue;
        see({'P', N}, c, n, nullptr, 0);
    }
    static void event(void* c, const ZvVEventInfo* i) {
        see({'E', N}, c, i->eventId, &i->eventState, 1);
        if (N == 'R' && g_seen.size() == 2) ZvPldProxy::GetInstance()->CheckEvent();
    }
    static void value(void* c, const ZvValChgInfo* i) {
        see({'V', N}, c, i->valueId, i->pData, i->length);
        if (N == 'R' && g_seen.size() == 4) ZvPldProxy::GetInstance()->CheckValueChange();
    }
};
struct Null {
    static constexpr std::nullptr_t count{}, event{}, value{};
};

class Notifications : public ProxyTest {
  protected:
    Notifications() { start(); }
    // Expects each kind's registration once, with only the low 16 bits of its argument.
    void expectRegistrations(Y4_Status status) {
        EXPECT_CALL(*engine, RegPldCntChng(&ZvPldProxy::CallbackPldCnt, kContext, 0x5678))
            .WillOnce(ReturnUnderClientLock(status));
        EXPECT_CALL(*engine, RegVelEvent(&ZvPldProxy::CallbackEvent, kContext, 0x5678))
            .WillOnce(ReturnUnderClientLock(status));
        EXPECT_CALL(*engine, RegValueChange(&ZvPldProxy::CallbackValueChange, kContext, 0x5678))
            .WillOnce(ReturnUnderClientLock(status));
    }
    template <class C>  // Cb<N> or Null
    void registerAll() {
        proxy->RegisterForPldCountChange(C::count, kContext, 0x12345678);
        proxy->RegisterForEventChange(C::event, kContext, 0x12345678);
        proxy->RegisterForValueChange(C::value, kContext, 0x12345678);
    }
    static void deliver(std::uint32_t id, std::uint16_t length = 1) {
        ZvPldProxy::CallbackPldCnt(kContext, id);
        const ZvVEventInfo event{0, id, 0, 3, 0};
        ZvPldProxy::CallbackEvent(kContext, &event);
        const ZvValChgInfo value{0, id, 0, 0, length, 0, g_three};
        ZvPldProxy::CallbackValueChange(kContext, &value);
    }
    // Drains each queue once; gives what the callbacks saw since the last call.
    std::vector<std::string> drain() {
        unsigned long count = 0;
        proxy->CheckPldCount(&count);
        proxy->CheckEvent();
        proxy->CheckValueChange();
        return std::exchange(g_seen, {});
    }
};

TEST_F(Notifications, TheEngineIsAskedUntilItAcceptsAndLaterCallbacksOnlyReplaceTheStoredOne) {
    registerAll<Null>();  // null: the strict engine sees no call
    expectRegistrations(7);
    registerAll<Cb<'1'>>();
    EXPECT_THAT(
        log.take(),
        ElementsAre(ErrorLine("RegisterForPldCountChange: RegPldCntChng() returned error: 7"),
                    ErrorLine("RegisterForEventChange: RegVelEvent() returned error: 7"),
                    ErrorLine("RegisterForValueChange: RegValueChange() returned error: 7")));
    deliver(1);
    EXPECT_THAT(drain(), IsEmpty());  // consumed undelivered
    expectRegistrations(0);
    registerAll<Cb<'1'>>();
    deliver(2);
    // A PLD count goes at once to its callback, with the registration's context, and draining it
    // calls nothing; the others come out of the queues with a null context.
    EXPECT_THAT(drain(), ElementsAre("P1 ctx 2", "E1 null 2 3", "V1 null 2 3"));
    registerAll<Cb<'2'>>();
    registerAll<Null>();
    deliver(3);
    EXPECT_THAT(drain(), ElementsAre("P2 ctx 3", "E2 null 3 3", "V2 null 3 3"));
    // The stored callbacks outlive the stop, so registering then does not reach the engine.
    proxy->stop_y4IpcToClientProc();
    registerAll<Cb<'1'>>();
    deliver(4);
    EXPECT_THAT(drain(), ElementsAre("P1 ctx 4", "E1 null 4 3", "V1 null 4 3"));
    EXPECT_THAT(log.take(), IsEmpty());
    for (std::uint32_t id = 5; id < 205; ++id) deliver(id);  // queues hold more than they drain
    for (int i = 0; i < 199; ++i) drain();
    EXPECT_THAT(drain(), ElementsAre("E1 null 204 3", "V1 null 204 3"));
    deliver(5);  // left queued: the asan build's leak checker sees them unless unload frees them
}

TEST_F(Notifications, CallbacksRunWithNoQueueLockHeldAndTakeTheirQueueInOrder) {
    expectRegistrations(0);
    deliver(1, 0);  // no callbacks yet: queued only; a value change with no data is queued too
    registerAll<Cb<'R'>>();
    deliver(2);  // the count is queued before its callback runs
    EXPECT_THAT(drain(),
                ElementsAre("PR ctx 2", "ER null 1 3", "ER null 2 3", "VR null 1", "VR null 2 3"));
    EXPECT_THAT(log.take(), IsEmpty());
}

}  // namespace
