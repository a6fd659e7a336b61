// The clock command: the engine's own time frozen, run at a speed, or advanced by a frozen
// clock's step, which makes what falls due within it happen in time order, each at its own time,
// before it answers.
#include <algorithm>
#include <cstdio>

#include <nlohmann/json.hpp>

#include "Delivery.h"

namespace zvsim {
namespace {

// As many notifications as a burst may leave waiting: a step that would make more is refused
// before it makes any, so that one command cannot fill the queue.
constexpr std::uint64_t kMaxStepWork = 100000;

std::string answer(bool ok, const std::string& text) {
    return nlohmann::json{{"ok", ok}, {ok ? "done" : "error", text}}.dump();
}

std::string ms(VirtualClock::Time t) {
    return std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(t).count());
}

std::string speedText(double speed) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", speed);
    return text;
}

}  // namespace

void SimEngine::clockChanged(bool restartTick) {
    m_controls->clockChanged();
    std::shared_ptr<Delivery> delivery;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        delivery = m_delivery;
    }
    if (delivery) delivery->clockChanged(restartTick);
    ClockChanged();
}

// What the running clock made due before a freeze is made before the freeze answers: a tick or
// plant update under way lands first, not after, whatever the host's timing.
void SimEngine::settle() {
    m_controls->settlePlants();
    std::shared_ptr<Delivery> delivery;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        delivery = m_delivery;
    }
    if (delivery) delivery->settle();
}

std::string SimEngine::clock(const Command& c) {
    std::lock_guard<std::mutex> one(m_clockMutex);
    switch (c.clockAction) {
        case ClockAction::Freeze:
            m_clock.Freeze();
            clockChanged(true);
            settle();
            return answer(true, "the clock stands at " + ms(m_clock.Now()) + " ms");
        case ClockAction::Run:
            m_clock.Run(c.speed);
            clockChanged();
            return answer(true, "the clock runs from " + ms(m_clock.Now()) + " ms at speed " +
                                    speedText(c.speed));
        case ClockAction::Advance:
            return advance(c.advanceMs);
    }
    return answer(false, "clock: not understood");
}

std::string SimEngine::advance(std::uint32_t stepMs) {
    using Time = VirtualClock::Time;
    const VirtualClock::Reading start = m_clock.Read();
    // A running clock's time is the host's: a step would race it. A test freezes it first.
    if (!start.frozen) return answer(false, "clock: advance needs a frozen clock (freeze first)");
    const Time target = start.now + std::chrono::milliseconds(stepMs);
    std::shared_ptr<Delivery> delivery;
    std::uint64_t perTick = 0;
    std::uint32_t tickMs = 0;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        delivery = m_delivery;
        tickMs = m_catalogue.tickMs;
        for (const auto& [index, device] : m_catalogue.devices) {
            for (const auto& [gddId, point] : device.points)
                perTick += point.live ? point.modules() : 0;
        }
        for (const auto& [id, event] : m_catalogue.events) {
            perTick += !event.cycle.empty() && event.period > 0 ? 1 : 0;
        }
    }
    // Counted before anything moves: a refused step changes nothing.
    std::uint64_t ticks = 0;
    if (delivery && tickMs > 0 && delivery->nextTick() <= target) {
        const Time next = std::max(delivery->nextTick(), start.now);
        ticks = static_cast<std::uint64_t>((target - next) / std::chrono::milliseconds(tickMs)) + 1;
    }
    const std::uint64_t work = ticks * perTick + m_controls->plantUpdatesUntil(target) +
                               (delivery ? delivery->queued() : 0);
    if (work > kMaxStepWork) {
        return answer(false, "clock: a step of " + std::to_string(stepMs) + " ms could leave " +
                                 std::to_string(work) + " changes to go out, and at most " +
                                 std::to_string(kMaxStepWork) + " may; take smaller steps");
    }
    for (Time now = start.now;;) {
        Time t = std::min({target, m_controls->nextPlantDue(), m_controls->nextDelayEnd(now),
                           delivery ? delivery->nextTick() : Time::max()});
        now = std::max(t, now);  // one overdue from before the freeze is made now
        m_clock.MoveTo(now);
        if (delivery && delivery->takeTick(now)) tick();
        runPlants();
        m_controls->endDelays(now);
        if (now >= target) break;
    }
    clockChanged();
    return answer(true, "the clock stands at " + ms(target) + " ms");
}

}  // namespace zvsim
