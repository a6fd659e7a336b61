// The replay's registrations, its Process answers and its own thread: the trace's notifications
// handed out again, each as it was recorded, at its time after the first registration on the
// engine's clock (so a frozen clock hands them out as it is advanced, a faster one sooner), and
// the pieces of an answer that the engine's thread delivered after its call.
//
// Locks: m_mutex is never held while a capture or response function runs (one may call back into
// the engine), nor taken under the index's.
#include <algorithm>
#include <cstring>
#include <vector>

#include "CallsOut.h"
#include "JournalCall.h"
#include "ReplayEngine.h"
#include "ReplayIndex.h"

namespace zvsim {
namespace {

using Time = VirtualClock::Time;

// What one Process call may cost: the recorded pieces of one answer read at most (a crafted trace
// could hold millions, each read twice, on the caller's thread), and the answers whose pieces wait
// for the replay's thread.
constexpr std::size_t kMaxAnswerPieces = 4096;
constexpr std::size_t kMaxLaterAnswers = 1024;

// A field of a record whose kind and op are known; 0 if a rewritten trace left it out.
std::uint32_t numberOf(const zvtrace::Record& r, const char* name) {
    const zvtrace::Value* v = r.find(name);
    return v != nullptr ? v->number : 0;
}

}  // namespace

template <class Capture>
void ReplayEngine::callOut(std::unique_lock<std::mutex>& lock, Capture capture) {
    CallUnlocked(this, lock, m_calls, capture);
    m_idle.notify_all();
}

template <class Fn>
Y4_Status ReplayEngine::reg(Fn& slot, void*& slotContext, Fn capture, void* context) {
    if (capture == nullptr) return kRejected;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_stop || !startThread()) return kRejected;
        slot = capture;
        slotContext = context;
    }
    // The daemon's own registration is made before any client comes: a client's starts the
    // timeline (the daemon's clients start it through ClientRegistered).
    if (CurrentCaller().journaled) startTimeline();
    return kOk;
}

Y4_Status ReplayEngine::RegPldCntChng(ZvPldCntChngFn capture, void* context, std::uint16_t) {
    Call call(*this, Op::RegPldCntChng, CallTarget{}, -1, false);
    return call.answer(reg(m_pldFn, m_pldContext, capture, context));
}

Y4_Status ReplayEngine::RegVelEvent(ZvVelEventFn capture, void* context, std::uint16_t) {
    Call call(*this, Op::RegVelEvent, CallTarget{}, -1, false);
    return call.answer(reg(m_eventFn, m_eventContext, capture, context));
}

Y4_Status ReplayEngine::RegValueChange(ZvValueChangeFn capture, void* context, std::uint16_t) {
    Call call(*this, Op::RegValueChange, CallTarget{}, -1, false);
    return call.answer(reg(m_valueFn, m_valueContext, capture, context));
}

void ReplayEngine::ClientRegistered() {
    startTimeline();
}

void ReplayEngine::ClockChanged() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_wake.notify_all();
}

// The timeline starts once the clients have registered as often as the traced one had when its
// first notification came: a notification of a kind not yet registered for would be lost.
void ReplayEngine::startTimeline() {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_timeline || ++m_registrations < m_index->registrations) return;
    m_timeline = true;
    m_zero = m_clock.Now();
    m_wake.notify_all();
}

Y4_Status ReplayEngine::UnReg(int what) {
    Call call(*this, Op::UnReg, CallTarget{}, -1, false);
    if (what != 1) return call.answer(kRejected);
    std::unique_lock<std::mutex> lock(m_mutex);
    m_pldFn = nullptr;
    m_eventFn = nullptr;
    m_valueFn = nullptr;
    m_pldContext = m_eventContext = m_valueContext = nullptr;
    ++m_epoch;
    m_later.clear();
    const std::size_t mine = CallOut::Here(this);
    m_idle.wait(lock, [&] { return m_calls <= mine; });
    return call.answer(kOk);
}

void ReplayEngine::Close() {
    stopThread();
    SimEngine::Close();
}

void ReplayEngine::stopThread() {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_stop = true;
    m_pldFn = nullptr;
    m_eventFn = nullptr;
    m_valueFn = nullptr;
    ++m_epoch;
    m_later.clear();
    m_wake.notify_all();
    const std::size_t mine = CallOut::Here(this);
    m_idle.wait(lock, [&] { return m_calls <= mine; });
    std::thread thread = std::move(m_thread);
    const bool self = std::this_thread::get_id() == m_threadId;
    lock.unlock();
    if (!thread.joinable()) return;
    if (self) {
        thread.detach();  // a capture closed the engine: the thread ends once it returns
    } else {
        thread.join();
    }
}

