// pldctl's output: lines on stdout with the proxy's log lines under the one that caused them,
// result codes in words, and the count of failures that makes the exit status.
#ifndef PLDCTL_OUTPUT_H
#define PLDCTL_OUTPUT_H

#include <string>

namespace pldctl {

// A result code in words; a failure is counted.
std::string Describe(int rc);
// "text" or "<result in words>".
std::string Shown(int rc, const std::string& text);

// A failure shown without a result code (a false, an answer that did not come).
void CountFailure();
// Failures so far; pldctl exits 1 when there was any.
unsigned Failures();

// The sink given to dlog_set_sink: keeps a log line for the next output line.
void KeepLogLine(int level, const char* tag, const char* text, void* context);
// Prints the line and the log lines kept since the last one; any thread.
void PrintLine(const std::string& line);

// Ctrl-C and SIGTERM call `handler`, which sets what the loop looks at; a call to the engine
// under way goes on.
void OnStopSignals(void (*handler)(int));

}  // namespace pldctl

#endif
