#include "RemoteEngine.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <iterator>
#include <limits>
#include <stdexcept>
#include <utility>

#include "Wire.h"
#include "dlog.h"
#include "sim/SimEngine.h"

namespace zvremote {

namespace {

using json = nlohmann::json;
using zvsim::kBufferTooSmall;
using zvsim::kNoEngine;
using zvsim::kRejected;
using zvsim::kUnknownRequest;

constexpr char kScheme[] = "unix:";
constexpr char kTag[] = "ZvPldMsgClient";
constexpr int kError = 3;
constexpr char kDeadlineOption[] = "?deadline_ms=";
const char* const kKindNames[] = {"pld", "event", "value"};

thread_local const RemoteEngine* t_delivering = nullptr;  // the engine this thread delivers for

json point(const ZvVelPntDfn* pnt) {
    return {{"deviceIdx", pnt->deviceIdx},
            {"gddId", pnt->gddId},
            {"mmIdx", pnt->mmIdx},
            {"auxIdx", pnt->auxIdx},
            {"auxParam", pnt->auxParam},
            {"auxText", pnt->auxText != nullptr ? json(pnt->auxText) : json(nullptr)},
            {"uofm", pnt->uofm}};
}

json report(const ZvVelRprtDfn* rprt) {
    return {{"deviceIdx", rprt->deviceIdx}, {"gddId", rprt->gddId}, {"mmIdx", rprt->mmIdx}};
}

// The bytes of a binary field; throws for anything else.
const std::vector<std::uint8_t>& bytes(const json& field) {
    return field.get_binary();
}

// A reply or notification that lacks a field, or has one of the wrong type.
struct Malformed : std::runtime_error {
    explicit Malformed(const char* what) : std::runtime_error(what) {}
};

template <class T>
T get(const json& message, const char* key) {
    const json& field = message.at(key);
    if (!field.is_number_integer()) throw Malformed(key);
    return field.get<T>();
}

// A record's unsigned field; one out of the field's range is malformed, not cut short.
template <class T>
T fieldOf(const json& field) {
    if (field.is_number_unsigned() && field.get<std::uint64_t>() <= std::numeric_limits<T>::max()) {
        return static_cast<T>(field.get<std::uint64_t>());
    }
    if (field.is_number_integer() && field.get<std::int64_t>() >= 0 &&
        static_cast<std::uint64_t>(field.get<std::int64_t>()) <= std::numeric_limits<T>::max()) {
        return static_cast<T>(field.get<std::int64_t>());
    }
    throw Malformed("a record's field out of range");
}

template <class T>
T fieldOf(const json& record, const char* key) {
    return fieldOf<T>(record.at(key));
}

json op(const char* name) {
    return {{"op", name}};
}

// Bounds the socket's next blocking send or connect by the time left; false when none is left
// (a zero timeout would mean none at all).
bool sendTimeout(int fd, std::chrono::steady_clock::time_point until) {
    const auto left = std::chrono::duration_cast<std::chrono::microseconds>(
        until - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    timeval timeout{};
    timeout.tv_sec = static_cast<time_t>(left.count() / 1000000);
    timeout.tv_usec = static_cast<suseconds_t>(left.count() % 1000000);
    return ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout) == 0;
}

}  // namespace

std::shared_ptr<RemoteEngine> RemoteEngine::FromClientText(const char* first, const char* second,
                                                           const char* third) {
    if (first == nullptr || std::strncmp(first, kScheme, sizeof kScheme - 1) != 0) return nullptr;
    std::string path = first + sizeof kScheme - 1;
    std::chrono::milliseconds deadline = kDefaultDeadline;
    const std::size_t option = path.find(kDeadlineOption);
    if (option != std::string::npos) {
        const std::string value = path.substr(option + sizeof kDeadlineOption - 1);
        char* end = nullptr;
        const unsigned long ms = std::strtoul(value.c_str(), &end, 10);
        if (!value.empty() && *end == '\0' && ms > 0 && ms <= 3600000) {
            deadline = std::chrono::milliseconds(ms);
        }
        path.resize(option);
    }
    std::shared_ptr<RemoteEngine> engine(
        new RemoteEngine(std::move(path), deadline,
                         std::array<std::string, 3>{first, second != nullptr ? second : "",
                                                    third != nullptr ? third : ""}));
    // The delivering thread owns the engine too: closed from within a capture or response
    // function, the engine outlives its client until that function has returned.
    engine->m_delivery = std::thread([engine] { engine->deliverLoop(); });
    struct Closer {
        std::shared_ptr<RemoteEngine> owner;
        void operator()(RemoteEngine* closing) {
            closing->Close();
            owner.reset();
        }
    };
    RemoteEngine* const raw = engine.get();
    return std::shared_ptr<RemoteEngine>(raw, Closer{std::move(engine)});
}

RemoteEngine::RemoteEngine(std::string path, std::chrono::milliseconds deadline,
                           std::array<std::string, 3> texts)
    : m_path(std::move(path)), m_deadline(deadline), m_texts(std::move(texts)) {}

RemoteEngine::~RemoteEngine() {
    Close();
}

// ---- Connection ----

bool RemoteEngine::connect(Deadline until) {
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
    if (fd < 0) return false;
    // A full backlog holds connect up to the send timeout.
    if (!sendTimeout(fd, until) ||
        ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return false;
    }
    // Whoever listens at the path would answer for the engine, and acknowledge writes it never
    // passes on: only a daemon of this user's or root's is believed.
    ucred peer{};
    socklen_t size = sizeof peer;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0) {
        __dlog_printf(kError, kTag, "unix:%s: the daemon's credentials are unknown (%s), refused",
                      m_path.c_str(), std::strerror(errno));
        ::close(fd);
        return false;
    }
    if (peer.uid != 0 && peer.uid != ::geteuid()) {
        __dlog_printf(kError, kTag,
                      "unix:%s is served by uid %u (pid %d), neither this user (uid %u) nor "
                      "root: refused as an impostor",
                      m_path.c_str(), static_cast<unsigned>(peer.uid), static_cast<int>(peer.pid),
                      static_cast<unsigned>(::geteuid()));
        ::close(fd);
        return false;
    }
    bool inited = false;
    std::array<Registration, kKinds> regs;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_closed) {
            ::close(fd);
            return false;
        }
        m_fd = fd;
        m_broken = false;
        m_reader = std::thread(&RemoteEngine::readLoop, this, fd, ++m_generation);
        inited = m_inited;
        regs = m_regs;
    }
    // The daemon knows nothing of an earlier connection: the client introduces itself again and
    // registers each kind it had registered, or tried to.
    if (inited) {
        json init = op("Init");
        init["texts"] = m_texts;
        if (!exchange(std::move(init), until)) return false;
    }
    for (int kind = kPld; kind < kKinds; ++kind) {
        if (!regs[kind].replay) continue;
        json request = op("Reg");
        request["kind"] = kKindNames[kind];
        request["regArg"] = regs[kind].regArg;
        if (!exchange(std::move(request), until)) return false;
    }
    return true;
}