// The thread keeps the engine alive until it ends, at Close: a capture may close the engine
// from the thread itself.
bool ReplayEngine::startThread() {
    if (m_started) return true;
    try {
        auto self = std::static_pointer_cast<ReplayEngine>(shared_from_this());
        m_thread = std::thread([self] { self->run(); });
    } catch (const std::exception&) {
        return false;
    }
    m_threadId = m_thread.get_id();
    m_started = true;
    return true;
}

Y4_Status ReplayEngine::Process(ZvPldEngInfo* request) {
    // Pieces still queued for so many answers: this one is refused, before its recorded answer
    // is taken (a retry gets it), rather than let a client that floods Process grow the queue
    // without bound.
    if (request != nullptr && request->pfnCallback != nullptr && laterAnswersFull()) {
        Call call(*this, Op::Process, CallTarget{}, -1);
        return call.answer(kRejected);
    }
    zvtrace::Record r;
    std::uint64_t n = 0;
    CallTarget target;
    const bool recorded = request != nullptr && recall(RequestKey(zvtrace::Op::Process)
                                                           .I32(request->reqParam)
                                                           .Text(request->pUrl)
                                                           .Text(request->pQuery)
                                                           .I32(request->reqType),
                                                       r, target, &n);
    if (request == nullptr) target.has |= JournalEntry::kUnrecorded;
    Call call(*this, Op::Process, target, -1);
    if (!recorded) return call.answer(kNoEngine);
    if (request->pfnCallback == nullptr) return call.answer(r.head.status);
    const LaterPieces answer{n, r.head.thread, r.head.status, *request};
    std::unique_lock<std::mutex> lock(m_mutex);
    // The pieces its caller's thread was handed within the call, then the rest on the thread; an
    // answer refused then gets none after its call, as from an engine.
    if (pieces(lock, answer, true) && r.head.status == kOk && !m_stop && startThread()) {
        m_later.push_back(answer);
        m_wake.notify_all();
    }
    return call.answer(r.head.status);
}

bool ReplayEngine::laterAnswersFull() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_later.size() >= kMaxLaterAnswers;
}

// An answer ends at its first piece shorter than its buffer, as an engine's does; one whose
// recorded pieces end before that (a trace cut short, more pieces than one answer may replay)
// ends with an empty piece, so that its caller stops waiting for it.
bool ReplayEngine::pieces(std::unique_lock<std::mutex>& lock, const LaterPieces& answer,
                          bool sameThread) {
    const std::uint64_t epoch = m_epoch;
    bool others = false, ended = false;
    std::size_t read = 0;
    ZvCallbackInfo last{answer.request.pUserData,
                        kOk,
                        answer.request.reqType,
                        answer.request.reqParam,
                        0,
                        0,
                        1,
                        0,
                        nullptr};
    zvtrace::Record piece;
    try {
        m_index->Pieces(answer.call, piece, [&](const zvtrace::Record& p) {
            if (m_stop || m_epoch != epoch) return false;
            if (++read > kMaxAnswerPieces) return false;
            const zvtrace::Value* text = p.find("text");
            const zvtrace::Value* bufSize = p.find("bufSize");
            const zvtrace::Value* outLen = p.find("outLen");
            if (text == nullptr || bufSize == nullptr || outLen == nullptr) return false;
            // The buffer the piece came in, within the format's bound, holding what it held.
            std::vector<char> buf(std::max<std::uint32_t>(
                std::min<std::uint32_t>(bufSize->number, zvtrace::kMaxBytesField), 1));
            const std::uint32_t length =
                std::min<std::uint32_t>(outLen->number, static_cast<std::uint32_t>(buf.size()));
            const bool isLast = length < buf.size();
            if ((p.head.thread == answer.callThread) != sameThread) {
                // Another thread's: the answer goes on after the call, and no piece of it comes
                // within the call once that one ended it.
                others = true;
                return !isLast;
            }
            std::memcpy(buf.data(), text->bytes.data(),
                        std::min<std::size_t>(text->bytes.size(), buf.size()));
            ZvCallbackInfo cbi{answer.request.pUserData,
                               p.head.status,
                               static_cast<std::int32_t>(numberOf(p, "reqType")),
                               static_cast<std::int32_t>(numberOf(p, "reqParam")),
                               numberOf(p, "sequence"),
                               0,
                               static_cast<std::uint32_t>(buf.size()),
                               length,
                               buf.data()};
            last = cbi;
            last.sequence = cbi.sequence + 1;
            last.procOutLen = 0;
            callOut(lock, [&] { answer.request.pfnCallback(&cbi); });
            ended = isLast;
            return !ended;
        });
    } catch (const std::exception&) {
        // the trace changed under the replay: the answer ends with the empty piece below
    }
    if (ended || m_stop || m_epoch != epoch || answer.status != kOk) return false;
    if (sameThread && others && read <= kMaxAnswerPieces) return true;
    std::vector<char> none(last.procOutBufSize);
    last.pProcOutBuf = none.data();
    callOut(lock, [&] { answer.request.pfnCallback(&last); });
    return false;
}

