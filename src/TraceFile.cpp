// The trace file: opened as the proxy is constructed, fed whole records by the callers' threads and
// the engine's, written by a thread of its own, bounded by its limit, and stopped with one line
// by a failure to write.
#include "TraceFile.h"

#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <system_error>

#include "Frame.h"

namespace zvpld {

std::atomic<Trace*> g_trace{nullptr};
std::atomic<ZvPldMsgClient*> g_tracedClient{nullptr};
std::atomic<unsigned> g_traceUsers{0};

namespace {

constexpr char kTraceOp[] = "ZVPLD_TRACE";
constexpr std::size_t kEndBytes = zvtrace::kLengthBytes + zvtrace::kFixedBytes;

// Numbers each trace, so that a thread's number in an earlier trace is not taken for one in this.
std::atomic<std::uint32_t> g_generations{0};

struct ThreadInTrace {
    std::uint32_t generation = 0;
    std::uint16_t number = 0;
};
// Initial-exec: read without a call into the dynamic linker.
__attribute__((tls_model("initial-exec"))) thread_local ThreadInTrace t_thread;

std::string errorText(int error) {
    char buf[128];
    return strerror_r(error, buf, sizeof buf);
}

// A size in decimal digits, at least `least`; false for anything else.
bool parseLimit(const char* text, std::uint64_t least, std::uint64_t& limit) {
    std::uint64_t v = 0;
    if (*text == '\0') return false;
    for (const char* c = text; *c != '\0'; ++c) {
        if (*c < '0' || *c > '9' || v > (~std::uint64_t{0} - 9) / 10) return false;
        v = v * 10 + static_cast<unsigned>(*c - '0');
    }
    if (v < least) return false;
    limit = v;
    return true;
}

std::int64_t monotonicNs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// The writer gets no signal of the process's: they stay with the client's threads, and a file
// size limit makes its write fail (EFBIG) rather than end the process.
template <class Start>
void startWithSignalsBlocked(Start&& start) {
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &old);
    try {
        start();
    } catch (...) {
        pthread_sigmask(SIG_SETMASK, &old, nullptr);
        throw;
    }
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
}

}  // namespace

Trace::Trace(int fd, std::string path, std::uint64_t limit)
    : m_fd(fd),
      m_path(std::move(path)),
      m_limit(limit),
      m_generation(g_generations.fetch_add(1) + 1),
      m_base(monotonicNs()) {
    unsigned char header[zvtrace::kHeaderBytes];
    const auto wallMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::system_clock::now().time_since_epoch())
                            .count();
    zvtrace::PutHeader(header, static_cast<std::uint32_t>(getpid()),
                       static_cast<std::uint64_t>(wallMs));
    m_fill.assign(reinterpret_cast<const char*>(header), sizeof header);
    m_admitted = sizeof header;
}

Trace* Trace::Open(const char* path, const char* limitText) {
    std::uint64_t limit = kDefaultLimit;
    if (limitText != nullptr && !parseLimit(limitText, zvtrace::kHeaderBytes + kEndBytes, limit)) {
        __dlog_printf(kError, kTag,
                      "%s: ZVPLD_TRACE_LIMIT=%s is not a size in bytes of at least %u: no trace "
                      "is written",
                      kTraceOp, limitText,
                      static_cast<unsigned>(zvtrace::kHeaderBytes + kEndBytes));
        return nullptr;
    }
    // Not through a link, and without waiting for a reader should the name be a FIFO.
    const int fd = ::open(
        path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_LARGEFILE,
        0600);
    if (fd < 0) {
        __dlog_printf(kError, kTag, "%s: cannot open the trace file %s: %s: no trace is written",
                      kTraceOp, path, errorText(errno).c_str());
        return nullptr;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        __dlog_printf(kError, kTag, "%s: %s is not a regular file: no trace is written", kTraceOp,
                      path);
        return nullptr;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    Trace* trace = nullptr;
    try {
        trace = new Trace(fd, path, limit);
        startWithSignalsBlocked([trace] { trace->m_writer = std::thread(&Trace::run, trace); });
    } catch (const std::exception&) {
        if (trace != nullptr) {
            trace->m_closing = true;  // nothing to join: the writer never started
            delete trace;
        } else {
            ::close(fd);
        }
        __dlog_printf(kError, kTag, "%s: cannot start the trace of %s: no trace is written",
                      kTraceOp, path);
        return nullptr;
    }
    return trace;
}

Trace::~Trace() {
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_closing && m_stopped.empty()) {
            m_fill += m_held;  // an answer's pieces whose call never came back
            endLocked(zvtrace::EndReason::Closed);
        }
        m_held.clear();
        m_closing = true;
        m_recording = false;
        m_filled.notify_all();
        m_emptied.notify_all();
    }
    if (m_writer.joinable()) m_writer.join();
    ::close(m_fd);
    logStop();
}

