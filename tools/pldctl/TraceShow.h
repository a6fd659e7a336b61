// `pldctl trace show`: a trace file the library wrote (ZVPLD_TRACE) printed for people, one line
// per record, or for a program (--json), or summed up per operation (--summary). It streams the
// file: memory stays bounded whatever the trace's length.
#ifndef PLDCTL_TRACE_SHOW_H
#define PLDCTL_TRACE_SHOW_H

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "TraceReader.h"

namespace CLI {
class App;
}

namespace pldctl {

struct TraceShowOptions {
    // Leave out what differs between two runs of the same front end: times, durations, threads,
    // seqs and handle-like values (a piece's call number).
    bool diffable = false;
    bool summary = false;
    bool json = false;
};

// Prints the trace at `path` on `out`; faults on `err` as "pldctl: PATH: ...". 0 once read to
// its end (a trace cut short included); 2 when the file cannot be read, is not a trace or holds
// a malformed record (the records before it are printed).
int ShowTrace(const std::string& path, const TraceShowOptions& options, std::FILE* out,
              std::FILE* err);

// One record in a line, without its newline.
std::string RecordLine(const zvtrace::Record& record, bool diffable);
// One record as a JSON object.
nlohmann::json RecordJson(const zvtrace::Record& record, bool diffable);
// A text's bytes quoted, every byte outside printable ASCII escaped.
std::string Quoted(const std::string& bytes);

// `pldctl trace show FILE`: the subcommand and its options.
class TraceCommands {
  public:
    explicit TraceCommands(CLI::App& app);
    bool parsed() const;
    int run() const;

  private:
    CLI::App* m_trace;
    std::string m_file;
    TraceShowOptions m_options;
};

// Calls per operation with their times, notifications and pieces per kind, in bounded memory:
// the percentiles come from a reservoir of at most kSamples durations per operation, exact
// until an operation has made more calls than that.
class TraceSummary {
  public:
    static constexpr std::size_t kSamples = 4096;
    void Add(const zvtrace::Record& record);
    // `end`: how the trace ended ("closed", "size limit", "cut short", "no end record",
    // "malformed record").
    void Print(std::FILE* out, bool diffable, const std::string& end) const;
    nlohmann::json Json(bool diffable, const std::string& end) const;

  private:
    struct Calls {
        std::uint64_t count = 0;
        std::uint64_t failed = 0;
        std::uint64_t totalNs = 0;
        std::uint64_t maxNs = 0;
        std::vector<std::uint64_t> samples;
    };
    // The p-th percentile (0 to 100) of an operation's sampled durations, in ns.
    static std::uint64_t percentile(const Calls& calls, unsigned p);

    Calls m_calls[zvtrace::kOpCount];
    std::uint64_t m_notes[zvtrace::kNoteCount] = {};
    std::uint64_t m_pieces = 0;
    std::uint64_t m_records = 0;
    std::uint64_t m_lastNs = 0;
    std::uint64_t m_random = 0x9e3779b97f4a7c15ull;  // the reservoir's: the same run each time
};

}  // namespace pldctl

#endif
