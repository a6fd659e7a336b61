#include "RemoteControl.h"

#include <optional>
#include <utility>

#include "Names.h"

namespace zvremote {

namespace {

using json = nlohmann::json;
namespace key = zvwire::key;

std::string refusal(const std::string& error) {
    return json{{"ok", false}, {"error", error}}.dump();
}

}  // namespace

RemoteControl::RemoteControl(std::string path, std::chrono::milliseconds deadline)
    : m_connection(std::move(path), deadline, *this) {
    m_connection.Introduce({{key::kOp, zvwire::op::kControl}, {key::kAsk, true}});
}

std::string RemoteControl::Send(const std::string& text) {
    json command;
    try {
        command = json::parse(text);
    } catch (const json::exception& e) {
        return refusal(std::string("the command is not JSON: ") + e.what());
    }
    if (!command.is_object()) return refusal("a command is a JSON object");
    // One command at a time, whichever thread sends it: the connection's failure is its own.
    std::lock_guard<std::mutex> lock(m_mutex);
    std::uint64_t generation = 0;
    const std::optional<json> reply = m_connection.Call(
        {{key::kOp, zvwire::op::kControl}, {key::kCommand, command}}, &generation);
    if (!reply) return refusal("engine not reachable: " + m_connection.Failure());
    const auto answer = reply->find(key::kAnswer);
    if (answer == reply->end() || !answer->is_object()) {
        m_connection.Break(generation);
        return refusal("engine not reachable: the daemon answered status " +
                       reply->value(key::kStatus, json()).dump() + " without an answer");
    }
    // The daemon goes away once it has answered: the next command connects anew.
    if (command.value("do", json()) == "restart" && answer->value("ok", false)) {
        m_connection.Break(generation);
    }
    return answer->dump();
}

}  // namespace zvremote
