// The simulated engine's run-time control in the engine daemon, over a connection of its own
// made as the engine calls' are (the same connection code: deadline, peer check, reconnection):
// each new connection first asks for control, then each command is one Control request; a
// subscription to the daemon's event feed is asked for again on each new connection.
#ifndef ZV_REMOTE_CONTROL_H
#define ZV_REMOTE_CONTROL_H

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "RemoteConnection.h"

namespace zvremote {

class RemoteControl : private RemoteConnection::Listener {
  public:
    // `name`, if any, is how the daemon's event feed calls this client.
    RemoteControl(std::string path, std::chrono::milliseconds deadline, std::string name = "");

    // One command as JSON text; the engine's answer as JSON text, or {"ok": false, "error":
    // "engine not reachable: ..."} when the daemon gave none. A command is never sent twice:
    // one whose connection fails after it went out fails alone. Any thread; one at a time.
    // `step`, if not null, is the scenario step the command plays ({"scenario", "pass", "step",
    // "at_ms", "note"}), which the daemon tells its event feed once the engine has answered.
    std::string Send(const std::string& command, const nlohmann::json* step = nullptr);

    // The daemon's event feed, from now on and again on each new connection: `event` is called
    // with each event's JSON text, one at a time, in order, on the connection's reading thread;
    // `ended`, if any, when a connection ends. "" once the daemon took the subscription, else
    // why not.
    using Events = std::function<void(const std::string& event)>;
    std::string Subscribe(Events event, std::function<void()> ended = nullptr);

  private:
    std::vector<nlohmann::json> Greeting() override;
    void Sending(const nlohmann::json&, std::uint64_t) override {}
    // A message without an id is an event of the feed, or no one's, and is let go.
    bool Receive(const nlohmann::json& message) override;
    void Ended(std::uint64_t) override;

    std::mutex m_mutex;
    std::atomic<bool> m_subscribed{false};  // read by Greeting, under the connection's lock
    std::mutex m_eventsMutex;
    Events m_events;  // before the connection, whose threads call them
    std::function<void()> m_ended;
    RemoteConnection m_connection;  // logs no failure to connect: each answer tells it
};
}  // namespace zvremote

#endif
