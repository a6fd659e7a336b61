// The HTTP server adapter on libmicrohttpd: limits on connections, time and memory; requests
// handed to workers once whole; event streams woken by the hub.
#include "MhdServer.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstring>
#include <exception>

#include "Log.h"

namespace pldweb {

// One request on its connection: gathered by the polling thread, answered by a worker.
struct MhdServer::Exchange {
    Request request;
    std::optional<Response> refusal;  // found on the head: answered once the body is skipped
    bool submitted = false;
    std::atomic<bool> ready{false};
    Response response;
};

namespace {

// An event stream's state, owned by its response.
struct Stream {
    std::shared_ptr<Subscriber> subscriber;
    MHD_Connection* connection;
    EventHub* hub;
};

ssize_t readStream(void* cls, uint64_t, char* buf, std::size_t max) {
    auto* stream = static_cast<Stream*>(cls);
    // Nothing queued: the connection sleeps until the hub wakes it, rather than being asked
    // again at once.
    const long n = EventHub::Take(*stream->subscriber, buf, max,
                                  [stream] { MHD_suspend_connection(stream->connection); });
    return n < 0 ? MHD_CONTENT_READER_END_OF_STREAM : static_cast<ssize_t>(n);
}

void freeStream(void* cls) {
    auto* stream = static_cast<Stream*>(cls);
    stream->hub->Unsubscribe(stream->subscriber);
    delete stream;
}

MHD_Result collect(void* cls, MHD_ValueKind, const char* key, const char* value) {
    auto* into = static_cast<std::pair<std::map<std::string, std::string>*, bool>*>(cls);
    std::string name = key;
    if (into->second) {
        std::transform(name.begin(), name.end(), name.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    }
    std::string& slot = (*into->first)[name];
    // A repeated header becomes one list, as HTTP reads it; a doubled Host then matches none.
    slot += slot.empty() ? std::string(value ? value : "") : "," + std::string(value ? value : "");
    return MHD_YES;
}

std::string clientOf(MHD_Connection* connection) {
    const MHD_ConnectionInfo* info =
        MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
    char text[INET6_ADDRSTRLEN] = "?";
    if (info != nullptr && info->client_addr != nullptr) {
        const sockaddr* a = info->client_addr;
        if (a->sa_family == AF_INET) {
            inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(a)->sin_addr, text,
                      sizeof text);
        } else if (a->sa_family == AF_INET6) {
            inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(a)->sin6_addr, text,
                      sizeof text);
        }
    }
    return text;
}

}  // namespace

MhdServer::MhdServer(Console& console, EventHub& hub, ServerLimits limits)
    : m_console(console), m_hub(hub), m_limits(limits) {}

MhdServer::~MhdServer() {
    Stop();
}

std::optional<MhdServer::ListenSocket> MhdServer::Listen(const std::string& address, int port,
                                                         std::string& error) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE;
    addrinfo* found = nullptr;
    const std::string service = std::to_string(port);
    if (getaddrinfo(address.c_str(), service.c_str(), &hints, &found) != 0 || found == nullptr) {
        error = "no such address: " + address;
        return std::nullopt;
    }
    const int fd = socket(found->ai_family, found->ai_socktype | SOCK_CLOEXEC, 0);
    const int on = 1;
    if (fd >= 0) setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    const bool ok =
        fd >= 0 && bind(fd, found->ai_addr, found->ai_addrlen) == 0 && listen(fd, SOMAXCONN) == 0;
    const bool ipv6 = found->ai_family == AF_INET6;
    freeaddrinfo(found);
    sockaddr_storage bound{};
    socklen_t length = sizeof bound;
    if (!ok || getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &length) != 0) {
        error = std::string(std::strerror(errno));
        if (fd >= 0) close(fd);
        return std::nullopt;
    }
    return ListenSocket{fd,
                        ntohs(ipv6 ? reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port
                                   : reinterpret_cast<sockaddr_in*>(&bound)->sin_port),
                        ipv6};
}

