#include "RemoteConnection.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "Fields.h"
#include "Io.h"
#include "JsonPack.h"
#include "Names.h"
#include "Peer.h"
#include "Wire.h"
#include "dlog.h"

namespace zvremote {

namespace {

constexpr char kTag[] = "ZvPldMsgClient";
constexpr int kError = 3;

// Bounds the socket's next blocking send or connect by the time left; false when none is left
// (a zero timeout would mean none at all).
bool sendTimeout(int fd, Deadline until) {
    const auto left = std::chrono::duration_cast<std::chrono::microseconds>(until - Clock::now());
    if (left.count() <= 0) return false;
    timeval timeout{};
    timeout.tv_sec = static_cast<time_t>(left.count() / 1000000);
    timeout.tv_usec = static_cast<suseconds_t>(left.count() % 1000000);
    return ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout) == 0;
}

// The frame of `request` with `id` first.
bool appendPacked(const RemoteConnection::Packed& request, std::uint32_t id,
                  std::vector<std::uint8_t>& frame) {
    frame.reserve(4 + 16 + request.fields.size());
    const std::size_t start = zvwire::BeginFrame(frame);
    {
        zvwire::PackWriter out(frame);
        out.Map(request.entries + 1);
        out.Field(zvwire::key::kId, id);
        out.Raw(request.fields.data(), request.fields.size());
    }
    return zvwire::EndFrame(frame, start);
}

constexpr char kClosedByDaemon[] = "the daemon closed the connection";

}  // namespace

RemoteConnection::RemoteConnection(std::string path, std::chrono::milliseconds deadline,
                                   Listener& listener, bool logFailures)
    : m_path(std::move(path)),
      m_deadline(deadline),
      m_listener(listener),
      m_logFailures(logFailures) {}

RemoteConnection::~RemoteConnection() {
    Close();
}

std::optional<nlohmann::json> RemoteConnection::Call(json request, std::uint64_t* generation) {
    std::uint64_t on = 0;
    zvwire::PackedMessage reply;
    const bool replied = call(Request{&request, nullptr}, reply, &on);
    if (generation != nullptr) *generation = on;
    if (!replied) return std::nullopt;
    try {
        return zvwire::ReadJson(reply.bytes.data(), reply.bytes.size());
    } catch (const std::exception&) {
        Break(on);  // as a malformed frame
        return std::nullopt;
    }
}

bool RemoteConnection::Call(const Packed& request, zvwire::PackedMessage& reply,
                            std::uint64_t* generation) {
    return call(Request{nullptr, &request}, reply, generation);
}

bool RemoteConnection::call(const Request& request, zvwire::PackedMessage& reply,
                            std::uint64_t* generation) {
    const Deadline start = Clock::now();
    const Deadline until = start + m_deadline;
    bool probe = false;
    {
        // A hung engine would hold every call for its whole deadline: one call tries it, and
        // the others fail meanwhile.
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_unresponsive) {
            if (m_probing || start < m_nextProbe) {
                m_failure = late();
                return false;
            }
            m_probing = probe = true;
            m_nextProbe = start + m_deadline;
        }
    }
    const bool replied = connect(until) && exchange(request, until, generation, reply);
    if (probe) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_probing = false;
    }
    if (!replied && Clock::now() >= until) missed(start);
    return replied;
}

void RemoteConnection::Introduce(json request) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_introduction = std::move(request);
}

bool RemoteConnection::Reconnect() {
    const Deadline start = Clock::now();
    const Deadline until = start + m_deadline;
    const bool connected = connect(until);
    if (!connected && Clock::now() >= until) missed(start);
    return connected;
}

bool RemoteConnection::Broken() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_broken;
}

void RemoteConnection::Close() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_closed = true;
        if (!m_broken && m_fd >= 0) ::shutdown(m_fd, SHUT_RDWR);  // wakes a call under way
    }
    std::lock_guard<std::mutex> connecting(m_connectMutex);
    retire();
}

