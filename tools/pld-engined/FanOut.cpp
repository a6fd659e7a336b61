#include "FanOut.h"

#include <algorithm>
#include <new>

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
    std::lock_guard<std::mutex> lock(m_answersMutex);
    m_answers.clear();
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
    auto pending = std::make_unique<PendingAnswer>(
        PendingAnswer{this, connection, req, connection->unregs.load()});
    PendingAnswer* const context = pending.get();
    info.pfnCallback = &FanOut::onPiece;
    info.pUserData = context;
    ++connection->answering;  // until forget()
    {
        std::lock_guard<std::mutex> lock(m_answersMutex);
        m_answers.emplace(context, std::move(pending));
    }
    const Y4_Status status = m_engine.Process(&info);
    // A refused request gets no piece. An accepted one's last piece frees the context, maybe
    // already: it is not touched here after that.
    if (status != zvsim::kOk) forget(context);
    return status;
}

int FanOut::onPiece(ZvCallbackInfo* cbi) {
    auto* pending = static_cast<PendingAnswer*>(cbi->pUserData);
    const auto connection = pending->connection.lock();
    if (connection && connection->unregs == pending->unregs) try {
            connection->SendNote(FrameOf(zvwire::PieceJson(pending->req, *cbi)));
        } catch (const std::bad_alloc&) {  // on the engine's thread: nothing may escape
            connection->Drop("no memory for a piece of an answer");
        }
    if (cbi->procOutLen < cbi->procOutBufSize) pending->fanOut->forget(pending);
    return 0;
}

void FanOut::forget(PendingAnswer* answer) {
    std::unique_ptr<PendingAnswer> gone;
    std::lock_guard<std::mutex> lock(m_answersMutex);
    const auto it = m_answers.find(answer);
    if (it != m_answers.end()) {
        gone = std::move(it->second);
        m_answers.erase(it);
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
