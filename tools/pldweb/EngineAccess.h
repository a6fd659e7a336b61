// The engine access: the console's reads and writes through the one ZvPldProxy of the process,
// each rendered as the JSON answer of its request.
#pragma once

#include <chrono>
#include <string>

#include "ActiveEvents.h"
#include "Http.h"
#include "ZvPldProxy.h"
#include "sim/SimEngine.h"

namespace pldweb {

// A result code in words: "0 (ok)", "4096 (engine status 1: ...)".
std::string describe(int rc);

class EngineAccess {
  public:
    EngineAccess(ZvPldProxy& proxy, const zvsim::Catalogue& catalogue)
        : m_proxy(proxy), m_catalogue(catalogue) {}

    Response Inventory();
    Response Devices();
    Response Device(unsigned short index);
    Response Point(unsigned short device, unsigned short gddId);
    // The engine is the judge of device and point: a write reaches it even for an address the
    // catalogue did not list. Throws HttpError for a malformed body.
    Response Write(unsigned short device, unsigned short gddId, const std::string& body);
    Response Hierarchy(unsigned short device, unsigned short gddId, unsigned short mmIdx);
    Response ActiveEventsWithin(std::chrono::milliseconds timeout);

  private:
    // Throws HttpError 502 when the engine does not answer its inventory.
    void requireEngine();

    ZvPldProxy& m_proxy;
    const zvsim::Catalogue& m_catalogue;
    ActiveEvents m_activeEvents;
};

}  // namespace pldweb
