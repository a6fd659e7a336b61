// Log lines: collected per request, or written to stderr whole under one lock, those of a kind
// that clients can repeat at most once a second.
#include "Log.h"

#include <chrono>
#include <cstdio>
#include <map>
#include <mutex>

namespace pldweb {
namespace {

thread_local std::vector<std::string>* t_logLines = nullptr;
thread_local bool t_client = false;
std::mutex s_stderrMutex;

using Clock = std::chrono::steady_clock;
constexpr auto kLimitedEvery = std::chrono::seconds(1);

struct Limited {
    Clock::time_point lastLine;
    unsigned long counted = 0;  // since the last line
    std::string lastText;
};
std::mutex s_limitedMutex;
// Keyed by the kinds' literals: as many entries as places that log, whatever clients send.
std::map<std::string, Limited> s_limited;

// Lines hold what clients chose (a decoded path, a Host header) and the engine's texts: a
// control character would start a forged line or reach the terminal reading the log.
std::string printable(std::string text) {
    for (char& c : text) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
    }
    return text;
}

// Under s_limitedMutex.
void writeCounted(Limited& l, Clock::time_point now) {
    LogLine(std::to_string(l.counted) + " like this in the last " +
            std::to_string(
                std::chrono::duration_cast<std::chrono::milliseconds>(now - l.lastLine).count()) +
            " ms (at most one line a second), the last: " + l.lastText);
    l.counted = 0;
    l.lastText.clear();
    l.lastLine = now;
}

}  // namespace

void LogSink(int level, const char* tag, const char* text, void*) {
    if (t_logLines != nullptr && level <= 5) {
        t_logLines->push_back(std::string(tag) + ": " + text);
    } else if (level <= 3 && t_client) {
        LogLimited("engine", std::string(tag) + "[" + std::to_string(level) + "]: " + text);
    } else if (level <= 3) {
        std::lock_guard<std::mutex> lock(s_stderrMutex);
        std::fprintf(stderr, "%s[%d]: %s\n", tag, level, printable(text).c_str());
    }
}

void LogLine(const std::string& text) {
    std::lock_guard<std::mutex> lock(s_stderrMutex);
    std::fprintf(stderr, "pldweb: %s\n", printable(text).c_str());
}

void LogLimited(const char* kind, const std::string& text) {
    const Clock::time_point now = Clock::now();
    std::lock_guard<std::mutex> lock(s_limitedMutex);
    const auto [it, first] = s_limited.try_emplace(kind);
    Limited& l = it->second;
    if (!first && now - l.lastLine < kLimitedEvery) {
        ++l.counted;
        l.lastText = text;
        return;
    }
    if (l.counted != 0) {
        ++l.counted;
        l.lastText = text;
        writeCounted(l, now);
        return;
    }
    LogLine(text);
    l.lastLine = now;
}

void FlushLimited(bool all) {
    const Clock::time_point now = Clock::now();
    std::lock_guard<std::mutex> lock(s_limitedMutex);
    for (auto& [kind, l] : s_limited) {
        if (l.counted != 0 && (all || now - l.lastLine >= kLimitedEvery)) writeCounted(l, now);
    }
}

ClientLog::ClientLog() {
    t_client = true;
}

ClientLog::~ClientLog() {
    t_client = false;
}

CollectLog::CollectLog() {
    t_logLines = &lines;
}

CollectLog::~CollectLog() {
    t_logLines = nullptr;
}

}  // namespace pldweb
