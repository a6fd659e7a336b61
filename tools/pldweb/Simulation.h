// The console's Simulation panel on the server side: the commands a page may give the simulated
// engine's control interface, checked here before they reach it. A page offers the controls of a
// test bench (devices offline, failing points, latency, stalls, notifications dropped or repeated,
// plant behaviours, events, reset) and reads and clears its call journal; it is never let restart
// the engine daemon, which every other client of the daemon shares, nor wait on the journal.
#pragma once

#include <cstddef>
#include <memory>
#include <mutex>
#include <string>

#include "EventHub.h"
#include "Http.h"
#include "sim/Controller.h"

namespace pldweb {

// A command is one small JSON object; a larger body is refused unread.
constexpr std::size_t kMaxSimulationBody = 4096;

class Simulation {
  public:
    // On the console's engine text: the daemon's control for unix:PATH, the engine of this
    // process otherwise. Nothing is opened until the first request. With a hub, the engine's
    // event feed (every change, whoever made it, and every scenario step) goes to the open pages
    // as `sim` messages from the first request on, and again after each reconnection.
    explicit Simulation(std::string engineText, EventHub* hub = nullptr)
        : m_engineText(std::move(engineText)), m_hub(hub) {}

    // The verbs a page may send.
    static bool Offered(const std::string& verb);

    // GET /api/sim/status: what is in force, or why there is no control.
    Response Status();
    // POST /api/sim: one command {"do": VERB, ...}. Refused unsent: a body that is not a JSON
    // object with a text "do" (400), a verb not offered (403, logged); the engine judges the rest.
    Response Command(const std::string& body);
    // On stopping a console with its engine in this process: the answers a stall holds go out,
    // so that no worker waits for them. The daemon's stalls are its other clients' business.
    void ReleaseOwnEngine();

  private:
    // The engine's answer to `command` as a response: 200, 422 for a command it refused, 502
    // when it cannot be reached, 503 when it has no control.
    Response send(const std::string& command);
    void follow();

    const std::string m_engineText;
    EventHub* const m_hub;
    // One command at a time on the one connection; the server gives these requests a worker
    // of their own, so a command waiting for an unreachable daemon holds up no other request.
    std::mutex m_mutex;
    std::unique_ptr<zvsim::Controller> m_controller;
};

}  // namespace pldweb
