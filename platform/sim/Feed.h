// The simulated engine's event feed: each control command that changed something, and each
// scenario step a player tells, as one JSON object handed to the feed's subscribers in order, on
// a thread of the feed's own and with no engine lock held, so that a slow subscriber never holds
// up the engine's callers. What waits for a subscriber is bounded: past the bound an event is
// lost, and the next one delivered says how many were.
//
// Who made a change is the origin of the thread that made it: a FeedOrigin in scope on that
// thread (the daemon's connection, a scenario player), or "in-process".
#ifndef ZV_SIM_FEED_H
#define ZV_SIM_FEED_H

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include <nlohmann/json.hpp>

#include "ZvPldEngine.h"

namespace zvsim {

// The origin of the control commands made on this thread while it is in scope: a JSON object
// such as {"client": 3, "pid": 812, "name": "pldctl"} or {"client": "scenario"}. Scopes nest.
class ZV_PLD_PLATFORM_API FeedOrigin {
  public:
    explicit FeedOrigin(nlohmann::json origin);
    ~FeedOrigin();
    FeedOrigin(const FeedOrigin&) = delete;
    FeedOrigin& operator=(const FeedOrigin&) = delete;

    // This thread's origin: the innermost scope's, or {"client": "in-process"}.
    static nlohmann::json Current();

  private:
    const nlohmann::json m_origin;
    const FeedOrigin* const m_outer;
};

// A scenario step as played, for its event.
struct StepPlayed {
    std::string scenario;
    std::uint64_t pass = 0;  // from 1
    std::uint64_t step = 0;  // its place in the file, from 1
    std::int64_t atMs = 0;   // its time in the pass
    std::string note;
    std::string answer;  // the engine's answer, JSON text
};

class Feed {
  public:
    using Subscriber = std::function<void(const std::string& event)>;

    // What may wait for the subscribers at once: far more than a test's changes between two
    // reads of its subscriber; an event is at most a command's 64 KiB and a few words.
    static constexpr std::size_t kMaxEvents = 1000;
    static constexpr std::size_t kMaxBytes = 1 << 20;

    Feed() = default;
    ~Feed();  // stops its thread; no subscriber is called after
    Feed(const Feed&) = delete;
    Feed& operator=(const Feed&) = delete;

    // The subscription's number, or 0 when no thread can be had for the feed.
    std::uint64_t Subscribe(Subscriber subscriber);
    // Once it returns, the subscriber is not called again (from within the subscriber itself:
    // after the call under way). 0, a failed Subscribe's, is none: it returns at once.
    void Unsubscribe(std::uint64_t subscription);
    // Whether any subscriber would take an event: when none does, no event is made.
    bool Wanted() const { return m_subscribers.load() > 0; }
    // The event, with its seq and the origin of this thread added, goes out to every subscriber.
    void Publish(nlohmann::json event);

  private:
    void run();

    std::atomic<std::size_t> m_subscribers{0};
    std::mutex m_mutex;
    std::condition_variable m_wake;  // an event, or a stop
    std::condition_variable m_idle;  // a delivery ended
    std::map<std::uint64_t, Subscriber> m_list;
    std::uint64_t m_nextId = 1;
    std::deque<std::string> m_queue;
    std::size_t m_queuedBytes = 0;
    std::uint64_t m_seq = 0;
    std::uint64_t m_lost = 0;     // since the last event queued
    std::uint64_t m_calling = 0;  // the subscription being called, or 0
    bool m_stop = false;
    std::thread m_thread;
};

// The event of a control command, `params` as decoded with its defaults and the engine's answer,
// if it changed something (it was taken, and its verb does more than read): {"event": "control",
// "do", "command", "done"}. A feed that cannot take it loses it: the command stands.
void TellControl(Feed& feed, const std::string& params, const std::string& answer) noexcept;

}  // namespace zvsim

#endif
