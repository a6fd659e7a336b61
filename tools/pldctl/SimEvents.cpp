// `pldctl sim events`: the daemon's event feed, one line per event as it comes: each control
// change taken, whoever made it, and each scenario step played; JSON lines with --json.
#include <signal.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>

#include "Control.h"
#include "Output.h"
#include "sim/Controller.h"

namespace pldctl {
namespace {

using nlohmann::json;

std::atomic<bool> g_stop{false};

extern "C" void stopFollowing(int) {
    g_stop.store(true);
}

// Who made a change: "connection 4 (pid 812, pldctl)", "scenario", "in-process".
std::string originOf(const json& origin) {
    const json client = origin.value("client", json());
    if (!client.is_number()) return client.is_string() ? client.get<std::string>() : "?";
    std::string who = "connection " + client.dump() + " (pid " + origin.value("pid", json()).dump();
    if (origin.contains("name")) who += ", " + origin.value("name", "");
    return who + ")";
}

// The answer's text: what was done, or why not.
std::string said(const json& answer) {
    if (answer.value("ok", false) == true) return answer.value("done", "done");
    return "refused: " + answer.value("error", "no error given");
}

std::string lineOf(const json& e) {
    std::string line =
        "#" + e.value("seq", json()).dump() + " " + originOf(e.value("origin", json()));
    if (e.contains("lost")) line += " [" + e["lost"].dump() + " events lost before]";
    if (e.value("event", "") == "step") {
        char at[32];
        std::snprintf(at, sizeof at, "%.3f", e.value("at_ms", 0LL) / 1000.0);
        line += ": " + e.value("scenario", "") + " pass " + e.value("pass", json()).dump() +
                " step " + e.value("step", json()).dump() + " at " + at + "s";
        if (!e.value("note", "").empty()) line += " (" + e.value("note", "") + ")";
        return line + ": " + said(e.value("answer", json::object()));
    }
    return line + ": " + CommandLine(e.value("command", json::object())) + ": " +
           e.value("done", "done");
}

}  // namespace

SimEvents::SimEvents(const SimCommands& sim) {
    m_events = sim.app()->add_subcommand(
        "events",
        "follow the daemon's event feed: each change taken, by whom, and each scenario "
        "step played, until Ctrl-C");
    m_events->add_option("--count", m_count, "stop after this many events (default: never)");
    m_events->add_flag("--json", m_json, "each event as the daemon sends it, one JSON per line");
}

int SimEvents::run(const std::string& engine) const {
    if (engine.rfind("unix:", 0) != 0) {
        std::fprintf(stderr,
                     "pldctl: sim events: only the engine daemon (--engine unix:PATH) "
                     "has changes to follow\n");
        return 2;
    }
    OnStopSignals(stopFollowing);
    return WithEngineController(engine, [&](zvsim::Controller& controller) {
        // The connection's thread may call in until the controller goes, after this returns.
        struct Seen {
            std::mutex mutex;
            std::condition_variable done;
            unsigned long count = 0;
            bool ended = false;
        };
        const auto seen = std::make_shared<Seen>();
        const std::string error = controller.Subscribe(
            [seen, count = m_count, asJson = m_json](const std::string& text) {
                std::lock_guard<std::mutex> lock(seen->mutex);
                if (count != 0 && seen->count >= count) return;
                const json event = json::parse(text, nullptr, false);
                std::printf("%s\n",
                            asJson || !event.is_object() ? text.c_str() : lineOf(event).c_str());
                std::fflush(stdout);
                if (++seen->count == count) seen->done.notify_all();
            },
            [seen] {
                std::lock_guard<std::mutex> lock(seen->mutex);
                seen->ended = true;
                seen->done.notify_all();
            });
        if (!error.empty()) {
            std::fprintf(stderr, "pldctl: sim events: %s\n", error.c_str());
            return Unreachable(error) ? kUnreachable : 1;
        }
        std::unique_lock<std::mutex> lock(seen->mutex);
        if (!m_json) {
            std::printf("Following the engine's events\n");  // subscribed: a script may go on
            std::fflush(stdout);
        }
        while (!g_stop && !seen->ended && (m_count == 0 || seen->count < m_count)) {
            seen->done.wait_for(lock, std::chrono::milliseconds(100));
        }
        if (seen->ended && (m_count == 0 || seen->count < m_count)) {
            std::fprintf(stderr, "pldctl: sim events: the daemon closed the connection\n");
            return 1;
        }
        return 0;
    });
}

}  // namespace pldctl
