// The HTTP server adapter on libmicrohttpd. One polling thread reads every connection without
// blocking; a connection costs at most its memory pool (the head and any buffered answer) and a
// request body of kMaxBody. A request runs on a small pool of workers only once it has come in
// whole, its connection suspended meanwhile, so a slow client holds no worker; an event stream
// holds none either: its connection sleeps until the hub has something for it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <microhttpd.h>

#include "Console.h"
#include "EventHub.h"

namespace pldweb {

struct ServerLimits {
    unsigned maxConnections = 256;
    unsigned maxConnectionsPerClient = 128;
    // From a connection's start, or the end of its previous answer, to its request's last byte.
    unsigned requestSeconds = 10;
    // The most a connection's head (request line and headers) and buffered answer may take.
    std::size_t connectionMemory = 32 * 1024;
    unsigned workers = 4;
    // Requests that wait for a worker; more are answered 503 at once.
    std::size_t maxWaitingRequests = 64;
    // The Simulation panel's requests have one worker of their own: a stall that holds every
    // other worker can still be released, and a command waiting for an unreachable daemon
    // holds up no other request.
    std::size_t maxWaitingSimulation = 8;
};

class MhdServer {
  public:
    MhdServer(Console& console, EventHub& hub, ServerLimits limits);
    ~MhdServer();
    MhdServer(const MhdServer&) = delete;
    MhdServer& operator=(const MhdServer&) = delete;

    struct ListenSocket {
        int fd;
        int port;
        bool ipv6;
    };
    // Binds and listens on `address` (port 0: any free one): the socket, or none with `error`.
    static std::optional<ListenSocket> Listen(const std::string& address, int port,
                                              std::string& error);
    // Serves on `socket`, which it then owns, until Stop: the polling thread, the workers and
    // the watchdog start.
    bool Start(ListenSocket socket, std::string& error);
    // Stops accepting, ends the streams, lets the workers finish and closes every connection.
    void Stop();

  private:
    enum class Phase { Receiving, Answering, Streaming };
    struct Tracked {
        int fd;
        std::string client;
        Phase phase = Phase::Receiving;
        std::chrono::steady_clock::time_point since;
        bool overCap = false;  // answered 503 when its request comes
        bool closing = false;
    };
    struct Exchange;

    static MHD_Result onRequest(void* cls, MHD_Connection* connection, const char* url,
                                const char* method, const char* version, const char* uploadData,
                                std::size_t* uploadSize, void** context);
    static void onCompleted(void* cls, MHD_Connection* connection, void** context,
                            MHD_RequestTerminationCode reason);
    static void onConnection(void* cls, MHD_Connection* connection, void** socketContext,
                             MHD_ConnectionNotificationCode event);
    MHD_Result request(MHD_Connection* connection, const char* url, const char* method,
                       const char* uploadData, std::size_t* uploadSize, void** context);
    MHD_Result answer(MHD_Connection* connection, Exchange& exchange, Response response);
    void started(MHD_Connection* connection);
    bool post(bool simulation, std::function<void()> job);
    void work(bool simulation);
    void watch();
    void setPhase(MHD_Connection* connection, Phase phase);
    // Under m_mutex: shuts the oldest connection still receiving down (of `client`, if given).
    bool evictOldest(const std::string* client, MHD_Connection* spare);
    // Under m_mutex: shuts the connection down; the library then closes it.
    void markClosing(Tracked& t);

    Console& m_console;
    EventHub& m_hub;
    const ServerLimits m_limits;
    int m_listenFd = -1;
    MHD_Daemon* m_daemon = nullptr;

    std::mutex m_mutex;  // the connections
    std::map<MHD_Connection*, Tracked> m_connections;
    std::map<std::string, unsigned> m_perClient;  // of those not closing
    std::size_t m_closing = 0;                    // shut down, not yet closed by the library

    std::mutex m_jobsMutex;
    std::condition_variable m_jobsReady;
    std::condition_variable m_stopped;  // the watchdog's
    std::deque<std::function<void()>> m_jobs;
    std::deque<std::function<void()>> m_simulationJobs;
    bool m_stopping = false;
    std::vector<std::thread> m_workers;
    std::thread m_watchdog;
};

}  // namespace pldweb
