// The replay: a simulated engine that answers each call with the answer a trace recorded for the
// same request, and hands out the trace's notifications again on the engine's clock. Its
// catalogue, journal, controls and clock are the simulated engine's, so the daemon, status and
// the tools work on it as on any. docs/simulated-engine.md, "Replay", describes it.
#ifndef ZV_SIM_REPLAY_ENGINE_H
#define ZV_SIM_REPLAY_ENGINE_H

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "SimEngine.h"

namespace zvtrace {
struct Record;
class Reader;
}  // namespace zvtrace

namespace zvsim {

class ReplayIndex;
class RequestKey;

class ZV_PLD_PLATFORM_API ReplayEngine : public SimEngine {
  public:
    // The replay of the trace at `path`; std::runtime_error naming the file, and the byte
    // offset of a record that breaks the format.
    static std::shared_ptr<ReplayEngine> FromFile(const std::string& path);
    // The same with the index's memory bound at `maxIndexBytes` rather than 64 MiB (for tests).
    static std::shared_ptr<ReplayEngine> FromFile(const std::string& path,
                                                  std::size_t maxIndexBytes);
    explicit ReplayEngine(std::unique_ptr<ReplayIndex> index);
    ~ReplayEngine() override;

    int Init() override;
    Y4_Status UnReg(int what) override;
    void Close() override;
    Y4_Status RegPldCntChng(ZvPldCntChngFn capture, void* context, std::uint16_t regArg) override;
    Y4_Status RegVelEvent(ZvVelEventFn capture, void* context, std::uint16_t regArg) override;
    Y4_Status RegValueChange(ZvValueChangeFn capture, void* context, std::uint16_t regArg) override;

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
    void ClientRegistered() override;
    void ClockChanged() override;

  private:
    // The call's recorded answer into `record` (and its record's number in the trace into
    // `number`): false, with `target` marked unrecorded for the call's journal entry, when the
    // trace holds none.
    bool recall(const RequestKey& key, zvtrace::Record& record, CallTarget& target,
                std::uint64_t* number = nullptr);
    Y4_Status text(Op op, const ZvVelPntDfn* pnt, unsigned int size, char* buf);
    template <class T>
    Y4_Status number(Op op, const ZvVelPntDfn* pnt, T* value, const char* field);
    Y4_Status write(Op op, RequestKey& key, const ZvVelPntDfn* pnt);
    std::uint32_t count(Op op, const RequestKey& key, const CallTarget& target, int device,
                        std::uint32_t failure);
    template <class Fn>
    Y4_Status reg(Fn& slot, void*& slotContext, Fn capture, void* context);

    // The timeline (ReplayTimeline.cpp): the trace's notifications, each at its time after the
    // first registration, and the pieces of answers delivered after their call; all on the
    // replay's own thread, with no lock held while a capture or response function runs.
    struct LaterPieces {
        std::uint64_t call = 0;
        std::uint16_t callThread = 0;
        Y4_Status status = 0;  // the call's: only an accepted answer goes on after it
        ZvPldEngInfo request{};
    };
    void startTimeline();
    bool startThread();  // m_mutex held
    void run();
    // Delivers the pieces of the call numbered `call` written by a thread that is (`sameThread`)
    // or is not the call's, up to the first short one; true when the other thread's are to come.
    bool pieces(std::unique_lock<std::mutex>& lock, const LaterPieces& answer, bool sameThread);
    bool laterAnswersFull();  // the answers waiting for the thread are at their bound
    bool nextNote(zvtrace::Record& note);
    void deliverNote(std::unique_lock<std::mutex>& lock, const zvtrace::Record& note);
    template <class Capture>
    void callOut(std::unique_lock<std::mutex>& lock, Capture capture);
    void stopThread();

    std::unique_ptr<ReplayIndex> m_index;
    std::mutex m_mutex;  // the registrations and the timeline below
    std::condition_variable m_wake, m_idle;
    ZvPldCntChngFn m_pldFn = nullptr;
    void* m_pldContext = nullptr;
    ZvVelEventFn m_eventFn = nullptr;
    void* m_eventContext = nullptr;
    ZvValueChangeFn m_valueFn = nullptr;
    void* m_valueContext = nullptr;
    std::uint64_t m_epoch = 0;          // UnRegs so far: an answer begun before one goes no further
    std::uint64_t m_registrations = 0;  // the clients' registrations so far
    bool m_timeline = false;  // started: m_zero is the engine time of the registration that did
    VirtualClock::Time m_zero{0};
    std::deque<LaterPieces> m_later;
    std::size_t m_calls = 0;  // capture and response calls under way
    bool m_stop = false, m_started = false;
    std::thread m_thread;
    std::thread::id m_threadId;
    std::unique_ptr<zvtrace::Reader> m_notes;  // the replay thread's own
};

}  // namespace zvsim

#endif