std::uint64_t Trace::Now() const {
    const std::int64_t ns = monotonicNs() - m_base;
    return ns < 0 ? 0 : static_cast<std::uint64_t>(ns);
}

std::uint16_t Trace::ThreadNumber() {
    ThreadInTrace& t = t_thread;
    if (t.generation != m_generation) {
        std::uint16_t n = m_threads.load(std::memory_order_relaxed);
        // The last number is shared by every thread after it.
        while (n != 0xFFFF && !m_threads.compare_exchange_weak(n, n + 1)) {
        }
        t.number = n == 0xFFFF ? n : static_cast<std::uint16_t>(n + 1);
        t.generation = m_generation;
    }
    return t.number;
}

// Room in the buffer for a record, waited for by a caller's thread; false, the trace stopped or
// closed, if there is none. A record may pass kRoom by its own size.
bool Trace::room(std::unique_lock<std::mutex>& lock, bool mayWait) {
    const std::size_t limit = mayWait ? kRoom : 2 * kRoom;
    // Only what the writer can take counts: pieces held back for a call are its own to release.
    const auto waiting = [&] {
        return m_fill.size() > limit && m_stopped.empty() && !m_closing;
    };
    if (waiting()) {
        if (!mayWait) {
            stopLocked("the disk did not keep up with the engine's notifications");
            return false;
        }
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(kWaitSeconds);
        while (waiting()) {
            if (m_emptied.wait_until(lock, deadline) == std::cv_status::timeout && waiting()) {
                stopLocked("the disk did not keep up");
                return false;
            }
        }
    }
    return m_stopped.empty() && !m_closing;
}

// The record just placed at `before` in `into`, kept within the file's limit; past it, taken
// out again, and the trace ends there.
bool Trace::admitted(std::string& into, std::size_t before) {
    const std::size_t bytes = into.size() - before;
    if (m_admitted + bytes + kEndBytes > m_limit) {
        into.resize(before);
        endLocked(zvtrace::EndReason::SizeLimit);
        stopLocked("it reached its limit of " + std::to_string(m_limit) + " bytes");
        return false;
    }
    m_admitted += bytes;
    // The writer is woken by a batch; smaller ones it takes on its round.
    if (&into == &m_fill && m_fill.size() >= kBatch && m_fill.size() - bytes < kBatch) {
        m_filled.notify_one();
    }
    return true;
}

void Trace::releaseHeld(bool callAdded) {
    if (callAdded) m_fill += m_held;
    m_held.clear();
    m_openAnswer = 0;
}

void Trace::endLocked(zvtrace::EndReason reason) {
    zvtrace::Head head;
    head.kind = zvtrace::Kind::End;
    head.op = static_cast<std::uint8_t>(reason);
    head.thread = ThreadNumber();
    head.seq = NextSeq();
    head.start = head.end = Now();
    zvtrace::Encoder(m_fill, head, 0, 0).Finish();
    m_admitted += kEndBytes;
    m_filled.notify_one();
}