// Both answer within `until`: a reconnection spends the deadline of the call that makes it.
bool RemoteConnection::connect(Deadline until) {
    std::lock_guard<std::mutex> connecting(m_connectMutex);
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_closed) return false;
        if (!m_broken) return true;
    }
    retire();
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (m_path.empty() || m_path.size() >= sizeof address.sun_path) return false;
    std::memcpy(address.sun_path, m_path.data(), m_path.size());
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int error = fd < 0 ? errno : 0;
    // A full backlog holds connect up to the send timeout.
    if (error == 0 && !sendTimeout(fd, until)) error = Clock::now() >= until ? ETIMEDOUT : errno;
    if (error == 0 &&
        ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        error = errno;
    }
    if (error != 0) {
        if (fd >= 0) ::close(fd);
        unreachable(error);
        return false;
    }
    // Whoever listens at the path would answer for the engine, and acknowledge writes it never
    // passes on: only a daemon of this user's or root's is believed.
    const std::optional<ucred> peer = zvwire::PeerOf(fd);
    if (!peer) {
        const char* const why = std::strerror(errno);
        __dlog_printf(kError, kTag, "unix:%s: the daemon's credentials are unknown (%s), refused",
                      m_path.c_str(), why);
        failed(m_path + ": the daemon's credentials are unknown: " + why);
        ::close(fd);
        return false;
    }
    if (!zvwire::IsOwnUserOrRoot(*peer)) {
        __dlog_printf(kError, kTag,
                      "unix:%s is served by uid %u (pid %d), neither this user (uid %u) nor "
                      "root: refused as an impostor",
                      m_path.c_str(), static_cast<unsigned>(peer->uid), static_cast<int>(peer->pid),
                      static_cast<unsigned>(::geteuid()));
        failed(m_path + " is served by uid " + std::to_string(peer->uid) +
               ", neither this user nor root");
        ::close(fd);
        return false;
    }
    std::vector<json> greeting;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_closed) {
            ::close(fd);
            return false;
        }
        m_fd = fd;
        m_broken = false;
        m_unreachableTold = false;
        m_read = std::make_shared<Reading>(fd, ++m_generation);
        m_reader = std::thread(&RemoteConnection::readLoop, this, m_read);
        if (m_introduction) greeting.push_back(*m_introduction);
    }
    // The daemon knows nothing of an earlier connection: the client introduces itself again and
    // registers each kind it had registered, or tried to.
    for (json& request : m_listener.Greeting()) greeting.push_back(std::move(request));
    zvwire::PackedMessage reply;
    for (json& request : greeting) {
        if (!exchange(Request{&request, nullptr}, until, nullptr, reply)) return false;
    }
    return true;
}

// Ends the connection there is, if any: its reader stops, its socket is closed.
void RemoteConnection::retire() {
    std::thread reader;
    int fd = -1;
    {
        // The socket is closed with no send under way, and none starts on it after.
        std::unique_lock<std::mutex> lock(m_mutex);
        m_writable.wait(lock, [&] { return !m_writing; });
        ++m_generation;  // a reply still to come on the old connection is no one's
        m_broken = true;
        std::swap(fd, m_fd);
        reader = std::move(m_reader);
        m_read.reset();
        m_readerWake.notify_all();  // a resting reader reads the end
    }
    if (fd >= 0) ::shutdown(fd, SHUT_RDWR);
    if (reader.joinable()) reader.join();
    if (fd >= 0) ::close(fd);
}

void RemoteConnection::Break(std::uint64_t generation) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (generation != m_generation || m_broken) return;
    m_broken = true;
    // Whoever reads sees the end, fails every request in flight, and the reader stops; the next
    // call reconnects.
    ::shutdown(m_fd, SHUT_RDWR);
    m_readerWake.notify_all();
}

