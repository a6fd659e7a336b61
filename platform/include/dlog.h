// Stand-in for the device's diagnostic log library.
//
// __dlog_printf writes one line "<tag>[<level>]: <text>" to stderr, or to syslog, for every call
// whose level (a syslog priority: 3 error, 5 notice, 7 debug) is at or below the threshold that
// the client process sets. A sink, once installed, receives every line whatever its level, and
// nothing goes to stderr or syslog.
#ifndef DLOG_H
#define DLOG_H

#define DLOG_API __attribute__((visibility("default")))

extern "C" {

DLOG_API void __dlog_printf(int level, const char* tag, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

// Lines above this level are dropped. Default 3: errors only.
DLOG_API void dlog_set_threshold(int level);

// Route the lines to syslog (true) or stderr (false, the default).
DLOG_API void dlog_use_syslog(bool on);

// A sink receives each line's level, tag and formatted text; null restores normal output.
typedef void (*dlog_sink_fn)(int level, const char* tag, const char* text, void* context);
DLOG_API void dlog_set_sink(dlog_sink_fn sink, void* context);
}

#endif