void Trace::stopLocked(std::string why) {
    if (!m_stopped.empty()) return;
    m_stopped = std::move(why);
    m_recording = false;
    m_unlogged.store(true, std::memory_order_release);
    m_held.clear();
    m_filled.notify_all();
    m_emptied.notify_all();
}

// The line of a stop, once, by whichever thread gets to it first after the stop.
void Trace::logStopNow() {
    std::string why;
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        if (m_logged || m_stopped.empty()) return;
        m_logged = true;
        m_unlogged.store(false, std::memory_order_relaxed);
        why = m_stopped;
    }
    __dlog_printf(kError, kTag, "%s: the trace %s stopped: %s", kTraceOp, m_path.c_str(),
                  why.c_str());
}

void Trace::OpenAnswer(std::uint32_t seq, bool libraryAnswer) {
    const std::lock_guard<std::mutex> lock(m_mutex);
    m_openAnswer = seq;
    if (libraryAnswer) m_answerCall.store(seq, std::memory_order_relaxed);
}

void Trace::run() {
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        const auto due = [this] {
            return m_fill.size() >= kBatch || m_closing || !m_stopped.empty();
        };
        m_filled.wait_for(lock, std::chrono::milliseconds(kFlushMs), due);
        if (m_fill.empty()) {
            if (m_closing) break;
            // Stopped: nothing more comes but the close.
            if (!m_stopped.empty()) m_filled.wait(lock);
            continue;
        }
        m_writing.swap(m_fill);
        m_emptied.notify_all();
        lock.unlock();
        std::string failure;
        struct stat st {};
        // A file removed while it is traced into is no longer anyone's to read.
        if (::fstat(m_fd, &st) == 0 && st.st_nlink == 0) failure = "the file was removed";
        for (std::size_t done = 0; failure.empty() && done < m_writing.size();) {
            const ssize_t n = ::write(m_fd, m_writing.data() + done, m_writing.size() - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                failure = "cannot write: " + errorText(n < 0 ? errno : EIO);
                break;
            }
            done += static_cast<std::size_t>(n);
        }
        m_writing.clear();
        lock.lock();
        if (!failure.empty()) {
            m_fill.clear();
            stopLocked(std::move(failure));
            // Once stopped, nothing more is admitted: the writer is done.
            if (m_fill.empty()) break;
        }
    }
    lock.unlock();
    logStop();
}

namespace {
// A child forked by a traced process has the trace but not its writer thread, nor the threads
// that held uses of it: it leaves the trace to its parent, neither writing the parent's records
// again nor waiting at its exit for a thread it does not have. Its copy is kept where a leak
// checker sees it held, never freed: freeing it would join that thread.
Trace* g_parentsTrace = nullptr;
void forgetTraceInChild() {
    g_parentsTrace = g_trace.exchange(nullptr);
    g_traceUsers.store(0);
}
}  // namespace

void OpenTrace() {
    const char* path = secure_getenv("ZVPLD_TRACE");
    if (path == nullptr || *path == '\0') return;
    static const bool forgottenInChildren =
        pthread_atfork(nullptr, nullptr, forgetTraceInChild) == 0;
    (void)forgottenInChildren;
    Trace* trace = Trace::Open(path, secure_getenv("ZVPLD_TRACE_LIMIT"));
    if (trace != nullptr) g_trace.store(trace);
}

void CloseTrace() {
    Trace* trace = g_trace.exchange(nullptr);
    if (trace == nullptr) return;
    // A use that took the trace before it was withdrawn ends first: a call's record, a note.
    while (g_traceUsers.load() != 0) sched_yield();
    delete trace;
}

namespace {
// A process that never stopped its proxy still gets its trace written whole at unload.
struct CloseAtUnload {
    ~CloseAtUnload() { CloseTrace(); }
} const s_closeAtUnload;
}  // namespace

}  // namespace zvpld
