#include "HeldWaits.h"

#include <new>

#include <algorithm>

#include "EventLoop.h"
#include "Log.h"
#include "Names.h"

namespace pldengined {

using nlohmann::json;
namespace key = zvwire::key;

namespace {

Frame replyOf(const json& id, const json& answer) {
    return FrameOf({{key::kId, id}, {key::kStatus, zvsim::kOk}, {key::kAnswer, answer}});
}

}  // namespace

void HeldWaits::Hold(const std::shared_ptr<Connection>& connection, const json& id,
                     const std::shared_ptr<zvsim::Journal::Wait>& wait,
                     std::chrono::milliseconds timeout, Clock::time_point now) {
    const auto own = std::count_if(m_held.begin(), m_held.end(),
                                   [&](const Held& h) { return h.connection == connection; });
    std::string refusal;
    if (static_cast<std::size_t>(own) >= kPerConnection) {
        refusal = "wait: this connection has 4 waits pending, the most it may have";
    } else if (m_held.size() >= kInAll) {
        refusal = "wait: 64 waits are pending on the daemon, the most there may be";
    }
    if (!refusal.empty()) {
        m_engine.EndWait(wait);
        if (m_lines.Take(now)) {
            Log("connection %u: control wait refused: %s", connection->Id(), refusal.c_str());
        }
        connection->Send(replyOf(id, {{"ok", false}, {"error", refusal}}));
        return;
    }
    m_held.push_back(Held{connection, id, wait, now + timeout});
    ++connection->held;
}

std::vector<HeldWaits::Reply> HeldWaits::Due(Clock::time_point now) {
    std::vector<Reply> due;
    for (auto it = m_held.begin(); it != m_held.end();) {
        if (!m_engine.WaitMet(it->wait) && now < it->deadline) {
            ++it;
            continue;
        }
        const json answer = json::parse(m_engine.EndWait(it->wait), nullptr, false);
        --it->connection->held;
        if (m_lines.Take(now)) {
            const bool ok = answer.value("ok", false);
            Log("connection %u: control wait%s: %s", it->connection->Id(), ok ? "" : " refused",
                answer.value(ok ? "done" : "error", "").c_str());
        }
        due.emplace_back(it->connection, replyOf(it->id, answer));
        it = m_held.erase(it);
    }
    return due;
}

std::chrono::milliseconds HeldWaits::Wait(Clock::time_point now,
                                          std::chrono::milliseconds longest) const {
    for (const Held& h : m_held) {
        if (h.deadline <= now) return std::chrono::milliseconds(0);
        longest = std::min(longest, std::chrono::ceil<std::chrono::milliseconds>(h.deadline - now));
    }
    return longest;
}

void HeldWaits::Forget(const Connection& connection) {
    for (auto it = m_held.begin(); it != m_held.end();) {
        if (it->connection.get() != &connection) {
            ++it;
            continue;
        }
        m_engine.EndWait(it->wait);
        it = m_held.erase(it);
    }
}

void HeldWaits::Clear() {
    for (const Held& h : m_held) m_engine.EndWait(h.wait);
    m_held.clear();
}

void EventLoop::answerWaits(Clock::time_point now) {
    for (auto& [c, frame] : m_waits.Due(now)) {
        if (c->closed || !frame) continue;
        try {
            c->Send(std::move(frame));
        } catch (const std::bad_alloc&) {
            drop(c, "no memory for its reply");
            continue;
        }
        update(c);
        finishIfDone(c);
    }
}

}  // namespace pldengined
