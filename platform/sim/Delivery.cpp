// The simulated engine's notifications and answers: registrations, the delivering thread, the
// engine tick's timing, floods, notifications dropped or repeated by the run-time control, the
// pieces of an answer, and the stop at UnReg, at Close and at process exit.
//
// Locks: the engine's catalogue mutex may be held while a Delivery's mutex is taken (changes
// and answers are queued in the order in which they happen), never the other way round. No
// thread holds either while it calls a capture or a response function: one may call straight
// back into the engine through the client library.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "Controls.h"

namespace zvsim {

namespace {

using Clock = std::chrono::steady_clock;

// A flood's notifications name no catalogued device.
constexpr std::uint16_t kFloodDevice = 0xFFFF;

// The calls out of a Delivery that this thread has under way, innermost first, as frames on its
// stack (nothing allocated): UnReg or Close from within a capture or a response function must
// not wait for that call.
struct CallingOut {
    const void* delivery;
    const CallingOut* outer;
};
thread_local const CallingOut* t_callingOut = nullptr;

}  // namespace

class SimEngine::Delivery : public std::enable_shared_from_this<Delivery> {
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
    Y4_Status reg(ZvPldCntChngFn fn, void* context) {
        return reg(m_pldFn, m_pldContext, fn, context);
    }
    Y4_Status reg(ZvVelEventFn fn, void* context) {
        return reg(m_eventFn, m_eventContext, fn, context);
    }
    Y4_Status reg(ZvValueChangeFn fn, void* context) {
        return reg(m_valueFn, m_valueContext, fn, context);
    }

    bool wants(Kind kind) {
        std::lock_guard<std::mutex> lock(m_mutex);
        return registered(kind);
    }

    std::size_t queued() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_queue.size();
    }

    // Queued only while its kind is registered: nobody would receive it.
    void push(Work work) {
        std::lock_guard<std::mutex> lock(m_mutex);
        const Kind kind = work.type == Work::Event   ? kEvent
                          : work.type == Work::Value ? kValue
                                                     : kPld;
        if (!registered(kind)) return;
        // Decided as the notification is made, so that a drop or repeat asked for after a
        // change never reaches one made before it that still waits to go out.
        work.times = times(kind == kEvent   ? NotifyKind::Event
                           : kind == kValue ? NotifyKind::Value
                                            : NotifyKind::Pld);
        m_queue.push_back(std::move(work));
        ++m_queued;
        m_wake.notify_one();
    }

    void flood(std::uint32_t perKind, std::uint16_t units) {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (perKind == 0 || !(registered(kPld) || registered(kEvent) || registered(kValue))) {
            return;
        }
        Work work{Work::Flood};
        work.perKind = perKind;
        work.units = units;
        m_queue.push_back(std::move(work));
        ++m_queued;
        m_wake.notify_one();
    }