// Ends the connection there is, if any: its reader stops, its socket is closed.
void RemoteEngine::retire() {
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
    }
    if (fd >= 0) ::shutdown(fd, SHUT_RDWR);
    if (reader.joinable()) reader.join();
    if (fd >= 0) ::close(fd);
}

void RemoteEngine::breakConnection(std::uint64_t generation) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (generation != m_generation || m_broken) return;
    m_broken = true;
    // The reader wakes, fails every request in flight and stops; the next call reconnects.
    ::shutdown(m_fd, SHUT_RDWR);
}

std::optional<json> RemoteEngine::exchange(json request, Deadline until, std::uint64_t* on) {
    std::unique_lock<std::mutex> lock(m_mutex);
    if (m_closed || m_broken) return std::nullopt;
    const std::uint32_t id = m_nextId++;
    const std::uint64_t generation = m_generation;
    if (on != nullptr) *on = generation;
    Pending& pending = m_pending[id];
    pending.generation = generation;
    // Process: the pieces of its answer come on this connection, and end with it.
    const auto req = request.find("req");
    if (req != request.end()) {
        const auto answer = m_answers.find(req->get<std::uint32_t>());
        if (answer != m_answers.end()) answer->second.generation = generation;
    }
    lock.unlock();

    request["id"] = id;
    std::vector<std::uint8_t> frame;
    const bool framed = zvwire::AppendFrame(request, frame);
    bool sent = false;
    lock.lock();
    if (!framed) {  // a text too long for any frame: this request fails, the connection stays
        m_pending.erase(id);
        return std::nullopt;
    }
    // Frames go out whole, one at a time. Waiting behind another caller's send, or sending to a
    // daemon that reads nothing, spends this call's own deadline.
    if (m_writable.wait_until(lock, until, [&] { return !m_writing; })) {
        const int fd = generation == m_generation && !m_broken ? m_fd : -1;
        m_writing = true;
        lock.unlock();
        std::size_t done = 0;
        while (fd >= 0 && done < frame.size() && sendTimeout(fd, until)) {
            const ssize_t n = ::send(fd, frame.data() + done, frame.size() - done, MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            done += static_cast<std::size_t>(n);
        }
        sent = fd >= 0 && done == frame.size();
        lock.lock();
        m_writing = false;
        m_writable.notify_all();
    }
    if (sent) {
        m_replied.wait_until(lock, until, [&] { return pending.done; });
    }
    std::optional<json> reply = std::move(pending.reply);
    m_pending.erase(id);
    lock.unlock();
    if (!reply) breakConnection(generation);
    return reply;
}

void RemoteEngine::readLoop(int fd, std::uint64_t generation) {
    zvwire::FrameDecoder decoder;
    std::vector<std::uint8_t> chunk(64 * 1024);
    bool good = true;
    while (good) {
        const ssize_t n = ::recv(fd, chunk.data(), chunk.size(), 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        decoder.Feed(chunk.data(), static_cast<std::size_t>(n));
        json message;
        zvwire::FrameDecoder::Result result;
        while (good && (result = decoder.Next(message)) == zvwire::FrameDecoder::Result::Message) {
            good = route(message);
        }
        if (result == zvwire::FrameDecoder::Result::Bad) good = false;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    for (auto& [id, pending] : m_pending) {
        if (pending.generation == generation) pending.done = true;
    }
    for (auto answer = m_answers.begin(); answer != m_answers.end();) {
        // Their pieces went with the connection.
        answer = answer->second.generation == generation ? m_answers.erase(answer) : ++answer;
    }
    if (generation == m_generation) {
        if (!m_broken) ::shutdown(fd, SHUT_RDWR);
        m_broken = true;
    }
    m_replied.notify_all();
    m_noteReady.notify_all();  // the delivering thread reconnects
}

// A reply goes to its caller; a notification or piece, read into a Note, to the delivering
// thread. False for a message that is not one of these.
bool RemoteEngine::route(const json& message) {
    try {
        if (message.contains("id")) {
            const auto id = get<std::uint32_t>(message, "id");
            std::lock_guard<std::mutex> lock(m_mutex);
            const auto pending = m_pending.find(id);
            if (pending != m_pending.end() && !pending->second.done) {
                pending->second.reply = message;
                pending->second.done = true;
                m_replied.notify_all();
            }
            return true;
        }
        const std::string ntf = message.at("ntf").get<std::string>();
        Note note;
        if (ntf == "pld") {
            note.kind = kPld;
            note.count = get<unsigned long>(message, "count");
        } else if (ntf == "event") {
            const json& info = message.at("info");
            note.kind = kEvent;
            note.event.sequence = get<std::uint32_t>(info, "sequence");
            note.event.eventId = get<std::uint32_t>(info, "eventId");
            note.event.deviceIdx = get<std::uint16_t>(info, "deviceIdx");
            note.event.eventState = get<std::uint16_t>(info, "eventState");
            note.event.groupId = get<std::uint32_t>(info, "groupId");
        } else if (ntf == "value") {
            const json& info = message.at("info");
            note.kind = kValue;
            note.value.sequence = get<std::uint32_t>(info, "sequence");
            note.value.valueId = get<std::uint32_t>(info, "valueId");
            note.value.mmIdx = get<std::uint32_t>(info, "mmIdx");
            note.value.deviceIdx = get<std::uint16_t>(info, "deviceIdx");
            note.value.dataType = get<std::uint32_t>(info, "dataType");
            for (const json& unit : message.at("data")) {
                if (!unit.is_number_integer()) return false;
                note.data.push_back(unit.get<std::uint16_t>());
            }
            // The receiver reads `length` units at pData: never more than arrived.
            note.value.length = static_cast<std::uint16_t>(
                std::min<std::size_t>({get<std::uint16_t>(info, "length"), note.data.size()}));
        } else if (ntf == "piece") {
            note.piece = true;
            note.req = get<std::uint32_t>(message, "req");
            note.info.status = get<std::int32_t>(message, "status");
            note.info.reqType = get<std::int32_t>(message, "reqType");
            note.info.reqParam = get<std::int32_t>(message, "reqParam");
            note.info.sequence = get<std::uint32_t>(message, "sequence");
            note.info.procOutBufSize = get<std::uint32_t>(message, "bufSize");
            note.info.procOutLen = get<std::uint32_t>(message, "len");
            // The buffer is the engine's whole buffer, and arrives in one frame.
            if (note.info.procOutBufSize > zvwire::kMaxFrame ||
                note.info.procOutLen > note.info.procOutBufSize) {
                return false;
            }
            const std::vector<std::uint8_t>& buf = bytes(message.at("buf"));
            note.buf.assign(note.info.procOutBufSize, '\0');
            std::copy_n(buf.begin(), std::min(buf.size(), note.buf.size()), note.buf.begin());
        } else {
            return false;
        }
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_noteBytes + note.Bytes() > kMaxQueuedBytes) return false;
        m_noteBytes += note.Bytes();
        m_notes.push_back(std::move(note));
        m_noteReady.notify_one();
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

bool RemoteEngine::reconnectWanted() const {
    return m_broken && !m_closed &&
           std::any_of(m_regs.begin(), m_regs.end(),
                       [](const Registration& r) { return r.replay; });
}

// Delivers the notes; between them, while the client holds registrations and has no connection,
// reconnects (a client that only listens makes no call that would), retrying ever less often.
void RemoteEngine::deliverLoop() {
    constexpr std::chrono::milliseconds kFirstRetry{100}, kLastRetry{2000};
    t_delivering = this;
    std::chrono::milliseconds backoff = kFirstRetry;
    Deadline retry{};
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        if (m_closed) return;
        if (m_notes.empty()) {
            const Deadline now = std::chrono::steady_clock::now();
            if (!reconnectWanted()) {
                m_noteReady.wait(lock);
            } else if (now < retry) {
                m_noteReady.wait_until(lock, retry);
            } else {
                lock.unlock();
                const bool connected = connect(now + m_deadline);
                lock.lock();
                retry = now + backoff;
                backoff = connected ? kFirstRetry : std::min(backoff * 2, kLastRetry);
            }
            continue;
        }
        Note note = std::move(m_notes.front());
        m_notes.pop_front();
        m_noteBytes -= note.Bytes();
        Answer answer;
        const Registration registration = m_regs[note.kind];
        if (note.piece) {
            const auto found = m_answers.find(note.req);
            if (found == m_answers.end()) continue;
            answer = found->second;
            if (note.info.procOutLen < note.info.procOutBufSize) m_answers.erase(found);
        } else if (registration.capture == nullptr) {
            continue;
        }
        m_calling = true;
        lock.unlock();
        if (note.piece) {
            note.info.pUserData = answer.userData;
            note.info.pProcOutBuf = note.buf.data();
            answer.respond(&note.info);
        } else if (note.kind == kPld) {
            reinterpret_cast<ZvPldCntChngFn>(registration.capture)(registration.context,
                                                                   note.count);
        } else if (note.kind == kEvent) {
            reinterpret_cast<ZvVelEventFn>(registration.capture)(registration.context, &note.event);
        } else {
            note.value.pData = note.data.data();
            reinterpret_cast<ZvValueChangeFn>(registration.capture)(registration.context,
                                                                    &note.value);
        }
        lock.lock();
        m_calling = false;
        m_idle.notify_all();
    }
}

// ---- Calls ----

std::optional<json> RemoteEngine::call(json request, std::uint64_t* generation) {
    const Deadline until = std::chrono::steady_clock::now() + m_deadline;
    if (!connect(until)) return std::nullopt;
    return exchange(std::move(request), until, generation);
}

template <class R, class Read>
R RemoteEngine::ask(json request, R failure, Read read) {
    std::uint64_t generation = 0;
    const std::optional<json> reply = call(std::move(request), &generation);
    if (!reply) return failure;
    try {
        return read(*reply);
    } catch (const std::exception&) {
        breakConnection(generation);  // as bad as a malformed frame
        return failure;
    }
}

Y4_Status RemoteEngine::askStatus(json request) {
    return ask(std::move(request), Y4_Status{kNoEngine},
               [](const json& reply) { return get<Y4_Status>(reply, "status"); });
}

// The text goes into the caller's buffer as the daemon sent it, within `room` bytes, with a NUL
// after it where it leaves room (as strncpy leaves the engine's buffer).
Y4_Status RemoteEngine::askText(json request, char* buf, std::size_t room) {
    return ask(std::move(request), Y4_Status{kNoEngine}, [&](const json& reply) {
        const auto status = get<Y4_Status>(reply, "status");
        const auto text = reply.find("text");
        if (text != reply.end() && !text->is_null()) {
            std::string value;
            if (text->is_string()) {
                value = text->get<std::string>();
            } else {
                const std::vector<std::uint8_t>& b = bytes(*text);
                value.assign(b.begin(), b.end());
            }
            if (buf != nullptr && room > 0) {
                const std::size_t n = std::min(value.size(), room);
                std::memcpy(buf, value.data(), n);
                if (n < room) buf[n] = '\0';
            }
        }
        return status;
    });
}

template <class T>
Y4_Status RemoteEngine::askValue(json request, T* value) {
    return ask(std::move(request), Y4_Status{kNoEngine}, [&](const json& reply) {
        const auto status = get<Y4_Status>(reply, "status");
        if (status == 0 && value != nullptr) *value = get<T>(reply, "value");
        return status;
    });
}

int RemoteEngine::Init() {
    json request = op("Init");
    request["texts"] = m_texts;
    const int value =
        ask(std::move(request), 0, [](const json& reply) { return get<int>(reply, "value"); });
    std::lock_guard<std::mutex> lock(m_mutex);
    m_inited = true;
    return value;
}

Y4_Status RemoteEngine::UnReg(int what) {
    json request = op("UnReg");
    request["what"] = what;
    const Y4_Status status = askStatus(std::move(request));
    if (what != 1) return status;
    // Withdrawn here whatever the daemon said: nothing is called out after UnReg(1).
    std::unique_lock<std::mutex> lock(m_mutex);
    m_regs = {};
    m_answers.clear();
    m_notes.clear();
    m_noteBytes = 0;
    if (t_delivering != this) m_idle.wait(lock, [&] { return !m_calling; });
    return status;
}

void RemoteEngine::Close() {
    std::thread delivery;  // taken by one Close alone: a thread is joined once
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_closed && !m_delivery.joinable()) return;
        m_closed = true;
        m_regs = {};
        m_answers.clear();
        m_notes.clear();
        m_noteBytes = 0;
        if (!m_broken && m_fd >= 0) ::shutdown(m_fd, SHUT_RDWR);  // wakes a call under way
        m_noteReady.notify_all();
        delivery = std::move(m_delivery);
    }
    {
        std::lock_guard<std::mutex> connecting(m_connectMutex);
        retire();
    }
    if (!delivery.joinable()) return;
    if (t_delivering == this) {
        delivery.detach();  // closed from within a capture: its loop ends when it returns
    } else {
        delivery.join();
    }
}

Y4_Status RemoteEngine::reg(Kind kind, void (*capture)(), void* context, std::uint16_t regArg) {
    if (capture == nullptr) return kRejected;
    Registration before;
    {
        // In place before the request goes out: the first notification may follow the reply
        // at once.
        std::lock_guard<std::mutex> lock(m_mutex);
        before = m_regs[kind];
        m_regs[kind] = Registration{capture, context, regArg};
    }
    json request = op("Reg");
    request["kind"] = kKindNames[kind];
    request["regArg"] = regArg;
    const Y4_Status status = askStatus(std::move(request));
    std::lock_guard<std::mutex> lock(m_mutex);
    // One the daemon did not answer stays: it is registered when the daemon comes back.
    if (status != 0 && status != kNoEngine) {
        m_regs[kind] = before;
    } else if (m_regs[kind].capture == capture) {
        m_regs[kind].replay = true;
    }
    m_noteReady.notify_all();
    return status;
}

Y4_Status RemoteEngine::RegPldCntChng(ZvPldCntChngFn capture, void* context, std::uint16_t regArg) {
    return reg(kPld, reinterpret_cast<void (*)()>(capture), context, regArg);
}

Y4_Status RemoteEngine::RegVelEvent(ZvVelEventFn capture, void* context, std::uint16_t regArg) {
    return reg(kEvent, reinterpret_cast<void (*)()>(capture), context, regArg);
}

Y4_Status RemoteEngine::RegValueChange(ZvValueChangeFn capture, void* context,
                                       std::uint16_t regArg) {
    return reg(kValue, reinterpret_cast<void (*)()>(capture), context, regArg);
}

namespace {

json pointText(const char* name, const ZvVelPntDfn* pnt, unsigned int size) {
    json request = op(name);
    request["pnt"] = point(pnt);
    request["size"] = size;
    return request;
}

json pointOnly(const char* name, const ZvVelPntDfn* pnt) {
    json request = op(name);
    request["pnt"] = point(pnt);
    return request;
}

json pointSet(const char* name, const ZvVelPntDfn* pnt, json value, std::uint16_t setParam) {
    json request = pointOnly(name, pnt);
    request["value"] = std::move(value);
    request["setParam"] = setParam;
    return request;
}

json device(const char* name, std::uint16_t deviceIdx, std::uint32_t gddId) {
    json request = op(name);
    request["deviceIdx"] = deviceIdx;
    request["gddId"] = gddId;
    return request;
}

}  // namespace

Y4_Status RemoteEngine::GetVelPntStrLabel(const ZvVelPntDfn* pnt, unsigned int size, char* buf) {
    if (pnt == nullptr) return kRejected;
    return askText(pointText("GetVelPntStrLabel", pnt, size), buf, size);
}

Y4_Status RemoteEngine::GetVelPntStrDscrptn(const ZvVelPntDfn* pnt, unsigned int size, char* buf) {
    if (pnt == nullptr) return kRejected;
    return askText(pointText("GetVelPntStrDscrptn", pnt, size), buf, size);
}

Y4_Status RemoteEngine::GetVelPntStrUoM(const ZvVelPntDfn* pnt, unsigned int size, char* buf) {
    if (pnt == nullptr) return kRejected;
    return askText(pointText("GetVelPntStrUoM", pnt, size), buf, size);
}

Y4_Status RemoteEngine::GetVelPntStr(const ZvVelPntDfn* pnt, unsigned int size, char* buf) {
    if (pnt == nullptr) return kRejected;
    return askText(pointText("GetVelPntStr", pnt, size), buf, size);
}

Y4_Status RemoteEngine::GetVelPntInt32(const ZvVelPntDfn* pnt, std::int32_t* value) {
    if (pnt == nullptr) return kRejected;
    return askValue(pointOnly("GetVelPntInt32", pnt), value);
}

Y4_Status RemoteEngine::GetVelPntUint32(const ZvVelPntDfn* pnt, std::uint32_t* value) {
    if (pnt == nullptr) return kRejected;
    return askValue(pointOnly("GetVelPntUint32", pnt), value);
}

Y4_Status RemoteEngine::SetVelPntStr(const ZvVelPntDfn* pnt, const char* value,
                                     std::uint16_t setParam) {
    if (pnt == nullptr || value == nullptr) return kRejected;
    return askStatus(pointSet("SetVelPntStr", pnt, value, setParam));
}

Y4_Status RemoteEngine::SetVelPntInt32(const ZvVelPntDfn* pnt, std::int32_t value,
                                       std::uint16_t setParam) {
    if (pnt == nullptr) return kRejected;
    return askStatus(pointSet("SetVelPntInt32", pnt, value, setParam));
}

Y4_Status RemoteEngine::SetVelPntUint32(const ZvVelPntDfn* pnt, std::uint32_t value,
                                        std::uint16_t setParam) {
    if (pnt == nullptr) return kRejected;
    return askStatus(pointSet("SetVelPntUint32", pnt, value, setParam));
}

Y4_Status RemoteEngine::GetVelPntAccessRights(const ZvVelPntDfn* pnt, std::uint32_t* value) {
    if (pnt == nullptr) return kRejected;
    return askValue(pointOnly("GetVelPntAccessRights", pnt), value);
}

Y4_Status RemoteEngine::GetVelPntDataType(const ZvVelPntDfn* pnt, std::uint32_t* value) {
    if (pnt == nullptr) return kRejected;
    return askValue(pointOnly("GetVelPntDataType", pnt), value);
}

Y4_Status RemoteEngine::GetVelPntDsplyNF(const ZvVelPntDfn* pnt, std::uint32_t* value) {
    if (pnt == nullptr) return kRejected;
    return askValue(pointOnly("GetVelPntDsplyNF", pnt), value);
}

Y4_Status RemoteEngine::GetVelPntUoMId(const ZvVelPntDfn* pnt, Y4paVelDsply* dsply) {
    if (pnt == nullptr) return kRejected;
    return askValue(pointOnly("GetVelPntUoMId", pnt), dsply != nullptr ? &dsply->uofmId : nullptr);
}

std::uint32_t RemoteEngine::GetMaxRprtMMCnt(std::uint16_t deviceIdx, std::uint32_t gddId) {
    return ask(device("GetMaxRprtMMCnt", deviceIdx, gddId), std::uint32_t{0},
               [](const json& reply) { return get<std::uint32_t>(reply, "value"); });
}

std::uint32_t RemoteEngine::GetMaxPntArrayDim(std::uint16_t deviceIdx, std::uint32_t gddId) {
    return ask(device("GetMaxPntArrayDim", deviceIdx, gddId), std::uint32_t{0},
               [](const json& reply) { return get<std::uint32_t>(reply, "value"); });
}

std::uint32_t RemoteEngine::GetMaxNmbrAncstrs(unsigned short deviceIdx) {
    json request = op("GetMaxNmbrAncstrs");
    request["deviceIdx"] = deviceIdx;
    return ask(std::move(request), std::uint32_t{0xFFFFFFFF},
               [](const json& reply) { return get<std::uint32_t>(reply, "value"); });
}

std::uint32_t RemoteEngine::GetPointsRprt(unsigned short deviceIdx, unsigned long gddId) {
    return ask(device("GetPointsRprt", deviceIdx, static_cast<std::uint32_t>(gddId)),
               std::uint32_t{0},
               [](const json& reply) { return get<std::uint32_t>(reply, "value"); });
}

Y4_Status RemoteEngine::GetRprtAncstr(ZvVelRprtDfn* rprt) {
    if (rprt == nullptr) return kRejected;
    json request = op("GetRprtAncstr");
    request["rprt"] = report(rprt);
    request["bufSize"] = rprt->bufSize;
    return ask(std::move(request), Y4_Status{kNoEngine}, [&](const json& reply) {
        const auto status = get<Y4_Status>(reply, "status");
        if (status != 0) return status;
        auto entry = [](const json& j) {
            return ZvPldEngAncestorEntry{get<std::uint32_t>(j, "gddId"),
                                         get<std::uint16_t>(j, "mmIdx"),
                                         get<std::uint32_t>(j, "auxValue")};
        };
        const ZvPldEngAncestorEntry own = entry(reply.at("report"));
        std::vector<ZvPldEngAncestorEntry> chain;
        for (const json& ancestor : reply.at("ancestors")) chain.push_back(entry(ancestor));
        const std::size_t need = sizeof(ZvPldEngAncestors) + chain.size() * sizeof chain[0];
        if (rprt->buf == nullptr || rprt->bufSize < need || chain.size() > 0xFFFF) {
            return Y4_Status{kBufferTooSmall};
        }
        auto* const out = static_cast<unsigned char*>(rprt->buf);
        ZvPldEngAncestors header{};
        header.gddId = own.gddId;
        header.mmIdx = own.mmIdx;
        header.auxValue = own.auxValue;
        header.nmbrAncstrs = static_cast<std::uint16_t>(chain.size());
        header.ancstrs = reinterpret_cast<ZvPldEngAncestorEntry*>(out + sizeof header);
        std::memcpy(out, &header, sizeof header);
        if (!chain.empty()) std::memcpy(out + sizeof header, chain.data(), need - sizeof header);
        return status;
    });
}

// The engine writes the label and a NUL: the caller's buffer holds size + 1 bytes.
Y4_Status RemoteEngine::GetVelRprtStrLabel(ZvVelRprtDfn* rprt, unsigned int size, char* buf) {
    if (rprt == nullptr) return kRejected;
    json request = op("GetVelRprtStrLabel");
    request["rprt"] = report(rprt);
    request["size"] = size;
    return askText(std::move(request), buf, std::size_t{size} + 1);
}

Y4_Status RemoteEngine::GetVelEnumStateInfo(std::uint16_t deviceIdx, std::uint32_t gddId,
                                            ZvEnumStateType* type, std::uint16_t* count,
                                            unsigned int maxCount, std::uint16_t* values) {
    json request = device("GetVelEnumStateInfo", deviceIdx, gddId);
    request["maxCount"] = maxCount;
    return ask(std::move(request), Y4_Status{kNoEngine}, [&](const json& reply) {
        const auto status = get<Y4_Status>(reply, "status");
        if (status != 0) return status;
        const json& states = reply.at("values");
        if (!states.is_array()) throw Malformed("values");
        // The count of all states, which may be more than the room for their values.
        const auto total = reply.contains("count") ? get<std::uint16_t>(reply, "count")
                                                   : static_cast<std::uint16_t>(states.size());
        for (std::size_t i = 0; i < states.size() && i < maxCount && values != nullptr; ++i) {
            values[i] = states[i].get<std::uint16_t>();
        }
        if (type != nullptr) type->type = get<std::uint32_t>(reply, "type");
        if (count != nullptr) *count = total;
        return status;
    });
}

Y4_Status RemoteEngine::GetVelEnumStateStr(const ZvVelPntEnum* state, unsigned int size,
                                           char* buf) {
    if (state == nullptr) return kRejected;
    json request = op("GetVelEnumStateStr");
    request["state"] = {{"deviceIdx", state->deviceIdx},
                        {"gddId", state->gddId},
                        {"stateValue", state->stateValue}};
    request["size"] = size;
    return askText(std::move(request), buf, size);
}

Y4_Status RemoteEngine::Process(ZvPldEngInfo* request) {
    if (request == nullptr || request->pfnCallback == nullptr || request->pUrl == nullptr ||
        request->pQuery == nullptr) {
        return kUnknownRequest;
    }
    std::uint32_t req = 0;
    {
        // In place before the request goes out: pieces come before the reply.
        std::lock_guard<std::mutex> lock(m_mutex);
        req = m_nextReq++;
        m_answers[req] = Answer{request->pfnCallback, request->pUserData};
    }
    json message = op("Process");
    message["req"] = req;
    message["url"] = request->pUrl;
    message["query"] = request->pQuery;
    message["reqType"] = request->reqType;
    message["reqParam"] = request->reqParam;
    const Y4_Status status = askStatus(std::move(message));
    if (status != 0) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_answers.erase(req);
    }
    return status;
}

