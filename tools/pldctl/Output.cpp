// pldctl's output lines and result words. Notifications are printed on another thread, and the
// engine's thread may log, hence the lock.
#include "Output.h"

#include <signal.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <vector>

#include "ProxyWords.h"

namespace pldctl {
namespace {

// Failures of the calls made for the user. Every result code shown passes through Describe(),
// which counts it; a failure shown without one is counted where it is found.
std::atomic<unsigned> g_failures{0};

std::atomic<bool> g_initFailed{false};

struct LogLine {
    std::string tag;
    int level;
    std::string text;
};
std::mutex g_outputMutex;
std::vector<LogLine> g_logLines;

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
    // The proxy's own words for its message client's failed Init, the one sign of an engine
    // that cannot be reached that any message client gives.
    if (std::strcmp(tag, "ZvPldProxy") == 0 &&
        std::strcmp(text, "Failed to init PldMsgClient") == 0) {
        g_initFailed = true;
        return;
    }
    std::lock_guard<std::mutex> lock(g_outputMutex);
    g_logLines.push_back(LogLine{tag, level, text});
}

void PrintLine(const std::string& line) {
    std::lock_guard<std::mutex> lock(g_outputMutex);
    std::printf("%s\n", line.c_str());
    for (const LogLine& log : g_logLines) {
        std::printf("        log %s/%d: %s\n", log.tag.c_str(), log.level, log.text.c_str());
    }
    g_logLines.clear();
    std::fflush(stdout);
}

bool InitFailed() {
    return g_initFailed;
}

int Unreachable() {
    std::lock_guard<std::mutex> lock(g_outputMutex);
    if (g_logLines.empty()) {
        std::fprintf(stderr, "pldctl: engine not reachable: its message client's Init failed\n");
    }
    for (const LogLine& log : g_logLines) {
        std::fprintf(stderr, "pldctl: engine not reachable: %s\n", log.text.c_str());
    }
    g_logLines.clear();
    return kUnreachable;
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