bool RemoteConnection::exchange(const Request& request, Deadline until, std::uint64_t* on,
                                zvwire::PackedMessage& reply) {
    std::unique_lock<std::mutex> lock(m_mutex);
    if (m_closed || m_broken) {
        m_failure = kClosedByDaemon;
        return false;
    }
    // The reader thread rests from now on: this call reads its reply itself if it can.
    ++m_callers;
    const std::shared_ptr<Reading> reading = m_read;
    const std::uint32_t id = m_nextId++;
    const std::uint64_t generation = m_generation;
    if (on != nullptr) *on = generation;
    Pending& pending = m_pending[id];
    pending.generation = generation;
    lock.unlock();

    std::vector<std::uint8_t> frame;
    bool framed = false;
    if (request.message != nullptr) {
        m_listener.Sending(*request.message, generation);
        (*request.message)[zvwire::key::kId] = id;
        framed = zvwire::AppendFrame(*request.message, frame);
    } else {
        framed = appendPacked(*request.packed, id, frame);
    }
    bool sent = false;
    int unsent = 0;  // why the frame did not go out, when not for want of time
    lock.lock();
    if (!framed) {  // a text too long for any frame: this request fails, the connection stays
        m_failure = "the request is too long for a frame";
        m_pending.erase(id);
        --m_callers;
        m_lastCall = Clock::now();
        return false;
    }
    // Frames go out whole, one at a time. Waiting behind another caller's send, or sending to a
    // daemon that reads nothing, spends this call's own deadline.
    if (m_writable.wait_until(lock, until, [&] { return !m_writing; })) {
        const int fd = generation == m_generation && !m_broken ? m_fd : -1;
        m_writing = true;
        lock.unlock();
        std::size_t done = 0;
        while (fd >= 0 && done < frame.size()) {
            // Each try is bounded by the time left: a send interrupted and sent again with the
            // timeout set before it would overrun the deadline.
            const ssize_t n = zvwire::RetryEintr([&]() -> ssize_t {
                // A frame mostly fits in the socket's buffer: only a send that would wait is
                // bounded, which costs a call more.
                const ssize_t now = ::send(fd, frame.data() + done, frame.size() - done,
                                           MSG_NOSIGNAL | MSG_DONTWAIT);
                if (now >= 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) return now;
                if (!sendTimeout(fd, until)) return 0;  // no time left
                return ::send(fd, frame.data() + done, frame.size() - done, MSG_NOSIGNAL);
            });
            if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) unsent = errno;
            if (n <= 0) break;
            done += static_cast<std::size_t>(n);
        }
        sent = fd >= 0 && done == frame.size();
        if (fd < 0) unsent = EPIPE;  // the connection broke meanwhile
        lock.lock();
        m_writing = false;
        m_writable.notify_all();
    }
    while (sent && !pending.done) {
        // Nobody reads: this caller does, until a message comes, and sees to whom it goes.
        if (!m_reading && reading && !reading->ended && reading->generation == m_generation &&
            !m_broken) {
            m_reading = true;
            lock.unlock();
            const Received received = receive(*reading, &until);
            lock.lock();
            const bool ended = release(*reading, received);
            if (ended) {
                lock.unlock();
                m_listener.Ended(reading->generation);
                lock.lock();
            }
            if (received == Received::TimedOut) break;
        } else if (m_replied.wait_until(lock, until) == std::cv_status::timeout) {
            break;
        }
    }
    const bool replied = pending.replied;
    if (replied) std::swap(reply, pending.reply);
    if (!replied) {
        m_failure = sent && pending.done ? kClosedByDaemon
                    : unsent != 0        ? std::string("cannot send: ") + std::strerror(unsent)
                                         : late();
    }
    m_pending.erase(id);
    --m_callers;
    m_lastCall = Clock::now();
    lock.unlock();
    if (replied) {
        answered();
    } else {
        Break(generation);
    }
    return replied;
}

