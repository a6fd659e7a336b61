// What a test's callbacks saw, from whatever thread they ran on, and waiting for what another
// thread or process does: the suites' one recorder and one polling loop.
#ifndef ZVPLD_TESTS_SEEN_H
#define ZVPLD_TESTS_SEEN_H

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

// Polls every 10 ms until `done` holds, for at most `waitMs`; whether it held.
template <class Done>
bool WaitUntil(Done done, int waitMs = 10000) {
    for (int waited = 0; !done(); waited += 10) {
        if (waited >= waitMs) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

// Lines added by callbacks on any thread, in the order they came.
class Seen {
  public:
    void Add(const std::string& line) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_lines.push_back(line);
        m_grown.notify_all();
    }
    // All so far, once there are `count` of them or after 5 s.
    std::vector<std::string> Lines(std::size_t count = 0) {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_grown.wait_for(lock, std::chrono::seconds(5), [&] { return m_lines.size() >= count; });
        return m_lines;
    }
    // All so far, which are forgotten.
    std::vector<std::string> Take() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return std::exchange(m_lines, {});
    }

  private:
    std::mutex m_mutex;
    std::condition_variable m_grown;
    std::vector<std::string> m_lines;
};

#endif
