#include "Connection.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "Io.h"

namespace pldengined {

namespace {

// Far more than any reply or piece; a client that lets this much pile up does not read.
constexpr std::size_t kMaxQueued = 8u << 20;

}  // namespace

Frame FrameOf(const nlohmann::json& message) {
    auto bytes = std::make_shared<std::vector<std::uint8_t>>();
    if (!zvwire::AppendFrame(message, *bytes)) return nullptr;
    return bytes;
}

Connection::Connection(int fd, unsigned id, Wake wake, zvwire::Limits limits, Clock::time_point now)
    : decoder(limits), lastRequest(now), m_fd(fd), m_id(id), m_wake(std::move(wake)) {}

Connection::~Connection() {
    ::close(m_fd);
}

void Connection::Send(Frame frame) {
    bool wake = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_drop) return;
        if (m_queued + frame->size() > kMaxQueued) {
            m_drop = "outgoing queue full, the client does not read";
        } else {
            if (m_queue.empty()) m_progress = Clock::now();
            m_queued += frame->size();
            m_queue.push_back(std::move(frame));
        }
        wake = !std::exchange(m_scheduled, true);
    }
    if (wake) m_wake(shared_from_this());
}

void Connection::Drop(const std::string& why) {
    bool wake = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_drop) return;
        m_drop = why;
        wake = !std::exchange(m_scheduled, true);
    }
    if (wake) m_wake(shared_from_this());
}

void Connection::Retire() {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_drop) m_drop = "closed";
    m_queue.clear();
    m_queued = 0;
}

void Connection::SendNote(const Frame& frame) {
    if (frame) {
        Send(frame);
    } else {
        Drop("a message does not fit in a frame");
    }
}

Connection::Flushed Connection::Flush(Clock::time_point now) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_scheduled = false;
    while (!m_queue.empty()) {
        const std::vector<std::uint8_t>& front = *m_queue.front();
        const ssize_t n = zvwire::Send(m_fd, front.data() + m_sentOfFront,
                                       front.size() - m_sentOfFront, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return Flushed::Waiting;
        if (n <= 0) return Flushed::Failed;
        m_progress = now;
        m_sentOfFront += static_cast<std::size_t>(n);
        if (m_sentOfFront == front.size()) {
            m_queued -= front.size();
            m_sentOfFront = 0;
            m_queue.pop_front();
        }
    }
    return Flushed::All;
}

std::size_t Connection::Queued() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_queued;
}

std::optional<Clock::time_point> Connection::StalledSince() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_queue.empty()) return std::nullopt;
    return m_progress;
}

std::optional<std::string> Connection::DropReason() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_drop;
}

}  // namespace pldengined
