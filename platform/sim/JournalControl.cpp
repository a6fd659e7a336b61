// The call journal's side of the engine: each call journaled as it is answered, and the journal,
// journal_clear and wait commands.
#include <nlohmann/json.hpp>

#include "Controls.h"
#include "JournalCall.h"

namespace zvsim {

void SimEngine::journalCall(Op op, const CallTarget& target,
                            std::chrono::steady_clock::time_point start, Y4_Status status) {
    // A caller that holds answers itself sends this one later: its time is filled in then.
    const bool held = m_reportHolds.load() && Controls::holding();
    const std::uint64_t seq = m_journal.record(op, target, start, status, held);
    if (held && seq != 0) Controls::holdEntry(seq);
}

bool SimEngine::SetJournalCapacity(std::size_t entries) {
    return m_journal.setCapacity(entries);
}

void SimEngine::JournalCall(Op op, Y4_Status status) {
    NoteCallBegun();
    m_journal.record(op, CallTarget{}, std::chrono::steady_clock::now(), status, false);
    const bool reg = op == Op::RegPldCntChng || op == Op::RegVelEvent || op == Op::RegValueChange;
    if (reg && status == kOk) ClientRegistered();
}

void SimEngine::JournalCall(Op op, const ZvVelPntDfn* pnt, Y4_Status status) {
    Call call(*this, op, TargetOf(pnt), pnt->deviceIdx);
    call.answer(status);
}

void SimEngine::JournalReplied(std::uint64_t seq, bool dropped) {
    m_journal.answered(seq, dropped);
}

std::shared_ptr<Journal::Wait> SimEngine::StartWait(const std::string& text, std::string& answer,
                                                    std::chrono::milliseconds& timeout) {
    const auto refuse = [&answer](const std::string& error) {
        answer = nlohmann::json{{"ok", false}, {"error", error}}.dump();
        return nullptr;
    };
    Command c;
    if (std::string error = DecodeCommand(text, c); !error.empty()) return refuse(error);
    if (c.verb != Verb::Wait) return refuse("not a wait");
    std::string refusal;
    std::shared_ptr<Journal::Wait> wait =
        m_journal.startWait(c.filter, c.count, c.timeoutMs, refusal);
    if (!wait) return refuse(refusal);
    timeout = std::chrono::milliseconds(c.timeoutMs);
    return wait;
}

bool SimEngine::WaitMet(const std::shared_ptr<Journal::Wait>& wait) const {
    return m_journal.met(wait);
}

std::string SimEngine::EndWait(const std::shared_ptr<Journal::Wait>& wait) {
    return m_journal.endWait(wait);
}

void SimEngine::OnWaitMet(std::function<void()> wake) {
    m_journal.onWaitMet(std::move(wake));
}

std::string SimEngine::journal(const Command& c) {
    if (c.verb == Verb::Journal) return m_journal.query(c.filter, c.limit);
    if (c.verb == Verb::JournalClear) {
        m_journal.clear();
        return nlohmann::json{{"ok", true}, {"done", "journal cleared"}}.dump();
    }
    // No lock of the engine's is held while the caller waits: the calls it waits for go on.
    std::string refusal;
    const std::shared_ptr<Journal::Wait> wait =
        m_journal.startWait(c.filter, c.count, c.timeoutMs, refusal);
    if (!wait) return nlohmann::json{{"ok", false}, {"error", refusal}}.dump();
    m_journal.block(wait,
                    std::chrono::steady_clock::now() + std::chrono::milliseconds(c.timeoutMs));
    return m_journal.endWait(wait);
}

}  // namespace zvsim