bool MhdServer::Start(ListenSocket socket, std::string& error) {
    m_listenFd = socket.fd;
    unsigned flags = MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_EPOLL | MHD_ALLOW_SUSPEND_RESUME;
    if (socket.ipv6) flags |= MHD_USE_IPv6;
    // The library's own limits stand well above the console's, which close the oldest idle
    // connections or answer 503: the library would only stop accepting, or close unanswered,
    // and it counts the connections already told to close until it has closed them.
    m_daemon = MHD_start_daemon(
        flags, 0, nullptr, nullptr, &MhdServer::onRequest, this, MHD_OPTION_LISTEN_SOCKET,
        m_listenFd, MHD_OPTION_CONNECTION_LIMIT, 2 * m_limits.maxConnections,
        MHD_OPTION_PER_IP_CONNECTION_LIMIT, 2 * m_limits.maxConnectionsPerClient,
        MHD_OPTION_CONNECTION_MEMORY_LIMIT, m_limits.connectionMemory,
        MHD_OPTION_CONNECTION_TIMEOUT, m_limits.requestSeconds + 20, MHD_OPTION_NOTIFY_COMPLETED,
        &MhdServer::onCompleted, this, MHD_OPTION_NOTIFY_CONNECTION, &MhdServer::onConnection, this,
        MHD_OPTION_END);
    if (m_daemon == nullptr) {
        error = "the HTTP server did not start";
        return false;
    }
    for (unsigned i = 0; i < m_limits.workers; ++i) {
        m_workers.emplace_back([this] { work(false); });
    }
    m_workers.emplace_back([this] { work(true); });
    m_watchdog = std::thread([this] { watch(); });
    return true;
}

void MhdServer::Stop() {
    if (m_daemon == nullptr) {
        if (m_listenFd >= 0) close(m_listenFd);
        m_listenFd = -1;
        return;
    }
    MHD_quiesce_daemon(m_daemon);
    m_hub.Stop();  // wakes every stream, which then ends
    {
        std::lock_guard<std::mutex> lock(m_jobsMutex);
        m_stopping = true;
    }
    m_jobsReady.notify_all();
    m_stopped.notify_all();
    for (std::thread& t : m_workers) t.join();  // each resumes the connection it answered
    m_workers.clear();
    m_watchdog.join();
    MHD_stop_daemon(m_daemon);
    m_daemon = nullptr;
    FlushLimited(true);
    close(m_listenFd);
    m_listenFd = -1;
}

MHD_Result MhdServer::onRequest(void* cls, MHD_Connection* connection, const char* url,
                                const char* method, const char*, const char* uploadData,
                                std::size_t* uploadSize, void** context) {
    return static_cast<MhdServer*>(cls)->request(connection, url, method, uploadData, uploadSize,
                                                 context);
}

MHD_Result MhdServer::request(MHD_Connection* connection, const char* url, const char* method,
                              const char* uploadData, std::size_t* uploadSize, void** context) {
    auto* exchange = static_cast<Exchange*>(*context);
    if (exchange == nullptr) {
        // The head is in: refuse what need not be read further.
        exchange = new Exchange;
        *context = exchange;
        Request& req = exchange->request;
        req.method = method;
        req.path = url;
        std::pair<std::map<std::string, std::string>*, bool> headers{&req.headers, true};
        MHD_get_connection_values(connection, MHD_HEADER_KIND, collect, &headers);
        std::pair<std::map<std::string, std::string>*, bool> query{&req.query, false};
        MHD_get_connection_values(connection, MHD_GET_ARGUMENT_KIND, collect, &query);
        bool overCap = false;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            const auto it = m_connections.find(connection);
            overCap = it != m_connections.end() && it->second.overCap;
        }
        if (overCap) {
            LogLimited("over-cap", "refused " + req.method + " " + req.path.substr(0, 200) +
                                       ": too many connections");
            exchange->refusal = ErrorResponse(503, "too many connections: try again later");
        } else {
            exchange->refusal = m_console.Screen(req);
        }
        if (exchange->refusal) {
            const auto& security = SecurityHeaders();
            exchange->refusal->headers.insert(exchange->refusal->headers.end(), security.begin(),
                                              security.end());
            return answer(connection, *exchange, std::move(*exchange->refusal));
        }
        return MHD_YES;
    }
    if (*uploadSize != 0) {
        // The stated length was screened; the library holds the body to it.
        if (exchange->request.body.size() + *uploadSize <= kMaxBody) {
            exchange->request.body.append(uploadData, *uploadSize);
        }
        *uploadSize = 0;
        return MHD_YES;
    }
    if (exchange->ready.load(std::memory_order_acquire)) {
        return answer(connection, *exchange, std::move(exchange->response));
    }
    if (exchange->submitted) return MHD_YES;  // resumed early: the worker has not finished
    exchange->submitted = true;
    setPhase(connection, Phase::Answering);
    MHD_suspend_connection(connection);
    const bool simulation = exchange->request.path.rfind("/api/sim", 0) == 0;
    const bool queued = post(simulation, [this, exchange, connection] {
        try {
            exchange->response = m_console.Handle(exchange->request);
        } catch (const std::exception& e) {
            exchange->response = ErrorResponse(500, std::string("internal error: ") + e.what());
        }
        exchange->ready.store(true, std::memory_order_release);
        MHD_resume_connection(connection);
    });
    if (!queued) {
        LogLimited("busy", "refused " + exchange->request.method + " " +
                               exchange->request.path.substr(0, 200) + ": every worker is busy");
        exchange->response = ErrorResponse(503, "the console is busy or stopping: try again later");
        exchange->ready.store(true, std::memory_order_release);
        MHD_resume_connection(connection);
    }
    return MHD_YES;
}

