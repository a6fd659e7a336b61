// The trace of what the library asked the engine and heard from it (ZVPLD_TRACE): the one word
// an untraced call reads, and the facade a traced call goes through. The facade has the message
// client's method names; each notes the call's op, arguments, seq and times while forwarding it
// under the client lock, and the record is built from them after the unlock, from the request and
// reply the operation owns, which outlive the call.
#ifndef ZV_PLD_TRACE_CALLS_H
#define ZV_PLD_TRACE_CALLS_H

#include <atomic>
#include <cstdint>
#include <type_traits>

#include "ZvPldMsgClient.h"
#include "ZvPldTrace.h"

namespace zvpld {

class Trace;

// The trace being written, or null: all that a notification or piece reads of it when the
// process traces nothing.
extern std::atomic<Trace*> g_trace;
// The message client while the process traces its calls, under the client lock; the proxy's own
// word is then null, so that only a traced call finds it.
extern std::atomic<ZvPldMsgClient*> g_tracedClient;

// Threads holding the trace for a use; its close waits for them.
extern std::atomic<unsigned> g_traceUsers;

// Holds the trace for one use: null if none is being written. Its close waits for every holder.
// Counted before the trace is read, as its close withdraws it before it reads the count.
class TraceUse {
  public:
    TraceUse() noexcept {
        g_traceUsers.fetch_add(1);
        m_trace = g_trace.load();
    }
    ~TraceUse() { g_traceUsers.fetch_sub(1); }
    TraceUse(const TraceUse&) = delete;
    TraceUse& operator=(const TraceUse&) = delete;
    Trace* trace() const { return m_trace; }

  private:
    Trace* m_trace;
};

// The trace named by the environment, opened as a proxy is constructed (one line if it cannot
// be), and the one being written closed: at the stop, before another opens, and at unload.
void OpenTrace();
void CloseTrace();

// The notifications handed to the capture functions and the answer pieces handed to the
// active-events response function, each as one record.
void TracePldCount(unsigned long count);
void TraceEvent(const ZvVEventInfo* info);
void TraceValueChange(const ZvValChgInfo* info);
void TracePiece(const ZvCallbackInfo* cbi);
// The same for a piece of the Process call numbered `call` in the trace.
void TracePiece(const ZvCallbackInfo* cbi, std::uint32_t call);

// A request passed through with the caller's own answer function, relayed while the process
// traces so that its pieces are traced too: `relayed` is `request` with the relay's function and
// context, and the caller's function gets each piece with its own context, as without the trace.
// False, with nothing relayed, for the library's own answer function, for none, or when every
// relay is taken by an answer not yet ended (its pieces then go untraced).
bool RelayAnswer(const ZvPldEngInfo& request, ZvPldEngInfo& relayed);
// A relayed request whose Process call failed: the engine took no answer to send, and a piece
// that came for it now would be handed to no one.
void RelayEnded(const ZvPldEngInfo& relayed);
// Whether the request's pieces come through a relay; the Process call that sent it is `seq`.
bool IsRelayed(const ZvPldEngInfo* request);
void RelayOpened(const ZvPldEngInfo* request, std::uint32_t seq);

template <auto Member>
struct OpOf;
// Each engine call the library makes, named as the message client and the trace name it.
// clang-format off
#define ZVPLD_TRACED_CALLS(X)                                                            \
    X(Init) X(UnReg) X(RegPldCntChng) X(RegVelEvent) X(RegValueChange)                   \
    X(GetVelPntStrLabel) X(GetVelPntStrDscrptn) X(GetVelPntStrUoM) X(GetVelPntStr)       \
    X(GetVelPntInt32) X(GetVelPntUint32) X(SetVelPntStr) X(SetVelPntInt32)               \
    X(SetVelPntUint32) X(GetVelPntAccessRights) X(GetVelPntDataType) X(GetVelPntDsplyNF) \
    X(GetVelPntUoMId) X(GetMaxRprtMMCnt) X(GetMaxPntArrayDim) X(GetMaxNmbrAncstrs)       \
    X(GetPointsRprt) X(GetRprtAncstr) X(GetVelRprtStrLabel) X(GetVelEnumStateInfo)       \
    X(GetVelEnumStateStr) X(Process) X(GetVelServerInventory) X(GetProdSeqId)            \
    X(GetVelFDMVersion)
// clang-format on
#define ZVPLD_OP_OF(Name)                                     \
    template <>                                               \
    struct OpOf<&ZvPldMsgClient::Name> {                      \
        static constexpr zvtrace::Op kOp = zvtrace::Op::Name; \
    };
ZVPLD_TRACED_CALLS(ZVPLD_OP_OF)
#undef ZVPLD_OP_OF

// Stands in for the message client during a traced call: on() starts it, the call fills in the
// rest, and the record is added from what it noted once the client lock is let go (Append()).
class TracedClient {
  public:
    static constexpr int kMaxArgs = 6;

    // The facade for a call of `client` into `trace`.
    TracedClient& on(Trace& trace, ZvPldMsgClient& client) {
        m_trace = &trace;
        m_client = &client;
        return *this;
    }

#define ZVPLD_FORWARD(Name)                          \
    template <class... Args>                         \
    auto Name(Args... args) {                        \
        return call<&ZvPldMsgClient::Name>(args...); \
    }
    ZVPLD_TRACED_CALLS(ZVPLD_FORWARD)
#undef ZVPLD_FORWARD

    template <auto Member, class... Args>
    auto call(Args... args) {
        static_assert(sizeof...(Args) <= kMaxArgs, "more arguments than a record notes");
        m_op = OpOf<Member>::kOp;
        int i = 0;
        ((m_args[i++] = word(args)), ...);
        begin();
        const auto answer = (m_client->*Member)(args...);
        m_answer = word(answer);
        end();
        return answer;
    }

    // The record of the call, built and added to the trace; after the unlock. Throws nothing.
    void Append();

  private:
    template <class T>
    static std::uintptr_t word(T v) {
        if constexpr (std::is_pointer_v<T>) {
            return reinterpret_cast<std::uintptr_t>(v);
        } else {
            return static_cast<std::uintptr_t>(v);
        }
    }
    void begin();  // takes the seq and the start
    void end();

    Trace* m_trace;
    ZvPldMsgClient* m_client;
    zvtrace::Op m_op;
    std::uintptr_t m_args[kMaxArgs];
    std::uintptr_t m_answer;
    std::uint32_t m_seq;
    std::uint64_t m_start, m_end;
};

// A call of the message client's `Member`, through the facade when the call is traced.
template <auto Member, class... Args>
auto callOn(ZvPldMsgClient& client, Args... args) {
    return (client.*Member)(args...);
}
template <auto Member, class... Args>
auto callOn(TracedClient& client, Args... args) {
    return client.call<Member>(args...);
}

// An engine call made without the client lock (Init, UnReg), traced like the others.
template <class Call>
auto callUnlocked(ZvPldMsgClient& client, Call&& call) {
    if (g_trace.load(std::memory_order_relaxed) == nullptr) return call(client);
    const TraceUse use;
    if (use.trace() == nullptr) return call(client);
    TracedClient traced;
    const auto result = call(traced.on(*use.trace(), client));
    traced.Append();
    return result;
}

}  // namespace zvpld

#endif
