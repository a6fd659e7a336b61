// The Simulation panel's commands: decoded, checked against the verbs offered, and passed to
// the engine's control interface.
#include "Simulation.h"

#include <algorithm>
#include <iterator>

#include "Log.h"

namespace pldweb {
namespace {

using json = nlohmann::json;

// Not `restart`: it re-executes the daemon that every other client shares. Not `wait`: it would
// hold the panel's one worker and its engine connection up to its timeout, every other command
// queued behind it; a page learns what happens from its event stream. Not `set`, `burst`,
// `pld_count` or `report_parent` either: the panel does not offer them, and what it does not
// offer a page has no need to send.
const char* const kOffered[] = {"offline", "online", "fail",    "delay",        "stall",
                                "release", "plant",  "clear",   "event",        "reset",
                                "status",  "notify", "journal", "journal_clear"};

bool isUnix(const std::string& engineText) {
    return engineText.rfind("unix:", 0) == 0;
}

}  // namespace

bool Simulation::Offered(const std::string& verb) {
    return std::find(std::begin(kOffered), std::end(kOffered), verb) != std::end(kOffered);
}

Response Simulation::Status() {
    return send(R"({"do":"status"})");
}

Response Simulation::Command(const std::string& body) {
    if (body.size() > kMaxSimulationBody) {
        return ErrorResponse(
            413, "a simulation command is over " + std::to_string(kMaxSimulationBody) + " bytes");
    }
    const json in = json::parse(body, nullptr, false);
    if (in.is_discarded() || !in.is_object() || !in.contains("do") || !in["do"].is_string()) {
        return ErrorResponse(400,
                             "the body must be a JSON object such as {\"do\": \"offline\", "
                             "\"device\": 1}");
    }
    const std::string verb = in["do"].get<std::string>();
    if (!Offered(verb)) {
        const std::string shown = DumpJson(verb);
        LogLimited("verb", "refused POST /api/sim: " + shown.substr(0, 40) + " is not offered");
        return ErrorResponse(403,
                             "refused: the console does not offer " + shown.substr(0, 40) +
                                 (verb == "restart" ? " (restart the daemon with pldctl)" : ""));
    }
    // Sent as decoded, so the engine reads exactly the object checked here.
    Response r = send(DumpJson(in));
    // The journal view may ask every two seconds: only a refused journal makes a line.
    if (verb != "status" && !(verb == "journal" && r.status == 200)) {
        const json out = json::parse(r.body, nullptr, false);
        const char* field = r.status == 200 ? "done" : "error";
        LogLine("simulation " + verb + ": " +
                (out.is_object() && out.contains(field) ? DumpJson(out[field]) : "?"));
    }
    return r;
}

void Simulation::ReleaseOwnEngine() {
    if (!isUnix(m_engineText)) send(R"({"do":"release"})");
}

// The feed's events to the pages; a controller that cannot follow it still controls.
void Simulation::follow() {
    EventHub* const hub = m_hub;
    // An end is seen by the next command, which reconnects and subscribes again; the page
    // polls meanwhile.
    const std::string error = m_controller->Subscribe(
        [hub](const std::string& event) {
            const json e = json::parse(event, nullptr, false);
            if (e.is_object()) hub->Publish("sim", e);
        },
        nullptr);
    if (!error.empty()) LogLimited("feed", "the engine's changes are not followed: " + error);
}

Response Simulation::send(const std::string& command) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_controller) {
        std::string error;
        m_controller = zvsim::Controller::Open(m_engineText, error, "pldweb");
        if (!m_controller) return ErrorResponse(503, "no simulation control: " + error);
        if (m_hub != nullptr) follow();
    }
    const json answer = json::parse(m_controller->Send(command), nullptr, false);
    if (answer.is_discarded() || !answer.is_object() || !answer.contains("ok")) {
        return ErrorResponse(502, "the engine's control gave no answer it should have");
    }
    if (answer["ok"] == true) return JsonResponse(200, answer);
    const json error = answer.value("error", json("refused"));
    const std::string text = error.is_string() ? error.get<std::string>() : DumpJson(error);
    if (text.rfind("engine not reachable", 0) == 0) {
        // The next command opens a new connection: the daemon may be back by then.
        m_controller.reset();
        return ErrorResponse(502, text);
    }
    return JsonResponse(422, json{{"ok", false}, {"error", text}});
}

}  // namespace pldweb