MHD_Result MhdServer::answer(MHD_Connection* connection, Exchange& exchange, Response response) {
    MHD_Response* r = nullptr;
    if (response.stream) {
        auto* stream = new Stream{response.stream, connection, &m_hub};
        {
            std::lock_guard<std::mutex> lock(response.stream->mutex);
            response.stream->wake = [connection] {
                MHD_resume_connection(connection);
            };
        }
        r = MHD_create_response_from_callback(MHD_SIZE_UNKNOWN, 4096, readStream, stream,
                                              freeStream);
        if (r == nullptr) {
            freeStream(stream);
        } else {
            setPhase(connection, Phase::Streaming);
        }
    } else {
        r = MHD_create_response_from_buffer(response.body.size(), response.body.data(),
                                            MHD_RESPMEM_MUST_COPY);
    }
    if (r == nullptr) return MHD_NO;  // no memory: the library closes the connection
    MHD_add_response_header(r, MHD_HTTP_HEADER_CONTENT_TYPE, response.contentType.c_str());
    for (const auto& [name, value] : response.headers) {
        MHD_add_response_header(r, name.c_str(), value.c_str());
    }
    // Refused on its head, a request's body is never read: the connection cannot go on.
    if (exchange.refusal || response.status == 503) {
        MHD_add_response_header(r, MHD_HTTP_HEADER_CONNECTION, "close");
    }
    const MHD_Result queued =
        MHD_queue_response(connection, static_cast<unsigned>(response.status), r);
    MHD_destroy_response(r);
    return queued;
}

void MhdServer::onCompleted(void* cls, MHD_Connection* connection, void** context,
                            MHD_RequestTerminationCode) {
    delete static_cast<Exchange*>(*context);
    *context = nullptr;
    // The connection may carry another request: its time starts now.
    static_cast<MhdServer*>(cls)->setPhase(connection, Phase::Receiving);
}

void MhdServer::onConnection(void* cls, MHD_Connection* connection, void**,
                             MHD_ConnectionNotificationCode event) {
    auto* self = static_cast<MhdServer*>(cls);
    if (event == MHD_CONNECTION_NOTIFY_STARTED) {
        self->started(connection);
        return;
    }
    std::lock_guard<std::mutex> lock(self->m_mutex);
    const auto it = self->m_connections.find(connection);
    if (it == self->m_connections.end()) return;
    if (it->second.closing) {
        --self->m_closing;
    } else if (--self->m_perClient[it->second.client] == 0) {
        self->m_perClient.erase(it->second.client);
    }
    self->m_connections.erase(it);
}

