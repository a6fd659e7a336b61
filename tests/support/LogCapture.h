// The log lines written through __dlog_printf while a test looks, from any thread, with the
// locks held by the thread that wrote each.
#ifndef ZVPLD_TESTS_LOG_CAPTURE_H
#define ZVPLD_TESTS_LOG_CAPTURE_H

#include <mutex>
#include <ostream>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "ZvLinuxMutex.h"
#include "dlog.h"

struct LogLine {
    int level;
    std::string tag, text;
    int locksHeld;  // ZvLinuxMutex locks held by the logging thread
    bool operator==(const LogLine& o) const {
        return std::tie(level, tag, text, locksHeld) ==
               std::tie(o.level, o.tag, o.text, o.locksHeld);
    }
    friend void PrintTo(const LogLine& l, std::ostream* os) {
        *os << l.level << " " << l.tag << " \"" << l.text << "\" locks " << l.locksHeld;
    }
};

// An error line of the proxy, written with no lock held.
inline LogLine ErrorLine(const std::string& text, const std::string& tag = "ZvPldProxy") {
    return LogLine{3, tag, text, 0};
}

// Captures every log line for the life of the object.
class LogCapture {
  public:
    LogCapture() {
        dlog_set_sink(
            [](int level, const char* tag, const char* text, void* self) {
                auto* c = static_cast<LogCapture*>(self);
                std::lock_guard<std::mutex> lock(c->m_mutex);
                c->m_lines.push_back(LogLine{level, tag, text, ZvLinuxMutex::HeldByThisThread()});
            },
            this);
    }
    ~LogCapture() { dlog_set_sink(nullptr, nullptr); }
    std::vector<LogLine> take() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return std::exchange(m_lines, {});
    }
    // The texts of the lines taken.
    std::vector<std::string> takeTexts() {
        std::vector<std::string> texts;
        for (LogLine& line : take()) texts.push_back(std::move(line.text));
        return texts;
    }

  private:
    std::mutex m_mutex;
    std::vector<LogLine> m_lines;
};

#endif
