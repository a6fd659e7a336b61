// Log lines. The proxy logs on the caller's thread, so a request collects the lines of its own
// calls and returns them with a failure; other lines at error level go to stderr, as do the
// console's own (a refused request, a cap reached), one line each.
#pragma once

#include <string>
#include <vector>

namespace pldweb {

// The sink given to dlog_set_sink.
void LogSink(int level, const char* tag, const char* text, void* context);

// The console's own line on stderr.
void LogLine(const std::string& text);

// While it lives, the proxy's lines on this thread are collected in `lines`.
struct CollectLog {
    std::vector<std::string> lines;
    CollectLog();
    ~CollectLog();
    CollectLog(const CollectLog&) = delete;
    CollectLog& operator=(const CollectLog&) = delete;
};

}  // namespace pldweb
