// The simulated engine's run-time control in the engine daemon, over a connection of its own
// made as the engine calls' are (the same connection code: deadline, peer check, reconnection):
// each new connection first asks for control, then each command is one Control request.
#ifndef ZV_REMOTE_CONTROL_H
#define ZV_REMOTE_CONTROL_H

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "RemoteConnection.h"

namespace zvremote {

class RemoteControl : private RemoteConnection::Listener {
  public:
    RemoteControl(std::string path, std::chrono::milliseconds deadline);

    // One command as JSON text; the engine's answer as JSON text, or {"ok": false, "error":
    // "engine not reachable: ..."} when the daemon gave none. A command is never sent twice:
    // one whose connection fails after it went out fails alone. Any thread; one at a time.
    std::string Send(const std::string& command);

  private:
    // The connection registers nothing: a message without an id is no one's, and is let go.
    std::vector<nlohmann::json> Greeting() override { return {}; }
    void Sending(const nlohmann::json&, std::uint64_t) override {}
    bool Receive(const nlohmann::json&) override { return true; }
    void Ended(std::uint64_t) override {}

    std::mutex m_mutex;
    RemoteConnection m_connection;
};

}  // namespace zvremote

#endif
