// The simulated engine's delivery of notifications and answers: SimEngine::Delivery, which the
// engine only names. Delivery.cpp has the registrations, the queue and the stop at UnReg, at
// Close and at process exit; DeliveryThread.cpp the calls out: the delivering thread, the engine
// tick's timing, floods, notifications dropped or repeated by the run-time control, and the
// pieces of an answer.
//
// Locks: the engine's catalogue mutex may be held while a Delivery's mutex is taken (changes
// and answers are queued in the order in which they happen), never the other way round. No
// thread holds either while it calls a capture or a response function: one may call straight
// back into the engine through the client library.
#ifndef ZV_SIM_DELIVERY_H
#define ZV_SIM_DELIVERY_H

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "CallsOut.h"
#include "Controls.h"

namespace zvsim {

// Hidden, though nested in an exported class: only the engine's own files use it.
class __attribute__((visibility("hidden"))) SimEngine::Delivery
    : public std::enable_shared_from_this<Delivery> {
  public:
    enum Kind { kPld, kEvent, kValue };

    struct Work {
        enum Type { PldCount, Event, Value, Flood, Answer };
        explicit Work(Type t) : type(t) {}
        Type type;
        unsigned long count = 0;  // PldCount
        ZvVEventInfo event{};     // Event; its sequence is set when it goes out
        ZvValChgInfo value{};     // Value; sequence and pData set when it goes out
        std::vector<std::uint16_t> data;
        std::uint32_t perKind = 0;  // Flood
        std::uint16_t units = 0;
        SimEngine::Answer answer;  // Answer
        int times = 1;  // PldCount, Event, Value: 0 dropped, 2 repeated by the run-time control
    };

    Delivery(SimEngine& engine, std::uint32_t tickMs) : m_engine(engine), m_tick(tickMs) {}

    // A registration replaces the kind's earlier one; the first starts the thread.
    Y4_Status reg(ZvPldCntChngFn fn, void* context);
    Y4_Status reg(ZvVelEventFn fn, void* context);
    Y4_Status reg(ZvValueChangeFn fn, void* context);

    bool wants(Kind kind);
    std::size_t queued();

    // Queued only while its kind is registered: nobody would receive it.
    void push(Work work);

    void flood(std::uint32_t perKind, std::uint16_t units);

    // Queued whatever is registered: the request names its own response function.
    bool queue(SimEngine::Answer answer);

    // Changes with every UnReg: an answer begun before one goes no further.
    std::uint64_t epoch();

    // On the caller's thread; false once the engine is stopping.
    bool deliverHere(const SimEngine::Answer& answer, std::uint64_t epoch);

    void flush();

    // UnReg(1): from here on no capture or response function is called, and none is running on
    // return unless it is the caller itself.
    void withdraw();

    // The engine tick, on the engine's clock: the delivering thread ticks while the clock runs,
    // an advance while it is frozen. takeTick: whether a tick is due at `now`, moving the next
    // one on if so. nextTick: when the next is due; Time::max() when there are no ticks.
    bool takeTick(VirtualClock::Time now);
    VirtualClock::Time nextTick();
    // The clock changed: the thread looks again at when its next tick comes. `restart`: the
    // tick's period starts over now (a freeze, a full reset), so that what a frozen engine is
    // then given comes out the same whenever in the host's time it is given.
    void clockChanged(bool restart);
    // Returns once no tick claimed before now is still moving the engine (at once on the
    // delivering thread): a freeze answers after what its clock already made due. Called with no
    // lock of the engine's held.
    void settle();

    // Stops the thread and joins it; on the delivering thread itself (a capture that closes the
    // message client) the thread is left to end by itself once the capture returns.
    void shutdown();

  private:
    // Every started Delivery until it is shut down, so that the process can stop them all at
    // exit, before the statics of the libraries that the captures use are destroyed. Never
    // destroyed itself: an engine may be closed during static destruction.
    struct Live {
        std::mutex mutex;
        std::vector<std::shared_ptr<Delivery>> deliveries;
        bool exiting = false;
        bool hooked = false;
    };
    static Live& live();
    static void stopAll();
    bool remember();
    void forget();

    template <class Fn>
    Y4_Status reg(Fn& slot, void*& slotContext, Fn fn, void* context);

    // m_mutex held.
    bool start();
    bool registered(Kind kind) const;
    bool takeTickLocked(VirtualClock::Time now);
    bool onOwnThread() const;
    void dropAll();
    template <class Done>
    void waitFor(std::unique_lock<std::mutex>& lock, Done done);

    // Calls a capture or response function with no lock held. m_calls tells UnReg that one is
    // running.
    template <class Capture>
    void call(std::unique_lock<std::mutex>& lock, Capture capture);

    // The answer's pieces, each in the same buffer of pieceSize bytes, as the device's engine
    // sends them: the buffer is not cleared between pieces, every piece but the last fills it,
    // and an answer of a multiple of pieceSize bytes ends with a piece of length 0 whose buffer
    // still holds the piece before. UnReg or a stop ends the answer between pieces.
    void pieces(std::unique_lock<std::mutex>& lock, const SimEngine::Answer& answer,
                std::uint64_t epoch);

    void run();

    // With m_mutex held and the engine not stopping, so that the engine is there.
    int times(NotifyKind kind);

    void finished();

    void deliver(std::unique_lock<std::mutex>& lock, Work& work);

    // One notification of a flood: PLD count, event and value change in turn, each kind only
    // while it is registered.
    void floodStep(std::unique_lock<std::mutex>& lock);

    SimEngine& m_engine;
    const std::uint32_t m_tick;  // ms; 0: no ticks

    std::mutex m_mutex;
    std::condition_variable m_wake;  // the delivering thread: work, or stop
    std::condition_variable m_idle;  // Flush, UnReg, shutdown: progress
    int m_waiters = 0;

    ZvPldCntChngFn m_pldFn = nullptr;
    void* m_pldContext = nullptr;
    ZvVelEventFn m_eventFn = nullptr;
    void* m_eventContext = nullptr;
    ZvValueChangeFn m_valueFn = nullptr;
    void* m_valueContext = nullptr;

    std::deque<Work> m_queue;
    std::uint64_t m_queued = 0;  // items queued, a flood being one
    std::uint64_t m_done = 0;    // of those, delivered or dropped
    std::size_t m_calls = 0;     // capture and response calls under way, on any thread
    std::uint64_t m_epoch = 0;   // UnRegs so far

    bool m_flooding = false;
    bool m_ticking = false;         // a tick is moving the engine, m_mutex not held
    std::uint64_t m_floodLeft = 0;  // notifications of the running flood still to make
    std::uint64_t m_floodMade = 0;
    std::uint16_t m_floodUnits = 0;

    VirtualClock::Time m_nextTick{0};
    bool m_started = false;
    bool m_stop = false;
    bool m_exited = false;
    std::thread m_thread;
    std::thread::id m_threadId;

    // The delivering thread's own.
    std::uint32_t m_eventSeq = 0;
    std::uint32_t m_valueSeq = 0;
    std::vector<std::uint16_t> m_floodData;
};

}  // namespace zvsim

#endif
