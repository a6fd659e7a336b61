// The trace file being written: records gathered in a bounded buffer under a small lock of its
// own, with no file I/O there, and written whole by a thread of the trace's own.
#ifndef ZV_PLD_TRACE_FILE_H
#define ZV_PLD_TRACE_FILE_H

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
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

    // Adds one whole record. A caller's thread (`mayWait`) waits for room; any other drops it and
    // stops the trace when there is none.
    void Add(const std::string& record, bool mayWait);
    // A Process call that takes the library's active-events answer: pieces handed over while it
    // runs are held back and added after its own record, which AddCall adds.
    void OpenAnswer(std::uint32_t seq);
    void AddCall(const std::string& record, std::uint32_t seq, bool answer);
    void AddPiece(const std::string& record, std::uint32_t call);
    std::uint32_t AnswerCall() const { return m_answerCall.load(std::memory_order_relaxed); }

  private:
    Trace(int fd, std::string path, std::uint64_t limit);
    bool admit(std::size_t bytes, std::size_t room, std::unique_lock<std::mutex>& lock,
               bool mayWait);
    void endLocked(zvtrace::EndReason reason);
    void stopLocked(std::string why);
    void logStop();
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