Y4_Status RemoteEngine::GetVelServerInventory(ZvVelInventory* inventory) {
    if (inventory == nullptr) return kRejected;
    return ask(op("GetVelServerInventory"), Y4_Status{kNoEngine}, [&](const json& reply) {
        const auto status = get<Y4_Status>(reply, "status");
        if (status != 0) return status;
        const json& inv = reply.at("inventory");
        ZvVelInventory out{};
        out.serverVersion = fieldOf<std::uint32_t>(inv, "serverVersion");
        out.nmbrDevices = fieldOf<std::uint16_t>(inv, "nmbrDevices");
        out.maxDevices = fieldOf<std::uint16_t>(inv, "maxDevices");
        out.pldCount = fieldOf<std::uint32_t>(inv, "pldCount");
        out.upTimeSec = fieldOf<std::uint32_t>(inv, "upTimeSec");
        const std::vector<std::uint8_t>& name = bytes(inv.at("serverName"));
        if (name.size() > sizeof out.serverName) throw Malformed("serverName");
        std::copy(name.begin(), name.end(), out.serverName);
        *inventory = out;
        return status;
    });
}

ZvProductIdentSeq* RemoteEngine::GetProdSeqId(unsigned short deviceIdx) {
    json request = op("GetProdSeqId");
    request["deviceIdx"] = deviceIdx;
    return ask(std::move(request), static_cast<ZvProductIdentSeq*>(nullptr),
               [](const json& reply) -> ZvProductIdentSeq* {
                   const json& seq = reply.at("seq");
                   if (seq.is_null()) return nullptr;
                   ZvProductIdentSeq record{};
                   record.nmbrIds = fieldOf<std::uint8_t>(seq, "nmbrIds");
                   record.revision = fieldOf<std::uint8_t>(seq, "revision");
                   const json& ids = seq.at("ids");
                   if (!ids.is_array() || ids.size() > std::size(record.ids)) {
                       throw Malformed("ids");
                   }
                   for (std::size_t i = 0; i < ids.size(); ++i) {
                       record.ids[i] = fieldOf<std::uint16_t>(ids[i]);
                   }
                   auto* out = static_cast<ZvProductIdentSeq*>(std::malloc(sizeof record));
                   if (out != nullptr) *out = record;
                   return out;
               });
}

Y4_Status RemoteEngine::GetVelFDMVersion(int deviceIdx, int size, char* buf) {
    json request = op("GetVelFDMVersion");
    request["deviceIdx"] = deviceIdx;
    request["size"] = size;
    return askText(std::move(request), buf, size > 0 ? static_cast<std::size_t>(size) : 0);
}

}  // namespace zvremote
