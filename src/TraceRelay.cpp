// Answers to requests passed through with the caller's own answer function, relayed while the
// process traces, so that their pieces are traced as those of the library's own active-events
// answer are. A relay is a slot of a fixed table: nothing is allocated for it, and an answer
// that never ends holds no more than its slot. The engine is handed a token, not the slot: the
// slot's number and its generation, so that a piece that comes after its answer ended, when the
// slot may serve another request, is told apart and handed to no one.
#include <atomic>
#include <cstddef>
#include <cstdint>

#include "Frame.h"
#include "Trace.h"

namespace zvpld {

namespace {

constexpr std::size_t kRelays = 64;
constexpr unsigned kSlotBits = 8;  // the token's low bits: the slot's number, from 1

struct Relay {
    // The generation << 1, and 1 while the slot serves an answer.
    std::atomic<std::uint32_t> state{0};
    // Written as the slot is taken, before the request goes to the engine.
    std::atomic<int (*)(ZvCallbackInfo*)> respond{nullptr};
    std::atomic<void*> context{nullptr};
    std::atomic<std::uint32_t> call{0};
};

Relay g_relays[kRelays];
std::atomic<bool> g_exhaustionTold{false};

// The generation fits the token's bits above the slot's number on a 32-bit target.
constexpr std::uint32_t kGenerations = 1u << (32 - kSlotBits - 1);

void* tokenOf(std::size_t slot, std::uint32_t generation) {
    return reinterpret_cast<void*>(static_cast<std::uintptr_t>(generation) << kSlotBits |
                                   (slot + 1));
}

// The slot a token names and the state it holds while it serves that token's answer; null for
// a token of no slot.
Relay* slotOf(const void* token, std::uint32_t& serving) {
    const auto word = reinterpret_cast<std::uintptr_t>(token);
    const std::size_t slot = (word & ((1u << kSlotBits) - 1)) - 1;
    if (slot >= kRelays) return nullptr;
    serving = static_cast<std::uint32_t>(word >> kSlotBits) << 1 | 1;
    return &g_relays[slot];
}

// As the engine's interface has it: the first piece shorter than its buffer ends the answer,
// whatever it holds (an empty piece, a status), so that an answer an engine ended holds no relay.
bool endsAnswer(const ZvCallbackInfo& cbi) {
    return cbi.procOutLen < cbi.procOutBufSize;
}

void release(Relay& relay, std::uint32_t serving) {
    relay.state.compare_exchange_strong(serving, serving & ~1u, std::memory_order_release);
}

int relayPiece(ZvCallbackInfo* cbi) {
    if (cbi == nullptr) return 0;
    void* const token = cbi->pUserData;
    std::uint32_t serving = 0;
    Relay* relay = slotOf(token, serving);
    if (relay == nullptr || relay->state.load(std::memory_order_acquire) != serving) return 0;
    if (g_trace.load(std::memory_order_relaxed) != nullptr) {
        TracePiece(cbi, relay->call.load(std::memory_order_relaxed));
    }
    const bool last = endsAnswer(*cbi);
    cbi->pUserData = relay->context.load(std::memory_order_relaxed);
    const int answer = relay->respond.load(std::memory_order_relaxed)(cbi);
    cbi->pUserData = token;  // as the engine handed it over
    if (last) release(*relay, serving);
    return answer;
}

}  // namespace

bool RelayAnswer(const ZvPldEngInfo& request, ZvPldEngInfo& relayed) {
    if (request.pfnCallback == nullptr ||
        request.pfnCallback == &ZvPldProxy::ProcessActiveEventsCB) {
        return false;
    }
    for (std::size_t slot = 0; slot < kRelays; ++slot) {
        Relay& relay = g_relays[slot];
        std::uint32_t state = relay.state.load(std::memory_order_relaxed);
        const std::uint32_t generation = ((state >> 1) + 1) % kGenerations;
        if ((state & 1) != 0 || !relay.state.compare_exchange_strong(state, generation << 1 | 1,
                                                                     std::memory_order_acquire)) {
            continue;
        }
        relay.respond.store(request.pfnCallback, std::memory_order_relaxed);
        relay.context.store(request.pUserData, std::memory_order_relaxed);
        relay.call.store(0, std::memory_order_relaxed);
        relayed = request;
        relayed.pfnCallback = &relayPiece;
        relayed.pUserData = tokenOf(slot, generation);
        return true;
    }
    if (!g_exhaustionTold.exchange(true)) {
        __dlog_printf(kNotice, kTag,
                      "ZVPLD_TRACE: %u answers to requests passed through are under way: the "
                      "pieces of a request sent now are not traced",
                      static_cast<unsigned>(kRelays));
    }
    return false;
}

void RelayEnded(const ZvPldEngInfo& relayed) {
    std::uint32_t serving = 0;
    if (Relay* relay = slotOf(relayed.pUserData, serving)) release(*relay, serving);
}

bool IsRelayed(const ZvPldEngInfo* request) {
    return request != nullptr && request->pfnCallback == &relayPiece;
}

void RelayOpened(const ZvPldEngInfo* request, std::uint32_t seq) {
    std::uint32_t serving = 0;
    if (Relay* relay = slotOf(request->pUserData, serving)) {
        relay->call.store(seq, std::memory_order_relaxed);
    }
}

}  // namespace zvpld
