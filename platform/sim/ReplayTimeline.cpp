// The replay's registrations, its Process answers and its own thread: the trace's notifications
// handed out again, each as it was recorded, at its time after the first registration on the
// engine's clock (so a frozen clock hands them out as it is advanced, a faster one sooner), and
// the pieces of an answer that the engine's thread delivered after its call.
//
// Locks: m_mutex is never held while a capture or response function runs (one may call back into
// the engine), nor taken under the index's.
#include <cstring>
#include <vector>

#include "CallsOut.h"
#include "JournalCall.h"
#include "ReplayEngine.h"
#include "ReplayIndex.h"

namespace zvsim {
namespace {

using Time = VirtualClock::Time;

std::uint32_t field(const zvtrace::Record& r, const char* name) {
    return r.find(name)->number;
}

}  // namespace

template <class Capture>
void ReplayEngine::callOut(std::unique_lock<std::mutex>& lock, Capture capture) {
    ++m_calls;
    {
        const CallOut out(this);
        lock.unlock();
        capture();
        lock.lock();
    }
    --m_calls;
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
    const LaterPieces answer{n, r.head.thread, *request};
    std::unique_lock<std::mutex> lock(m_mutex);
    // The pieces its caller's thread was handed within the call, then the rest on the thread.
    if (pieces(lock, answer, true) && !m_stop && startThread()) {
        m_later.push_back(answer);
        m_wake.notify_all();
    }
    return call.answer(r.head.status);
}

bool ReplayEngine::pieces(std::unique_lock<std::mutex>& lock, const LaterPieces& answer,
                          bool sameThread) {
    const std::uint64_t epoch = m_epoch;
    bool others = false;
    zvtrace::Record piece;
    try {
        m_index->Pieces(answer.call, piece, [&](const zvtrace::Record& p) {
            if (m_stop || m_epoch != epoch) return false;
            if ((p.head.thread == answer.callThread) != sameThread) {
                others = true;
                return true;
            }
            const std::string& text = p.find("text")->bytes;
            // The buffer the piece came in, within the format's bound, holding what it held.
            std::vector<char> buf(
                std::min<std::uint32_t>(field(p, "bufSize"), zvtrace::kMaxBytesField));
            if (buf.size() < text.size()) buf.resize(text.size());
            std::memcpy(buf.data(), text.data(), text.size());
            ZvCallbackInfo cbi{
                answer.request.pUserData,
                p.head.status,
                static_cast<std::int32_t>(field(p, "reqType")),
                static_cast<std::int32_t>(field(p, "reqParam")),
                field(p, "sequence"),
                0,
                static_cast<std::uint32_t>(buf.size()),
                std::min<std::uint32_t>(field(p, "outLen"), static_cast<std::uint32_t>(buf.size())),
                buf.data()};
            callOut(lock, [&] { answer.request.pfnCallback(&cbi); });
            return true;
        });
    } catch (const std::exception&) {
        return false;  // the trace changed under the replay: the answer ends here
    }
    return others;
}

bool ReplayEngine::nextNote(zvtrace::Record& note) {
    try {
        if (!m_notes) m_notes = std::make_unique<zvtrace::Reader>(m_index->path);
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
            callOut(lock, [fn = m_pldFn, context = m_pldContext, count = field(note, "count")] {
                fn(context, count);
            });
            return;
        case zvtrace::NoteKind::Event: {
            if (m_eventFn == nullptr) return;
            const ZvVEventInfo info{field(note, "sequence"), field(note, "eventId"),
                                    static_cast<std::uint16_t>(field(note, "device")),
                                    static_cast<std::uint16_t>(field(note, "state")),
                                    field(note, "groupId")};
            callOut(lock,
                    [fn = m_eventFn, context = m_eventContext, &info] { fn(context, &info); });
            return;
        }
        case zvtrace::NoteKind::ValueChange: {
            if (m_valueFn == nullptr) return;
            const zvtrace::Value* data = note.find("data");
            std::vector<std::uint16_t> units(data->bytes.size() / 2 + 1);
            const auto* at = reinterpret_cast<const unsigned char*>(data->bytes.data());
            for (std::size_t i = 0; i + 1 < units.size(); ++i)
                units[i] = zvtrace::Get16(at + 2 * i);
            // A record that came without its data pointer goes out without one.
            const ZvValChgInfo info{field(note, "sequence"),
                                    field(note, "valueId"),
                                    field(note, "mm"),
                                    static_cast<std::uint16_t>(field(note, "device")),
                                    static_cast<std::uint16_t>(field(note, "length")),
                                    field(note, "dataType"),
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
