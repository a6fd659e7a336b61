// A trace that the proxy writes in a test (ZVPLD_TRACE set in the test's process), read back with
// the tools' reader, each record shown as one line: "<what> <status> name=value ... | reply".
#ifndef ZVPLD_TESTS_TRACE_FILES_H
#define ZVPLD_TESTS_TRACE_FILES_H

#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "TraceReader.h"

// A directory of its own for the test's trace, removed with what is in it.
struct TraceDir {
    std::string dir;
    std::string file;
    TraceDir() {
        char name[] = "/tmp/zvpld-trace-XXXXXX";
        dir = mkdtemp(name) != nullptr ? name : "/tmp";
        file = dir + "/calls.trace";
    }
    ~TraceDir() {
        // Kept where ZVPLD_KEEP_TRACE says, for a trace written on the target to be read on the
        // host.
        if (const char* keep = std::getenv("ZVPLD_KEEP_TRACE")) {
            std::ofstream(keep, std::ios::binary) << std::ifstream(file, std::ios::binary).rdbuf();
        }
        std::remove(file.c_str());
        rmdir(dir.c_str());
    }
    // The proxies constructed from now on trace into the file.
    void Trace(const char* limit = nullptr) const {
        setenv("ZVPLD_TRACE", file.c_str(), 1);
        if (limit != nullptr) setenv("ZVPLD_TRACE_LIMIT", limit, 1);
    }
};

inline std::string ShowValue(const zvtrace::Value& v) {
    static const char kHex[] = "0123456789abcdef";
    switch (v.type) {
        case zvtrace::Type::U32:
            return std::to_string(v.number);
        case zvtrace::Type::I32:
            return std::to_string(v.Signed());
        case zvtrace::Type::Text:
            return "\"" + v.bytes + "\"";
        case zvtrace::Type::Bytes: {
            std::string hex;
            for (unsigned char c : v.bytes) hex += {kHex[c >> 4], kHex[c & 15]};
            return hex;
        }
        case zvtrace::Type::None:
            break;
    }
    return "-";
}

inline std::string Show(const zvtrace::Record& r) {
    const zvtrace::Shape& shape = r.shape();
    if (r.head.kind == zvtrace::Kind::End) {
        return r.head.op == std::uint8_t(zvtrace::EndReason::Closed) ? "End Closed"
                                                                     : "End SizeLimit";
    }
    std::string line = std::string(shape.name) + " " + std::to_string(r.head.status);
    for (std::size_t i = 0; i < r.request.size(); ++i) {
        line += std::string(" ") + shape.request[i].name + "=" + ShowValue(r.request[i]);
    }
    if (!r.reply.empty()) line += " |";
    for (std::size_t i = 0; i < r.reply.size(); ++i) {
        line += std::string(" ") + shape.reply[i].name + "=" + ShowValue(r.reply[i]);
    }
    return line;
}

// Every whole record of the file; `cutShort` tells whether it ended within one.
inline std::vector<zvtrace::Record> ReadTrace(const std::string& path, bool* cutShort = nullptr) {
    zvtrace::Reader reader(path);
    std::vector<zvtrace::Record> records;
    for (zvtrace::Record r; reader.Next(r);) records.push_back(r);
    if (cutShort != nullptr) *cutShort = reader.CutShort();
    return records;
}

inline std::vector<std::string> ShowAll(const std::vector<zvtrace::Record>& records) {
    std::vector<std::string> lines;
    for (const zvtrace::Record& r : records) lines.push_back(Show(r));
    return lines;
}

#endif
