// pldctl's output lines and result words. Notifications are printed on another thread, and the
// engine's thread may log, hence the lock.
#include "Output.h"

#include <signal.h>

#include <atomic>
#include <cstdio>
#include <mutex>
#include <vector>

#include "ProxyWords.h"

namespace pldctl {
namespace {

// Failures of the calls made for the user. Every result code shown passes through Describe(),
// which counts it; a failure shown without one is counted where it is found.
std::atomic<unsigned> g_failures{0};

std::mutex g_outputMutex;
std::vector<std::string> g_logLines;

}  // namespace

std::string Describe(int rc) {
    if (rc != 0) CountFailure();
    return proxywords::Describe(rc, "failed, see the log line");
}

std::string Shown(int rc, const std::string& text) {
    return rc == 0 ? text : "<" + Describe(rc) + ">";
}

void CountFailure() {
    ++g_failures;
}

unsigned Failures() {
    return g_failures;
}

void KeepLogLine(int level, const char* tag, const char* text, void*) {
    std::lock_guard<std::mutex> lock(g_outputMutex);
    g_logLines.push_back(std::string(tag) + "/" + std::to_string(level) + ": " + text);
}

void PrintLine(const std::string& line) {
    std::lock_guard<std::mutex> lock(g_outputMutex);
    std::printf("%s\n", line.c_str());
    for (const std::string& log : g_logLines) std::printf("        log %s\n", log.c_str());
    g_logLines.clear();
    std::fflush(stdout);
}

void OnStopSignals(void (*handler)(int)) {
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

}  // namespace pldctl
