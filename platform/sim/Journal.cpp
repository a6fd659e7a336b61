#include "Journal.h"

#include <algorithm>
#include <cstring>
#include <new>

#include <nlohmann/json.hpp>

namespace zvsim {
namespace {

using nlohmann::json;

constexpr std::size_t kNamesPerEntry = 4;

thread_local Caller t_caller;

// The controls noted for the call under way on this thread.
struct Noted {
    char names[kNamesPerEntry][65];
    std::size_t count;
    bool more;
};
thread_local Noted t_noted;

double ms(std::int64_t us) {
    return static_cast<double>(us) / 1000.0;
}

// The value at quantile q of sorted times: the nearest rank.
std::int64_t rank(const std::vector<std::int64_t>& sorted, double q) {
    const auto n = static_cast<double>(sorted.size());
    std::size_t at = static_cast<std::size_t>(q * n + 0.999999);
    at = std::max<std::size_t>(at, 1);
    return sorted[std::min(at, sorted.size()) - 1];
}

}  // namespace

const char* const kOpWords =
    "UnReg|RegPldCntChng|RegVelEvent|RegValueChange|GetVelPntStrLabel|GetVelPntStrDscrptn|"
    "GetVelPntStrUoM|GetVelPntStr|GetVelPntInt32|GetVelPntUint32|SetVelPntStr|SetVelPntInt32|"
    "SetVelPntUint32|GetVelPntAccessRights|GetVelPntDataType|GetVelPntDsplyNF|GetVelPntUoMId|"
    "GetMaxRprtMMCnt|GetMaxPntArrayDim|GetMaxNmbrAncstrs|GetPointsRprt|GetRprtAncstr|"
    "GetVelRprtStrLabel|GetVelEnumStateInfo|GetVelEnumStateStr|Process|GetVelServerInventory|"
    "GetProdSeqId|GetVelFDMVersion";

std::string OpName(Op op) {
    const char* at = kOpWords;
    for (int i = 0; i < static_cast<int>(op); ++i) at = std::strchr(at, '|') + 1;
    const char* end = std::strchr(at, '|');
    return end != nullptr ? std::string(at, end) : std::string(at);
}

CallerScope::CallerScope(Caller caller) : m_before(t_caller) {
    t_caller = caller;
}
CallerScope::~CallerScope() {
    t_caller = m_before;
}
Caller CurrentCaller() {
    return t_caller;
}

void NoteCallBegun() {
    t_noted.count = 0;
    t_noted.more = false;
}

void NoteControl(const std::string& name) {
    if (t_noted.count == kNamesPerEntry) {
        t_noted.more = true;
        return;
    }
    char* to = t_noted.names[t_noted.count++];
    const std::size_t n = std::min<std::size_t>(name.size(), 64);
    std::memcpy(to, name.data(), n);
    to[n] = '\0';
}

CallTarget TargetOf(const ZvVelPntDfn* pnt) {
    using H = JournalEntry::Has;
    return {H::kDevice | H::kPoint | H::kModule | H::kAux, pnt->deviceIdx, pnt->gddId, pnt->mmIdx,
            pnt->auxIdx};
}

bool JournalFilter::matches(const JournalEntry& e) const {
    return e.seq > since && (op < 0 || e.op == op) &&
           (!hasDevice || ((e.has & JournalEntry::kDevice) != 0 && e.device == device)) &&
           (!hasPoint || ((e.has & JournalEntry::kPoint) != 0 && e.point == point)) &&
           (!hasClient || e.connection == client);
}

struct Journal::Wait {
    JournalFilter filter;
    std::uint64_t count = 0;
    std::uint64_t seen = 0;
    std::uint32_t timeoutMs = 0;
};

Journal::Journal(Clock::time_point started) : m_started(started) {
    m_waits.reserve(kMaxWaits);
    setCapacity(kDefaultCapacity);
}

bool Journal::setCapacity(std::size_t entries) {
    // Not value-initialised: the ring's pages are touched only as calls fill them.
    std::unique_ptr<JournalEntry[]> ring(entries > 0 ? new (std::nothrow) JournalEntry[entries]
                                                     : nullptr);
    std::lock_guard<std::mutex> lock(m_mutex);
    m_ring = std::move(ring);
    m_capacity = m_ring ? entries : 0;
    m_firstKept = m_next;
    m_nameCount = 0;
    return m_capacity == entries;
}

void Journal::clear() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_firstKept = m_next;
    m_nameCount = 0;
}

