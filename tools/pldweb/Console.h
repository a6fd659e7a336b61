// The console's request handler: a request's method, path, headers and body in, the status,
// headers and body of its answer out, with no socket in between. It applies the access policy
// and the head's limits, routes the API to the engine access and opens event streams.
#pragma once

#include <cstddef>
#include <optional>

#include "AccessPolicy.h"
#include "EngineAccess.h"
#include "EventHub.h"
#include "Http.h"
#include "Simulation.h"

namespace pldweb {

// A request body is a write's small JSON object; a larger one is refused unread.
constexpr std::size_t kMaxBody = 64 * 1024;
// A waiting active-events request holds a worker that long.
constexpr unsigned short kMaxActiveEventsWaitMs = 10000;

class Console {
  public:
    // No simulation: the panel's requests are answered 404.
    Console(const AccessPolicy& policy, EngineAccess& engine, EventHub& hub,
            std::size_t maxHeaderLines, Simulation* simulation = nullptr)
        : m_policy(policy),
          m_engine(engine),
          m_hub(hub),
          m_maxHeaderLines(maxHeaderLines),
          m_simulation(simulation) {}

    // The refusal of a request on its head alone (policy, header lines, body length), before
    // its body is read; none when it may go on.
    std::optional<Response> Screen(const Request& head) const;

    // The answer to a whole request, screened first. Every answer carries SecurityHeaders().
    Response Handle(const Request& request);

  private:
    Response route(const Request& request);
    Response simulation(const Request& request, const std::string& what);

    const AccessPolicy& m_policy;
    EngineAccess& m_engine;
    EventHub& m_hub;
    const std::size_t m_maxHeaderLines;
    Simulation* const m_simulation;
};

}  // namespace pldweb
