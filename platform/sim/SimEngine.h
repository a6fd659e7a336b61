// The simulated engine: answers the message client's calls from a catalogue of devices, data
// points and events, with the statuses of the device's engine, and delivers notifications on a
// thread of its own. docs/simulated-engine.md describes all of it.
#ifndef ZV_SIM_ENGINE_H
#define ZV_SIM_ENGINE_H

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "Journal.h"
#include "VirtualClock.h"
#include "ZvPldEngine.h"
#include "ZvPldStatus.h"

namespace zvsim {

// The statuses it answers with, by the names its code and its callers use.
using namespace zvstatus;

// What a status means, in a few words; "unknown status" for any other value.
ZV_PLD_PLATFORM_API const char* StatusText(Y4_Status status);

enum class Kind { Int, UInt, Text, Enum };

enum Access : std::uint32_t { kRead = 1, kWrite = 2 };

struct State {
    std::uint16_t value;
    std::string name;
};

struct Point {
    std::uint32_t gddId = 0;
    std::string label;
    std::string description;  // empty: none of its own
    Kind kind = Kind::Int;
    std::uint32_t accessRights = kRead;  // kRead, or kRead | kWrite
    std::uint32_t dataType = 0;
    std::uint32_t uomId = 0;
    std::uint32_t normFactor = 1;  // a power of ten: the number of decimals shown
    std::uint32_t arrayDim = 1;
    std::vector<std::string> units;  // unit label per unit-of-measure selector
    std::int64_t min = INT32_MIN;
    std::int64_t max = UINT32_MAX;
    std::uint32_t enumType = 0;
    std::vector<State> states;
    std::vector<std::int64_t> values;  // one per module: Int, UInt, Enum
    std::vector<std::string> texts;    // one per module: Text
    // A live point's values walk by `step` each engine tick, turning back at min and max (an
    // enumeration steps through its states); each change is a value-change notification.
    bool live = false;
    std::int64_t step = 1;
    std::uint32_t report = 0;  // GddId of the report that holds the point; 0: none
    // Not 0: every value read of the point answers this status, as a broken sensor's does.
    Y4_Status fails = 0;
    std::size_t modules() const { return kind == Kind::Text ? texts.size() : values.size(); }
};

// A report of a device. Reports form trees: a report's parent is one module of another report
// of the same device, and a report's ancestors are its parent, the parent's parent, and so on.
struct Report {
    std::uint32_t gddId = 0;
    std::vector<std::string> labels;  // one per module; their number is the module count
    std::uint32_t auxValue = 0;       // handed out with the report in ancestor records
    std::uint32_t parent = 0;         // GddId of the parent report; 0: none
    std::uint16_t parentModule = 0;   // the parent's module, from 0
    bool ancestorRecord = true;       // false: the ancestor request answers 85 for it
};

// A device's product identity as the engine hands it out. The engine does not check it: a
// block of fewer than 2 or more than 8 identifiers, or with revision 0, reaches the client.
struct ProductIdentity {
    std::vector<std::uint16_t> ids;  // at most 8, the record's room
    std::uint8_t revision = 0;
};

struct Device {
    std::uint16_t index = 0;
    std::string name;
    bool offline = false;
    std::optional<ProductIdentity> identity;  // none: GetProdSeqId answers null
    std::string fdmVersion;
    std::map<std::uint32_t, Point> points;
    std::uint32_t maxAncestors = 0;  // no report of the device has more ancestors
    std::map<std::uint32_t, Report> reports;
};

// What is wrong with the device's reports (an unknown parent or parent module, a cycle, a chain
// longer than maxAncestors, a report without labels, a point naming an unknown report), or ""
// when nothing is.
std::string ReportProblem(const Device& device);

// An event of the engine. By convention state 0 is inactive and any other state active.
struct Event {
    std::uint32_t id = 0;
    std::uint32_t groupId = 0;
    std::uint16_t deviceIdx = 0;
    std::string label;
    std::uint16_t state = 0;  // the current state
    // Every `period` ticks the event takes the next state of `cycle`, in turn and wrapping
    // round; an empty cycle or a period of 0: it changes only through SetEventState.
    std::vector<std::uint16_t> cycle;
    std::uint32_t period = 0;
};

// How the answer to the active-events request reaches the request's response function: from
// within Process, on the caller's thread, or later from the engine's delivering thread.
enum class AnswerDelivery { Process, Thread };

struct Catalogue {
    std::map<std::uint16_t, Device> devices;
    std::map<std::uint32_t, Event> events;
    std::uint32_t tickMs = 1000;  // the engine tick; 0: no ticks, nothing changes by itself
    // The active-events answer goes out in pieces of pieceSize bytes (1 to 65536).
    std::uint32_t pieceSize = 16;
    AnswerDelivery answerDelivery = AnswerDelivery::Thread;

