// `pldctl capture`'s active events: the active-events request sent with Process and a response
// function of pldctl's, so that the answer's pieces tell their size and the thread they come on,
// and the answer's text tells every group, also one without an active event.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "Capture.h"
#include "ZvPldTypes.h"

namespace pldctl {
namespace {

// One group of the answer: its id and its active events, (id, state), in order.
struct EventGroup {
    std::uint32_t groupId = 0;
    std::vector<std::pair<std::uint32_t, std::uint16_t>> active;
};

// A number of the answer at `at`, which moves past it; false when there is none.
bool number(const std::string& text, std::size_t& at, unsigned long long& value) {
    if (at >= text.size() || text[at] < '0' || text[at] > '9') return false;
    char* end = nullptr;
    value = std::strtoull(text.c_str() + at, &end, 10);
    at = static_cast<std::size_t>(end - text.c_str());
    return true;
}

bool expect(const std::string& text, std::size_t& at, char c) {
    if (at >= text.size() || text[at] != c) return false;
    ++at;
    return true;
}

// "(h,g:e,s|e,s)(h,g)...", each group's place h counted from 1; "()" when there are none.
bool readActiveEvents(const std::string& answer, std::vector<EventGroup>& groups) {
    groups.clear();
    if (answer == "()") return true;
    std::size_t at = 0;
    while (at < answer.size()) {
        unsigned long long place = 0, group = 0;
        if (!expect(answer, at, '(') || !number(answer, at, place) || place != groups.size() + 1 ||
            !expect(answer, at, ',') || !number(answer, at, group) || group > UINT32_MAX) {
            return false;
        }
        EventGroup g{static_cast<std::uint32_t>(group), {}};
        for (char sep = ':'; expect(answer, at, sep); sep = '|') {
            unsigned long long id = 0, state = 0;
            if (!number(answer, at, id) || id > UINT32_MAX || !expect(answer, at, ',') ||
                !number(answer, at, state) || state > 0xFFFF) {
                return false;
            }
            g.active.emplace_back(static_cast<std::uint32_t>(id),
                                  static_cast<std::uint16_t>(state));
        }
        if (!expect(answer, at, ')')) return false;
        groups.push_back(std::move(g));
    }
    return !groups.empty();
}

// The active-events answer, gathered piece by piece by its response function, which may run on
// the engine's thread or within Process under the proxy's client lock: it only keeps the pieces.
struct Pieces {
    std::mutex mutex;
    std::condition_variable ended;
    std::string text;
    std::uint32_t size = 0;
    std::thread::id caller;
    bool withinProcess = false;
    bool done = false;
};
Pieces g_pieces;  // an answer may come after the wait gave up: it must outlive the walk

int onPiece(ZvCallbackInfo* cbi) {
    std::lock_guard<std::mutex> lock(g_pieces.mutex);
    if (g_pieces.done) return 0;
    g_pieces.size = cbi->procOutBufSize;
    g_pieces.withinProcess = std::this_thread::get_id() == g_pieces.caller;
    if (cbi->status == 0 && cbi->pProcOutBuf != nullptr) {
        g_pieces.text.append(cbi->pProcOutBuf, std::min(cbi->procOutLen, cbi->procOutBufSize));
    }
    g_pieces.done = cbi->status != 0 || cbi->procOutLen < cbi->procOutBufSize;
    g_pieces.ended.notify_all();
    return 0;
}

}  // namespace

void CaptureEvents(ZvPldProxy& proxy, zvsim::Catalogue& cat, std::vector<std::string>& notes) {
    {
        std::lock_guard<std::mutex> lock(g_pieces.mutex);
        g_pieces.caller = std::this_thread::get_id();
    }
    ZvPldEngInfo request{0,       nullptr, "/httpGetSet/httpGet.htm", "evt=vel~eventsWA~or~3",
                         onPiece, 2};
    if (proxy.Process(&request) != 0) {
        notes.push_back("the active-events request was refused");
        return;
    }
    std::unique_lock<std::mutex> lock(g_pieces.mutex);
    if (!g_pieces.ended.wait_for(lock, std::chrono::seconds(5), [] { return g_pieces.done; })) {
        throw CaptureFault("no answer to the active-events request within 5 s");
    }
    cat.pieceSize = g_pieces.size;
    if (cat.pieceSize < 1 || cat.pieceSize > 65536) {  // a catalogue's bounds
        notes.push_back("the answer's pieces came in buffers of " + std::to_string(cat.pieceSize) +
                        " bytes, kept as " + (cat.pieceSize < 1 ? "1" : "65536"));
        cat.pieceSize = std::min<std::uint32_t>(std::max<std::uint32_t>(cat.pieceSize, 1), 65536);
    }
    cat.answerDelivery =
        g_pieces.withinProcess ? zvsim::AnswerDelivery::Process : zvsim::AnswerDelivery::Thread;
    std::vector<EventGroup> groups;
    if (!readActiveEvents(g_pieces.text, groups)) {
        notes.push_back("the active-events answer is not of the form (1,2:3,4)");
        return;
    }
    // An inactive event is told only by its group: one event of state 0 stands for them, with
    // an id after every active one.
    std::uint32_t next = 1;
    for (const EventGroup& g : groups) {
        for (const auto& [id, state] : g.active) {
            if (id >= next) next = id + 1;
        }
    }
    for (const EventGroup& g : groups) {
        for (const auto& [id, state] : g.active)
            cat.events[id] = zvsim::Event{id, g.groupId, 0, "", state, {}, 0};
        if (g.active.empty()) {
            cat.events[next] = zvsim::Event{next, g.groupId, 0, "", 0, {}, 0};
            ++next;
        }
    }
}

}  // namespace pldctl