    // Queued whatever is registered: the request names its own response function.
    bool queue(SimEngine::Answer answer) {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_stop || !start()) return false;
        Work work{Work::Answer};
        work.answer = std::move(answer);
        m_queue.push_back(std::move(work));
        ++m_queued;
        m_wake.notify_one();
        return true;
    }

    // Changes with every UnReg: an answer begun before one goes no further.
    std::uint64_t epoch() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_epoch;
    }

    // On the caller's thread; false once the engine is stopping.
    bool deliverHere(const SimEngine::Answer& answer, std::uint64_t epoch) {
        std::unique_lock<std::mutex> lock(m_mutex);
        if (m_stop) return false;
        pieces(lock, answer, epoch);
        return true;
    }

    void flush() {
        std::unique_lock<std::mutex> lock(m_mutex);
        if (onOwnThread()) return;  // it would wait for itself
        const std::uint64_t target = m_queued;
        waitFor(lock, [&] { return m_done >= target || m_stop; });
    }

    // UnReg(1): from here on no capture or response function is called, and none is running on
    // return unless it is the caller itself.
    void withdraw() {
        std::unique_lock<std::mutex> lock(m_mutex);
        dropAll();
        const std::size_t mine = callsHere();
        waitFor(lock, [&] { return m_calls <= mine; });
    }

    // Stops the thread and joins it; on the delivering thread itself (a capture that closes the
    // message client) the thread is left to end by itself once the capture returns.
    void shutdown() {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_stop = true;
        dropAll();
        m_wake.notify_all();
        // Calls under way end first, answers delivered on callers' threads included: those see
        // the stop after their piece.
        const std::size_t mine = callsHere();
        waitFor(lock, [&] { return m_calls <= mine; });
        std::thread thread = std::move(m_thread);
        const bool self = onOwnThread();
        if (!thread.joinable() && !self) waitFor(lock, [&] { return m_exited || !m_started; });
        lock.unlock();
        if (thread.joinable()) {
            if (self) {
                thread.detach();
            } else {
                thread.join();
            }
        }
        forget();
    }

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
    static Live& live() {
        static Live* const all = new Live;
        return *all;
    }
    static void stopAll() {
        std::vector<std::shared_ptr<Delivery>> running;
        {
            Live& l = live();
            std::lock_guard<std::mutex> lock(l.mutex);
            l.exiting = true;
            running = l.deliveries;
        }
        for (const std::shared_ptr<Delivery>& d : running) d->shutdown();
    }
    bool remember() {
        Live& l = live();
        std::lock_guard<std::mutex> lock(l.mutex);
        if (l.exiting) return false;
        if (!l.hooked) {
            if (std::atexit(&Delivery::stopAll) != 0) return false;
            l.hooked = true;
        }
        l.deliveries.push_back(shared_from_this());
        return true;
    }
    void forget() {
        Live& l = live();
        std::lock_guard<std::mutex> lock(l.mutex);
        l.deliveries.erase(
            std::remove_if(l.deliveries.begin(), l.deliveries.end(),
                           [this](const std::shared_ptr<Delivery>& d) { return d.get() == this; }),
            l.deliveries.end());
    }

    template <class Fn>
    Y4_Status reg(Fn& slot, void*& slotContext, Fn fn, void* context) {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_stop || !start()) return kRejected;
        slot = fn;
        slotContext = context;
        return kOk;
    }

    // m_mutex held.
    bool start() {
        if (m_started) return true;
        if (!remember()) return false;  // the process is exiting
        try {
            m_thread = std::thread([self = shared_from_this()] { self->run(); });
        } catch (const std::exception&) {
            forget();
            return false;
        }
        m_threadId = m_thread.get_id();
        m_started = true;
        return true;
    }
    bool registered(Kind kind) const {
        switch (kind) {
            case kPld:
                return m_pldFn != nullptr;
            case kEvent:
                return m_eventFn != nullptr;
            case kValue:
                return m_valueFn != nullptr;
        }
        return false;
    }
    bool onOwnThread() const { return m_started && m_threadId == std::this_thread::get_id(); }
    std::size_t callsHere() const {
        std::size_t n = 0;
        for (const CallingOut* c = t_callingOut; c != nullptr; c = c->outer)
            n += c->delivery == this;
        return n;
    }
    void dropAll() {
        ++m_epoch;
        m_pldFn = nullptr;
        m_eventFn = nullptr;
        m_valueFn = nullptr;
        m_pldContext = m_eventContext = m_valueContext = nullptr;
        m_done += m_queue.size() + (m_flooding ? 1 : 0);
        m_queue.clear();
        m_flooding = false;
        m_floodLeft = 0;
        m_idle.notify_all();
    }
    template <class Done>
    void waitFor(std::unique_lock<std::mutex>& lock, Done done) {
        ++m_waiters;
        m_idle.wait(lock, done);
        --m_waiters;
    }

    // Calls a capture or response function with no lock held. m_calls tells UnReg that one is
    // running.
    template <class Capture>
    void call(std::unique_lock<std::mutex>& lock, Capture capture) {
        ++m_calls;
        const CallingOut frame{this, t_callingOut};
        t_callingOut = &frame;
        lock.unlock();
        capture();
        lock.lock();
        t_callingOut = frame.outer;
        --m_calls;
        if (m_waiters > 0) m_idle.notify_all();
    }

    // The answer's pieces, each in the same buffer of pieceSize bytes, as the device's engine
    // sends them: the buffer is not cleared between pieces, every piece but the last fills it,
    // and an answer of a multiple of pieceSize bytes ends with a piece of length 0 whose buffer
    // still holds the piece before. UnReg or a stop ends the answer between pieces.
    void pieces(std::unique_lock<std::mutex>& lock, const SimEngine::Answer& answer,
                std::uint64_t epoch) {
        std::vector<char> buf(answer.pieceSize, '\0');
        const std::size_t size = answer.text.size();
        for (std::size_t at = 0, piece = 0; !m_stop && m_epoch == epoch; ++piece) {
            const std::size_t n = std::min<std::size_t>(answer.pieceSize, size - at);
            std::memcpy(buf.data(), answer.text.data() + at, n);
            at += n;
            ZvCallbackInfo cbi{answer.userData,
                               0,
                               answer.reqType,
                               answer.reqParam,
                               static_cast<std::uint32_t>(piece),
                               0,
                               answer.pieceSize,
                               static_cast<std::uint32_t>(n),
                               buf.data()};
            call(lock, [&] { answer.respond(&cbi); });
            if (n < answer.pieceSize) break;
        }
    }

    void run() {
        std::unique_lock<std::mutex> lock(m_mutex);
        const Clock::duration period = std::chrono::milliseconds(m_tick);
        Clock::time_point nextTick = Clock::now() + period;
        // After a capture call the engine may be gone (the capture closed it): every turn
        // checks m_stop before it touches the engine again.
        while (!m_stop) {
            if (m_tick > 0 && Clock::now() >= nextTick) {
                lock.unlock();
                m_engine.tick();
                lock.lock();
                nextTick += period;
                const Clock::time_point now = Clock::now();
                if (nextTick <= now) nextTick = now + period;  // fell behind: no catching up
            } else if (m_flooding) {
                floodStep(lock);
            } else if (!m_queue.empty()) {
                Work work = std::move(m_queue.front());
                m_queue.pop_front();
                deliver(lock, work);
            } else if (m_tick > 0) {
                m_wake.wait_until(lock, nextTick);
            } else {
                m_wake.wait(lock);
            }
        }
        m_exited = true;
        m_idle.notify_all();
    }

    // With m_mutex held and the engine not stopping, so that the engine is there.
    int times(NotifyKind kind) { return m_engine.m_controls->deliveries(kind); }

    void finished() {
        ++m_done;
        if (m_waiters > 0) m_idle.notify_all();
    }

    void deliver(std::unique_lock<std::mutex>& lock, Work& work) {
        switch (work.type) {
            // A notification dropped by the run-time control still uses up its sequence number;
            // a repeated one goes out twice with the same. The capture may close the engine or
            // withdraw in between.
            case Work::PldCount:
                if (m_pldFn != nullptr) {
                    for (int n = work.times; n > 0 && m_pldFn != nullptr && !m_stop; --n) {
                        call(lock, [fn = m_pldFn, context = m_pldContext, count = work.count] {
                            fn(context, count);
                        });
                    }
                }
                break;
            case Work::Event:
                if (m_eventFn != nullptr) {
                    work.event.sequence = ++m_eventSeq;
                    for (int n = work.times; n > 0 && m_eventFn != nullptr && !m_stop; --n) {
                        call(lock, [fn = m_eventFn, context = m_eventContext, &work] {
                            fn(context, &work.event);
                        });
                    }
                }
                break;
            case Work::Value:
                if (m_valueFn != nullptr) {
                    std::uint16_t none = 0;
                    work.value.sequence = ++m_valueSeq;
                    work.value.pData = work.data.empty() ? &none : work.data.data();
                    for (int n = work.times; n > 0 && m_valueFn != nullptr && !m_stop; --n) {
                        call(lock, [fn = m_valueFn, context = m_valueContext, &work] {
                            fn(context, &work.value);
                        });
                    }
                }
                break;
            case Work::Answer:
                pieces(lock, work.answer, m_epoch);
                break;
            case Work::Flood:
                // Not finished yet: the flood's notifications are made one per turn.
                m_flooding = true;
                m_floodLeft = std::uint64_t{3} * work.perKind;
                m_floodMade = 0;
                m_floodUnits = work.units;
                m_floodData.assign(work.units, 0);
                return;
        }
        finished();
    }

    // One notification of a flood: PLD count, event and value change in turn, each kind only
    // while it is registered.
    void floodStep(std::unique_lock<std::mutex>& lock) {
        const std::uint64_t made = m_floodMade++;
        const auto round = static_cast<std::uint32_t>(made / 3 + 1);
        --m_floodLeft;
        switch (made % 3) {
            case 0:
                if (m_pldFn != nullptr) {
                    const unsigned long count = m_engine.m_pldCount.fetch_add(1) + 1;
                    call(lock,
                         [fn = m_pldFn, context = m_pldContext, count] { fn(context, count); });
                }
                break;
            case 1:
                if (m_eventFn != nullptr) {
                    const ZvVEventInfo info{++m_eventSeq, round, kFloodDevice,
                                            static_cast<std::uint16_t>(round), 0};
                    call(lock,
                         [fn = m_eventFn, context = m_eventContext, &info] { fn(context, &info); });
                }
                break;
            default:
                if (m_valueFn != nullptr) {
                    std::uint16_t none = 0;
                    const std::uint32_t sequence = ++m_valueSeq;
                    for (std::size_t k = 0; k < m_floodData.size(); ++k) {
                        m_floodData[k] = static_cast<std::uint16_t>(sequence + k);
                    }
                    const ZvValChgInfo info{sequence,
                                            round,
                                            0,
                                            kFloodDevice,
                                            m_floodUnits,
                                            0,
                                            m_floodData.empty() ? &none : m_floodData.data()};
                    call(lock,
                         [fn = m_valueFn, context = m_valueContext, &info] { fn(context, &info); });
                }
                break;
        }
        // A flood dropped by UnReg meanwhile has been counted already.
        if (m_flooding && m_floodLeft == 0) {
            m_flooding = false;
            finished();
        }
    }

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
    std::uint64_t m_floodLeft = 0;  // notifications of the running flood still to make
    std::uint64_t m_floodMade = 0;
    std::uint16_t m_floodUnits = 0;

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

