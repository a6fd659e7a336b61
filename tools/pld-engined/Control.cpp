#include "Control.h"

#include <optional>
#include <string>

#include "Fields.h"
#include "Log.h"
#include "Names.h"
#include "Peer.h"
#include "sim/Feed.h"

namespace pldengined {

using nlohmann::json;
using zvwire::Malformed;
namespace key = zvwire::key;

namespace {

constexpr std::size_t kMaxName = 64;
constexpr std::size_t kMaxStepText = 256;  // a step's scenario name and note, as the feed tells

// The command's text for the engine; a text in it that is not UTF-8 makes it malformed.
std::string commandText(const json& command) {
    try {
        return command.dump();
    } catch (const json::type_error&) {
        throw Malformed("command holds a text that is not UTF-8");
    }
}

// The origin of the connection's changes in the event feed, with the name its ask gives.
json originOf(const Connection& c, const json& request) {
    json origin = {{"client", c.Id()}};
    if (const std::optional<ucred> peer = zvwire::PeerOf(c.Fd())) origin["pid"] = peer->pid;
    if (const auto name = request.find(key::kName); name != request.end()) {
        if (!name->is_string() || name->get<std::string>().empty() ||
            name->get<std::string>().size() > kMaxName) {
            throw Malformed("name not a text of 1 to 64 bytes");
        }
        for (const char ch : name->get<std::string>()) {
            if (static_cast<unsigned char>(ch) < 0x20 || ch == 0x7f) {
                throw Malformed("name holds a control character");
            }
        }
        origin["name"] = *name;
    }
    return origin;
}

// A scenario step's place, as the client that plays it tells it.
zvsim::StepPlayed stepOf(const json& step) {
    if (!step.is_object()) throw Malformed("step not a map");
    zvsim::StepPlayed s;
    const std::optional<std::string> scenario = zvwire::Text(step, "scenario");
    const std::optional<std::string> note = zvwire::Text(step, "note");
    s.scenario = scenario.value_or("").substr(0, kMaxStepText);
    s.note = note.value_or("").substr(0, kMaxStepText);
    s.pass = zvwire::Number<std::uint32_t>(step, "pass");
    s.step = zvwire::Number<std::uint32_t>(step, "step");
    s.atMs = zvwire::Number<std::uint32_t>(step, "at_ms");
    return s;
}

// `subscribe: true` starts the feed's frames to a control connection, `false` ends them.
void subscribeTo(Call& call, const json& subscribe, Answer& answer) {
    if (!subscribe.is_boolean()) throw Malformed("subscribe not true or false");
    answer.reply[key::kAnswer] = nullptr;
    Connection& c = *call.connection;
    if (!c.control) {
        answer.reply[key::kStatus] = zvsim::kUnknownRequest;
    } else if (subscribe == false) {
        c.kinds &= ~static_cast<unsigned>(FanOut::kFeed);
    } else if (!call.fanOut.Feeding()) {
        answer.reply[key::kStatus] = zvsim::kRejected;  // the feed had no thread
    } else {
        if ((c.kinds.fetch_or(FanOut::kFeed) & FanOut::kFeed) == 0) {
            Log("connection %u: events subscribed to", c.Id());
        }
    }
}

}  // namespace

void AnswerControl(Call& call, const json& request, Answer& answer) {
    const auto ask = request.find(key::kAsk);
    const auto command = request.find(key::kCommand);
    const auto subscribe = request.find(key::kSubscribe);
    if ((ask != request.end()) + (command != request.end()) + (subscribe != request.end()) != 1)
        throw Malformed("Control takes one of ask, command and subscribe");
    if (request.contains(key::kName) && ask == request.end())
        throw Malformed("name comes only with ask");
    if (request.contains(key::kStep) && command == request.end())
        throw Malformed("step comes only with command");
    const unsigned id = call.connection->Id();
    answer.control = true;
    answer.reply[key::kStatus] = zvsim::kOk;
    if (ask != request.end()) {
        if (*ask != true) throw Malformed("ask not true");
        const json origin = originOf(*call.connection, request);
        if (!call.connection->control) Log("connection %u: control asked for", id);
        call.connection->control = true;
        call.connection->origin = origin;
        answer.reply[key::kAnswer] = nullptr;  // an ask has no command's answer
        answer.reply[key::kProtocol] = zvwire::kProtocolVersion;
        return;
    }
    if (subscribe != request.end()) {
        subscribeTo(call, *subscribe, answer);
        return;
    }
    if (!command->is_object()) throw Malformed("command not a map");
    const std::string text = commandText(*command);
    std::optional<zvsim::StepPlayed> step;
    if (const auto s = request.find(key::kStep); s != request.end()) step = stepOf(*s);
    const json verb = command->value("do", json());
    const std::string name = verb.is_string() ? verb.get<std::string>() : verb.dump();
    json result;
    if (!call.connection->control) {
        answer.reply[key::kStatus] = zvsim::kUnknownRequest;
        result = {{"ok", false}, {"error", "control not asked for on this connection"}};
    } else if (verb == "restart") {
        if (command->size() == 1) {
            result = {{"ok", true}, {"done", "the daemon restarts on the same socket"}};
            answer.restart = true;
        } else {
            result = {{"ok", false}, {"error", "restart takes no parameters"}};
        }
    } else if (verb == "wait") {
        // Held by the loop, unless it is refused or met already: answered and logged then.
        std::string refused;
        answer.wait = call.engine.StartWait(text, refused, answer.waitTimeout);
        if (answer.wait && !call.engine.WaitMet(answer.wait)) return;
        result = json::parse(answer.wait ? call.engine.EndWait(answer.wait) : refused);
        answer.wait = nullptr;
    } else {
        // The feed's events of this command and its step name this connection.
        const zvsim::FeedOrigin origin(call.connection->origin);
        const std::string said = call.engine.Control(text);
        result = json::parse(said, nullptr, false);
        if (!result.is_object()) result = {{"ok", false}, {"error", "the engine did not answer"}};
        if (step) {
            step->answer = said;
            call.engine.TellStep(*step);
        }
    }
    const bool ok = result.value("ok", false);
    // A full reset's values are the catalogue's, which a restart must not undo.
    answer.saveValues = ok && verb == "reset" && command->value("catalogue", false) == true;
    const json said = result.value(ok ? "done" : "error", json());
    // Every command applied is logged; one that changed nothing, which a client may send as fast
    // as it likes, within the budget.
    const bool reads = verb == "status" || verb == "journal" || verb == "wait";
    if ((ok && !reads) || call.unchangedLines.Take(Clock::now())) {
        Log("connection %u: control %s%s: %s", id, Loggable(name).c_str(), ok ? "" : " refused",
            Loggable(said.is_string() ? said.get<std::string>() : said.dump()).c_str());
    }
    // The engine sees only the stalled calls made since its last release; the replies still held
    // are the loop's.
    if (result.contains("held")) result["held"] = call.held.Stalled();
    answer.reply[key::kAnswer] = std::move(result);
}

}  // namespace pldengined
