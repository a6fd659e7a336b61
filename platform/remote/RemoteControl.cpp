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

RemoteControl::RemoteControl(std::string path, std::chrono::milliseconds deadline, std::string name)
    : m_connection(std::move(path), deadline, *this, false) {
    json ask = {{key::kOp, zvwire::op::kControl}, {key::kAsk, true}};
    if (!name.empty()) ask[key::kName] = std::move(name);
    m_connection.Introduce(std::move(ask));
}

std::vector<json> RemoteControl::Greeting() {
    if (!m_subscribed) return {};
    return {{{key::kOp, zvwire::op::kControl}, {key::kSubscribe, true}}};
}

bool RemoteControl::Receive(const json& message) {
    const auto event = message.find(key::kFeed);
    if (event == message.end()) return true;
    if (!event->is_object()) return false;
    std::lock_guard<std::mutex> lock(m_eventsMutex);
    if (m_events) m_events(event->dump());
    return true;
}

void RemoteControl::Ended(std::uint64_t) {
    std::lock_guard<std::mutex> lock(m_eventsMutex);
    if (m_ended) m_ended();
}

std::string RemoteControl::Subscribe(Events event, std::function<void()> ended) {
    {
        std::lock_guard<std::mutex> lock(m_eventsMutex);
        m_events = std::move(event);
        m_ended = std::move(ended);
    }
    m_subscribed = true;
    std::lock_guard<std::mutex> lock(m_mutex);
    std::uint64_t generation = 0;
    const std::optional<json> reply =
        m_connection.Call({{key::kOp, zvwire::op::kControl}, {key::kSubscribe, true}}, &generation);
    if (!reply) return "engine not reachable: " + m_connection.Failure();
    if (reply->value(key::kStatus, json()) != 0) {
        return "the daemon refused the subscription: status " +
               reply->value(key::kStatus, json()).dump();
    }
    return "";
}

std::string RemoteControl::Send(const std::string& text, const json* step) {
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
    json request = {{key::kOp, zvwire::op::kControl}, {key::kCommand, command}};
    if (step != nullptr) request[key::kStep] = *step;
    const std::optional<json> reply = m_connection.Call(std::move(request), &generation);
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
