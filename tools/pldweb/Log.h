// Log lines. The proxy logs on the caller's thread, so a request collects the lines of its own
// calls and returns them with a failure; other lines at error level go to stderr, as do the
// console's own (a refused request, a connection closed), one line each. What any client can
// cause over and over goes through LogLimited: a crowd of clients cannot flood the log.
#pragma once

#include <string>
#include <vector>

namespace pldweb {

// The sink given to dlog_set_sink.
void LogSink(int level, const char* tag, const char* text, void* context);

// The console's own line on stderr.
void LogLine(const std::string& text);

// At most one line a second of each kind (a string literal naming it: "token", "evicted"...):
// the first at once; those that come within the second after it are counted, and the next line
// of the kind says how many there were, with the last of them.
void LogLimited(const char* kind, const std::string& text);
// Writes the counted lines whose second is over (all of them: at a stop); the server's
// watchdog calls it every tick.
void FlushLimited(bool all = false);

// While it lives, the proxy's lines at error level on this thread that no CollectLog takes are
// a client's doing (a read of an offline device logs a line for each point, as often as it is
// asked): they go through LogLimited.
struct ClientLog {
    ClientLog();
    ~ClientLog();
    ClientLog(const ClientLog&) = delete;
    ClientLog& operator=(const ClientLog&) = delete;
};

// While it lives, the proxy's lines on this thread are collected in `lines`.
struct CollectLog {
    std::vector<std::string> lines;
    CollectLog();
    ~CollectLog();
    CollectLog(const CollectLog&) = delete;
    CollectLog& operator=(const CollectLog&) = delete;
};

}  // namespace pldweb