std::int64_t Journal::sinceStart(Clock::time_point t) const {
    return std::chrono::duration_cast<std::chrono::microseconds>(t - m_started).count();
}

std::uint64_t Journal::oldestKept() const {
    return std::max<std::uint64_t>(m_firstKept, m_next > m_capacity ? m_next - m_capacity : 1);
}

JournalEntry* Journal::entryOf(std::uint64_t seq) {
    if (m_capacity == 0 || seq < oldestKept() || seq >= m_next) return nullptr;
    return &m_ring[seq % m_capacity];
}

std::uint64_t Journal::record(Op op, const CallTarget& target, Clock::time_point start,
                              Y4_Status status, bool held) {
    const Caller caller = t_caller;
    if (!caller.journaled) return 0;
    const Clock::time_point now = Clock::now();
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_capacity == 0) return 0;
    const std::uint64_t seq = m_next++;
    JournalEntry& e = m_ring[seq % m_capacity];
    e.seq = seq;
    e.atUs = sinceStart(start);
    e.tookUs = held ? JournalEntry::kHeld : sinceStart(now) - e.atUs;
    e.connection = caller.connection;
    e.pid = caller.pid;
    e.point = target.point;
    e.status = static_cast<std::int32_t>(status);
    e.device = target.device;
    e.module = target.module;
    e.aux = target.aux;
    e.op = static_cast<std::uint8_t>(op);
    e.has = target.has;
    e.moreControls = t_noted.more ? 1 : 0;
    for (std::size_t i = 0; i < kNamesPerEntry; ++i) {
        e.controls[i] = 0;
        if (i >= t_noted.count) continue;
        std::size_t at = 0;
        while (at < m_nameCount && std::strcmp(m_names[at], t_noted.names[i]) != 0) ++at;
        if (at == m_nameCount && at < kNames) std::strcpy(m_names[m_nameCount++], t_noted.names[i]);
        if (at < m_nameCount) {
            e.controls[i] = static_cast<std::uint8_t>(at + 1);
        } else {
            e.moreControls = 1;  // the table is full until the journal is cleared
        }
    }
    t_noted.count = 0;
    if (!m_waits.empty()) countForWaits(e);
    return seq;
}

void Journal::countForWaits(const JournalEntry& e) {
    bool met = false;
    for (const std::shared_ptr<Wait>& w : m_waits) {
        if (w->seen < w->count && w->filter.matches(e) && ++w->seen == w->count) met = true;
    }
    if (!met) return;
    m_waitMet.notify_all();
    if (m_wake) m_wake();
}

void Journal::answered(std::uint64_t seq, bool dropped) {
    const Clock::time_point now = Clock::now();
    std::lock_guard<std::mutex> lock(m_mutex);
    JournalEntry* e = entryOf(seq);
    if (e == nullptr || e->tookUs != JournalEntry::kHeld) return;
    e->tookUs = dropped ? JournalEntry::kDropped : sinceStart(now) - e->atUs;
}

