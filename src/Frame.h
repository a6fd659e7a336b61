// The frame of every engine request, written once: fill the record, make the one call under the
// client lock, map the status, log after the unlock, write outputs only on success.
#ifndef ZV_PLD_FRAME_H
#define ZV_PLD_FRAME_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <type_traits>

#include "Trace.h"
#include "ZvLinuxMutex.h"
#include "ZvPldMsgClient.h"
#include "ZvPldProxy.h"
#include "dlog.h"

namespace zvpld {

constexpr char kTag[] = "ZvPldProxy";
constexpr char kLibraryName[] = "libZvPldProxy";

enum LogLevel : int { kError = 3, kNotice = 5, kDebug = 7 };

constexpr int kOk = 0;
constexpr int kFailed = 2;
constexpr int kEngineStatusBase = 0x1000;  // engine status s (1 to 5) is passed on as base + s - 1
constexpr Y4_Status kEngineStatus1007 = 1007;

// Which engine statuses an operation takes for success and which it passes on; every status that
// the table does not name is logged and gives kFailed. Built by name, e.g.
// StatusTable::passing(5).alsoSucceedingOn(6).
struct StatusTable {
    Y4_Status success = 0;
    bool hasAlsoSuccess = false;
    Y4_Status alsoSuccess = 0;
    Y4_Status lastPassed = 0;  // statuses 1 to lastPassed are passed on
    bool pass1007AsFirst = false;

    // Success on 0; statuses 1 to `last` passed on (none for 0).
    static constexpr StatusTable passing(Y4_Status last) {
        StatusTable t;
        t.lastPassed = last;
        return t;
    }
    constexpr StatusTable succeedingOn(Y4_Status first, Y4_Status second) const {
        StatusTable t = *this;
        t.success = first;
        return t.alsoSucceedingOn(second);
    }
    constexpr StatusTable alsoSucceedingOn(Y4_Status status) const {
        StatusTable t = *this;
        t.hasAlsoSuccess = true;
        t.alsoSuccess = status;
        return t;
    }
    // Status 1007 passed on as status 1 is.
    constexpr StatusTable passing1007AsFirst() const {
        StatusTable t = *this;
        t.pass1007AsFirst = true;
        return t;
    }
    constexpr bool succeeds(Y4_Status status) const {
        return status == success || (hasAlsoSuccess && status == alsoSuccess);
    }
};

// Multi-module indices count from 1 at the interface and from 0 in the engine (0 wraps).
inline std::uint16_t engineModule(unsigned short mmIdx) {
    return static_cast<std::uint16_t>(mmIdx - 1);
}
// The same, but 0xFFFF, the point or report as a whole, goes to the engine as it is.
inline std::uint16_t engineModuleOrWhole(unsigned short mmIdx) {
    return mmIdx == 0xFFFF ? std::uint16_t{0xFFFF} : engineModule(mmIdx);
}

// Logs that an engine operation was called with no message client, and gives kFailed.
int noClient(const char* op);

// Logs that `op` could not obtain memory, and gives kFailed.
int noMemory(const char* op);

// The ancestor entries of `record` lie within its buffer of `size` bytes.
bool ancestorEntriesWithin(const ZvPldEngAncestors& record, std::uint32_t size);

// The success path of a text reply: at most `size` characters before the first NUL, rejected
// whole (logged with `tag`) if any is not 7-bit ASCII, otherwise assigned to `out`.
int deliverText(const char* op, const char* tag, const char* reply, std::size_t size,
                unsigned int gddId, std::string& out);

}  // namespace zvpld

namespace zvpld {
// Holds a ZvLinuxMutex for a scope, released on every path, an exception included. What the
// wrapper's Lock() and Unlock() answer is the wrapper's own and is not examined.
class Locked {
  public:
    explicit Locked(ZvLinuxMutex& lock) : m_lock(lock) { m_lock.Lock(); }
    // Holds a lock that the caller has just taken.
    enum Taken { kTaken };
    Locked(ZvLinuxMutex& lock, Taken) : m_lock(lock) {}
    ~Locked() { m_lock.Unlock(); }
    Locked(const Locked&) = delete;
    Locked& operator=(const Locked&) = delete;

  private:
    ZvLinuxMutex& m_lock;
};
}  // namespace zvpld

