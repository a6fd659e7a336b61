// The event loop's accepting: a connection is taken off the listener's queue at once, served if
// its peer may connect and there is room, else closed before a byte is read; at the cap the
// connection idle longest that loses nothing makes room.
#include "EventLoop.h"

#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>

#include "Io.h"
#include "Log.h"
#include "Peer.h"

namespace pldengined {

namespace {

constexpr int kAcceptsPerWait = 64;

}  // namespace

void EventLoop::accept(Clock::time_point now) {
    for (int i = 0; i < kAcceptsPerWait; ++i) {
        const int fd = zvwire::Accept(m_listener, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd >= 0) {
            m_acceptFailing = false;
            // Only a peer that may connect makes room for itself.
            if (m_connections.size() >= m_limits.maxConnections && !m_admission.Idlest()) {
                ::close(fd);
                refuse(now, m_limits.capByDescriptors
                                ? "as many connections are open as the file descriptors allow"
                                : "as many connections are open as --max-connections allows");
            } else if (!m_admit(fd)) {
                ::close(fd);
            } else if (m_connections.size() < m_limits.maxConnections || makeRoom(now)) {
                open(fd, now);
            } else {
                ::close(fd);
            }
            continue;
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK) return;
        if (errno == ECONNABORTED || errno == EPROTO || errno == EPERM) continue;
        const int failure = errno;
        if (!m_acceptFailing) Log("accept: %s", std::strerror(failure));
        m_acceptFailing = true;
        // Out of descriptors, the spare one makes room to take the connection off the queue and
        // close it: the client learns at once, and the listener does not stay ready for ever.
        if ((failure == EMFILE || failure == ENFILE) && m_spare >= 0) {
            ::close(m_spare);
            const int taken = zvwire::Accept(m_listener, SOCK_CLOEXEC);
            if (taken >= 0) {
                ::close(taken);
                refuse(now, "no file descriptor is left");
            }
            m_spare = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
            if (taken >= 0) continue;
        }
        // Nothing else to give: the listener rests a while instead of spinning.
        ::epoll_ctl(m_epoll, EPOLL_CTL_DEL, m_listener, nullptr);
        m_listening = false;
        m_acceptAgain = now + kAcceptPause;
        return;
    }
}

void EventLoop::refuse(Clock::time_point now, const char* why) {
    m_refusedWhy = why;
    if (const unsigned long n = m_refusals.Count(now)) tellRefused(n);
}

void EventLoop::tellRefused(unsigned long n) {
    Log("refused %lu connection%s: %s (%zu open)", n, n == 1 ? "" : "s", m_refusedWhy,
        m_connections.size());
}

void EventLoop::tellEvicted(unsigned long n) {
    Log("closed %lu idle connection%s to make room for new ones, the last idle for %ld s "
        "(%zu open)",
        n, n == 1 ? "" : "s", m_evictedIdleSec, m_connections.size());
}

void EventLoop::tellWithheld(Clock::time_point now) {
    if (const unsigned long n = m_refusals.Withheld(now)) tellRefused(n);
    if (const unsigned long n = m_evictions.Withheld(now)) tellEvicted(n);
}

bool EventLoop::makeRoom(Clock::time_point now) {
    const std::shared_ptr<Connection> idlest = m_admission.Idlest();
    if (!idlest) return false;
    m_evictedIdleSec = static_cast<long>(
        std::chrono::duration_cast<std::chrono::seconds>(now - idlest->lastRequest).count());
    close(idlest);
    if (const unsigned long n = m_evictions.Count(now)) tellEvicted(n);
    return true;
}

void EventLoop::open(int fd, Clock::time_point now) {
    std::shared_ptr<Connection> c;
    try {
        c = std::make_shared<Connection>(
            fd, ++m_nextId, [this](const std::shared_ptr<Connection>& w) { wake(w); },
            m_limits.request, now);
    } catch (const std::bad_alloc&) {
        ::close(fd);
        Log("refused a connection: no memory");
        return;
    }
    epoll_event in{};
    in.events = EPOLLIN;
    in.data.fd = fd;
    if (::epoll_ctl(m_epoll, EPOLL_CTL_ADD, fd, &in) != 0) {
        Log("refused a connection: %s", std::strerror(errno));
        return;  // `c` closes it
    }
    c->events = EPOLLIN;
    if (const std::optional<ucred> peer = zvwire::PeerOf(fd)) c->pid = peer->pid;
    try {
        m_connections.emplace(fd, c);
        m_admission.Add(c);
        m_fanOut.Add(c);
    } catch (const std::bad_alloc&) {
        m_admission.Remove(*c);
        m_connections.erase(fd);
        ::epoll_ctl(m_epoll, EPOLL_CTL_DEL, fd, nullptr);
        Log("refused a connection: no memory");
        return;
    }
    if (m_openedLines.Take(now)) Log("connection %u opened", c->Id());
}

}  // namespace pldengined
