// The simulated engine's call journal: a ring of fixed-size entries, one per engine call a client
// made (Init and Close aside), with who called, what, the status answered, how long the answer
// took and the controls that shaped it; and the waits for calls that match a filter.
//
// Recording takes the journal's mutex and stores one entry: no formatting, no allocation. The
// names of the controls that shaped a call are kept once, in a bounded table cleared with the
// journal, and entries name them by their place there.
//
// Locks: the journal's mutex is innermost: it is taken with no other lock of the engine's held,
// but by a reset, which empties the journal under the catalogue's mutex; nothing else is taken or
// called while it is held but a wait's wake.
#ifndef ZV_SIM_JOURNAL_H
#define ZV_SIM_JOURNAL_H

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "ZvPldEngine.h"

namespace zvsim {

// The engine calls a journal names, in the order of kOpWords.
enum class Op : std::uint8_t {
    UnReg,
    RegPldCntChng,
    RegVelEvent,
    RegValueChange,
    GetVelPntStrLabel,
    GetVelPntStrDscrptn,
    GetVelPntStrUoM,
    GetVelPntStr,
    GetVelPntInt32,
    GetVelPntUint32,
    SetVelPntStr,
    SetVelPntInt32,
    SetVelPntUint32,
    GetVelPntAccessRights,
    GetVelPntDataType,
    GetVelPntDsplyNF,
    GetVelPntUoMId,
    GetMaxRprtMMCnt,
    GetMaxPntArrayDim,
    GetMaxNmbrAncstrs,
    GetPointsRprt,
    GetRprtAncstr,
    GetVelRprtStrLabel,
    GetVelEnumStateInfo,
    GetVelEnumStateStr,
    Process,
    GetVelServerInventory,
    GetProdSeqId,
    GetVelFDMVersion,
};
// The ops' names separated by '|', for the decoder's choice of an op.
extern const char* const kOpWords;
std::string OpName(Op op);

// Who makes the engine calls on this thread: in process (connection 0), a daemon's connection
// and its peer's pid, or no one to journal (the daemon's own registration).
struct Caller {
    std::int32_t connection = 0;
    std::int32_t pid = 0;
    bool journaled = true;
};
// Sets this thread's caller until the scope ends.
class ZV_PLD_PLATFORM_API CallerScope {
  public:
    explicit CallerScope(Caller caller);
    ~CallerScope();
    CallerScope(const CallerScope&) = delete;
    CallerScope& operator=(const CallerScope&) = delete;

  private:
    Caller m_before;
};
Caller CurrentCaller();

// A control that shaped the call under way on this thread: noted without a lock or allocation,
// from the call's start on.
void NoteCallBegun();
void NoteControl(const std::string& name);

struct JournalEntry {
    static constexpr std::int64_t kHeld = -1;     // tookUs: its reply is held still
    static constexpr std::int64_t kDropped = -2;  // tookUs: held, and its client went first
    // kUnrecorded: a replay held no answer for the call (not a part of it, a mark on it).
    enum Has : std::uint8_t { kDevice = 1, kPoint = 2, kModule = 4, kAux = 8, kUnrecorded = 16 };
    std::uint64_t seq;
    std::int64_t atUs;    // the call, since the engine started
    std::int64_t tookUs;  // from request to answer
    std::int32_t connection;
    std::int32_t pid;
    std::uint32_t point;
    std::int32_t status;
    std::uint16_t device;
    std::uint16_t module;
    std::uint16_t aux;
    std::uint8_t op;
    std::uint8_t has;
    std::uint8_t controls[4];  // places in the name table, from 1; 0: none
    std::uint8_t moreControls;
};

// What a call is about: the parts of it that it has (JournalEntry::Has).
struct CallTarget {
    std::uint8_t has = 0;
    std::uint16_t device = 0;
    std::uint32_t point = 0;
    std::uint16_t module = 0;
    std::uint16_t aux = 0;
};
CallTarget TargetOf(const ZvVelPntDfn* pnt);

// Which entries a journal or wait command is about; each part optional.
struct JournalFilter {
    int op = -1;
    bool hasDevice = false, hasPoint = false, hasClient = false;
    std::uint16_t device = 0;
    std::uint32_t point = 0;
    std::int32_t client = 0;  // a connection number; 0: in process
    std::uint64_t since = 0;  // entries after this sequence number
    bool matches(const JournalEntry& e) const;
};

class Journal {
  public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::size_t kDefaultCapacity = 100000;
    static constexpr std::size_t kMaxWaits = 256;

    explicit Journal(Clock::time_point started);

    // Empties the journal and gives it room for `entries` (0: off); false, with the journal off,
    // when there is no memory for them.
    bool setCapacity(std::size_t entries);
    // Empties it; sequence numbers go on.
    void clear();

    // The entry of a call begun at `start` and answered now with `status`, or still to be
    // answered when `held`: its sequence number, or 0 when nothing was recorded.
    std::uint64_t record(Op op, const CallTarget& target, Clock::time_point start, Y4_Status status,
                         bool held);
    // A held entry's reply went now, or was dropped with its connection.
    void answered(std::uint64_t seq, bool dropped);

    // The answer to a journal command, as JSON text: the first `limit` entries matching, their
    // count, the newest sequence number, the times' percentiles, the entries kept and the room.
    std::string query(const JournalFilter& filter, std::size_t limit) const;

    // A wait for `count` calls matching `filter` made after its `since`, for at most
    // `timeoutMs`; null, with why in `refusal`, when kMaxWaits are pending or the journal is
    // off (no call would ever count). Calls journaled already are counted at once.
    struct Wait;
    std::shared_ptr<Wait> startWait(const JournalFilter& filter, std::uint64_t count,
                                    std::uint32_t timeoutMs, std::string& refusal);
    // Blocks until the wait is met or `deadline`; whether it is met.
    bool block(const std::shared_ptr<Wait>& wait, Clock::time_point deadline);
    bool met(const std::shared_ptr<Wait>& wait) const;
    // Ends the wait: its answer, ok when it is met, as JSON text.
    std::string endWait(const std::shared_ptr<Wait>& wait);
    // `wake` is called, under the journal's lock, when a wait is met; null: none.
    void onWaitMet(std::function<void()> wake);

  private:
    std::int64_t sinceStart(Clock::time_point t) const;
    JournalEntry* entryOf(std::uint64_t seq);
    void countForWaits(const JournalEntry& e);
    std::uint64_t oldestKept() const;

    const Clock::time_point m_started;
    mutable std::mutex m_mutex;
    std::condition_variable m_waitMet;
    std::unique_ptr<JournalEntry[]> m_ring;
    std::size_t m_capacity = 0;
    std::uint64_t m_next = 1;       // the next sequence number
    std::uint64_t m_firstKept = 1;  // entries before it were cleared
    // The controls' names entries refer to, cleared with them.
    static constexpr std::size_t kNames = 255, kNameBytes = 65;
    char m_names[kNames][kNameBytes];
    std::size_t m_nameCount = 0;
    std::vector<std::shared_ptr<Wait>> m_waits;
    std::function<void()> m_wake;
};

}  // namespace zvsim

#endif
