// Control replies held for `wait` commands: each goes out once the engine's journal has seen the
// calls it waits for, or at its timeout. The loop goes on serving meanwhile; a connection that
// closes ends its waits. A held wait counts in its connection's `held`: it is not idle, and its
// end of input closes it. Only the event loop calls.
#ifndef PLD_ENGINED_HELD_WAITS_H
#define PLD_ENGINED_HELD_WAITS_H

#include <chrono>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "Connection.h"
#include "Throttle.h"
#include "sim/SimEngine.h"

namespace pldengined {

class HeldWaits {
  public:
    using Reply = std::pair<std::shared_ptr<Connection>, Frame>;
    static constexpr std::size_t kPerConnection = 4;
    static constexpr std::size_t kInAll = 64;

    explicit HeldWaits(zvsim::SimEngine& engine) : m_engine(engine) {}

    // Holds the reply to request `id` until `wait` is met or `timeout` passes. When `connection`
    // or all hold as many as they may, the wait ends at once and the refusal is sent.
    void Hold(const std::shared_ptr<Connection>& connection, const nlohmann::json& id,
              const std::shared_ptr<zvsim::Journal::Wait>& wait, std::chrono::milliseconds timeout,
              Clock::time_point now);
    // The replies of the waits met or timed out at `now`.
    std::vector<Reply> Due(Clock::time_point now);
    // How long the loop may wait for its sockets before a wait times out, `longest` at most.
    std::chrono::milliseconds Wait(Clock::time_point now, std::chrono::milliseconds longest) const;
    // Ends the waits of `connection`.
    void Forget(const Connection& connection);
    void Clear();

  private:
    struct Held {
        std::shared_ptr<Connection> connection;
        nlohmann::json id;
        std::shared_ptr<zvsim::Journal::Wait> wait;
        Clock::time_point deadline;
    };

    zvsim::SimEngine& m_engine;
    std::vector<Held> m_held;
    LineBudget m_lines{20};  // of the waits' answers
};

}  // namespace pldengined

#endif
