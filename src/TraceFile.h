// The trace file being written: records gathered in a bounded buffer under a small lock of its
// own, with no file I/O there, and written whole by a thread of the trace's own.
#ifndef ZV_PLD_TRACE_FILE_H
#define ZV_PLD_TRACE_FILE_H

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <new>
#include <string>
#include <thread>

#include "ZvPldTrace.h"

namespace zvpld {

class Trace {
  public:
    // The trace's size when ZVPLD_TRACE_LIMIT does not give one: 64 MiB.
    static constexpr std::uint64_t kDefaultLimit = 64ull << 20;
    // Records waiting for the writer: a caller's thread waits (after the unlock) for room above
    // kRoom; the engine's threads never wait, and stop the trace above twice that.
    static constexpr std::size_t kRoom = 1u << 20;
    // The writer takes the records once this many wait, and otherwise every kFlushMs: a write
    // and a wake-up for many records, not one a record.
    static constexpr std::size_t kBatch = 64u << 10;
    static constexpr int kFlushMs = 500;
    // How long a caller waits for the disk before the trace stops.
    static constexpr int kWaitSeconds = 5;

    // Opens `path` and starts the writer; null, with one line, if it cannot.
    static Trace* Open(const char* path, const char* limit);
    // Adds End(Closed), writes what is left and joins the writer.
    ~Trace();
    Trace(const Trace&) = delete;
    Trace& operator=(const Trace&) = delete;

    bool Recording() const { return m_recording.load(std::memory_order_relaxed); }
    std::uint32_t NextSeq() { return m_seq.fetch_add(1, std::memory_order_relaxed) + 1; }
    std::uint64_t Now() const;  // ns since the trace began
    std::uint16_t ThreadNumber();

    // Adds one whole record, which `encode(buffer)` appends to the buffer with a
    // zvtrace::Encoder and finishes (its result): under the trace's lock, straight into the
    // buffer the writer takes. A caller's thread (`mayWait`) waits for room; any other stops the
    // trace when there is none.
    template <class Encode>
    void Add(bool mayWait, Encode&& encode) {
        std::unique_lock<std::mutex> lock(m_mutex);
        if (room(lock, mayWait)) place(m_fill, encode);
        lock.unlock();
        logStop();
    }
    // A Process call whose answer's pieces are traced: pieces handed over while it runs are held
    // back and added after its own record, which AddCall adds. The library's own active-events
    // answer (`libraryAnswer`) also names the call its pieces answer; a relayed one's pieces
    // carry their call themselves.
    void OpenAnswer(std::uint32_t seq, bool libraryAnswer);
    template <class Encode>
    void AddCall(std::uint32_t seq, bool answer, Encode&& encode) {
        std::unique_lock<std::mutex> lock(m_mutex);
        const bool added = room(lock, true) && place(m_fill, encode);
        if (answer && m_openAnswer == seq) releaseHeld(added);
        lock.unlock();
        logStop();
    }
    // Never waits: a piece may come within its Process call, under the client lock.
    template <class Encode>
    void AddPiece(std::uint32_t call, Encode&& encode) {
        std::unique_lock<std::mutex> lock(m_mutex);
        // Held back until its call's record, unless the held pieces pass kRoom: then they and
        // the rest of the answer go now, before it, in order (a reader takes a piece on either
        // side of its call); no caller waits on what only its own record would release.
        if (call != 0 && call == m_openAnswer && m_held.size() >= kRoom) {
            m_fill += m_held;
            m_held.clear();
            m_openAnswer = 0;
        }
        if (room(lock, false)) place(call != 0 && call == m_openAnswer ? m_held : m_fill, encode);
        lock.unlock();
        logStop();
    }
    std::uint32_t AnswerCall() const { return m_answerCall.load(std::memory_order_relaxed); }

  private:
    Trace(int fd, std::string path, std::uint64_t limit);
    bool room(std::unique_lock<std::mutex>& lock, bool mayWait);
    template <class Encode>
    bool place(std::string& into, Encode& encode) {
        const std::size_t before = into.size();
        bool encoded = false;
        try {
            encoded = encode(into);
        } catch (const std::bad_alloc&) {
            into.resize(before);
        }
        return encoded && admitted(into, before);
    }
    bool admitted(std::string& into, std::size_t before);
    void releaseHeld(bool callAdded);
    void endLocked(zvtrace::EndReason reason);
    void stopLocked(std::string why);
    void logStop() {
        if (m_unlogged.load(std::memory_order_acquire)) logStopNow();
    }
    void logStopNow();
    void run();

    const int m_fd;
    const std::string m_path;
    const std::uint64_t m_limit;
    const std::uint32_t m_generation;
    std::int64_t m_base = 0;
    std::atomic<std::uint32_t> m_seq{0};
    std::atomic<std::uint16_t> m_threads{0};
    std::atomic<bool> m_recording{true};
    std::atomic<std::uint32_t> m_answerCall{0};
    std::atomic<bool> m_unlogged{false};  // a stop whose line is still to be written

    std::mutex m_mutex;  // guards what follows
    std::condition_variable m_filled, m_emptied;
    std::string m_fill, m_writing;  // m_writing is the writer's alone
    std::string m_held;             // pieces of the answer call still running
    std::uint32_t m_openAnswer = 0;
    std::uint64_t m_admitted = 0;  // bytes given to the file, the header's included
    bool m_closing = false;
    std::string m_stopped;  // why the trace stopped, logged once; empty while it runs
    bool m_logged = false;
    std::thread m_writer;
};

}  // namespace zvpld

#endif
