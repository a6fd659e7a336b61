// The calls out of a Delivery: its thread, which ticks the engine, delivers the queued
// notifications and answers and makes a flood's notifications, and the pieces of an answer on
// whichever thread delivers it.
#include <algorithm>
#include <chrono>
#include <cstring>
#include <mutex>
#include <vector>

#include "Delivery.h"

namespace zvsim {

namespace {

// A flood's notifications name no catalogued device.
constexpr std::uint16_t kFloodDevice = 0xFFFF;

}  // namespace

template <class Capture>
void SimEngine::Delivery::call(std::unique_lock<std::mutex>& lock, Capture capture) {
    CallUnlocked(this, lock, m_calls, capture);
    if (m_waiters > 0) m_idle.notify_all();
}

void SimEngine::Delivery::pieces(std::unique_lock<std::mutex>& lock,
                                 const SimEngine::Answer& answer, std::uint64_t epoch) {
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

void SimEngine::Delivery::run() {
    std::unique_lock<std::mutex> lock(m_mutex);
    // After a capture call the engine may be gone (the capture closed it): every turn
    // checks m_stop before it touches the engine again. A frozen clock is ticked by its
    // advances alone: the thread then sleeps until work comes or the clock changes.
    while (!m_stop) {
        const VirtualClock::Reading clock = m_engine.m_clock.Read();
        if (!clock.frozen && takeTickLocked(clock.now)) {
            m_ticking = true;
            lock.unlock();
            m_engine.tick();
            lock.lock();
            m_ticking = false;
            m_idle.notify_all();
        } else if (m_flooding) {
            floodStep(lock);
        } else if (!m_queue.empty()) {
            Work work = std::move(m_queue.front());
            m_queue.pop_front();
            deliver(lock, work);
        } else if (const auto due =
                       m_tick > 0 ? m_engine.m_clock.RealTimeOf(m_nextTick) : std::nullopt) {
            m_wake.wait_until(lock, *due);
        } else {
            m_wake.wait(lock);
        }
    }
    m_exited = true;
    m_idle.notify_all();
}

int SimEngine::Delivery::times(NotifyKind kind) {
    return m_engine.m_controls->deliveries(kind);
}

void SimEngine::Delivery::finished() {
    ++m_done;
    if (m_waiters > 0) m_idle.notify_all();
}

void SimEngine::Delivery::deliver(std::unique_lock<std::mutex>& lock, Work& work) {
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

void SimEngine::Delivery::floodStep(std::unique_lock<std::mutex>& lock) {
    const std::uint64_t made = m_floodMade++;
    const auto round = static_cast<std::uint32_t>(made / 3 + 1);
    --m_floodLeft;
    switch (made % 3) {
        case 0:
            if (m_pldFn != nullptr) {
                const unsigned long count = m_engine.m_pldCount.fetch_add(1) + 1;
                call(lock, [fn = m_pldFn, context = m_pldContext, count] { fn(context, count); });
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

}  // namespace zvsim
