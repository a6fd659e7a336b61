#include "HeldReplies.h"

#include <algorithm>

namespace pldengined {

void HeldReplies::Hold(const std::shared_ptr<Connection>& connection, Frame frame,
                       const zvsim::SimEngine::Hold& hold) {
    const zvsim::VirtualClock::Time now = m_engine.EngineClock().Now();
    Held held{connection,      std::move(frame), now + hold.delay, hold.stalled,
              hold.stallEpoch, hold.releases,    hold.journalSeq};
    // Released before it was held: only its delay is left, or nothing.
    if (!held.stalled || m_engine.StallReleased(held.epoch)) {
        m_nextDue = std::min(m_nextDue, m_engine.ReleasedSince(held.releases) ? now : held.due);
    }
    const std::size_t bytes = held.frame->size();
    m_held.push_back(std::move(held));
    ++connection->held;
    connection->heldBytes += bytes;
}

std::vector<HeldReplies::Reply> HeldReplies::Due() {
    std::vector<Reply> due;
    if (m_held.empty()) return due;
    const zvsim::VirtualClock::Time now = m_engine.EngineClock().Now();
    if (!m_released.load() && now < m_nextDue) return due;
    // Before anything changes: without memory every reply stays held, to be tried again, where
    // a list left half compacted would hold replies already counted out.
    due.reserve(m_held.size());
    m_released.store(false);
    m_nextDue = zvsim::VirtualClock::Time::max();
    std::size_t kept = 0;
    for (std::size_t i = 0; i < m_held.size(); ++i) {
        Held& held = m_held[i];
        if (held.connection->closed) {
            m_engine.JournalReplied(held.journalSeq, true);
            continue;
        }
        const bool free = !held.stalled || m_engine.StallReleased(held.epoch);
        // A release lets every held reply go, its delay cut short, as on a waiting thread.
        if (free && (now >= held.due || m_engine.ReleasedSince(held.releases))) {
            m_engine.JournalReplied(held.journalSeq, false);
            --held.connection->held;
            held.connection->heldBytes -= held.frame->size();
            due.emplace_back(std::move(held.connection), std::move(held.frame));
            continue;
        }
        if (free) m_nextDue = std::min(m_nextDue, held.due);
        if (kept != i) m_held[kept] = std::move(held);
        ++kept;
    }
    m_held.erase(m_held.begin() + static_cast<std::ptrdiff_t>(kept), m_held.end());
    return due;
}

std::chrono::milliseconds HeldReplies::Wait(std::chrono::milliseconds longest) const {
    if (m_nextDue == zvsim::VirtualClock::Time::max()) return longest;
    // None while the clock is frozen: an advance wakes the loop.
    const auto at = m_engine.EngineClock().RealTimeOf(m_nextDue);
    if (!at) return longest;
    // Rounded up: a reply never goes out before its time.
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(*at - Clock::now());
    return std::clamp(left, std::chrono::milliseconds(0), longest);
}

void HeldReplies::Forget(const Connection& connection) {
    m_held.erase(std::remove_if(m_held.begin(), m_held.end(),
                                [&](const Held& h) {
                                    if (h.connection.get() != &connection) return false;
                                    m_engine.JournalReplied(h.journalSeq, true);
                                    return true;
                                }),
                 m_held.end());
}

void HeldReplies::Clear() {
    for (const Held& h : m_held) m_engine.JournalReplied(h.journalSeq, true);
    m_held.clear();
}

std::size_t HeldReplies::Stalled() const {
    return static_cast<std::size_t>(
        std::count_if(m_held.begin(), m_held.end(), [](const Held& h) { return h.stalled; }));
}

}  // namespace pldengined
