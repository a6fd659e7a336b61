#include "EventLoop.h"

#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <exception>
#include <new>

#include "Fields.h"
#include "Io.h"
#include "JsonPack.h"
#include "Log.h"
#include "Names.h"
#include "Operations.h"

namespace pldengined {

using nlohmann::json;

namespace {

constexpr std::size_t kReadChunk = 16u << 10;
// A connection with this much queued is read no further until the queue drains: replies do not
// pile up behind a client that asks and does not read.
constexpr std::size_t kPauseAt = 256u << 10;
constexpr auto kSweepEvery = std::chrono::milliseconds(250);
constexpr int kEventsPerWait = 64;
// A connection with this many replies held back by the engine is read no further until some go;
// once this many are held in all, no connection that holds one is read further.
constexpr std::size_t kMaxHeld = 256;
constexpr std::size_t kMaxHeldInAll = 4096;
// Frames served from one connection in a pass of the loop: the rest wait for the next pass, so
// that a connection with a long pipeline of requests does not hold up the others' answers.
constexpr int kFramesPerPass = 8;

}  // namespace

EventLoop::EventLoop(zvsim::SimEngine& engine, FanOut& fanOut, StateFile& state, Limits limits,
                     std::function<bool(int)> admit)
    : m_engine(engine),
      m_fanOut(fanOut),
      m_state(state),
      m_limits(limits),
      m_admit(std::move(admit)),
      m_wakeFd(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)),
      m_readBuffer(kReadChunk),
      m_held(engine),
      m_waits(engine) {}

EventLoop::~EventLoop() {
    m_engine.OnRelease([] {});  // the engine outlives the loop
    m_engine.OnWaitMet(nullptr);
    CloseAll();
    if (m_epoll >= 0) ::close(m_epoll);
    if (m_wakeFd >= 0) ::close(m_wakeFd);
    if (m_spare >= 0) ::close(m_spare);
}

bool EventLoop::Run(int listener, const sigset_t* waitMask, const volatile sig_atomic_t& stop,
                    std::string& error) {
    m_loopThread = std::this_thread::get_id();
    m_listener = listener;
    // Accepting goes on until the queue is empty: the listener must not block.
    ::fcntl(listener, F_SETFL, ::fcntl(listener, F_GETFL) | O_NONBLOCK);
    m_epoll = ::epoll_create1(EPOLL_CLOEXEC);
    m_spare = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    epoll_event in{};
    in.events = EPOLLIN;
    in.data.fd = m_wakeFd;
    bool ok =
        m_epoll >= 0 && m_wakeFd >= 0 && ::epoll_ctl(m_epoll, EPOLL_CTL_ADD, m_wakeFd, &in) == 0;
    in.data.fd = listener;
    ok = ok && ::epoll_ctl(m_epoll, EPOLL_CTL_ADD, listener, &in) == 0;
    if (!ok) {
        error = std::string("cannot wait for connections: ") + std::strerror(errno);
        return false;
    }
    m_listening = true;
    // The loop must not wait for the engine: a delayed or stalled answer is held here instead.
    m_engine.SetHolding(zvsim::SimEngine::Holding::Report);
    m_engine.OnRelease([this] {
        m_held.Released();
        wakeLoop();
    });
    m_engine.OnWaitMet([this] { wakeLoop(); });

    while (stop == 0) {
        try {
            turn(waitMask);
        } catch (const std::bad_alloc&) {
            // What this pass had in hand is lost; the connections it was serving time out.
            Log("no memory for a pass of the loop");
        }
    }
    return true;
}

void EventLoop::turn(const sigset_t* waitMask) {
    epoll_event events[kEventsPerWait];
    const Clock::time_point before = Clock::now();
    int timeout = static_cast<int>(m_waits.Wait(before, m_held.Wait(kSweepEvery)).count());
    if (!m_ready.empty()) timeout = 0;
    const int n = ::epoll_pwait(m_epoll, events, kEventsPerWait, timeout, waitMask);
    if (n < 0 && errno != EINTR) Log("epoll_pwait: %s", std::strerror(errno));
    const Clock::time_point now = Clock::now();
    for (int i = 0; i < n; ++i) {
        const int fd = events[i].data.fd;
        if (fd == m_listener) {
            accept(now);
        } else if (fd == m_wakeFd) {
            std::uint64_t count = 0;
            [[maybe_unused]] const ssize_t got = ::read(m_wakeFd, &count, sizeof count);
        } else if (const auto it = m_connections.find(fd); it != m_connections.end()) {
            const std::shared_ptr<Connection> c = it->second;
            if ((events[i].events & EPOLLOUT) != 0) flush(c, now);
            const std::uint32_t gone = EPOLLHUP | EPOLLERR | EPOLLRDHUP;
            if ((events[i].events & (EPOLLIN | gone)) != 0) {
                read(c, now, (events[i].events & gone) != 0);
            }
        }
    }
    std::vector<std::shared_ptr<Connection>> ready;
    ready.swap(m_ready);
    for (const auto& c : ready) {
        if (c->closed) continue;
        c->backlog = false;
        serve(c, now);
        update(c);
        finishIfDone(c);
    }
    commit();
    std::vector<std::shared_ptr<Connection>> woken;
    {
        std::lock_guard<std::mutex> lock(m_wokenMutex);
        woken.swap(m_woken);
    }
    for (const auto& c : woken) {
        if (c->closed) continue;
        if (const auto why = c->DropReason()) {
            drop(c, *why);
        } else {
            flush(c, now);
        }
    }
    release();
    answerWaits(Clock::now());
    if (m_restartAsked.exchange(false)) restart(now);
    if (!m_listening && now >= m_acceptAgain) {
        epoll_event again{};
        again.events = EPOLLIN;
        again.data.fd = m_listener;
        m_listening = ::epoll_ctl(m_epoll, EPOLL_CTL_ADD, m_listener, &again) == 0;
        if (!m_listening) m_acceptAgain = now + kAcceptPause;
    }
    if (now >= m_nextSweep) {
        sweep(now);
        m_nextSweep = now + kSweepEvery;
    }
}

