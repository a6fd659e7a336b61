// Arbitrary answer text, cut into pieces with arbitrary statuses, lengths and capacities, fed
// through ProcessActiveEventsCB: nothing may crash or leak, the client's callback runs once per
// completed answer, and the records match a plain reading of the same text written here.
//
// Input: pieces, each three bytes [flags][capacity][length] and then its text bytes.
//   flags & 7 == 7: status = flags (non-zero); flags & 0x38 == 0x38: no buffer.
//   capacity: 0xFF -> 0xFFFFFFFF, 0xFE -> 0x80000000, else the byte.
//   length (l): l >> 6 == 0: the capacity; 1: capacity - (l & 63); 2: capacity + (l & 63),
//   at most 0xFFFFFFFF; 3: l & 63.
// A piece's text is as many input bytes as the proxy may read of its buffer, each piece in its
// own exactly-sized heap block; when the input runs short, the block ends with a NUL instead.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <list>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "ZvPldEngine.h"
#include "ZvPldProxy.h"
#include "ZvPldTypes.h"
#include "dlog.h"
#include "sim/SimEngine.h"

namespace {

using Event = ZvPldProxy::ActiveEvent;
using Events = std::list<Event*>;
Events g_events;                                                         // the answers' list
using Record = std::tuple<std::uint32_t, std::uint32_t, std::uint16_t>;  // group, event, state

#define CHECK(cond)                                                                          \
    ((cond) ? void()                                                                         \
            : (std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond), \
               std::abort()))

// Takes the request and delivers nothing: the target feeds the pieces itself.
class SilentEngine : public zvsim::SimEngine {
  public:
    SilentEngine() : SimEngine(zvsim::Catalogue{{}, {}, 0}) {}  // no ticks, no thread
    Y4_Status Process(ZvPldEngInfo*) override { return 0; }
};

int g_calls = 0;
void onEvents(Events* events) {
    g_calls += events == &g_events ? 1 : 1000;  // another list: a count far off
}

// Nothing in an answer is an error of the proxy's own.
void onLine(int level, const char*, const char* text, void*) {
    if (level <= 3) std::fprintf(stderr, "unexpected error line: %s\n", text), std::abort();
}

// Pieces of `text` between any of `separators`, empty ones skipped.
std::vector<std::string> split(const std::string& text, const char* separators) {
    std::vector<std::string> pieces;
    for (std::size_t start = 0, end; start <= text.size(); start = end + 1) {
        end = std::min(text.find_first_of(separators, start), text.size());
        if (end > start) pieces.push_back(text.substr(start, end - start));
    }
    return pieces;
}

std::vector<Record> read(const std::string& answer) {
    std::vector<Record> records;
    unsigned header = 0, groupId = 0, eventId = 0;
    unsigned short eventState = 0;
    for (const std::string& group : split(answer, "()")) {
        const std::vector<std::string> lists = split(group, ":");
        if (lists.empty()) continue;
        std::sscanf(lists[0].c_str(), "%u,%u:", &header, &groupId);
        for (std::size_t i = 1; i < lists.size(); ++i) {
            for (const std::string& item : split(lists[i], "|")) {
                std::sscanf(item.c_str(), "%u,%hu", &eventId, &eventState);
                records.emplace_back(groupId, eventId, eventState);
            }
        }
    }
    return records;
}

ZvPldProxy* g_proxy = nullptr;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    ZvPldSetEngineFactory(
        [](const char*, const char*, const char*) { return std::make_shared<SilentEngine>(); });
    dlog_set_sink(onLine, nullptr);
    g_proxy = new ZvPldProxy("fuzz", "fuzz");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    CHECK(g_proxy->GetActiveEvents(&g_events, onEvents, 0) == 0);
    std::string gathered;
    std::size_t at = 0;
    while (size - at >= 3) {
        const std::uint8_t flags = data[at], c = data[at + 1], l = data[at + 2];
        at += 3;
        ZvCallbackInfo cbi{};
        cbi.pUserData = &g_events;
        cbi.status = (flags & 7) == 7 ? flags : 0;
        const std::uint32_t cap = c == 0xFF ? 0xFFFFFFFFu : c == 0xFE ? 0x80000000u : c;
        const std::uint64_t d = l & 63u;
        const std::uint64_t len = (l >> 6) == 0   ? cap
                                  : (l >> 6) == 1 ? (cap > d ? cap - d : 0)
                                  : (l >> 6) == 2 ? std::min<std::uint64_t>(cap + d, 0xFFFFFFFFu)
                                                  : d;
        cbi.procOutBufSize = cap;
        cbi.procOutLen = static_cast<std::uint32_t>(len);
        // What the proxy may read: the length within the capacity, and the first byte.
        const std::uint64_t readable =
            std::max<std::uint64_t>(std::min<std::uint64_t>(len, cap), cap > 0 ? 1 : 0);
        std::unique_ptr<char[]> buf;
        if ((flags & 0x38) != 0x38) {
            const std::size_t n =
                static_cast<std::size_t>(std::min<std::uint64_t>(readable, size - at));
            buf.reset(new char[n < readable ? n + 1 : n]);
            if (n > 0) std::memcpy(buf.get(), data + at, n);
            if (n < readable) buf[n] = '\0';
            at += n;
            cbi.pProcOutBuf = buf.get();
        }
        const bool used = cbi.status == 0 && buf && cap > 0 && buf[0] != '\0';
        const bool last = used && len < cap;
        if (used) gathered.append(buf.get(), strnlen(buf.get(), std::min<std::uint64_t>(len, cap)));

        const int before = g_calls;
        CHECK(ZvPldProxy::ProcessActiveEventsCB(&cbi) == 0);
        CHECK(g_calls == before + (last ? 1 : 0));
        if (!last) continue;
        std::vector<Record> got;
        for (const Event* e : g_events) got.emplace_back(e->groupId, e->eventId, e->eventState);
        for (const Event* e : g_events) delete e;
        g_events.clear();
        CHECK(got == read(gathered));
        gathered.clear();
    }
    // The pieces of an unfinished answer wait in the proxy (the next request drops them).
    CHECK(*g_proxy->GetActiveStringBuf() == gathered);
    return 0;
}
