// Active events. The answer's callback gets only the list, so each request's list is looked up
// among those still waiting. A request whose answer did not come in time is abandoned: a late
// answer deletes its records, and whatever never came is deleted after the proxy stops. An
// abandoned list cannot be freed sooner: nothing tells that its answer will never come, and
// the proxy writes a late answer into the list before calling back. Each one is an empty list;
// they pile up only while the engine accepts requests and then drops their answers.
#include "ActiveEvents.h"

#include "EngineAccess.h"
#include "EngineStatus.h"
#include "Log.h"

namespace pldweb {

using json = nlohmann::json;

// One at a time: the proxy keeps one request's callback and answer text at a time. Another
// request is turned away at once rather than holding a worker while it queues.
json ActiveEvents::Request(ZvPldProxy& proxy, const zvsim::Catalogue& catalogue,
                           std::chrono::milliseconds timeout, int& status) {
    std::unique_lock<std::mutex> one(m_requestMutex, std::try_to_lock);
    if (!one.owns_lock()) {
        status = 503;
        return json{{"error", "another active-events request is waiting for its answer"}};
    }
    Pending* pending = nullptr;
    {
        std::lock_guard<std::mutex> lock(s_mutex);
        s_pending.push_back(std::make_unique<Pending>());
        pending = s_pending.back().get();
    }
    CollectLog log;
    json refusal = json::object();
    const int rc = WithEngineStatus(
        refusal, [&] { return proxy.GetActiveEvents(&pending->list, answered, 0); });
    std::unique_lock<std::mutex> lock(s_mutex);
    if (rc != 0) {
        // Refused: no answer comes. Records already handed over are ours.
        remove(pending);
        status = 502;
        refusal["error"] = "the active-events request failed: " + describe(rc);
        refusal["log"] = log.lines;
        return refusal;
    }
    if (!s_arrived.wait_for(lock, timeout, [pending] { return pending->done; })) {
        pending->abandoned = true;
        status = 504;
        return json{{"error", "no answer to the active-events request within " +
                                  std::to_string(timeout.count()) + " ms"}};
    }
    json events = json::array();
    for (ZvPldProxy::ActiveEvent* e : pending->list) {
        const auto event = catalogue.events.find(e->eventId);
        events.push_back({{"groupId", e->groupId},
                          {"eventId", e->eventId},
                          {"state", e->eventState},
                          {"label", event != catalogue.events.end() ? event->second.label : ""}});
    }
    remove(pending);
    status = 200;
    return json{{"events", events}};
}

void ActiveEvents::Clear() {
    std::lock_guard<std::mutex> lock(s_mutex);
    while (!s_pending.empty()) remove(s_pending.front().get());
}

// On the engine's thread or within GetActiveEvents: hands the list over and returns.
void ActiveEvents::answered(std::list<ZvPldProxy::ActiveEvent*>* events) {
    std::lock_guard<std::mutex> lock(s_mutex);
    for (const auto& p : s_pending) {
        if (&p->list != events) continue;
        p->done = true;
        if (p->abandoned) remove(p.get());
        s_arrived.notify_all();
        return;
    }
}

// Under s_mutex.
void ActiveEvents::remove(Pending* pending) {
    for (ZvPldProxy::ActiveEvent* e : pending->list) delete e;
    for (auto it = s_pending.begin(); it != s_pending.end(); ++it) {
        if (it->get() == pending) {
            s_pending.erase(it);
            return;
        }
    }
}

std::mutex ActiveEvents::s_mutex;
std::condition_variable ActiveEvents::s_arrived;
std::list<std::unique_ptr<ActiveEvents::Pending>> ActiveEvents::s_pending;

}  // namespace pldweb
