// `pldctl events`: the active events, by group. The answer's callback may run on the engine's
// thread, or within GetActiveEvents under the proxy's client lock, so it only hands the list
// over.
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <list>
#include <mutex>

#include "Commands.h"
#include "Output.h"

namespace pldctl {
namespace {

struct EventsAnswer {
    std::mutex mutex;
    std::condition_variable arrived;
    bool done = false;
    std::list<ZvPldProxy::ActiveEvent*> list;  // valid until the proxy stops
};
EventsAnswer g_answer;

void answered(std::list<ZvPldProxy::ActiveEvent*>*) {
    std::lock_guard<std::mutex> lock(g_answer.mutex);
    g_answer.done = true;
    g_answer.arrived.notify_all();
}

}  // namespace

void ShowEvents(ZvPldProxy& proxy, const zvsim::Catalogue& catalogue, unsigned timeoutMs) {
    const int rc = proxy.GetActiveEvents(&g_answer.list, answered, 0);
    if (rc != 0) {
        PrintLine("active events: " + Describe(rc));
        return;
    }
    std::unique_lock<std::mutex> lock(g_answer.mutex);
    if (!g_answer.arrived.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                   [] { return g_answer.done; })) {
        lock.unlock();
        CountFailure();
        std::fprintf(stderr, "pldctl: no answer to the active-events request within %u ms\n",
                     timeoutMs);
        // No answer comes after the stop; one that came meanwhile is ours to delete.
        proxy.stop_y4IpcToClientProc();
        lock.lock();
        if (g_answer.done) {
            for (ZvPldProxy::ActiveEvent* e : g_answer.list) delete e;
        }
        return;
    }
    std::list<ZvPldProxy::ActiveEvent*> events;
    events.swap(g_answer.list);
    g_answer.done = false;
    lock.unlock();
    PrintLine("Active events: " + std::to_string(events.size()));
    bool first = true;
    std::uint32_t group = 0;
    for (ZvPldProxy::ActiveEvent* e : events) {
        if (first || e->groupId != group) PrintLine("  group " + std::to_string(e->groupId));
        first = false;
        group = e->groupId;
        const auto event = catalogue.events.find(e->eventId);
        PrintLine("    event " + std::to_string(e->eventId) +
                  (event != catalogue.events.end() ? " (" + event->second.label + ")" : "") +
                  ": state " + std::to_string(e->eventState));
        delete e;  // the records are the client's
    }
}

}  // namespace pldctl
