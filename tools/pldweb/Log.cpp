// Log lines: collected per request, or written to stderr whole under one lock.
#include "Log.h"

#include <cstdio>
#include <mutex>

namespace pldweb {
namespace {

thread_local std::vector<std::string>* t_logLines = nullptr;
std::mutex s_stderrMutex;

}  // namespace

void LogSink(int level, const char* tag, const char* text, void*) {
    if (t_logLines != nullptr && level <= 5) {
        t_logLines->push_back(std::string(tag) + ": " + text);
    } else if (level <= 3) {
        std::lock_guard<std::mutex> lock(s_stderrMutex);
        std::fprintf(stderr, "%s[%d]: %s\n", tag, level, text);
    }
}

void LogLine(const std::string& text) {
    std::lock_guard<std::mutex> lock(s_stderrMutex);
    std::fprintf(stderr, "pldweb: %s\n", text.c_str());
}

CollectLog::CollectLog() {
    t_logLines = &lines;
}

CollectLog::~CollectLog() {
    t_logLines = nullptr;
}

}  // namespace pldweb
