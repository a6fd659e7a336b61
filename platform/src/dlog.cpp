#include "dlog.h"

#include <syslog.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <mutex>

namespace {
std::atomic<int> g_threshold{3};
std::atomic<bool> g_syslog{false};

std::mutex g_sinkMutex;  // the sink and its context change together
dlog_sink_fn g_sinkFn = nullptr;
void* g_sinkContext = nullptr;
std::atomic<bool> g_hasSink{false};
}  // namespace

extern "C" void __dlog_printf(int level, const char* tag, const char* format, ...) {
    dlog_sink_fn sink = nullptr;
    void* context = nullptr;
    if (g_hasSink.load(std::memory_order_acquire)) {
        std::lock_guard<std::mutex> lock(g_sinkMutex);
        sink = g_sinkFn;
        context = g_sinkContext;
    }
    if (sink == nullptr && level > g_threshold.load(std::memory_order_relaxed)) return;

    char text[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);

    if (sink != nullptr) {
        sink(level, tag, text, context);
    } else if (g_syslog.load(std::memory_order_relaxed)) {
        syslog(level, "%s: %s", tag, text);
    } else {
        std::fprintf(stderr, "%s[%d]: %s\n", tag, level, text);
    }
}

extern "C" void dlog_set_threshold(int level) {
    g_threshold.store(level);
}

extern "C" void dlog_use_syslog(bool on) {
    g_syslog.store(on);
}

extern "C" void dlog_set_sink(dlog_sink_fn fn, void* context) {
    std::lock_guard<std::mutex> lock(g_sinkMutex);
    g_sinkFn = fn;
    g_sinkContext = context;
    g_hasSink.store(fn != nullptr, std::memory_order_release);
}