void EventLoop::CloseAll() {
    std::vector<std::shared_ptr<Connection>> all;
    for (const auto& entry : m_connections) all.push_back(entry.second);
    for (const auto& c : all) close(c);
    m_ready.clear();
    m_batch.clear();
    m_held.Clear();
    m_waits.Clear();
    std::lock_guard<std::mutex> lock(m_wokenMutex);
    m_woken.clear();
}

void EventLoop::read(const std::shared_ptr<Connection>& c, Clock::time_point now, bool hungUp) {
    if (c->closed) return;
    if (paused(*c) || c->ended || c->backlog) {
        // Only the peer's end or an error brings it here. A peer that stopped asking with replies
        // held, perhaps all that pauses it, is closed at once; else whether it is gone, a send
        // tells.
        if (hungUp && c->held > 0) return close(c);
        flush(c, now);
        return;
    }
    const ssize_t n = zvwire::Recv(c->Fd(), m_readBuffer.data(), m_readBuffer.size(), MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
    if (n < 0) {
        close(c);
        return;
    }
    if (n == 0) {
        c->ended = true;
    } else {
        try {
            c->decoder.Feed(m_readBuffer.data(), static_cast<std::size_t>(n));
        } catch (const std::bad_alloc&) {
            drop(c, "no memory for its frame");
            return;
        }
    }
    serve(c, now);  // at the end too: frames read before it may wait, left by a pause
    if (c->closed) return;
    // The replies go out at once, on this pass: queued for its end, they would first ask the
    // kernel to watch the socket for room and then to stop.
    if (!c->DropReason()) return flush(c, now);
    update(c);
    finishIfDone(c);
}

void EventLoop::serve(const std::shared_ptr<Connection>& c, Clock::time_point now) {
    bool served = false;
    for (int frames = 0; !c->awaitingCommit && !paused(*c); ++frames) {
        if (frames == kFramesPerPass) {
            // The rest on the next pass; the socket is read no further until they are served.
            if (!c->backlog && c->decoder.Buffered() > 0) {
                c->backlog = true;
                m_ready.push_back(c);
            }
            break;
        }
        const std::uint8_t* bytes = nullptr;
        std::size_t size = 0;
        const auto result = c->decoder.NextBytes(bytes, size);
        if (result == zvwire::FrameDecoder::Result::NeedMore) break;
        if (result == zvwire::FrameDecoder::Result::Bad) {
            drop(c, "malformed frame: " + c->decoder.Error());
            return;
        }
        served = true;
        c->lastRequest = now;
        m_admission.Touch(*c);
        try {
            // The engine's journal names the client of each call made for this request.
            const zvsim::CallerScope caller({static_cast<std::int32_t>(c->Id()), c->pid});
            Call call{m_engine, m_fanOut, c, m_unchangedLines, m_held};
            Frame read;
            if (AnswerInPlace(call, c->decoder.Fields().Root(bytes), read)) {
                reply(c, std::move(read), m_engine.TakeHold());
                continue;
            }
            json message = zvwire::ReadJson(bytes, size);
            Answer answer = AnswerTo(call, message);
            const zvsim::SimEngine::Hold hold = m_engine.TakeHold();
            if (answer.restart) AskRestart();
            if (answer.saveValues) m_state.Save();
            if (answer.write) {
                m_batch.push_back(BatchedWrite{c, std::move(message), std::move(answer.reply),
                                               std::move(*answer.write)});
                c->awaitingCommit = true;
            } else if (answer.wait) {
                m_waits.Hold(c, answer.reply[zvwire::key::kId], answer.wait, answer.waitTimeout,
                             now);
            } else {
                reply(c, ReplyFrame(*c, message, answer.reply),
                      answer.control ? zvsim::SimEngine::Hold{} : hold);
            }
        } catch (const std::bad_alloc&) {
            m_engine.TakeHold();  // not left for the next request
            drop(c, "no memory for its request");
            return;
        } catch (const std::exception& e) {  // Malformed, or a field of the wrong type
            m_engine.TakeHold();
            drop(c, std::string("malformed request: ") + e.what());
            return;
        }
    }
    // A frame begun and not yet whole is timed from its first byte that was read.
    if (c->decoder.Buffered() == 0) {
        c->partialSince.reset();
    } else if (!c->partialSince || served) {
        c->partialSince = now;
    }
}

void EventLoop::flush(const std::shared_ptr<Connection>& c, Clock::time_point now) {
    if (c->closed) return;
    const bool wasPaused = paused(*c);
    if (c->Flush(now) == Connection::Flushed::Failed) {
        close(c);
        return;
    }
    if (wasPaused && !paused(*c)) m_ready.push_back(c);
    update(c);
    finishIfDone(c);
}

bool EventLoop::paused(const Connection& c) const {
    return c.Queued() + c.heldBytes >= kPauseAt || c.held >= kMaxHeld ||
           (c.held > 0 && m_held.Count() >= kMaxHeldInAll);
}

void EventLoop::update(const std::shared_ptr<Connection>& c) {
    if (c->closed) return;
    std::uint32_t want = 0;
    if (!c->ended && !c->awaitingCommit && !c->backlog && !paused(*c)) want |= EPOLLIN;
    // Its end of input must be seen even while it is read no further, to let its replies go.
    if (!c->ended && c->held > 0) want |= EPOLLRDHUP;
    if (c->StalledSince()) want |= EPOLLOUT;
    if (want == c->events) return;
    epoll_event ev{};
    ev.events = want;
    ev.data.fd = c->Fd();
    if (::epoll_ctl(m_epoll, EPOLL_CTL_MOD, c->Fd(), &ev) == 0) c->events = want;
}

void EventLoop::finishIfDone(const std::shared_ptr<Connection>& c) {
    if (c->closed || !c->ended || c->awaitingCommit || c->backlog) return;
    // A client that sent its last byte gets its replies first, to all its whole frames: those a
    // pause left are served once it is over, however its end and the pause's end fell together.
    if (c->decoder.Waiting()) {
        if (!paused(*c)) {
            c->backlog = true;
            m_ready.push_back(c);
        }
        return;
    }
    // Held replies would go to a client that has stopped asking: it has given up on them (a
    // deadline passed) or is gone, so they go with the connection rather than waiting for a
    // release that may never come.
    if (c->held > 0 || c->Queued() == 0) close(c);
}

void EventLoop::drop(const std::shared_ptr<Connection>& c, const std::string& why) {
    if (c->closed) return;
    if (m_droppedLines.Take(Clock::now())) {
        Log("connection %u dropped: %s", c->Id(), why.c_str());
    }
    close(c);
}

void EventLoop::close(const std::shared_ptr<Connection>& c) {
    if (c->closed) return;
    c->closed = true;
    c->Retire();
    m_admission.Remove(*c);
    m_fanOut.Remove(c);
    m_held.Forget(*c);
    m_waits.Forget(*c);
    ::epoll_ctl(m_epoll, EPOLL_CTL_DEL, c->Fd(), nullptr);
    // The descriptor itself is closed with the last reference (a piece under way may hold one).
    ::shutdown(c->Fd(), SHUT_RDWR);
    m_connections.erase(c->Fd());
    if (m_closedLines.Take(Clock::now())) Log("connection %u closed", c->Id());
}

void EventLoop::wake(const std::shared_ptr<Connection>& c) {
    std::lock_guard<std::mutex> lock(m_wokenMutex);
    const bool first = m_woken.empty();
    m_woken.push_back(c);
    if (first && std::this_thread::get_id() != m_loopThread) wakeLoop();
}

void EventLoop::wakeLoop() {
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t put = ::write(m_wakeFd, &one, sizeof one);
}

void EventLoop::reply(const std::shared_ptr<Connection>& c, Frame frame,
                      const zvsim::SimEngine::Hold& hold) {
    if (hold.delay.count() <= 0 && !hold.stalled) {
        c->Send(std::move(frame));
        return;
    }
    m_held.Hold(c, std::move(frame), hold);
}

void EventLoop::release() {
    for (auto& [c, frame] : m_held.Due()) {
        if (c->closed) continue;
        try {
            c->Send(std::move(frame));
        } catch (const std::bad_alloc&) {
            drop(c, "no memory for its reply");
            continue;
        }
        // Whole frames read before its replies paused it wait in its buffer, where no byte to
        // come would bring them to be served (the replies were counted out before this).
        if (!c->backlog && !paused(*c) && c->decoder.Waiting()) {
            c->backlog = true;
            m_ready.push_back(c);
        }
        update(c);
        finishIfDone(c);
    }
}

void EventLoop::AskRestart() {
    m_restartAsked = true;
    wakeLoop();
}

void EventLoop::restart(Clock::time_point now) {
    if (!m_restart) return;
    // The restart's own answer, and whatever else is queued, go out as far as the sockets take
    // them; the connections end with the daemon's image.
    for (const auto& entry : m_connections) entry.second->Flush(now);
    m_restart();
}

}  // namespace pldengined
