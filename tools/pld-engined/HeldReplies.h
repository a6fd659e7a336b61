// Replies that the engine holds back: by a delay, until a time of the engine's clock, or by a
// stall, until it is released; a release or a reset lets both go. Each goes out to its
// connection once both are over; a connection that closes lets its own go. Only the event loop
// calls, but for Released.
#ifndef PLD_ENGINED_HELD_REPLIES_H
#define PLD_ENGINED_HELD_REPLIES_H

#include <atomic>
#include <chrono>
#include <memory>
#include <utility>
#include <vector>

#include "Connection.h"
#include "sim/SimEngine.h"

namespace pldengined {

class HeldReplies {
  public:
    using Reply = std::pair<std::shared_ptr<Connection>, Frame>;

    explicit HeldReplies(zvsim::SimEngine& engine) : m_engine(engine) {}

    // Holds `frame` for `connection` as `hold` says, counting it in the connection's `held`.
    void Hold(const std::shared_ptr<Connection>& connection, Frame frame,
              const zvsim::SimEngine::Hold& hold);
    // Any thread: the engine released stalled replies, or its clock changed.
    void Released() { m_released = true; }
    // The replies free to go now, in the order they were held.
    std::vector<Reply> Due();
    // How long the loop may wait for its sockets before a reply is due, `longest` at most.
    std::chrono::milliseconds Wait(std::chrono::milliseconds longest) const;
    // Lets the replies of `connection` go.
    void Forget(const Connection& connection);
    void Clear();
    // How many replies a stall holds now.
    std::size_t Stalled() const;
    // How many replies are held now, by a stall or a delay.
    std::size_t Count() const { return m_held.size(); }

  private:
    struct Held {
        std::shared_ptr<Connection> connection;
        Frame frame;
        zvsim::VirtualClock::Time due;  // on the engine's clock
        bool stalled;
        std::uint64_t epoch;
        std::uint64_t releases;    // the engine's releases when it was held
        std::uint64_t journalSeq;  // the call's journal entry: its time is filled in as it goes
    };

    zvsim::SimEngine& m_engine;
    std::vector<Held> m_held;
    // The earliest time a reply that no stall holds is due; none when there is none.
    zvsim::VirtualClock::Time m_nextDue = zvsim::VirtualClock::Time::max();
    std::atomic<bool> m_released{false};
};

}  // namespace pldengined

#endif
