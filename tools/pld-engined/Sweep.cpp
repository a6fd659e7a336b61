// The event loop's sweep, a few times a second: it ends the connections past a time limit (a
// client that reads nothing, a frame left unfinished, nothing asked), tells the refusals,
// evictions and log lines withheld, and reads again the connections that the replies held in all
// paused.
#include "EventLoop.h"

#include <sys/epoll.h>

#include <string>
#include <utility>
#include <vector>

#include "Log.h"

namespace pldengined {

namespace {

long secondsSince(Clock::time_point then, Clock::time_point now) {
    return static_cast<long>(std::chrono::duration_cast<std::chrono::seconds>(now - then).count());
}

}  // namespace

void EventLoop::sweep(Clock::time_point now) {
    std::vector<std::pair<std::shared_ptr<Connection>, std::string>> ending;
    const auto after = [now](Clock::time_point since, int limitSec) {
        return limitSec > 0 && now - since > std::chrono::seconds(limitSec);
    };
    for (const auto& entry : m_connections) {
        const std::shared_ptr<Connection>& c = entry.second;
        const auto stalled = c->StalledSince();
        if (const auto why = c->DropReason()) {
            ending.emplace_back(c, *why);
        } else if (stalled && after(*stalled, m_limits.sendTimeoutSec)) {
            ending.emplace_back(c, "the client reads nothing, a send timed out");
        } else if (c->partialSince && (c->events & EPOLLIN) == 0) {
            // Paused, the daemon reads none of it: the rest of the frame may be waiting.
            c->partialSince = now;
        } else if (c->partialSince && after(*c->partialSince, m_limits.frameTimeoutSec)) {
            ending.emplace_back(c, "a frame was left unfinished for " +
                                       std::to_string(secondsSince(*c->partialSince, now)) + " s");
        } else if (c->kinds == 0 && c->decoder.Buffered() == 0 && !stalled && !c->awaitingCommit &&
                   c->held == 0 && after(c->lastRequest, m_limits.idleTimeoutSec)) {
            ending.emplace_back(
                c, "idle for " + std::to_string(secondsSince(c->lastRequest, now)) + " s");
        }
    }
    for (const auto& [c, why] : ending) drop(c, why);
    tellWithheld(now);
    if (m_onSweep) m_onSweep(now);
    const std::pair<LineBudget*, const char*> budgets[] = {
        {&m_openedLines, "connections opened"},
        {&m_droppedLines, "connections dropped"},
        {&m_closedLines, "connections closed"},
        {&m_unchangedLines, "control commands that changed nothing"}};
    for (const auto& [budget, kind] : budgets) {
        if (const unsigned long n = budget->Withheld(now)) {
            Log("%lu more lines of %s not written: at most %u a second are (%zu open)", n, kind,
                budget->PerSecond(), m_connections.size());
        }
    }
    // A connection paused while the replies held in all were at their bound is read again once
    // they are below it, though none of its own went out.
    for (const auto& entry : m_connections) {
        const std::shared_ptr<Connection>& c = entry.second;
        if ((c->events & EPOLLIN) == 0 && c->held > 0 && !paused(*c)) {
            update(c);
            m_ready.push_back(c);
        }
    }
}

}  // namespace pldengined
