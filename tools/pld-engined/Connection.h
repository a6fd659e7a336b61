// One client's connection: its socket, the frames read from it and the frames queued for it.
// Only the event loop reads, sends and closes; any thread may queue a frame (the engine's
// delivering thread queues notifications and answer pieces) or drop the connection.
#ifndef PLD_ENGINED_CONNECTION_H
#define PLD_ENGINED_CONNECTION_H

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "Wire.h"

namespace pldengined {

using Clock = std::chrono::steady_clock;
using Frame = std::shared_ptr<const std::vector<std::uint8_t>>;

// Null for a message too long for a frame.
Frame FrameOf(const nlohmann::json& message);

class Connection : public std::enable_shared_from_this<Connection> {
  public:
    // Called, from the thread that queued, when the connection first has something for the loop
    // to do: frames to send, or a drop.
    using Wake = std::function<void(const std::shared_ptr<Connection>&)>;

    Connection(int fd, unsigned id, Wake wake, zvwire::Limits limits, Clock::time_point now);
    ~Connection();  // closes the socket
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    int Fd() const { return m_fd; }
    unsigned Id() const { return m_id; }

    // Any thread; never blocks. A connection whose queue would pass its bound is dropped.
    void Send(Frame frame);
    // Any thread: the loop closes the connection, logging `why`, with nothing more sent.
    void Drop(const std::string& why);
    // A notification or piece that cannot be framed would leave the client waiting for it.
    void SendNote(const Frame& frame);
    // The loop is done with it: what is queued later is let go without waking anyone.
    void Retire();

    // The rest is the event loop's.
    enum class Flushed { All, Waiting, Failed };
    // Sends what is queued without blocking: All once the queue is empty, Waiting while the
    // socket is full, Failed once the peer is gone.
    Flushed Flush(Clock::time_point now);
    std::size_t Queued() const;
    // Since when the queue has held frames that the socket would not take; none when empty.
    std::optional<Clock::time_point> StalledSince() const;
    // The reason of a drop asked for, if any.
    std::optional<std::string> DropReason() const;

    std::atomic<unsigned> kinds{0};      // the kinds of notification it registered
    std::atomic<unsigned> unregs{0};     // its UnRegs so far: answers begun before one stop
    std::atomic<unsigned> answering{0};  // answers to its Process whose last piece is to come

    zvwire::FrameDecoder decoder;
    Clock::time_point lastRequest;                  // or the connection's start
    std::optional<Clock::time_point> partialSince;  // a frame begun and not yet whole
    bool awaitingCommit = false;  // a write of its is in the batch: its next frames wait
    bool ended = false;           // the client sent its last byte
    bool closed = false;          // the loop is done with it
    bool control = false;         // it asked for control: it may send control commands
    std::uint32_t events = 0;     // what the loop asked epoll for
    std::size_t held = 0;         // replies held back by the engine's delay or stall
    std::size_t heldBytes = 0;    // their bytes
    bool backlog = false;         // whole frames wait for the next pass: read no more meanwhile
    // Its place among the connections by their last activity, while `listed`.
    std::list<std::shared_ptr<Connection>>::iterator activity;
    bool listed = false;
    std::int32_t pid = 0;  // the peer's, as the socket gave it when accepted; 0: unknown

    // The event feed: who the feed says made this connection's changes, set when it asks for
    // control ({"client": its number, "pid", and the name it gave}).
    nlohmann::json origin;

  private:
    const int m_fd;
    const unsigned m_id;
    const Wake m_wake;

    mutable std::mutex m_mutex;
    std::deque<Frame> m_queue;
    std::size_t m_queued = 0;  // bytes in the queue
    std::size_t m_sentOfFront = 0;
    Clock::time_point m_progress;  // the last send, or when the queue filled from empty
    bool m_scheduled = false;      // the loop has been woken for it
    std::optional<std::string> m_drop;
};

}  // namespace pldengined

#endif
