// The message client's connection to the engine daemon: one Unix-domain stream socket at a time,
// opened by the first call that needs one and again after it breaks; a reader thread that gives
// each reply to its caller and every other message to a listener; a deadline on every call; and,
// once the engine has let a call miss its deadline, calls that fail at once until a probe is
// answered.
#ifndef ZV_REMOTE_CONNECTION_H
#define ZV_REMOTE_CONNECTION_H

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

namespace zvremote {

using Clock = std::chrono::steady_clock;
using Deadline = Clock::time_point;

class RemoteConnection {
  public:
    using json = nlohmann::json;

    // Called on the connection's threads, or the caller's, with none of its locks held.
    class Listener {
      public:
        // The requests that follow the introduction on every new connection.
        virtual std::vector<json> Greeting() = 0;
        // `request` goes out on the connection of `generation`.
        virtual void Sending(const json& request, std::uint64_t generation) = 0;
        // A message with no id; false for one that is malformed, which ends the connection.
        virtual bool Receive(const json& message) = 0;
        // Nothing more comes on the connection of `generation`.
        virtual void Ended(std::uint64_t generation) = 0;

      protected:
        ~Listener() = default;
    };

    RemoteConnection(std::string path, std::chrono::milliseconds deadline, Listener& listener);
    ~RemoteConnection();
    RemoteConnection(const RemoteConnection&) = delete;
    RemoteConnection& operator=(const RemoteConnection&) = delete;

    const std::string& Path() const { return m_path; }

    // A request and its reply within one deadline, connecting first if need be: the reply, or
    // nothing when the daemon failed it. While the engine is unresponsive, nothing at once
    // unless this call is the probe. `generation` tells the connection that carried it.
    std::optional<json> Call(json request, std::uint64_t* generation = nullptr);
    // The request that opens every new connection from now on (Init).
    void Introduce(json request);
    // Connects, if there is no connection, within one deadline, whether the engine is
    // unresponsive or not.
    bool Reconnect();
    bool Broken() const;
    // Drops the connection of `generation`, if it is still the one there is: the reader fails
    // every request in flight on it, and the next call reconnects.
    void Break(std::uint64_t generation);
    // For good: a call under way is woken and fails, and no call connects again.
    void Close();

  private:
    bool connect(Deadline until);
    std::optional<json> exchange(json request, Deadline until, std::uint64_t* generation);
    void retire();  // m_connectMutex held
    void readLoop(int fd, std::uint64_t generation);
    bool route(const json& message);
    void answered();
    void missed(Deadline sent);

    struct Pending {
        std::uint64_t generation = 0;
        bool done = false;
        std::optional<json> reply;  // none: failed
    };

    const std::string m_path;
    const std::chrono::milliseconds m_deadline;
    Listener& m_listener;

    std::mutex m_connectMutex;  // one caller (re)connects at a time

    // Lock order: m_connectMutex, then m_mutex; the listener's lock may be held when m_mutex is
    // taken, never the other way round.
    mutable std::mutex m_mutex;  // everything below
    std::condition_variable m_replied;
    std::condition_variable m_writable;
    bool m_writing = false;  // a frame is going out on m_fd, which stays open meanwhile
    int m_fd = -1;
    std::uint64_t m_generation = 0;  // one more with each connection
    bool m_broken = true;            // no connection that works: the next call connects
    bool m_closed = false;
    std::optional<json> m_introduction;
    std::thread m_reader;
    std::uint32_t m_nextId = 1;
    std::map<std::uint32_t, Pending> m_pending;

    // The engine let a request miss its deadline and has answered none sent since: calls fail
    // at once, but for one probe at a time, at most one a deadline.
    bool m_unresponsive = false;
    bool m_probing = false;
    Deadline m_nextProbe{};
    Deadline m_lastAnswer{};  // when a reply last came
};

}  // namespace zvremote

#endif