// Reads while no caller does, and no call was made for kReaderRest; at the end of the
// connection, or once it is broken or replaced, reads to its end and stops.
void RemoteConnection::readLoop(std::shared_ptr<Reading> reading) {
    std::unique_lock<std::mutex> lock(m_mutex);
    while (!reading->ended) {
        // While callers read, looked at again after each rest rather than woken by every call
        // that ends or gives up the reading: a loop of calls would pay for a wake-up each.
        const bool current = reading->generation == m_generation && !m_broken;
        if (m_reading || (current && m_callers > 0)) {
            m_readerWake.wait_for(lock, kReaderRest);
            continue;
        }
        if (current && Clock::now() < m_lastCall + kReaderRest) {
            m_readerWake.wait_until(lock, m_lastCall + kReaderRest);
            continue;
        }
        m_reading = true;
        lock.unlock();
        const Received received = receive(*reading, nullptr);
        lock.lock();
        if (release(*reading, received)) {
            lock.unlock();
            m_listener.Ended(reading->generation);
            lock.lock();
        }
    }
}

RemoteConnection::Received RemoteConnection::receive(Reading& reading, const Deadline* until) {
    if (until != nullptr) {
        pollfd readable{reading.fd, POLLIN, 0};
        for (;;) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(*until - Clock::now());
            if (left.count() <= 0) return Received::TimedOut;
            // Rounded up: a deadline is never cut short.
            const int ready = zvwire::Poll(&readable, 1, static_cast<int>(left.count()) + 1);
            if (ready > 0) break;
            if (ready < 0) return Received::End;
        }
    }
    const ssize_t n = zvwire::Recv(reading.fd, reading.chunk.data(), reading.chunk.size(), 0);
    if (n <= 0) return Received::End;
    reading.decoder.Feed(reading.chunk.data(), static_cast<std::size_t>(n));
    const std::uint8_t* message = nullptr;
    std::size_t size = 0;
    zvwire::FrameDecoder::Result result;
    while ((result = reading.decoder.NextBytes(message, size)) ==
           zvwire::FrameDecoder::Result::Message) {
        if (!route(reading.decoder.Fields(), message, size)) return Received::End;
    }
    return result == zvwire::FrameDecoder::Result::Bad ? Received::End : Received::Some;
}

bool RemoteConnection::release(Reading& reading, Received received) {
    m_reading = false;
    const bool ended = received == Received::End && !reading.ended;
    if (ended) {
        reading.ended = true;
        for (auto& [id, pending] : m_pending) {
            if (pending.generation == reading.generation) pending.done = true;
        }
        if (reading.generation == m_generation) {
            if (!m_broken) ::shutdown(reading.fd, SHUT_RDWR);
            m_broken = true;
        }
    }
    m_replied.notify_all();
    // The reader waits for the end of a connection that is broken or replaced.
    if (reading.generation != m_generation || m_broken) m_readerWake.notify_all();
    return ended;
}

// A reply goes to its caller, anything else to the listener. False for a message that is
// neither a reply nor taken by the listener.
bool RemoteConnection::route(const zvwire::PackIndex& fields, const std::uint8_t* data,
                             std::size_t size) {
    try {
        const std::optional<zvwire::PackValue> field = fields.Root(data).Find(zvwire::key::kId);
        if (!field) return m_listener.Receive(zvwire::ReadJson(data, size));
        const auto id = zvwire::NumberOf<std::uint32_t>(*field, zvwire::key::kId);
        std::lock_guard<std::mutex> lock(m_mutex);
        const auto pending = m_pending.find(id);
        if (pending != m_pending.end() && !pending->second.done) {
            // The caller reads the reply as it was read here, not again.
            pending->second.reply.bytes.assign(data, data + size);
            pending->second.reply.fields = fields;
            pending->second.replied = pending->second.done = true;
            m_replied.notify_all();
        }
        return true;
    } catch (const std::exception&) {  // Malformed, or no memory for it
        return false;
    }
}

}  // namespace zvremote