std::string Journal::query(const JournalFilter& filter, std::size_t limit) const {
    std::vector<JournalEntry> entries;
    std::vector<std::int64_t> times;
    char names[kNames][kNameBytes];
    std::uint64_t count = 0, last = 0, size = 0;
    std::size_t capacity = 0;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        last = m_next - 1;
        size = m_next - oldestKept();
        capacity = m_capacity;
        std::memcpy(names, m_names, m_nameCount * kNameBytes);
        for (std::uint64_t seq = std::max(oldestKept(), filter.since + 1); seq < m_next; ++seq) {
            const JournalEntry& e = m_ring[seq % m_capacity];
            if (!filter.matches(e)) continue;
            ++count;
            if (e.tookUs >= 0) times.push_back(e.tookUs);
            if (entries.size() < limit) entries.push_back(e);
        }
    }
    json list = json::array();
    for (const JournalEntry& e : entries) {
        json j = {{"seq", e.seq}, {"at_ms", ms(e.atUs)}, {"op", OpName(static_cast<Op>(e.op))}};
        if (e.connection == 0) {
            j["client"] = "in-process";
        } else {
            j["client"] = e.connection;
            j["pid"] = e.pid;
        }
        if ((e.has & JournalEntry::kDevice) != 0) j["device"] = e.device;
        if ((e.has & JournalEntry::kPoint) != 0) j["point"] = e.point;
        if ((e.has & JournalEntry::kModule) != 0) j["module"] = e.module;
        if ((e.has & JournalEntry::kAux) != 0) j["aux"] = e.aux;
        if ((e.has & JournalEntry::kUnrecorded) != 0) j["unrecorded"] = true;
        j["status"] = e.status;
        if (e.tookUs >= 0) {
            j["ms"] = ms(e.tookUs);
        } else {
            j[e.tookUs == JournalEntry::kHeld ? "held" : "dropped"] = true;
        }
        json controls = json::array();
        for (const std::uint8_t at : e.controls) {
            if (at != 0) controls.push_back(names[at - 1]);
        }
        if (e.moreControls != 0) controls.push_back("...");
        if (!controls.empty()) j["controls"] = std::move(controls);
        list.push_back(std::move(j));
    }
    json percentiles = nullptr;
    if (!times.empty()) {
        std::sort(times.begin(), times.end());
        percentiles = {{"p50", ms(rank(times, 0.50))},
                       {"p95", ms(rank(times, 0.95))},
                       {"max", ms(times.back())}};
    }
    return json{{"ok", true},          {"entries", std::move(list)},   {"count", count},
                {"last", last},        {"ms", std::move(percentiles)}, {"size", size},
                {"capacity", capacity}}
        .dump();
}

std::shared_ptr<Journal::Wait> Journal::startWait(const JournalFilter& filter, std::uint64_t count,
                                                  std::uint32_t timeoutMs, std::string& refusal) {
    auto wait = std::make_shared<Wait>();
    wait->filter = filter;
    wait->count = count;
    wait->timeoutMs = timeoutMs;
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_capacity == 0) {
        refusal = "wait: the journal is off";
        return nullptr;
    }
    if (m_waits.size() >= kMaxWaits) {
        refusal = "wait: 256 waits are pending, the most there may be";
        return nullptr;
    }
    for (std::uint64_t seq = std::max(oldestKept(), filter.since + 1); seq < m_next; ++seq) {
        if (filter.matches(m_ring[seq % m_capacity])) ++wait->seen;
    }
    m_waits.push_back(wait);
    return wait;
}

bool Journal::block(const std::shared_ptr<Wait>& wait, Clock::time_point deadline) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_waitMet.wait_until(lock, deadline, [&] { return wait->seen >= wait->count; });
}

bool Journal::met(const std::shared_ptr<Wait>& wait) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return wait->seen >= wait->count;
}

std::string Journal::endWait(const std::shared_ptr<Wait>& wait) {
    std::uint64_t seen = 0, last = 0;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_waits.erase(std::remove(m_waits.begin(), m_waits.end(), wait), m_waits.end());
        seen = std::min(wait->seen, wait->count);
        last = m_next - 1;
    }
    const std::string of = std::to_string(seen) + " of " + std::to_string(wait->count);
    if (seen >= wait->count) {
        return json{
            {"ok", true}, {"done", of + " matching calls seen"}, {"seen", seen}, {"last", last}}
            .dump();
    }
    return json{{"ok", false},
                {"error", "wait: timed out after " + std::to_string(wait->timeoutMs) + " ms with " +
                              of + " matching calls seen"},
                {"seen", seen},
                {"last", last}}
        .dump();
}

void Journal::onWaitMet(std::function<void()> wake) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_wake = std::move(wake);
}

}  // namespace zvsim
