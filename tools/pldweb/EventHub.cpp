// The fan-out of notifications to event streams, in bounded queues.
#include "EventHub.h"

#include <algorithm>
#include <cstring>

#include "Http.h"

namespace pldweb {

std::shared_ptr<Subscriber> EventHub::Subscribe() {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_stopping || m_subscribers.size() >= m_maxSubscribers) return nullptr;
    auto subscriber = std::make_shared<Subscriber>();
    subscriber->queue.push_back("retry: 1000\n\n");
    m_subscribers.push_back(subscriber);
    return subscriber;
}

void EventHub::Unsubscribe(const std::shared_ptr<Subscriber>& subscriber) {
    close(*subscriber);
    std::lock_guard<std::mutex> lock(m_mutex);
    m_subscribers.erase(std::remove(m_subscribers.begin(), m_subscribers.end(), subscriber),
                        m_subscribers.end());
}

void EventHub::Publish(const char* event, const nlohmann::json& data) {
    queueAll(std::string("event: ") + event + "\ndata: " + DumpJson(data) + "\n\n");
}

void EventHub::Ping() {
    queueAll(": keep-alive\n\n");
}

void EventHub::queueAll(const std::string& message) {
    std::lock_guard<std::mutex> lock(m_mutex);
    for (auto it = m_subscribers.begin(); it != m_subscribers.end();) {
        Subscriber& s = **it;
        std::unique_lock<std::mutex> subscriberLock(s.mutex);
        if (s.closed || s.queue.size() >= kMaxQueued) {
            subscriberLock.unlock();
            close(s);
            it = m_subscribers.erase(it);
            continue;
        }
        s.queue.push_back(message);
        if (s.waiting) {
            s.waiting = false;
            if (s.wake) s.wake();
        }
        ++it;
    }
}

void EventHub::Stop() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_stopping = true;
    for (const auto& s : m_subscribers) close(*s);
    m_subscribers.clear();
}

std::size_t EventHub::Subscribers() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_subscribers.size();
}

long EventHub::Take(Subscriber& s, char* out, std::size_t max,
                    const std::function<void()>& onEmpty) {
    std::lock_guard<std::mutex> lock(s.mutex);
    if (s.closed) return -1;
    std::size_t taken = 0;
    while (taken < max && !s.queue.empty()) {
        const std::string& first = s.queue.front();
        const std::size_t n = std::min(max - taken, first.size() - s.sent);
        std::memcpy(out + taken, first.data() + s.sent, n);
        taken += n;
        s.sent += n;
        if (s.sent == first.size()) {
            s.queue.pop_front();
            s.sent = 0;
        }
    }
    if (taken == 0) {
        s.waiting = true;
        onEmpty();
    }
    return static_cast<long>(taken);
}

void EventHub::close(Subscriber& s) {
    std::lock_guard<std::mutex> lock(s.mutex);
    s.closed = true;
    if (s.waiting) {
        s.waiting = false;
        if (s.wake) s.wake();
    }
}

}  // namespace pldweb
