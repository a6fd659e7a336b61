// How the connection tells its failures: why a call failed, in a few words, and whether the
// engine answers at all, which makes calls fail at once while it does not (RemoteConnection.h).
#include <algorithm>
#include <cstring>
#include <utility>

#include "RemoteConnection.h"
#include "dlog.h"

namespace zvremote {

namespace {

constexpr char kTag[] = "ZvPldMsgClient";
constexpr int kError = 3;

}  // namespace

std::string RemoteConnection::Failure() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_failure;
}

void RemoteConnection::answered() {
    bool again = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_lastAnswer = Clock::now();
        std::swap(again, m_unresponsive);
    }
    if (again && m_logFailures)
        __dlog_printf(kError, kTag, "unix:%s: the engine answers again", m_path.c_str());
}

void RemoteConnection::failed(std::string why) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_failure = std::move(why);
}

// Told once rather than at each call that tries again: a client whose daemon is not there
// would log a line a call, and its user would look for the cause among them.
void RemoteConnection::unreachable(int error) {
    const std::string why =
        "cannot connect to the engine at " + m_path + ": " + std::strerror(error);
    bool tell = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_failure = why;
        tell = m_logFailures && !std::exchange(m_unreachableTold, true);
    }
    if (tell) __dlog_printf(kError, kTag, "%s", why.c_str());
}

std::string RemoteConnection::late() const {
    return "no answer within " + std::to_string(m_deadline.count()) + " ms";
}

// A request sent at `sent` got no reply within its deadline.
void RemoteConnection::missed(Deadline sent) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        // One sent before the engine last answered tells nothing new of it.
        if (m_closed || sent < m_lastAnswer) return;
        m_nextProbe = std::max(m_nextProbe, Clock::now() + m_deadline);
        if (m_unresponsive) return;
        m_unresponsive = true;
    }
    if (m_logFailures)
        __dlog_printf(kError, kTag,
                      "unix:%s: the engine did not answer within %lld ms: calls fail with 13 until "
                      "it answers again",
                      m_path.c_str(), static_cast<long long>(m_deadline.count()));
}

}  // namespace zvremote
