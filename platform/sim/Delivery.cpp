// A Delivery's registrations, its queue of work for the delivering thread, and its stop: at
// UnReg, at Close and at process exit; and the engine's calls that reach it.
#include "Delivery.h"

#include <algorithm>
#include <cstdlib>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "JournalCall.h"

namespace zvsim {

template <class Fn>
Y4_Status SimEngine::Delivery::reg(Fn& slot, void*& slotContext, Fn fn, void* context) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_stop || !start()) return kRejected;
    slot = fn;
    slotContext = context;
    return kOk;
}

template <class Done>
void SimEngine::Delivery::waitFor(std::unique_lock<std::mutex>& lock, Done done) {
    ++m_waiters;
    m_idle.wait(lock, done);
    --m_waiters;
}

Y4_Status SimEngine::Delivery::reg(ZvPldCntChngFn fn, void* context) {
    return reg(m_pldFn, m_pldContext, fn, context);
}

Y4_Status SimEngine::Delivery::reg(ZvVelEventFn fn, void* context) {
    return reg(m_eventFn, m_eventContext, fn, context);
}

Y4_Status SimEngine::Delivery::reg(ZvValueChangeFn fn, void* context) {
    return reg(m_valueFn, m_valueContext, fn, context);
}

bool SimEngine::Delivery::wants(Kind kind) {
    std::lock_guard<std::mutex> lock(m_mutex);
    return registered(kind);
}

std::size_t SimEngine::Delivery::queued() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_queue.size();
}

void SimEngine::Delivery::push(Work work) {
    std::lock_guard<std::mutex> lock(m_mutex);
    const Kind kind = work.type == Work::Event ? kEvent : work.type == Work::Value ? kValue : kPld;
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

void SimEngine::Delivery::flood(std::uint32_t perKind, std::uint16_t units) {
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

bool SimEngine::Delivery::queue(SimEngine::Answer answer) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_stop || !start()) return false;
    Work work{Work::Answer};
    work.answer = std::move(answer);
    m_queue.push_back(std::move(work));
    ++m_queued;
    m_wake.notify_one();
    return true;
}

std::uint64_t SimEngine::Delivery::epoch() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_epoch;
}

bool SimEngine::Delivery::deliverHere(const SimEngine::Answer& answer, std::uint64_t epoch) {
    std::unique_lock<std::mutex> lock(m_mutex);
    if (m_stop) return false;
    pieces(lock, answer, epoch);
    return true;
}

void SimEngine::Delivery::flush() {
    std::unique_lock<std::mutex> lock(m_mutex);
    if (onOwnThread()) return;  // it would wait for itself
    const std::uint64_t target = m_queued;
    waitFor(lock, [&] { return m_done >= target || m_stop; });
}

void SimEngine::Delivery::withdraw() {
    std::unique_lock<std::mutex> lock(m_mutex);
    dropAll();
    const std::size_t mine = CallOut::Here(this);
    waitFor(lock, [&] { return m_calls <= mine; });
}

void SimEngine::Delivery::shutdown() {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_stop = true;
    dropAll();
    m_wake.notify_all();
    // Calls under way end first, answers delivered on callers' threads included: those see
    // the stop after their piece.
    const std::size_t mine = CallOut::Here(this);
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

SimEngine::Delivery::Live& SimEngine::Delivery::live() {
    static Live* const all = new Live;
    return *all;
}

void SimEngine::Delivery::stopAll() {
    std::vector<std::shared_ptr<Delivery>> running;
    {
        Live& l = live();
        std::lock_guard<std::mutex> lock(l.mutex);
        l.exiting = true;
        running = l.deliveries;
    }
    for (const std::shared_ptr<Delivery>& d : running) d->shutdown();
}

bool SimEngine::Delivery::remember() {
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

void SimEngine::Delivery::forget() {
    Live& l = live();
    std::lock_guard<std::mutex> lock(l.mutex);
    l.deliveries.erase(
        std::remove_if(l.deliveries.begin(), l.deliveries.end(),
                       [this](const std::shared_ptr<Delivery>& d) { return d.get() == this; }),
        l.deliveries.end());
}

bool SimEngine::Delivery::start() {
    if (m_started) return true;
    if (!remember()) return false;  // the process is exiting
    m_nextTick = m_engine.m_clock.Now() + std::chrono::milliseconds(m_tick);
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

bool SimEngine::Delivery::takeTick(VirtualClock::Time now) {
    std::lock_guard<std::mutex> lock(m_mutex);
    return takeTickLocked(now);
}

bool SimEngine::Delivery::takeTickLocked(VirtualClock::Time now) {
    if (!m_started || m_stop || m_tick == 0 || now < m_nextTick) return false;
    const VirtualClock::Time period = std::chrono::milliseconds(m_tick);
    m_nextTick += period;
    if (m_nextTick <= now) m_nextTick = now + period;  // fell behind: no catching up
    return true;
}

VirtualClock::Time SimEngine::Delivery::nextTick() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return !m_started || m_stop || m_tick == 0 ? VirtualClock::Time::max() : m_nextTick;
}

void SimEngine::Delivery::clockChanged(bool restart) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (restart && m_started)
        m_nextTick = m_engine.m_clock.Now() + std::chrono::milliseconds(m_tick);
    m_wake.notify_all();
}

void SimEngine::Delivery::settle() {
    std::unique_lock<std::mutex> lock(m_mutex);
    if (std::this_thread::get_id() == m_threadId) return;
    m_idle.wait(lock, [&] { return !m_ticking; });
}

bool SimEngine::Delivery::registered(Kind kind) const {
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

bool SimEngine::Delivery::onOwnThread() const {
    return m_started && m_threadId == std::this_thread::get_id();
}

void SimEngine::Delivery::dropAll() {
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
    Call call(*this, Op::UnReg, CallTarget{}, -1, false);
    if (what != 1) return call.answer(kRejected);
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
    Call call(*this, Op::RegPldCntChng, CallTarget{}, -1, false);
    return call.answer(reg(capture, context));
}

Y4_Status SimEngine::RegVelEvent(ZvVelEventFn capture, void* context, std::uint16_t) {
    Call call(*this, Op::RegVelEvent, CallTarget{}, -1, false);
    return call.answer(reg(capture, context));
}

Y4_Status SimEngine::RegValueChange(ZvValueChangeFn capture, void* context, std::uint16_t) {
    Call call(*this, Op::RegValueChange, CallTarget{}, -1, false);
    return call.answer(reg(capture, context));
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
