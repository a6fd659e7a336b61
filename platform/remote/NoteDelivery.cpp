#include "NoteDelivery.h"

#include <algorithm>
#include <exception>
#include <optional>
#include <string>
#include <utility>

#include "Fields.h"
#include "Messages.h"
#include "Names.h"
#include "Wire.h"

namespace zvremote {

namespace {

using json = nlohmann::json;
using Note = NoteDelivery::Note;
using zvwire::Number;
namespace key = zvwire::key;
namespace note = zvwire::note;

const char* const kKindNames[] = {note::kPld, note::kEvent, note::kValue};

thread_local const NoteDelivery* t_delivering = nullptr;  // the delivery this thread runs

// Reads a notification or piece into `note`: false for a message that is neither, or one whose
// fields do not read.
bool readNote(const json& message, Note& note) {
    const std::optional<std::string> ntf = zvwire::Text(message, key::kNtf);
    if (ntf == note::kPld) {
        note.kind = NoteDelivery::kPld;
        note.count = Number<unsigned long>(message, key::kCount);
    } else if (ntf == note::kEvent) {
        note.kind = NoteDelivery::kEvent;
        note.event = zvwire::EventOf(zvwire::Object(message, key::kInfo));
    } else if (ntf == note::kValue) {
        note.kind = NoteDelivery::kValue;
        note.value = zvwire::ValueChangeOf(zvwire::Object(message, key::kInfo));
        for (const json& unit : zvwire::List(message, key::kData)) {
            note.data.push_back(zvwire::NumberOf<std::uint16_t>(unit, key::kData));
        }
        // The receiver reads `length` units at pData: never more than arrived.
        note.value.length = static_cast<std::uint16_t>(
            std::min<std::size_t>({note.value.length, note.data.size()}));
    } else if (ntf == note::kPiece) {
        note.piece = true;
        note.req = Number<std::uint32_t>(message, key::kReq);
        note.info = zvwire::PieceOf(message);
        // The buffer is the engine's whole buffer, and arrives in one frame.
        if (note.info.procOutBufSize > zvwire::kMaxFrame ||
            note.info.procOutLen > note.info.procOutBufSize) {
            return false;
        }
        const std::vector<std::uint8_t>& buf = zvwire::Bytes(message, key::kBuf);
        note.buf.assign(note.info.procOutBufSize, '\0');
        std::copy_n(buf.begin(), std::min(buf.size(), note.buf.size()), note.buf.begin());
    } else {
        return false;
    }
    return true;
}

}  // namespace

void NoteDelivery::Start(RemoteConnection& connection, std::shared_ptr<void> owner) {
    m_connection = &connection;
    m_thread = std::thread([this, owner = std::move(owner)] { loop(); });
}

std::thread NoteDelivery::Stop() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_closed = true;
    clear();
    m_noteReady.notify_all();
    return std::move(m_thread);
}

void NoteDelivery::Finish(std::thread delivery) const {
    if (!delivery.joinable()) return;
    if (t_delivering == this) {
        delivery.detach();  // closed from within a capture: its loop ends when it returns
    } else {
        delivery.join();
    }
}

json NoteDelivery::RegRequest(Kind kind, std::uint16_t regArg) {
    return {{key::kOp, zvwire::op::kReg}, {key::kKind, kKindNames[kind]}, {key::kRegArg, regArg}};
}

NoteDelivery::Registration NoteDelivery::Register(Kind kind, const Registration& registration) {
    std::lock_guard<std::mutex> lock(m_mutex);
    return std::exchange(m_regs[kind], registration);
}

void NoteDelivery::Registered(Kind kind, void (*capture)(), bool kept, const Registration& before) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!kept) {
        m_regs[kind] = before;
    } else if (m_regs[kind].capture == capture) {
        m_regs[kind].replay = true;
    }
    m_noteReady.notify_all();
}

std::uint32_t NoteDelivery::Expect(int (*respond)(ZvCallbackInfo*), void* userData) {
    std::lock_guard<std::mutex> lock(m_mutex);
    const std::uint32_t req = m_nextReq++;
    m_answers[req] = Answer{respond, userData};
    return req;
}

void NoteDelivery::Forget(std::uint32_t req) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_answers.erase(req);
}

