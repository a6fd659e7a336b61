// Answers to requests passed through with the caller's own answer function, relayed while the
// process traces, so that their pieces are traced as those of the library's own active-events
// answer are. A relay is a slot of a fixed table: nothing is allocated for it, and an answer
// that never ends holds no more than its slot.
#include <atomic>
#include <cstddef>

#include "Frame.h"
#include "Trace.h"

namespace zvpld {

namespace {

struct Relay {
    std::atomic<bool> taken{false};
    // Written before the request goes to the engine, read when its pieces come back.
    int (*respond)(ZvCallbackInfo* cbi) = nullptr;
    void* context = nullptr;
    std::atomic<std::uint32_t> call{0};
};

constexpr std::size_t kRelays = 64;
Relay g_relays[kRelays];

int relayPiece(ZvCallbackInfo* cbi) {
    if (cbi == nullptr) return 0;
    auto* relay = static_cast<Relay*>(cbi->pUserData);
    if (relay < g_relays || relay >= g_relays + kRelays) return 0;
    if (g_trace.load(std::memory_order_relaxed) != nullptr) {
        TracePiece(cbi, relay->call.load(std::memory_order_relaxed));
    }
    // The first piece shorter than its buffer ends the answer.
    const bool last = cbi->procOutLen < cbi->procOutBufSize;
    cbi->pUserData = relay->context;
    const int answer = relay->respond(cbi);
    cbi->pUserData = relay;  // as the engine handed it over
    if (last) relay->taken.store(false, std::memory_order_release);
    return answer;
}

}  // namespace

bool RelayAnswer(const ZvPldEngInfo& request, ZvPldEngInfo& relayed) {
    if (request.pfnCallback == nullptr ||
        request.pfnCallback == &ZvPldProxy::ProcessActiveEventsCB) {
        return false;
    }
    for (Relay& relay : g_relays) {
        bool taken = false;
        if (!relay.taken.compare_exchange_strong(taken, true, std::memory_order_acquire)) continue;
        relay.respond = request.pfnCallback;
        relay.context = request.pUserData;
        relay.call.store(0, std::memory_order_relaxed);
        relayed = request;
        relayed.pfnCallback = &relayPiece;
        relayed.pUserData = &relay;
        return true;
    }
    return false;
}

bool IsRelayed(const ZvPldEngInfo* request) {
    return request != nullptr && request->pfnCallback == &relayPiece;
}

void RelayOpened(const ZvPldEngInfo* request, std::uint32_t seq) {
    static_cast<Relay*>(request->pUserData)->call.store(seq, std::memory_order_relaxed);
}

}  // namespace zvpld
