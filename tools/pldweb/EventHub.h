// The fan-out of notifications to the open pages' event streams. Each page has a bounded queue;
// a page that cannot keep up is dropped (its EventSource reconnects and reloads what it shows).
// Nothing here blocks: the server adapter takes what is queued when the socket can take it, and
// is woken when more comes.
#pragma once

#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace pldweb {

struct Subscriber {
    std::mutex mutex;
    std::deque<std::string> queue;
    std::size_t sent = 0;  // bytes of the first queued message already taken
    bool closed = false;
    bool waiting = false;        // the adapter found nothing and waits for `wake`
    std::function<void()> wake;  // called under `mutex`, once per wait
};

class EventHub {
  public:
    static constexpr std::size_t kMaxQueued = 512;

    explicit EventHub(std::size_t maxSubscribers) : m_maxSubscribers(maxSubscribers) {}

    // A new stream, or null when as many are open as allowed or the hub stopped.
    std::shared_ptr<Subscriber> Subscribe();
    void Unsubscribe(const std::shared_ptr<Subscriber>& subscriber);

    void Publish(const char* event, const nlohmann::json& data);
    // A comment to every stream, so that a page that went away is noticed by a failed write.
    void Ping();
    // Closes every stream and refuses new ones.
    void Stop();
    std::size_t Subscribers();

    // Takes up to `max` queued bytes into `out`: their count; 0 after calling `onEmpty` under
    // the subscriber's lock (and marking it waiting) when nothing is queued; -1 once closed.
    static long Take(Subscriber& subscriber, char* out, std::size_t max,
                     const std::function<void()>& onEmpty);

  private:
    void queueAll(const std::string& message);
    static void close(Subscriber& subscriber);

    const std::size_t m_maxSubscribers;
    std::mutex m_mutex;
    std::vector<std::shared_ptr<Subscriber>> m_subscribers;
    bool m_stopping = false;
};

}  // namespace pldweb
