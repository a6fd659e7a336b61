#include "FanOut.h"

#include <algorithm>
#include <new>

#include "Log.h"
#include "Messages.h"
#include "Names.h"

namespace pldengined {

using nlohmann::json;
namespace key = zvwire::key;
namespace note = zvwire::note;

struct FanOut::PendingAnswer {
    FanOut* fanOut;
    std::weak_ptr<Connection> connection;
    json req;
    unsigned unregs;
};

namespace {

// Answers under way per connection: an engine that never ends its answers (a replay of a trace
// cut short, a careless one) must not let one client grow them without bound.
constexpr unsigned kMaxAnswering = 256;

// Every fan-out's answers under way, by the number handed to the engine as the answer's context:
// a piece whose number is no longer here belongs to an answer already ended, and is dropped,
// whatever the engine delivers after it (a freed context is never touched).
std::mutex g_answersMutex;
std::map<std::uintptr_t, std::shared_ptr<FanOut::PendingAnswer>> g_answers;
std::uintptr_t g_nextAnswer = 0;

}  // namespace

FanOut::FanOut(zvsim::SimEngine& engine) : m_engine(engine) {}

FanOut::~FanOut() {
    Stop();
}

bool FanOut::Start() {
    const zvsim::CallerScope daemon({0, 0, false});  // the daemon's own calls: not a client's
    m_started = m_engine.RegPldCntChng(&FanOut::onPldCount, this, 0) == zvsim::kOk &&
                m_engine.RegVelEvent(&FanOut::onEvent, this, 0) == zvsim::kOk &&
                m_engine.RegValueChange(&FanOut::onValue, this, 0) == zvsim::kOk;
    if (m_started) {
        m_feed = m_engine.Subscribe([this](const std::string& event) {
            send(kFeed, {{key::kFeed, json::parse(event)}});
        });
    }
    return m_started;
}

void FanOut::Stop() {
    if (m_feed != 0) m_engine.Unsubscribe(std::exchange(m_feed, 0));
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_live.clear();
    }
    if (std::exchange(m_started, false)) {
        const zvsim::CallerScope daemon({0, 0, false});
        m_engine.UnReg(1);
    }
    // No piece can come any more: the answers' contexts go.
    std::lock_guard<std::mutex> lock(g_answersMutex);
    for (auto it = g_answers.begin(); it != g_answers.end();) {
        it = it->second->fanOut == this ? g_answers.erase(it) : std::next(it);
    }
}

void FanOut::Add(const std::shared_ptr<Connection>& connection) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_live.push_back(connection);
}

void FanOut::Remove(const std::shared_ptr<Connection>& connection) {
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto it = std::find(m_live.begin(), m_live.end(), connection);
    if (it != m_live.end()) {
        *it = std::move(m_live.back());
        m_live.pop_back();
    }
}

Y4_Status FanOut::Process(const std::shared_ptr<Connection>& connection, const json& req,
                          ZvPldEngInfo& info) {
    if (connection->answering >= kMaxAnswering) {
        if (const unsigned long refused = m_refusals.Count(Throttle::Clock::now()))
            Log("process refused %lu time(s): %u answers to one client still under way", refused,
                kMaxAnswering);
        return zvsim::kRejected;
    }
    std::uintptr_t id = 0;
    {
        auto pending = std::make_shared<PendingAnswer>(
            PendingAnswer{this, connection, req, connection->unregs.load()});
        std::lock_guard<std::mutex> lock(g_answersMutex);
        do {
            id = ++g_nextAnswer;
        } while (id == 0 || g_answers.count(id) != 0);
        g_answers.emplace(id, std::move(pending));
    }
    info.pfnCallback = &FanOut::onPiece;
    info.pUserData = reinterpret_cast<void*>(id);
    ++connection->answering;  // until forget()
    const Y4_Status status = m_engine.Process(&info);
    // A refused request's answer ends here; an accepted one ends at its last piece, maybe already.
    if (status != zvsim::kOk) forget(id);
    return status;
}

int FanOut::onPiece(ZvCallbackInfo* cbi) {
    const auto id = reinterpret_cast<std::uintptr_t>(cbi->pUserData);
    std::shared_ptr<PendingAnswer> pending;
    {
        std::lock_guard<std::mutex> lock(g_answersMutex);
        const auto it = g_answers.find(id);
        if (it == g_answers.end()) return 0;  // the answer ended: nobody waits for this piece
        pending = it->second;
    }
    const auto connection = pending->connection.lock();
    if (connection && connection->unregs == pending->unregs) try {
            connection->SendNote(FrameOf(zvwire::PieceJson(pending->req, *cbi)));
        } catch (const std::bad_alloc&) {  // on the engine's thread: nothing may escape
            connection->Drop("no memory for a piece of an answer");
        }
    if (cbi->procOutLen < cbi->procOutBufSize) forget(id);
    return 0;
}

void FanOut::forget(std::uintptr_t id) {
    std::shared_ptr<PendingAnswer> gone;
    std::lock_guard<std::mutex> lock(g_answersMutex);
    const auto it = g_answers.find(id);
    if (it != g_answers.end()) {
        gone = std::move(it->second);
        g_answers.erase(it);
        if (const auto connection = gone->connection.lock()) --connection->answering;
    }
}

void FanOut::send(Kind kind, const json& message) {
    std::lock_guard<std::mutex> lock(m_mutex);
    Frame frame;
    for (const auto& c : m_live) {
        if ((c->kinds & kind) == 0) continue;
        try {
            if (!frame) frame = FrameOf(message);
            c->SendNote(frame);
        } catch (const std::bad_alloc&) {  // on the engine's thread: nothing may escape
            c->Drop("no memory for a notification");
        }
    }
}

void FanOut::onPldCount(void* context, unsigned long count) {
    static_cast<FanOut*>(context)->send(kPld, {{key::kNtf, note::kPld}, {key::kCount, count}});
}

void FanOut::onEvent(void* context, const ZvVEventInfo* info) {
    static_cast<FanOut*>(context)->send(
        kEvent, {{key::kNtf, note::kEvent}, {key::kInfo, zvwire::EventJson(*info)}});
}

void FanOut::onValue(void* context, const ZvValChgInfo* info) {
    static_cast<FanOut*>(context)->send(
        kValue,
        {{key::kNtf, note::kValue},
         {key::kInfo, zvwire::ValueChangeJson(*info)},
         {key::kData, std::vector<std::uint16_t>(info->pData, info->pData + info->length)}});
}

}  // namespace pldengined
