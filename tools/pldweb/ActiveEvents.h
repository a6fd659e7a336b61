// The active events, asked of the engine one request at a time and waited for a bounded time.
#pragma once

#include <chrono>
#include <condition_variable>
#include <list>
#include <memory>
#include <mutex>

#include <nlohmann/json.hpp>

#include "ZvPldProxy.h"
#include "sim/SimEngine.h"

namespace pldweb {

class ActiveEvents {
  public:
    // The events with their labels, or an error: 503 while another request waits, 502 when the
    // proxy refused the request, 504 when no answer came within `timeout`.
    nlohmann::json Request(ZvPldProxy& proxy, const zvsim::Catalogue& catalogue,
                           std::chrono::milliseconds timeout, int& status);

    // After the proxy has stopped: no answer comes any more.
    static void Clear();

  private:
    struct Pending {
        std::list<ZvPldProxy::ActiveEvent*> list;
        bool done = false;
        bool abandoned = false;
    };

    static void answered(std::list<ZvPldProxy::ActiveEvent*>* events);
    static void remove(Pending* pending);

    std::mutex m_requestMutex;
    static std::mutex s_mutex;
    static std::condition_variable s_arrived;
    static std::list<std::unique_ptr<Pending>> s_pending;
};

}  // namespace pldweb