void NoteDelivery::WithdrawAll() {
    std::unique_lock<std::mutex> lock(m_mutex);
    clear();
    if (t_delivering != this) m_idle.wait(lock, [&] { return !m_calling; });
}

void NoteDelivery::clear() {
    m_regs = {};
    m_answers.clear();
    m_notes.clear();
    m_noteBytes = 0;
}

std::vector<json> NoteDelivery::Greeting() {
    std::vector<json> requests;
    std::lock_guard<std::mutex> lock(m_mutex);
    for (int kind = kPld; kind < kKinds; ++kind) {
        if (m_regs[kind].replay) {
            requests.push_back(RegRequest(static_cast<Kind>(kind), m_regs[kind].regArg));
        }
    }
    return requests;
}

// Process: the pieces of its answer come on this connection, and end with it.
void NoteDelivery::Sending(const json& request, std::uint64_t generation) {
    const auto req = request.find(key::kReq);
    if (req == request.end()) return;
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto answer = m_answers.find(req->get<std::uint32_t>());
    if (answer != m_answers.end()) answer->second.generation = generation;
}

bool NoteDelivery::Receive(const json& message) {
    Note note;
    try {
        if (!readNote(message, note)) return false;
    } catch (const std::exception&) {
        return false;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_noteBytes + note.Bytes() > kMaxQueuedBytes) return false;
    m_noteBytes += note.Bytes();
    m_notes.push_back(std::move(note));
    m_noteReady.notify_one();
    return true;
}

void NoteDelivery::Ended(std::uint64_t generation) {
    std::lock_guard<std::mutex> lock(m_mutex);
    for (auto answer = m_answers.begin(); answer != m_answers.end();) {
        // Their pieces went with the connection.
        answer = answer->second.generation == generation ? m_answers.erase(answer) : ++answer;
    }
    m_noteReady.notify_all();  // the delivering thread reconnects
}

bool NoteDelivery::reconnectWanted() const {
    return !m_closed && m_connection->Broken() &&
           std::any_of(m_regs.begin(), m_regs.end(),
                       [](const Registration& r) { return r.replay; });
}

// Delivers the notes; between them, while the client holds registrations and has no connection,
// reconnects, retrying ever less often.
void NoteDelivery::loop() {
    constexpr std::chrono::milliseconds kFirstRetry{100}, kLastRetry{2000};
    t_delivering = this;
    std::chrono::milliseconds backoff = kFirstRetry;
    Deadline retry{};
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        if (m_closed) return;
        if (m_notes.empty()) {
            const Deadline now = Clock::now();
            if (!reconnectWanted()) {
                m_noteReady.wait(lock);
            } else if (now < retry) {
                m_noteReady.wait_until(lock, retry);
            } else {
                lock.unlock();
                const bool connected = m_connection->Reconnect();
                lock.lock();
                retry = now + backoff;
                backoff = connected ? kFirstRetry : std::min(backoff * 2, kLastRetry);
            }
            continue;
        }
        Note note = std::move(m_notes.front());
        m_notes.pop_front();
        m_noteBytes -= note.Bytes();
        Answer answer;
        const Registration registration = m_regs[note.kind];
        if (note.piece) {
            const auto found = m_answers.find(note.req);
            if (found == m_answers.end()) continue;
            answer = found->second;
            if (note.info.procOutLen < note.info.procOutBufSize) m_answers.erase(found);
        } else if (registration.capture == nullptr) {
            continue;
        }
        m_calling = true;
        lock.unlock();
        if (note.piece) {
            note.info.pUserData = answer.userData;
            note.info.pProcOutBuf = note.buf.data();
            answer.respond(&note.info);
        } else if (note.kind == kPld) {
            reinterpret_cast<ZvPldCntChngFn>(registration.capture)(registration.context,
                                                                   note.count);
        } else if (note.kind == kEvent) {
            reinterpret_cast<ZvVelEventFn>(registration.capture)(registration.context, &note.event);
        } else {
            note.value.pData = note.data.data();
            reinterpret_cast<ZvValueChangeFn>(registration.capture)(registration.context,
                                                                    &note.value);
        }
        lock.lock();
        m_calling = false;
        m_idle.notify_all();
    }
}

}  // namespace zvremote