struct ZvPldProxyAccess {
    // The one place that calls the message client: under s_clientLock, nothing else inside.
    // False when there is no message client (before construction, or after the stop).
    // The lock is released even if the message client throws. `call` takes the message client,
    // or the facade that traces it (zvpld::TracedClient).
    template <class Result, class Call>
    static bool callEngine(Result& result, Call&& call) {
        ZvLinuxMutex& lock = *ZvPldProxy::s_clientLock;
        lock.Lock();
        // The lock orders this read after the client's publication; GetInstance() ordered the
        // caller after the construction.
        ZvPldMsgClient* client = ZvPldProxy::s_MsgClient.load(std::memory_order_relaxed);
        if (client == nullptr) {
            // A traced process publishes its client where only a traced call looks, so that an
            // untraced call pays nothing for the trace. The traced path works on copies: neither
            // the call nor the result needs an address on the untraced one.
            Result traced{};
            const bool called = callTraced(traced, std::decay_t<Call>(call));
            if (called) result = traced;
            return called;
        }
        const zvpld::Locked locked(lock, zvpld::Locked::kTaken);
        result = call(*client);
        return true;
    }

    // The call through the facade, its record added once the client lock is let go; false if
    // there is no client. Called with the client lock held, which it lets go.
    template <class Result, class Call>
    __attribute__((noinline, cold)) static bool callTraced(Result& result, Call call) {
        // Nothing before `locked` throws, so the lock is let go on every path.
        const zvpld::TraceUse use;
        zvpld::TracedClient traced;
        {
            const zvpld::Locked locked(*ZvPldProxy::s_clientLock, zvpld::Locked::kTaken);
            ZvPldMsgClient* client = zvpld::g_tracedClient.load(std::memory_order_relaxed);
            if (client == nullptr) return false;
            if (use.trace() == nullptr) {  // closed by a stop under way
                result = call(*client);
                return true;
            }
            result = call(traced.on(*use.trace(), *client));
        }
        traced.Append();
        return true;
    }

    // Publishes a new message client: where every call finds it, or, while the process traces,
    // where only a traced call does.
    static void publishClient(ZvPldMsgClient* client) {
        const bool traced = zvpld::g_trace.load() != nullptr;
        zvpld::g_tracedClient.store(traced ? client : nullptr, std::memory_order_release);
        ZvPldProxy::s_MsgClient.store(traced ? nullptr : client, std::memory_order_release);
    }

    // Takes the message client out of service once the calls in flight have returned; null if
    // there is none.
    static ZvPldMsgClient* withdrawClient() {
        const zvpld::Locked locked(*ZvPldProxy::s_clientLock);
        ZvPldMsgClient* client = ZvPldProxy::s_MsgClient.exchange(nullptr);
        ZvPldMsgClient* traced = zvpld::g_tracedClient.exchange(nullptr);
        return client != nullptr ? client : traced;
    }

    // Serialises the hierarchy queries, and with them every use of the ancestor cache.
    static ZvLinuxMutex& singletonLock() { return *ZvPldProxy::s_singletonLock; }

    // Unpublishes a proxy whose destruction begins, under the guard of the active-events answer.
    static void withdrawInstance(ZvPldProxy* proxy);

    // Frees the notification copies still queued; run at unload.
    static void releaseQueued();
};

namespace zvpld {

// One engine request. `call` makes the engine call; `onFailure(status)` logs an unmapped status;
// `onSuccess()`, or `onSuccess(status)` where the success status matters, writes the outputs and
// gives the result.
template <class Call, class OnFailure, class OnSuccess>
int request(const char* op, const StatusTable& table, Call&& call, OnFailure&& onFailure,
            OnSuccess&& onSuccess) {
    Y4_Status status = 0;
    if (!ZvPldProxyAccess::callEngine(status, call)) return noClient(op);
    if (table.succeeds(status)) {
        if constexpr (std::is_invocable_v<OnSuccess, Y4_Status>) {
            return onSuccess(status);
        } else {
            return onSuccess();
        }
    }
    if (status >= 1 && status <= table.lastPassed) return kEngineStatusBase + status - 1;
    if (status == kEngineStatus1007 && table.pass1007AsFirst) return kEngineStatusBase;
    onFailure(status);
    return kFailed;
}

// A query whose answer is the value itself, `none` meaning that there is none or that it failed.
template <class Call, class OnFailure>
int readAnswer(const char* op, std::uint32_t none, Call&& call, unsigned long* value,
               OnFailure&& onFailure) {
    std::uint32_t answer = none;
    if (!ZvPldProxyAccess::callEngine(answer, call)) return noClient(op);
    if (answer == none) {
        onFailure();
        return kFailed;
    }
    *value = answer;
    return kOk;
}

}  // namespace zvpld

#endif