void MhdServer::started(MHD_Connection* connection) {
    const MHD_ConnectionInfo* info =
        MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
    const int fd = info != nullptr ? info->connect_fd : -1;
    // An answer goes out at once, not held back for the client's acknowledgement of the last
    // one: a second request on a kept-alive connection is as quick as the first.
    const int on = 1;
    if (fd >= 0) setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);

    const std::string client = clientOf(connection);
    std::lock_guard<std::mutex> lock(m_mutex);
    Tracked& tracked = m_connections[connection];
    tracked.fd = fd;
    tracked.client = client;
    tracked.since = std::chrono::steady_clock::now();
    ++m_perClient[client];
    // Over a cap, the oldest connection that has not sent its whole request makes room: an idle
    // or slow one gives way to a new one. With none to close, this one is answered 503.
    bool room = true;
    if (m_connections.size() - m_closing > m_limits.maxConnections) {
        room = evictOldest(nullptr, connection);
    }
    if (room && m_perClient[client] > m_limits.maxConnectionsPerClient) {
        room = evictOldest(&client, connection);
    }
    tracked.overCap = !room;
}

bool MhdServer::evictOldest(const std::string* client, MHD_Connection* spare) {
    Tracked* oldest = nullptr;
    for (auto& [connection, t] : m_connections) {
        if (connection == spare || t.closing || t.phase != Phase::Receiving || t.fd < 0) continue;
        if (client != nullptr && t.client != *client) continue;
        if (oldest == nullptr || t.since < oldest->since) oldest = &t;
    }
    if (oldest == nullptr) return false;
    // The library sees the connection end and closes it; its descriptor stays open until the
    // closing notification has removed it from here.
    markClosing(*oldest);
    LogLimited(client != nullptr ? "evicted-of-client" : "evicted",
               "closed a connection from " + oldest->client + " with no whole request: " +
                   (client != nullptr ? "too many connections from it" : "too many connections"));
    return true;
}

void MhdServer::markClosing(Tracked& t) {
    shutdown(t.fd, SHUT_RDWR);
    t.closing = true;
    ++m_closing;
    if (--m_perClient[t.client] == 0) m_perClient.erase(t.client);
}

void MhdServer::setPhase(MHD_Connection* connection, Phase phase) {
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto it = m_connections.find(connection);
    if (it == m_connections.end()) return;
    it->second.phase = phase;
    it->second.since = std::chrono::steady_clock::now();
}

bool MhdServer::post(bool simulation, std::function<void()> job) {
    {
        std::lock_guard<std::mutex> lock(m_jobsMutex);
        auto& jobs = simulation ? m_simulationJobs : m_jobs;
        const std::size_t max =
            simulation ? m_limits.maxWaitingSimulation : m_limits.maxWaitingRequests;
        if (m_stopping || jobs.size() >= max) return false;
        jobs.push_back(std::move(job));
    }
    // Every worker waits on the one condition: only a worker of the job's kind may take it.
    m_jobsReady.notify_all();
    return true;
}

void MhdServer::work(bool simulation) {
    auto& jobs = simulation ? m_simulationJobs : m_jobs;
    std::unique_lock<std::mutex> lock(m_jobsMutex);
    while (true) {
        m_jobsReady.wait(lock, [this, &jobs] { return m_stopping || !jobs.empty(); });
        if (jobs.empty()) return;  // stopping, and every job done
        std::function<void()> job = std::move(jobs.front());
        jobs.pop_front();
        lock.unlock();
        job();
        lock.lock();
    }
}

// Closes the connections whose request did not come whole in time, and pings the streams.
void MhdServer::watch() {
    constexpr auto kTick = std::chrono::milliseconds(250);
    constexpr int kTicksPerPing = 40;
    int ticks = 0;
    std::unique_lock<std::mutex> jobsLock(m_jobsMutex);
    while (!m_stopped.wait_for(jobsLock, kTick, [this] { return m_stopping; })) {
        jobsLock.unlock();
        if (++ticks % kTicksPerPing == 0) m_hub.Ping();
        FlushLimited();
        const auto deadline =
            std::chrono::steady_clock::now() - std::chrono::seconds(m_limits.requestSeconds);
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            for (auto& [connection, t] : m_connections) {
                if (t.closing || t.phase != Phase::Receiving || t.since > deadline || t.fd < 0) {
                    continue;
                }
                markClosing(t);
                LogLimited("timeout", "closed a connection from " + t.client +
                                          ": no whole request within " +
                                          std::to_string(m_limits.requestSeconds) + " s");
            }
        }
        jobsLock.lock();
    }
}

}  // namespace pldweb
