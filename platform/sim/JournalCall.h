// One engine call a client makes, journaled: begun with its hold (waited out, or reported to a
// caller that holds the answer itself), ended by its answer, whatever return it leaves by.
#ifndef ZV_SIM_JOURNAL_CALL_H
#define ZV_SIM_JOURNAL_CALL_H

#include "SimEngine.h"

namespace zvsim {

class SimEngine::Call {
  public:
    // `holdDevice` < 0: the call is not about one device; `holds` false: no control holds it.
    Call(SimEngine& engine, Op op, const CallTarget& target, int holdDevice, bool holds = true)
        : m_engine(engine), m_op(op), m_target(target), m_start(std::chrono::steady_clock::now()) {
        NoteCallBegun();
        if (holds) engine.hold(holdDevice);
    }
    ~Call() { m_engine.journalCall(m_op, m_target, m_start, m_status); }
    Call(const Call&) = delete;
    Call& operator=(const Call&) = delete;

    Y4_Status answer(Y4_Status status) { return m_status = status; }
    // A call that answers a value: the status journaled with it.
    template <class T>
    T answer(T value, Y4_Status status) {
        m_status = status;
        return value;
    }

  private:
    SimEngine& m_engine;
    const Op m_op;
    const CallTarget m_target;
    const std::chrono::steady_clock::time_point m_start;
    Y4_Status m_status = kOk;
};

// What a call about a device, and perhaps a point of it, is about.
inline CallTarget DeviceTarget(std::uint16_t device) {
    return {JournalEntry::kDevice, device, 0, 0, 0};
}
inline CallTarget PointTarget(std::uint16_t device, std::uint32_t point) {
    return {JournalEntry::kDevice | JournalEntry::kPoint, device, point, 0, 0};
}
inline CallTarget ReportTarget(const ZvVelRprtDfn* rprt) {
    return {JournalEntry::kDevice | JournalEntry::kPoint | JournalEntry::kModule, rprt->deviceIdx,
            rprt->gddId, rprt->mmIdx, 0};
}

}  // namespace zvsim

#endif
