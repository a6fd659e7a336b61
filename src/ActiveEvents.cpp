// Active events: the fixed request, and its answer gathered piece by piece and parsed into
// records for the client.
#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "Frame.h"
#include "ZvPldTypes.h"

using namespace zvpld;

namespace {

const char* const s_activeEventsUrl = "/httpGetSet/httpGet.htm";
const char* const s_activeEventsQuery = "evt=vel~eventsWA~or~3";
constexpr std::int32_t kActiveEventsReqType = 2;
constexpr char kAnswerOp[] = "ProcessActiveEventsCB";

// Guards the answer text gathered so far and the stored callback, which a client's thread (a
// new request) and the engine's (the answer) share, and the instance's withdrawal at its
// destruction, so that a piece uses the instance whole or not at all. Nothing is called out or
// logged under it.
pthread_mutex_t g_answerMutex = PTHREAD_MUTEX_INITIALIZER;
// Requests sent and instances withdrawn. An answer's text is cleared after its callback only while
// this has not moved, so that a newer request's pieces are kept and a withdrawn proxy is not
// touched. Moved under the guard, and by a withdrawal whose guard could not be taken.
std::atomic<std::uint32_t> g_answerEpoch{0};

// Runs `use` under the guard; false, with a line, if the guard could not be taken.
template <class Use>
bool underAnswerGuard(const char* op, Use&& use) {
    int rc = pthread_mutex_lock(&g_answerMutex);
    if (rc != 0) {
        __dlog_printf(kError, kTag, "%s: mutex lock error: %d", op, rc);
        return false;
    }
    use();
    rc = pthread_mutex_unlock(&g_answerMutex);
    if (rc != 0) __dlog_printf(kError, kTag, "%s: mutex unlock error: %d", op, rc);
    return true;
}

using Events = std::list<ZvPldProxy::ActiveEvent*>;

// One record at the back of the list. The line carries the number of its own source line.
void add(Events& events, unsigned int header, unsigned int groupId, unsigned int eventId,
         unsigned short eventState) {
    std::unique_ptr<ZvPldProxy::ActiveEvent> event(
        new ZvPldProxy::ActiveEvent{groupId, eventId, eventState});
    events.push_back(event.get());
    event.release();
    __dlog_printf(kNotice, kTag, "%s-%d: Added active event (%d-%d-%d-%d)", kAnswerOp, __LINE__,
                  static_cast<int>(header), static_cast<int>(groupId), static_cast<int>(eventId),
                  static_cast<int>(eventState));
}

// Reads "<number>,<number>" as sscanf reads "%u,%u": each number as strtoul reads it in base 10
// (after blanks, with a sign), cut to the width of where it goes; the second only after the
// first and a comma. A number that does not scan keeps its value. (A fraction of sscanf's cost.)
template <class Second>
void scanPair(const char* text, unsigned int& first, Second& second) {
    char* end = nullptr;
    const unsigned long a = std::strtoul(text, &end, 10);
    if (end == text) return;
    first = static_cast<unsigned int>(a);
    if (*end != ',') return;
    const char* const next = end + 1;
    const unsigned long b = std::strtoul(next, &end, 10);
    if (end != next) second = static_cast<Second>(b);
}

// Parses an answer, in place, into records at the back of `events`: groups between parentheses,
// in each a header and item lists after colons, in each list items between bars. Each level
// skips empty pieces. A number that does not scan keeps its last value in this answer; none
// has one before its first scan: 0.
void parse(char* text, Events& events) {
    unsigned int header = 0, groupId = 0, eventId = 0;
    unsigned short eventState = 0;
    char* groups = nullptr;
    for (char* group = strtok_r(text, "()", &groups); group != nullptr;
         group = strtok_r(nullptr, "()", &groups)) {
        char* lists = nullptr;
        const char* head = strtok_r(group, ":", &lists);
        if (head == nullptr) continue;
        scanPair(head, header, groupId);  // "%u,%u:"
        for (char* list = strtok_r(nullptr, ":", &lists); list != nullptr;
             list = strtok_r(nullptr, ":", &lists)) {
            char* items = nullptr;
            for (char* item = strtok_r(list, "|", &items); item != nullptr;
                 item = strtok_r(nullptr, "|", &items)) {
                scanPair(item, eventId, eventState);  // "%u,%hu"
                add(events, header, groupId, eventId, eventState);
            }
        }
    }
}

// The last piece has come: the client's list gets the answer's records, and the client's
// callback the list, also when it is empty.
void deliver(Events* events, std::string& answer, ZvPldProxy::ActiveEventsCb callback) {
    if (events == nullptr) return;  // nowhere to put records, nothing to call back with
    events->clear();                // earlier records are the client's: not deleted
    if (!answer.empty()) {
        __dlog_printf(kDebug, kTag, "%s-%d: Active events string is %s", kAnswerOp, __LINE__,
                      answer.c_str());
        try {
            parse(&answer[0], *events);
        } catch (const std::bad_alloc&) {
            noMemory(kAnswerOp);
        }
    }
    if (callback != nullptr) callback(events);
}

}  // namespace

