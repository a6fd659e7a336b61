// The message client's connection to the engine daemon: one Unix-domain stream socket at a time,
// opened by the first call that needs one and again after it breaks; one thread at a time reading
// it, which gives each reply to its caller and every other message to a listener; a deadline on
// every call; and, once the engine has let a call miss its deadline, calls that fail at once until
// a probe is answered.
//
// The reading is done by a caller waiting for its reply while one is, so that a reply reaches its
// caller without passing through another thread; by the connection's reader thread otherwise,
// once no call has been made for kReaderRest, so that notifications still come in between calls.
#ifndef ZV_REMOTE_CONNECTION_H
#define ZV_REMOTE_CONNECTION_H

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "Wire.h"

namespace zvremote {

using Clock = std::chrono::steady_clock;
using Deadline = Clock::time_point;

// After a call, the reader thread leaves the socket to callers for this long: a loop of calls
// reads its own replies. A notification that comes meanwhile with no call under way waits this
// long at most.
constexpr std::chrono::milliseconds kReaderRest{2};

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

    // `logFailures`: the first failure to connect (and the first after each connection made), an
    // engine that stops answering and that answers again are logged; a client whose every answer
    // carries Failure() needs no line. A daemon refused as an impostor is logged whatever it says.
    RemoteConnection(std::string path, std::chrono::milliseconds deadline, Listener& listener,
                     bool logFailures = true);
    ~RemoteConnection();
    RemoteConnection(const RemoteConnection&) = delete;
    RemoteConnection& operator=(const RemoteConnection&) = delete;

    const std::string& Path() const { return m_path; }

    // A request its caller wrote in MessagePack: `entries` fields of its map, all but `id`,
    // which the connection adds. It carries no `req`: the listener does not hear of it.
    struct Packed {
        std::uint32_t entries = 0;
        std::vector<std::uint8_t> fields;
    };

    // A request and its reply within one deadline, connecting first if need be: the reply, or
    // nothing when the daemon failed it. While the engine is unresponsive, nothing at once
    // unless this call is the probe. `generation` tells the connection that carried it.
    std::optional<json> Call(json request, std::uint64_t* generation = nullptr);
    // The same for a packed request: false when it failed, else the reply's map as the frame
    // decoder read it, in `reply`.
    bool Call(const Packed& request, zvwire::PackedMessage& reply,
              std::uint64_t* generation = nullptr);
    // The request that opens every new connection from now on (Init).
    void Introduce(json request);
    // Connects, if there is no connection, within one deadline, whether the engine is
    // unresponsive or not.
    bool Reconnect();
    bool Broken() const;
    // Why the last call or connection failed, in a few words ("no answer within 2000 ms").
    std::string Failure() const;
    // Drops the connection of `generation`, if it is still the one there is: the reader fails
    // every request in flight on it, and the next call reconnects.
    void Break(std::uint64_t generation);
    // For good: a call under way is woken and fails, and no call connects again.
    void Close();

  private:
    // One of the two forms of a request.
    struct Request {
        json* message = nullptr;
        const Packed* packed = nullptr;
    };
    bool call(const Request& request, zvwire::PackedMessage& reply, std::uint64_t* generation);
    bool connect(Deadline until);
    bool exchange(const Request& request, Deadline until, std::uint64_t* generation,
                  zvwire::PackedMessage& reply);
    void retire();  // m_connectMutex held
    // The failures' reasons, and the engine's answering or not (ConnectionFailures.cpp).
    void failed(std::string why);
    void unreachable(int error);  // connect() failed with `error`
    std::string late() const;     // "no answer within N ms"

    // What one connection's reading has in hand: only the thread that holds m_reading uses it.
    struct Reading {
        Reading(int socket, std::uint64_t of) : fd(socket), generation(of) {}
        const int fd;
        const std::uint64_t generation;
        zvwire::FrameDecoder decoder;
        std::vector<std::uint8_t> chunk = std::vector<std::uint8_t>(64 * 1024);
        bool ended = false;  // under m_mutex: the end was seen, nothing more is read
    };
    enum class Received { Some, TimedOut, End };
    // One receive by the thread that holds m_reading, until `until` if given: every whole
    // message goes to its caller or the listener.
    Received receive(Reading& reading, const Deadline* until);
    // Gives up m_reading (m_mutex held); at the end of the connection, fails every request in
    // flight on it, and gives whether the listener is to hear of the end.
    bool release(Reading& reading, Received received);
    void readLoop(std::shared_ptr<Reading> reading);
    bool route(const zvwire::PackIndex& fields, const std::uint8_t* data, std::size_t size);
    void answered();
    void missed(Deadline sent);

    struct Pending {
        std::uint64_t generation = 0;
        bool done = false;
        bool replied = false;  // else failed
        zvwire::PackedMessage reply;
    };

    const std::string m_path;
    const std::chrono::milliseconds m_deadline;
    Listener& m_listener;
    const bool m_logFailures;

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
    std::string m_failure;
    bool m_unreachableTold = false;  // since the last connection made
    std::thread m_reader;
    std::shared_ptr<Reading> m_read;  // the connection's, while there is one
    bool m_reading = false;           // a thread reads the socket
    std::condition_variable m_readerWake;
    int m_callers = 0;      // calls between their request and their reply
    Deadline m_lastCall{};  // when a call last ended
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