bool ReplayEngine::nextNote(zvtrace::Record& note) {
    try {
        if (!m_notes) m_notes = std::make_unique<zvtrace::Reader>(m_index->SameFile());
        while (m_notes->Next(note)) {
            if (note.head.kind == zvtrace::Kind::Note) return true;
        }
    } catch (const std::exception&) {
    }
    return false;
}

void ReplayEngine::deliverNote(std::unique_lock<std::mutex>& lock, const zvtrace::Record& note) {
    switch (static_cast<zvtrace::NoteKind>(note.head.op)) {
        case zvtrace::NoteKind::PldCount:
            if (m_pldFn == nullptr) return;
            callOut(lock, [fn = m_pldFn, context = m_pldContext, count = numberOf(note, "count")] {
                fn(context, count);
            });
            return;
        case zvtrace::NoteKind::Event: {
            if (m_eventFn == nullptr) return;
            const ZvVEventInfo info{numberOf(note, "sequence"), numberOf(note, "eventId"),
                                    static_cast<std::uint16_t>(numberOf(note, "device")),
                                    static_cast<std::uint16_t>(numberOf(note, "state")),
                                    numberOf(note, "groupId")};
            callOut(lock,
                    [fn = m_eventFn, context = m_eventContext, &info] { fn(context, &info); });
            return;
        }
        case zvtrace::NoteKind::ValueChange: {
            if (m_valueFn == nullptr) return;
            const zvtrace::Value* data = note.find("data");
            if (data == nullptr) return;  // not a value note: the trace changed under the replay
            std::vector<std::uint16_t> units(data->bytes.size() / 2 + 1);
            const auto* at = reinterpret_cast<const unsigned char*>(data->bytes.data());
            for (std::size_t i = 0; i + 1 < units.size(); ++i)
                units[i] = zvtrace::Get16(at + 2 * i);
            // A record that came without its data pointer goes out without one.
            const ZvValChgInfo info{numberOf(note, "sequence"),
                                    numberOf(note, "valueId"),
                                    numberOf(note, "mm"),
                                    static_cast<std::uint16_t>(numberOf(note, "device")),
                                    static_cast<std::uint16_t>(numberOf(note, "length")),
                                    numberOf(note, "dataType"),
                                    data->type == zvtrace::Type::None ? nullptr : units.data()};
            callOut(lock,
                    [fn = m_valueFn, context = m_valueContext, &info] { fn(context, &info); });
            return;
        }
    }
}

void ReplayEngine::run() {
    zvtrace::Record note;
    bool have = false, ended = false;
    std::unique_lock<std::mutex> lock(m_mutex);
    while (!m_stop) {
        if (!m_later.empty()) {
            const LaterPieces answer = m_later.front();
            m_later.pop_front();
            pieces(lock, answer, false);
            continue;
        }
        if (m_timeline && !ended) {
            if (!have) {
                lock.unlock();
                have = nextNote(note);
                lock.lock();
                ended = !have;
                continue;
            }
            const std::uint64_t origin = m_index->origin;
            const Time due = m_zero + Time(note.head.start > origin ? note.head.start - origin : 0);
            const VirtualClock::Reading clock = m_clock.Read();
            if (clock.now >= due) {
                deliverNote(lock, note);
                have = false;
                continue;
            }
            if (const auto at = m_clock.RealTimeOf(due)) {
                m_wake.wait_until(lock, *at);
                continue;
            }
        }
        m_wake.wait(lock);
    }
}

}  // namespace zvsim
