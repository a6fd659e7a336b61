// The calls out of the simulated engine (a capture or response function, called with no lock
// held) that this thread has under way, innermost first, as frames on its stack: nothing is
// allocated. An UnReg or Close made from within such a call must not wait for that call to end,
// so each waiter counts the calls of its own owner on its thread and leaves them out.
#ifndef ZV_SIM_CALLS_OUT_H
#define ZV_SIM_CALLS_OUT_H

#include <cstddef>
#include <mutex>

namespace zvsim {

class CallOut {
  public:
    // One call out of `owner` (its address names it), for this object's life.
    explicit CallOut(const void* owner) : m_owner(owner), m_outer(t_innermost) {
        t_innermost = this;
    }
    ~CallOut() { t_innermost = m_outer; }
    CallOut(const CallOut&) = delete;
    CallOut& operator=(const CallOut&) = delete;

    // How many of `owner`'s calls this thread has under way.
    static std::size_t Here(const void* owner) {
        std::size_t n = 0;
        for (const CallOut* c = t_innermost; c != nullptr; c = c->m_outer) n += c->m_owner == owner;
        return n;
    }

  private:
    const void* m_owner;
    const CallOut* m_outer;
    static inline thread_local const CallOut* t_innermost = nullptr;
};

// Calls `capture` with `lock` let go, counted in `calls` and as a call out of `owner` meanwhile;
// `lock` is held again when it returns.
template <class Capture>
void CallUnlocked(const void* owner, std::unique_lock<std::mutex>& lock, std::size_t& calls,
                  Capture& capture) {
    ++calls;
    {
        const CallOut out(owner);
        lock.unlock();
        capture();
        lock.lock();
    }
    --calls;
}

}  // namespace zvsim

#endif
