// The event feed's queue and thread, the origins of threads, and the events' records.
#include "Feed.h"

#include <exception>
#include <system_error>
#include <utility>
#include <vector>

#include "SimEngine.h"

namespace zvsim {
namespace {

using nlohmann::json;

thread_local const FeedOrigin* t_origin = nullptr;

// Verbs that only read: they change nothing, and make no event.
bool onlyReads(const std::string& verb) {
    return verb == "status" || verb == "journal" || verb == "wait";
}

}  // namespace

FeedOrigin::FeedOrigin(json origin) : m_origin(std::move(origin)), m_outer(t_origin) {
    t_origin = this;
}

FeedOrigin::~FeedOrigin() {
    t_origin = m_outer;
}

json FeedOrigin::Current() {
    return t_origin != nullptr ? t_origin->m_origin : json{{"client", "in-process"}};
}

Feed::~Feed() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = true;
        m_list.clear();
        m_subscribers = 0;
    }
    m_wake.notify_all();
    if (m_thread.joinable()) m_thread.join();
}

std::uint64_t Feed::Subscribe(Subscriber subscriber) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_stop) return 0;
    if (!m_thread.joinable()) {
        try {
            m_thread = std::thread([this] { run(); });
        } catch (const std::system_error&) {
            return 0;
        }
    }
    const std::uint64_t id = m_nextId++;
    m_list.emplace(id, std::move(subscriber));
    m_subscribers = m_list.size();
    return id;
}

void Feed::Unsubscribe(std::uint64_t subscription) {
    // 0 is no subscription, and is what m_calling holds while no subscriber is called.
    if (subscription == 0) return;
    std::unique_lock<std::mutex> lock(m_mutex);
    m_list.erase(subscription);
    m_subscribers = m_list.size();
    if (std::this_thread::get_id() == m_thread.get_id()) return;
    m_idle.wait(lock, [&] { return m_calling != subscription; });
}

void Feed::Publish(json event) {
    event["origin"] = FeedOrigin::Current();
    std::unique_lock<std::mutex> lock(m_mutex);
    if (m_list.empty() || m_stop) return;
    event["seq"] = ++m_seq;
    if (m_lost > 0) event["lost"] = m_lost;
    std::string text = event.dump(-1, ' ', false, json::error_handler_t::replace);
    if (m_queue.size() >= kMaxEvents || m_queuedBytes + text.size() > kMaxBytes) {
        ++m_lost;
        return;
    }
    m_lost = 0;
    m_queuedBytes += text.size();
    m_queue.push_back(std::move(text));
    lock.unlock();
    m_wake.notify_one();
}

void Feed::run() {
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        m_wake.wait(lock, [&] { return m_stop || !m_queue.empty(); });
        if (m_stop) return;
        const std::string event = std::move(m_queue.front());
        m_queue.pop_front();
        m_queuedBytes -= event.size();
        // Each subscriber in turn, called with no lock held; one that goes meanwhile is not
        // called.
        for (std::uint64_t next = 0;;) {
            const auto it = m_list.lower_bound(next);
            if (it == m_list.end()) break;
            next = it->first + 1;
            m_calling = it->first;
            const Subscriber subscriber = it->second;
            lock.unlock();
            try {
                subscriber(event);
            } catch (...) {  // a subscriber's fault is its own: the others still get the event
            }
            lock.lock();
            m_calling = 0;
            m_idle.notify_all();
        }
    }
}

void TellControl(Feed& feed, const std::string& params, const std::string& answer) noexcept {
    try {
        json command = json::parse(params, nullptr, false);
        const json said = json::parse(answer, nullptr, false);
        if (!command.is_object() || !said.is_object() || said.value("ok", false) != true) return;
        const std::string verb = command.value("do", "");
        if (onlyReads(verb)) return;
        feed.Publish({{"event", "control"},
                      {"do", verb},
                      {"command", std::move(command)},
                      {"done", said.value("done", json())}});
    } catch (const std::exception&) {  // no memory for the event: it is lost, the change stands
    }
}

std::uint64_t SimEngine::Subscribe(std::function<void(const std::string& event)> subscriber) {
    return m_feed->Subscribe(std::move(subscriber));
}

void SimEngine::Unsubscribe(std::uint64_t subscription) {
    m_feed->Unsubscribe(subscription);
}

void SimEngine::TellStep(const StepPlayed& step) {
    if (!m_feed->Wanted()) return;
    try {
        json answer = json::parse(step.answer, nullptr, false);
        if (answer.is_discarded()) answer = {{"ok", false}, {"error", "the answer is not JSON"}};
        m_feed->Publish({{"event", "step"},
                         {"scenario", step.scenario},
                         {"pass", step.pass},
                         {"step", step.step},
                         {"at_ms", step.atMs},
                         {"note", step.note},
                         {"answer", std::move(answer)}});
    } catch (const std::exception&) {  // no memory for the event: it is lost
    }
}

}  // namespace zvsim