    // Each throws std::runtime_error naming what is wrong with the catalogue.
    ZV_PLD_PLATFORM_API static Catalogue FromJson(const std::string& text);
    ZV_PLD_PLATFORM_API static Catalogue FromFile(const std::string& path);
    ZV_PLD_PLATFORM_API static Catalogue BuiltIn();
};

// A point's value as the engine renders it: numbers with the decimals of the norm factor,
// enumerations by state name.
ZV_PLD_PLATFORM_API std::string RenderValue(const Point& point, std::int64_t raw);
// Whether values can be rendered with that norm factor: 1, 10, 100 ... 1000000000.
ZV_PLD_PLATFORM_API bool RendersNormFactor(std::uint32_t normFactor);

class Controls;
class Feed;
struct Command;
struct StepPlayed;

class ZV_PLD_PLATFORM_API SimEngine : public ZvPldEngine,
                                      public std::enable_shared_from_this<SimEngine> {
  public:
    explicit SimEngine(Catalogue catalogue);

    // "sim" or "" for the built-in catalogue, "sim:FILE" for a catalogue file, "replay:FILE" for
    // the replay of a trace (ReplayEngine.h); any other text also gives the built-in catalogue.
    // Throws std::runtime_error for a bad catalogue file or trace.
    static std::shared_ptr<SimEngine> FromClientText(const char* first);

    ~SimEngine() override;
    SimEngine(const SimEngine&) = delete;
    SimEngine& operator=(const SimEngine&) = delete;

    // The catalogue as it stands, with the events' current states.
    Catalogue Snapshot() const;
    // The points' values as JSON text, for a state file that outlives the engine.
    std::string ValuesJson() const;
    // Takes back values saved by ValuesJson. Every value must fit its point (the point known,
    // the same type and module count, within range): otherwise nothing changes and this throws
    // std::runtime_error saying what does not fit. No value-change notification is raised.
    void LoadValues(const std::string& text);
    // The PLD count, the point list's revision: 1 at the start, one more with each PLD-count
    // change (AddPoint, RemovePoint, SetReportParent, AnnouncePldCount, and each PLD count of a
    // flood).
    std::uint32_t PldCount() const;
    // The device's maxAncestors as the catalogue has it, 0 for an unknown device. Not an engine
    // call: neither journaled nor held. The daemon sizes an ancestor request's buffer by it.
    std::uint32_t MaxAncestors(std::uint16_t deviceIdx) const;

    int Init() override;
    Y4_Status UnReg(int what) override;
    void Close() override;

    Y4_Status RegPldCntChng(ZvPldCntChngFn capture, void* context, std::uint16_t regArg) override;
    Y4_Status RegVelEvent(ZvVelEventFn capture, void* context, std::uint16_t regArg) override;
    Y4_Status RegValueChange(ZvValueChangeFn capture, void* context, std::uint16_t regArg) override;

    // Control of the simulation, for tools and tests. Notifications that these cause are queued
    // for the delivering thread and delivered in order; each call returns at once.
    void AnnouncePldCount();                                   // a PLD-count change, on request
    Y4_Status AddPoint(std::uint16_t deviceIdx, Point point);  // the point list changes
    Y4_Status RemovePoint(std::uint16_t deviceIdx, std::uint32_t gddId);
    Y4_Status SetEventState(std::uint32_t eventId, std::uint16_t state);
    // Makes the parent's module `parentModule` (from 0) the report's parent; parent 0 makes it
    // a report without ancestors. A change of the report structure: a PLD-count change.
    Y4_Status SetReportParent(std::uint16_t deviceIdx, std::uint32_t reportGddId,
                              std::uint32_t parentGddId, std::uint16_t parentModule);
    // Load: `perKind` notifications of each registered kind, interleaved, as fast as the
    // delivering thread can make them (value changes carry `units` 16-bit units of data).
    void Flood(std::uint32_t perKind, std::uint16_t units = 8);
    // Waits until every notification and answer queued so far has been delivered (or dropped by
    // UnReg).
    void Flush();

    // Run-time control (docs/simulated-engine.md, "Run-time control"): one command as JSON text,
    // answered as JSON text. A refused command changes nothing. Never throws.
    std::string Control(const std::string& command);

    // Where an answer held back by a delay or a stall waits. Wait: the calling thread waits.
    // Report: the call returns at once and its caller takes the hold with TakeHold() and holds
    // the answer back itself (the daemon, which must not block its event loop).
    enum class Holding { Wait, Report };
    void SetHolding(Holding holding);
    struct Hold {
        std::chrono::milliseconds delay{0};
        bool stalled = false;
        std::uint64_t stallEpoch = 0;
        std::uint64_t releases = 0;    // the releases made before it: one after lets it go
        std::uint64_t journalSeq = 0;  // the call's journal entry, held until its reply goes
    };
    // The hold of the last engine call made on this thread, taken once.
    Hold TakeHold();
    // Whether an answer stalled in that epoch may go out now.
    bool StallReleased(std::uint64_t stallEpoch) const;
    // Whether held answers were released (`release`, `reset`, a stall cleared) since that hold's
    // `releases`: its delay is cut short then.
    bool ReleasedSince(std::uint64_t releases) const;
    // `wake` is called, on the releasing thread, after held answers are released; it takes the
    // place of the one set before, and null sets none (its owner is going).
    void OnRelease(std::function<void()> wake);
    // The newest simulated engine alive in this process, or null.
    static std::shared_ptr<SimEngine> Latest();

    // The call journal (Journal.h): every engine call a client makes, but Init and Close.
    // Its room in entries, 100000 at the start; 0 switches it off. Empties it; false, with the
    // journal off, when there is no memory for it.
    bool SetJournalCapacity(std::size_t entries);
    // A call the daemon answers for the engine (a client's Reg or UnReg), for this thread's caller.
    void JournalCall(Op op, Y4_Status status);
    // A write the daemon answers without the engine (its save failed), for this thread's caller:
    // journaled, and its answer held by a delay or a stall, as the engine's own calls are.
    void JournalCall(Op op, const ZvVelPntDfn* pnt, Y4_Status status);
    // A held reply's entry (Hold::journalSeq): it went now, or was dropped with its connection.
    void JournalReplied(std::uint64_t seq, bool dropped);
    // A wait command for a caller that must not block (the daemon): null, with its answer in
    // `answer`, when it is refused; else it is pending until WaitMet, or its timeout (in
    // `timeout`), and EndWait answers it. `wake` is called when a wait is met, under the
    // journal's lock; null: none.
    std::shared_ptr<Journal::Wait> StartWait(const std::string& command, std::string& answer,
                                             std::chrono::milliseconds& timeout);
    bool WaitMet(const std::shared_ptr<Journal::Wait>& wait) const;
    std::string EndWait(const std::shared_ptr<Journal::Wait>& wait);
    void OnWaitMet(std::function<void()> wake);
    // The event feed (Feed.h): each control command that changed something, and each scenario
    // step told, as one JSON object to every subscriber in order, on the feed's thread. The
    // subscription's number, or 0 when the feed can have no thread.
    std::uint64_t Subscribe(std::function<void(const std::string& event)> subscriber);
    // Once it returns, the subscriber is not called again.
    void Unsubscribe(std::uint64_t subscription);
    // A scenario player tells a step it played, after its command's own event.
    void TellStep(const StepPlayed& step);
    // The engine's own time (VirtualClock.h), which the clock command freezes, runs and advances.
    const VirtualClock& EngineClock() const { return m_clock; }
    // The seed a full reset goes back to when it names none: the engine's seed at its start.
    void SetStartingSeed(std::uint64_t seed);

    Y4_Status GetVelPntStrLabel(const ZvVelPntDfn* pnt, unsigned int size, char* buf) override;
    Y4_Status GetVelPntStrDscrptn(const ZvVelPntDfn* pnt, unsigned int size, char* buf) override;
    Y4_Status GetVelPntStrUoM(const ZvVelPntDfn* pnt, unsigned int size, char* buf) override;
    Y4_Status GetVelPntStr(const ZvVelPntDfn* pnt, unsigned int size, char* buf) override;

    Y4_Status GetVelPntInt32(const ZvVelPntDfn* pnt, std::int32_t* value) override;
    Y4_Status GetVelPntUint32(const ZvVelPntDfn* pnt, std::uint32_t* value) override;
    Y4_Status SetVelPntStr(const ZvVelPntDfn* pnt, const char* value,
                           std::uint16_t setParam) override;
    Y4_Status SetVelPntInt32(const ZvVelPntDfn* pnt, std::int32_t value,
                             std::uint16_t setParam) override;
    Y4_Status SetVelPntUint32(const ZvVelPntDfn* pnt, std::uint32_t value,
                              std::uint16_t setParam) override;

    Y4_Status GetVelPntAccessRights(const ZvVelPntDfn* pnt, std::uint32_t* value) override;
    Y4_Status GetVelPntDataType(const ZvVelPntDfn* pnt, std::uint32_t* value) override;
    Y4_Status GetVelPntDsplyNF(const ZvVelPntDfn* pnt, std::uint32_t* value) override;
    Y4_Status GetVelPntUoMId(const ZvVelPntDfn* pnt, Y4paVelDsply* dsply) override;
    std::uint32_t GetMaxRprtMMCnt(std::uint16_t deviceIdx, std::uint32_t gddId) override;
    std::uint32_t GetMaxPntArrayDim(std::uint16_t deviceIdx, std::uint32_t gddId) override;

    std::uint32_t GetMaxNmbrAncstrs(unsigned short deviceIdx) override;
    std::uint32_t GetPointsRprt(unsigned short deviceIdx, unsigned long gddId) override;
    Y4_Status GetRprtAncstr(ZvVelRprtDfn* rprt) override;
    Y4_Status GetVelRprtStrLabel(ZvVelRprtDfn* rprt, unsigned int size, char* buf) override;

    Y4_Status GetVelEnumStateInfo(std::uint16_t deviceIdx, std::uint32_t gddId,
                                  ZvEnumStateType* type, std::uint16_t* count,
                                  unsigned int maxCount, std::uint16_t* values) override;
    Y4_Status GetVelEnumStateStr(const ZvVelPntEnum* state, unsigned int size, char* buf) override;

    Y4_Status Process(ZvPldEngInfo* request) override;
    Y4_Status GetVelServerInventory(ZvVelInventory* inventory) override;
    ZvProductIdentSeq* GetProdSeqId(unsigned short deviceIdx) override;
    Y4_Status GetVelFDMVersion(int deviceIdx, int size, char* buf) override;

  protected:
    // For the replay (ReplayEngine.h), which answers the calls itself and keeps this engine's
    // journal, controls and clock: a daemon's client registered for a notification, the
    // engine's clock was frozen, run or advanced. Called with no lock of the engine's held.
    virtual void ClientRegistered() {}
    virtual void ClockChanged() {}

  private:
    friend class ReplayEngine;
    // Where a request lands: the point, and the module's slot for value requests.
    struct Target {
        Y4_Status status = kOk;
        Point* point = nullptr;
        std::size_t module = 0;
    };
    enum class Need { Catalogue, Value };
    Target find(std::uint16_t deviceIdx, std::uint32_t gddId, std::uint16_t mmIdx, Need need);
    Y4_Status readNumber(const ZvVelPntDfn* pnt, std::int64_t* raw);
    Y4_Status writeNumber(const ZvVelPntDfn* pnt, std::int64_t raw);
    Y4_Status attribute(Op op, const ZvVelPntDfn* pnt, std::uint32_t Point::*field,
                        std::uint32_t* value);

    // Notifications are made and delivered by a Delivery (Delivery.h), which owns the
    // delivering thread. The engine only queues work there, with m_mutex held so that the
    // notifications go out in the order of the changes; it never calls a capture function.
    class Delivery;
    template <class Capture>
    Y4_Status reg(Capture capture, void* context);
    void queueValueChange(std::uint16_t deviceIdx, const Point& point, std::size_t module);
    void queueEventChange(const Event& event);
    void queuePldCount(std::uint32_t count);
    // Work queued and not yet taken by the delivering thread.
    std::size_t queuedWork();
    void tick();  // on the delivering thread: live points and events move on

    // Run-time control (Control.cpp, Controls.cpp). hold() is called first by each engine call
    // that answers a client, with m_mutex not held: it waits out or reports the answer's delay
    // and stall. device < 0: the call is not about one device.
    std::string control(const Command& command);
    std::string plant(const Command& command);
    std::string set(const Command& command);
    void hold(int device);
    void runPlants();  // on the plant's thread: the plants due now move

    // An answer to a request passed through, and where it goes.
    struct Answer {
        std::string text;
        std::uint32_t pieceSize = 1;
        int (*respond)(ZvCallbackInfo* cbi) = nullptr;
        void* userData = nullptr;
        std::int32_t reqType = 0;
        std::int32_t reqParam = 0;
    };
    std::string activeEventsText() const;  // m_mutex held
    // Sends the answer as the catalogue says: queued for the delivering thread, or delivered on
    // this thread. Called with m_mutex held by `lock`, which it releases.
    Y4_Status sendAnswer(std::unique_lock<std::mutex>& lock, Answer answer);

    // The virtual clock and the full reset (Clock.cpp, FullReset.cpp). m_clockMutex, taken
    // before any other, makes the clock commands one at a time.
    std::string clock(const Command& command);
    std::string advance(std::uint32_t ms);
    void clockChanged(bool restartTick = false);  // wakes whatever waits on the clock
    void settle();  // waits out a tick or plant update under way (no engine lock held)
    std::string fullReset(const Command& command);
    void restartCycles();  // m_mutex held: each event's cycle from its state
    VirtualClock m_clock;
    std::mutex m_clockMutex;

    mutable std::mutex m_mutex;  // the catalogue, and the tick state below
    Catalogue m_catalogue;
    const Catalogue m_loaded;  // as the engine was made with: what a full reset goes back to
    std::uint64_t m_startingSeed = 1;
    std::shared_ptr<Delivery> m_delivery;
    std::atomic<std::uint32_t> m_pldCount{1};
    // Tick state: each live point's heading per module (+1 or -1), each event's ticks since
    // its last step and its place in its cycle.
    std::map<std::pair<std::uint16_t, std::uint32_t>, std::vector<int>> m_headings;
    struct EventRun {
        std::uint32_t age = 0;
        std::size_t place = 0;
    };
    std::map<std::uint32_t, EventRun> m_eventRuns;
    std::shared_ptr<Controls> m_controls;
    std::atomic<bool> m_reportHolds{false};

    // The call journal (JournalControl.cpp): each engine call is a Call (JournalCall.h), which
    // waits out or reports its hold first and is journaled once answered.
    class Call;
    std::string journal(const Command& command);
    void journalCall(Op op, const CallTarget& target, std::chrono::steady_clock::time_point start,
                     Y4_Status status);
    // The journal's times are the host's: a call's latency is real whatever the engine's clock.
    const std::chrono::steady_clock::time_point m_started = std::chrono::steady_clock::now();
    mutable Journal m_journal{m_started};
    // The event feed: last, so that it stops first and no subscriber hears of a closing engine.
    std::shared_ptr<Feed> m_feed;
};

}  // namespace zvsim

#endif