int ZvPldProxy::GetActiveEvents(std::list<ActiveEvent*>* events, ActiveEventsCb callback,
                                int reqParam) {
    if (events == nullptr) {
        __dlog_printf(kError, kTag, "%s: no list for the active events", "GetActiveEvents");
        return kFailed;
    }
    if (!underAnswerGuard("GetActiveEvents", [&] {
            m_activeStringBuf.clear();
            m_activeEventsCb = callback;
            ++g_answerEpoch;
        })) {
        return kFailed;
    }
    ZvPldEngInfo request{};
    request.reqParam = reqParam;
    request.pUserData = events;
    request.pUrl = s_activeEventsUrl;
    request.pQuery = s_activeEventsQuery;
    request.pfnCallback = &ZvPldProxy::ProcessActiveEventsCB;
    request.reqType = kActiveEventsReqType;
    return Process(&request);
}

ZvPldProxy::ActiveEventsCb ZvPldProxy::GetActiveEventsCB() {
    ActiveEventsCb callback = nullptr;
    underAnswerGuard("GetActiveEventsCB", [&] { callback = m_activeEventsCb; });
    return callback;
}

std::string* ZvPldProxy::GetActiveStringBuf() {
    return &m_activeStringBuf;
}

int ZvPldProxy::ProcessActiveEventsCB(ZvCallbackInfo* cbi) {
    if (g_trace.load(std::memory_order_relaxed) != nullptr) TracePiece(cbi);
    if (cbi == nullptr || cbi->status != 0 || cbi->pProcOutBuf == nullptr) return 0;
    // The piece is read within its buffer's capacity, whatever length it claims.
    const std::uint32_t capacity = cbi->procOutBufSize;
    const std::uint32_t length = cbi->procOutLen;
    const bool empty = capacity == 0 || cbi->pProcOutBuf[0] == '\0';
    const std::size_t size = empty ? 0 : strnlen(cbi->pProcOutBuf, std::min(length, capacity));
    // A piece that fills the buffer is followed by more; the first shorter one ends the answer.
    const bool last = !empty && length < capacity;

    ZvPldProxy* proxy = nullptr;
    bool appended = false, copied = false;
    std::string answer;  // at the last piece, a working copy of the whole text to parse
    ActiveEventsCb callback = nullptr;
    std::uint32_t epoch = 0;
    if (!underAnswerGuard(kAnswerOp, [&] {
            proxy = GetInstance();
            if (proxy == nullptr || empty) return;
            std::string& gathered = proxy->m_activeStringBuf;
            try {
                gathered.append(cbi->pProcOutBuf, size);
                appended = true;
            } catch (const std::bad_alloc&) {
            }
            if (!last) return;
            callback = proxy->m_activeEventsCb;
            epoch = g_answerEpoch;
            try {
                answer = gathered;
                copied = true;
            } catch (const std::bad_alloc&) {
            }
        })) {
        return 0;
    }
    if (proxy == nullptr) return 0;
    if (empty) {
        __dlog_printf(kNotice, kTag, "%s: Nothing at cbi->pProcOutBuf for strncpy", kAnswerOp);
        return 0;
    }
    if (!appended || (last && !copied)) noMemory(kAnswerOp);
    if (!last) return 0;
    deliver(static_cast<Events*>(cbi->pUserData), answer, callback);
    // The whole text stayed readable through GetActiveStringBuf() during the callback; now it is
    // taken out with its storage, which is released after the guard.
    std::string spent;
    underAnswerGuard(kAnswerOp, [&] {
        if (g_answerEpoch == epoch && GetInstance() == proxy) {
            spent.swap(proxy->m_activeStringBuf);
        }
    });
    return 0;
}

void ZvPldProxyAccess::withdrawInstance(ZvPldProxy* proxy) {
    const auto withdraw = [proxy] {
        ZvPldProxy* published = proxy;
        ZvPldProxy::s_Instance.compare_exchange_strong(published, nullptr);
        ++g_answerEpoch;
    };
    // Without the guard the destruction goes on all the same; only a piece that holds the guard
    // at this very moment may still be using the proxy.
    if (!underAnswerGuard("~ZvPldProxy", withdraw)) withdraw();
}
