// Drains the proxy's notification queues on a thread of its own and hands each notification,
// decoded by the catalogue's types, to the event hub.
#pragma once

#include <atomic>
#include <thread>

#include "EventHub.h"
#include "ZvPldProxy.h"
#include "sim/SimEngine.h"

namespace pldweb {

class Drainer {
  public:
    Drainer(ZvPldProxy& proxy, const zvsim::Catalogue& catalogue, EventHub& hub);
    ~Drainer();
    Drainer(const Drainer&) = delete;
    Drainer& operator=(const Drainer&) = delete;

  private:
    void run();

    ZvPldProxy& m_proxy;
    const zvsim::Catalogue& m_catalogue;
    EventHub& m_hub;
    std::atomic<unsigned long> m_drained{0};
    std::atomic<bool> m_done{false};
    std::thread m_thread;
};

}  // namespace pldweb
