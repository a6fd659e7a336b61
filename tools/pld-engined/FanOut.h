// The engine's notifications, passed to every connection that registered their kind, and the
// pieces of answers to Process, passed to the connection that asked; the engine's event feed,
// passed to the control connections that subscribed, as notifications are. The engine calls in on
// its delivering thread, or within Process on the loop's.
#ifndef PLD_ENGINED_FAN_OUT_H
#define PLD_ENGINED_FAN_OUT_H

#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include <nlohmann/json.hpp>

#include "Connection.h"
#include "Throttle.h"
#include "sim/SimEngine.h"

namespace pldengined {

class FanOut {
  public:
    // kFeed: the engine's event feed, to the control connections that subscribed.
    enum Kind : unsigned { kNone = 0, kPld = 1, kEvent = 2, kValue = 4, kFeed = 8 };

    explicit FanOut(zvsim::SimEngine& engine);
    ~FanOut();
    FanOut(const FanOut&) = delete;
    FanOut& operator=(const FanOut&) = delete;

    // Registers the daemon's capture functions with the engine, and subscribes to its event feed;
    // false if the engine refuses.
    bool Start();
    // Whether the engine's event feed comes (it has a thread).
    bool Feeding() const { return m_feed != 0; }
    // Withdraws from the engine; no notification or piece comes after.
    void Stop();

    // A connection gets the notifications of the kinds it registered from Add to Remove.
    void Add(const std::shared_ptr<Connection>& connection);
    void Remove(const std::shared_ptr<Connection>& connection);

    // Asks the engine for the answer `info` describes, its pieces going to `connection` tagged
    // with `req`, until the connection's next UnReg.
    Y4_Status Process(const std::shared_ptr<Connection>& connection, const nlohmann::json& req,
                      ZvPldEngInfo& info);

    struct PendingAnswer;

  private:
    static void onPldCount(void* context, unsigned long count);
    static void onEvent(void* context, const ZvVEventInfo* info);
    static void onValue(void* context, const ZvValChgInfo* info);
    static int onPiece(ZvCallbackInfo* cbi);

    void send(Kind kind, const nlohmann::json& message);
    static void forget(std::uintptr_t answer);  // ends an answer: its later pieces are dropped

    zvsim::SimEngine& m_engine;
    bool m_started = false;
    std::uint64_t m_feed = 0;  // the subscription
    Throttle m_refusals;       // Process refused for answers under way: a line a second at most

    std::mutex m_mutex;
    std::vector<std::shared_ptr<Connection>> m_live;
};

}  // namespace pldengined

#endif
