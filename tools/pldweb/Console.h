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

// What a request's head may hold: header lines, and bytes of the head and of its address (the
// path and query). The server's memory for a head stands above these, so that the console, not
// the HTTP library, answers a head over them, with the headers of every answer.
struct HeadLimits {
    std::size_t lines = 64;
    std::size_t bytes = 16 * 1024;
    std::size_t uriBytes = 8 * 1024;
};

class Console {
  public:
    // No simulation: the panel's requests are answered 404.
    Console(const AccessPolicy& policy, EngineAccess& engine, EventHub& hub, HeadLimits headLimits,
            Simulation* simulation = nullptr)
        : m_policy(policy),
          m_engine(engine),
          m_hub(hub),
          m_headLimits(headLimits),
          m_simulation(simulation) {}

    // The refusal of a request on its head alone (policy, head's size, body length), before
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
    const HeadLimits m_headLimits;
    Simulation* const m_simulation;
};

}  // namespace pldweb
