// The simulated engine's own time, which its ticks, plants, delays, uptime and a scenario's steps
// go by: it runs with the host's steady clock at a speed, or stands frozen and moves only when it
// is advanced. Its time starts at 0 with the engine.
//
// Locks: its mutex is the innermost of the engine; nothing is taken or called while it is held.
// Whoever changes it then wakes the threads that wait on it, each under its own lock.
#ifndef ZV_SIM_VIRTUAL_CLOCK_H
#define ZV_SIM_VIRTUAL_CLOCK_H

#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>

namespace zvsim {

class VirtualClock {
  public:
    using Real = std::chrono::steady_clock;
    using Time = std::chrono::nanoseconds;  // since the engine started

    struct Reading {
        bool frozen = false;
        Time now{0};
        double speed = 1;
    };

    Reading Read() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return {m_frozen, nowLocked(Real::now()), m_speed};
    }
    Time Now() const { return Read().now; }
    std::int64_t NowMs() const {
        return std::chrono::duration_cast<std::chrono::milliseconds>(Now()).count();
    }

    // When the host's clock comes to `due`; none while frozen (only an advance gets there).
    std::optional<Real::time_point> RealTimeOf(Time due) const {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_frozen) return std::nullopt;
        const Real::time_point realNow = Real::now();
        const Time left = due - nowLocked(realNow);
        if (left <= Time::zero()) return realNow;
        // Rounded up, so that a waiter never wakes before its time.
        return realNow + std::chrono::ceil<Real::duration>(
                             std::chrono::duration<double, std::nano>(left.count() / m_speed));
    }

    void Freeze() {
        std::lock_guard<std::mutex> lock(m_mutex);
        rebase(Real::now());
        m_frozen = true;
    }
    void Run(double speed) {
        std::lock_guard<std::mutex> lock(m_mutex);
        rebase(Real::now());
        m_frozen = false;
        m_speed = speed;
    }
    // Moves a frozen clock on to `t`; false, changing nothing, when it runs or `t` is past.
    bool MoveTo(Time t) {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_frozen || t < m_base) return false;
        m_base = t;
        return true;
    }

  private:
    Time nowLocked(Real::time_point realNow) const {
        if (m_frozen) return m_base;
        const Real::duration ran = realNow - m_anchor;
        if (m_speed == 1) return m_base + std::chrono::duration_cast<Time>(ran);
        return m_base +
               Time(static_cast<std::int64_t>(static_cast<double>(Time(ran).count()) * m_speed));
    }
    void rebase(Real::time_point realNow) {
        m_base = nowLocked(realNow);
        m_anchor = realNow;
    }

    mutable std::mutex m_mutex;
    bool m_frozen = false;
    double m_speed = 1;
    Time m_base{0};  // the time at m_anchor
    Real::time_point m_anchor = Real::now();
};

}  // namespace zvsim

#endif