SimEngine::~SimEngine() {
    ForgetEngine(this);
    Close();
}

void SimEngine::Close() {
    // Threads waiting out a hold go; a caller that holds answers itself is closing too: no wake.
    m_controls->stopPlants();
    m_controls->releaseHeld();
    std::shared_ptr<Delivery> delivery;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        delivery = std::move(m_delivery);
    }
    if (delivery) delivery->shutdown();
}

Y4_Status SimEngine::UnReg(int what) {
    if (what != 1) return kRejected;
    std::shared_ptr<Delivery> delivery;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        delivery = m_delivery;
    }
    // Not under m_mutex: a capture that is running may need it before it can return.
    if (delivery) delivery->withdraw();
    return kOk;
}

Y4_Status SimEngine::sendAnswer(std::unique_lock<std::mutex>& lock, Answer answer) {
    if (!m_delivery) m_delivery = std::make_shared<Delivery>(*this, m_catalogue.tickMs);
    const std::shared_ptr<Delivery> delivery = m_delivery;
    if (m_catalogue.answerDelivery == AnswerDelivery::Thread) {
        // Queued with m_mutex held: behind the notifications of the changes made before it.
        const bool queued = delivery->queue(std::move(answer));
        lock.unlock();
        return queued ? kOk : kRejected;
    }
    const std::uint64_t epoch = delivery->epoch();
    lock.unlock();
    return delivery->deliverHere(answer, epoch) ? kOk : kRejected;
}

