// The daemon's connections, all served by one thread: accepting them within limits, reading
// their requests, answering them through the operations, sending what is queued for them and
// ending the ones that are idle, stuck in a frame, or do not read.
#ifndef PLD_ENGINED_EVENT_LOOP_H
#define PLD_ENGINED_EVENT_LOOP_H

#include <signal.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include <nlohmann/json.hpp>

#include "Admission.h"
#include "Connection.h"
#include "FanOut.h"
#include "HeldReplies.h"
#include "HeldWaits.h"
#include "Operations.h"
#include "StateFile.h"
#include "Throttle.h"
#include "sim/SimEngine.h"

namespace pldengined {

struct Limits {
    std::size_t maxConnections = 1024;
    bool capByDescriptors = false;  // maxConnections was lowered to leave the daemon descriptors
    int idleTimeoutSec = 300;       // a connection without registrations that asks nothing; 0: none
    int frameTimeoutSec = 10;       // from a frame's first byte to its last
    // A client that takes nothing from its socket this long while frames wait for it.
    int sendTimeoutSec = 3;
    zvwire::Limits request = zvwire::kRequestLimits;
};

class EventLoop {
  public:
    // `admit` says whether the peer on a newly accepted socket may be served (it logs a refusal).
    EventLoop(zvsim::SimEngine& engine, FanOut& fanOut, StateFile& state, Limits limits,
              std::function<bool(int)> admit);
    ~EventLoop();
    EventLoop(const EventLoop&) = delete;
    EventLoop& operator=(const EventLoop&) = delete;

    // Serves `listener` and its connections until `stop` is set; signals are taken only while
    // the loop waits, with `waitMask`. False, with `error`, if the loop cannot be set up.
    bool Run(int listener, const sigset_t* waitMask, const volatile sig_atomic_t& stop,
             std::string& error);
    // Closes every connection.
    void CloseAll();
    // `restart` is called on the loop's thread once a restart was asked for and the replies
    // queued then were sent as far as the sockets take them; it returns only when it failed,
    // and the loop goes on.
    void OnRestart(std::function<void()> restart) { m_restart = std::move(restart); }
    // `sweep` is called on the loop's thread a few times a second: there the admission tells
    // the refusals it has not told yet.
    void OnSweep(std::function<void(Clock::time_point)> sweep) { m_onSweep = std::move(sweep); }
    // Any thread: asks the loop for a restart.
    void AskRestart();

  private:
    // How long the listener rests when accepting fails for want of anything but descriptors.
    static constexpr std::chrono::milliseconds kAcceptPause{100};

    struct BatchedWrite {
        std::shared_ptr<Connection> connection;
        nlohmann::json request, reply;
        ClientWrite write;
    };

    // One wait and what it brought.
    void turn(const sigset_t* waitMask);
    void accept(Clock::time_point now);
    void refuse(Clock::time_point now, const char* why);
    // The lines of refusals and evictions that `n` of them are due, and of those not told yet.
    void tellRefused(unsigned long n);
    void tellEvicted(unsigned long n);
    void tellWithheld(Clock::time_point now);
    // At the cap: closes the connection idle longest to make room for `fd`'s; false if none may go.
    bool makeRoom(Clock::time_point now);
    void open(int fd, Clock::time_point now);
    // `hungUp`: the peer ended its input or hung up, or the socket failed, as epoll said.
    void read(const std::shared_ptr<Connection>& c, Clock::time_point now, bool hungUp = false);
    void serve(const std::shared_ptr<Connection>& c, Clock::time_point now);
    void commit();
    void flush(const std::shared_ptr<Connection>& c, Clock::time_point now);
    void sweep(Clock::time_point now);
    void update(const std::shared_ptr<Connection>& c);
    void finishIfDone(const std::shared_ptr<Connection>& c);
    void drop(const std::shared_ptr<Connection>& c, const std::string& why);
    void close(const std::shared_ptr<Connection>& c);
    void wake(const std::shared_ptr<Connection>& c);
    void wakeLoop();
    bool paused(const Connection& c) const;
    // Sends `frame` to `c`, or holds it back as `hold` says.
    void reply(const std::shared_ptr<Connection>& c, Frame frame,
               const zvsim::SimEngine::Hold& hold);
    void release();
    // Sends the replies of the waits met or timed out (HeldWaits.cpp).
    void answerWaits(Clock::time_point now);
    void restart(Clock::time_point now);

    zvsim::SimEngine& m_engine;
    FanOut& m_fanOut;
    StateFile& m_state;
    const Limits m_limits;
    const std::function<bool(int)> m_admit;

    int m_epoll = -1;
    const int m_wakeFd;  // made with the loop: any thread may wake it, before it runs too
    int m_listener = -1;
    int m_spare = -1;  // given up to refuse a connection when no descriptor is left
    bool m_listening = false;
    Clock::time_point m_acceptAgain;
    bool m_acceptFailing = false;
    Throttle m_refusals, m_evictions;
    const char* m_refusedWhy = "";  // the reason of the last refusal
    long m_evictedIdleSec = 0;      // how long the last connection closed to make room was idle
    // The lines of connections opened, dropped and closed, each kind on its own.
    LineBudget m_openedLines{20}, m_droppedLines{20}, m_closedLines{20};
    LineBudget m_unchangedLines{20};  // of control commands that changed nothing
    Clock::time_point m_nextSweep;
    unsigned m_nextId = 0;
    std::thread::id m_loopThread;
    std::vector<std::uint8_t> m_readBuffer;

    std::unordered_map<int, std::shared_ptr<Connection>> m_connections;
    Admission m_admission;
    std::vector<std::shared_ptr<Connection>> m_ready;  // frames read, waiting to be served
    std::vector<BatchedWrite> m_batch;                 // committed together after each wait

    std::mutex m_wokenMutex;
    std::vector<std::shared_ptr<Connection>> m_woken;  // frames queued, or a drop asked

    HeldReplies m_held;
    HeldWaits m_waits;
    std::function<void()> m_restart;
    std::function<void(Clock::time_point)> m_onSweep;
    std::atomic<bool> m_restartAsked{false};
};

}  // namespace pldengined

#endif
