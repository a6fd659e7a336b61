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

// The exit status when the engine cannot be reached: pldctl says why in one line on stderr and
// makes no other call.
constexpr int kUnreachable = 3;

// A failure shown without a result code (a false, an answer that did not come).
void CountFailure();
// Failures so far; pldctl exits 1 when there was any.
unsigned Failures();

// The sink given to dlog_set_sink: keeps a log line for the next output line.
void KeepLogLine(int level, const char* tag, const char* text, void* context);
// Prints the line and the log lines kept since the last one; any thread.
void PrintLine(const std::string& line);
// Whether the proxy logged that its message client's Init failed: no engine answered it.
bool InitFailed();
// Says on stderr that the engine cannot be reached, with the message client's lines kept since
// the last output line as the reason; kUnreachable.
int Unreachable();

// Ctrl-C and SIGTERM call `handler`, which sets what the loop looks at; a call to the engine
// under way goes on.
void OnStopSignals(void (*handler)(int));

}  // namespace pldctl

#endif