template <class Capture>
Y4_Status SimEngine::reg(Capture capture, void* context) {
    if (capture == nullptr) return kRejected;
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_delivery) m_delivery = std::make_shared<Delivery>(*this, m_catalogue.tickMs);
    return m_delivery->reg(capture, context);
}

Y4_Status SimEngine::RegPldCntChng(ZvPldCntChngFn capture, void* context, std::uint16_t) {
    return reg(capture, context);
}

Y4_Status SimEngine::RegVelEvent(ZvVelEventFn capture, void* context, std::uint16_t) {
    return reg(capture, context);
}

Y4_Status SimEngine::RegValueChange(ZvValueChangeFn capture, void* context, std::uint16_t) {
    return reg(capture, context);
}

void SimEngine::AnnouncePldCount() {
    std::lock_guard<std::mutex> lock(m_mutex);
    queuePldCount(m_pldCount.fetch_add(1) + 1);
}

void SimEngine::Flood(std::uint32_t perKind, std::uint16_t units) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_delivery) m_delivery->flood(perKind, units);
}

void SimEngine::Flush() {
    std::shared_ptr<Delivery> delivery;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        delivery = m_delivery;
    }
    if (delivery) delivery->flush();
}

void SimEngine::queuePldCount(std::uint32_t count) {
    if (!m_delivery) return;
    Delivery::Work work{Delivery::Work::PldCount};
    work.count = count;
    m_delivery->push(std::move(work));
}

void SimEngine::queueEventChange(const Event& event) {
    if (!m_delivery) return;
    Delivery::Work work{Delivery::Work::Event};
    work.event = ZvVEventInfo{0, event.id, event.deviceIdx, event.state, event.groupId};
    m_delivery->push(std::move(work));
}

std::size_t SimEngine::queuedWork() {
    return m_delivery ? m_delivery->queued() : 0;
}

// Numbers and enumerations: the 32-bit raw value, high half first; texts: one unit a character.
void SimEngine::queueValueChange(std::uint16_t deviceIdx, const Point& point, std::size_t module) {
    if (!m_delivery || !m_delivery->wants(Delivery::kValue)) return;
    Delivery::Work work{Delivery::Work::Value};
    if (point.kind == Kind::Text) {
        for (const char c : point.texts[module]) work.data.push_back(static_cast<unsigned char>(c));
    } else {
        const auto raw = static_cast<std::uint32_t>(point.values[module]);
        work.data = {static_cast<std::uint16_t>(raw >> 16), static_cast<std::uint16_t>(raw)};
    }
    work.value.valueId = point.gddId;
    work.value.mmIdx = static_cast<std::uint32_t>(module);
    work.value.deviceIdx = deviceIdx;
    work.value.length = static_cast<std::uint16_t>(work.data.size());
    work.value.dataType = point.dataType;
    m_delivery->push(std::move(work));
}

}  // namespace zvsim
