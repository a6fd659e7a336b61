#include "Control.h"

#include <string>

#include "Fields.h"
#include "Log.h"
#include "Names.h"

namespace pldengined {

using nlohmann::json;
using zvwire::Malformed;
namespace key = zvwire::key;

namespace {

// The command's text for the engine; a text in it that is not UTF-8 makes it malformed.
std::string commandText(const json& command) {
    try {
        return command.dump();
    } catch (const json::type_error&) {
        throw Malformed("command holds a text that is not UTF-8");
    }
}

}  // namespace

void AnswerControl(Call& call, const json& request, Answer& answer) {
    const auto ask = request.find(key::kAsk);
    const auto command = request.find(key::kCommand);
    if ((ask == request.end()) == (command == request.end()))
        throw Malformed("Control takes one of ask and command");
    const unsigned id = call.connection->Id();
    answer.control = true;
    answer.reply[key::kStatus] = zvsim::kOk;
    if (ask != request.end()) {
        if (*ask != true) throw Malformed("ask not true");
        if (!call.connection->control) Log("connection %u: control asked for", id);
        call.connection->control = true;
        answer.reply[key::kAnswer] = nullptr;  // an ask has no command's answer
        return;
    }
    if (!command->is_object()) throw Malformed("command not a map");
    const std::string text = commandText(*command);
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
    } else {
        result = json::parse(call.engine.Control(text), nullptr, false);
        if (!result.is_object()) result = {{"ok", false}, {"error", "the engine did not answer"}};
    }
    const bool ok = result.value("ok", false);
    // A full reset's values are the catalogue's, which a restart must not undo.
    answer.saveValues = ok && verb == "reset" && command->value("catalogue", false) == true;
    const json said = result.value(ok ? "done" : "error", json());
    // Every command applied is logged; one that changed nothing, which a client may send as fast
    // as it likes, within the budget.
    if ((ok && verb != "status") || call.unchangedLines.Take(Clock::now())) {
        Log("connection %u: control %s%s: %s", id, Loggable(name).c_str(), ok ? "" : " refused",
            Loggable(said.is_string() ? said.get<std::string>() : said.dump()).c_str());
    }
    // The engine sees only the stalled calls made since its last release; the replies still held
    // are the loop's.
    if (result.contains("held")) result["held"] = call.held.Stalled();
    answer.reply[key::kAnswer] = std::move(result);
}

}  // namespace pldengined
