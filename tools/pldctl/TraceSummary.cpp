// `pldctl trace show --summary`: per operation the calls, the failed ones and their times; the
// notifications and answer pieces per kind. A trace of any length is summed up in the same
// memory: each operation keeps a fixed reservoir of durations for its percentiles.
#include <algorithm>
#include <cinttypes>

#include "TraceShow.h"

namespace pldctl {

using nlohmann::json;
using zvtrace::Kind;

namespace {

std::string ms(std::uint64_t ns) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%" PRIu64 ".%03" PRIu64, ns / 1000000, ns / 1000 % 1000);
    return buf;
}

}  // namespace

void TraceSummary::Add(const zvtrace::Record& r) {
    ++m_records;
    m_lastNs = std::max(m_lastNs, r.head.end);
    if (r.head.kind == Kind::Note) {
        ++m_notes[r.head.op - 1];
    } else if (r.head.kind == Kind::Piece) {
        ++m_pieces;
    }
    if (r.head.kind != Kind::Call) return;
    Calls& c = m_calls[r.head.op - 1];
    const std::uint64_t took = r.head.end - r.head.start;
    ++c.count;
    if (!r.shape().statusIsAnswer && r.head.status != 0) ++c.failed;
    c.totalNs += took;
    c.maxNs = std::max(c.maxNs, took);
    if (c.samples.size() < kSamples) {
        c.samples.push_back(took);
        return;
    }
    // Past the reservoir's size each call replaces a kept one with the chance kSamples/count,
    // so that the kept ones stay a fair sample of all.
    m_random ^= m_random << 13;
    m_random ^= m_random >> 7;
    m_random ^= m_random << 17;
    const std::uint64_t slot = m_random % c.count;
    if (slot < kSamples) c.samples[slot] = took;
}

std::uint64_t TraceSummary::percentile(const Calls& calls, unsigned p) {
    std::vector<std::uint64_t> sorted = calls.samples;
    if (sorted.empty()) return 0;
    std::sort(sorted.begin(), sorted.end());
    // The nearest rank: the smallest value with p percent of the calls at or below it.
    const std::size_t rank = (sorted.size() * p + 99) / 100;
    return sorted[rank == 0 ? 0 : rank - 1];
}

void TraceSummary::Print(std::FILE* out, bool diffable, const std::string& end) const {
    std::fprintf(out, "%-24s %8s %8s", "operation", "calls", "failed");
    if (!diffable) {
        std::fprintf(out, " %12s %10s %10s %10s", "total ms", "p50 ms", "p95 ms", "max ms");
    }
    std::fprintf(out, "\n");
    for (std::uint8_t i = 0; i < zvtrace::kOpCount; ++i) {
        const Calls& c = m_calls[i];
        if (c.count == 0) continue;
        std::fprintf(out, "%-24s %8" PRIu64 " %8" PRIu64, zvtrace::kCalls[i].name, c.count,
                     c.failed);
        if (!diffable) {
            std::fprintf(out, " %12s %10s %10s %10s", ms(c.totalNs).c_str(),
                         ms(percentile(c, 50)).c_str(), ms(percentile(c, 95)).c_str(),
                         ms(c.maxNs).c_str());
        }
        std::fprintf(out, "\n");
    }
    std::fprintf(out, "notifications:");
    for (std::uint8_t i = 0; i < zvtrace::kNoteCount; ++i) {
        std::fprintf(out, "%s %s %" PRIu64, i == 0 ? "" : ",", zvtrace::kNotes[i].name, m_notes[i]);
    }
    std::fprintf(out, "\nanswer pieces: %" PRIu64 "\n", m_pieces);
    std::fprintf(out, "%" PRIu64 " records", m_records);
    if (!diffable) std::fprintf(out, " over %s ms", ms(m_lastNs).c_str());
    std::fprintf(out, ", ended: %s\n", end.c_str());
}

json TraceSummary::Json(bool diffable, const std::string& end) const {
    json calls = json::object();
    for (std::uint8_t i = 0; i < zvtrace::kOpCount; ++i) {
        const Calls& c = m_calls[i];
        if (c.count == 0) continue;
        json& op = calls[zvtrace::kCalls[i].name];
        op = {{"count", c.count}, {"failed", c.failed}};
        if (diffable) continue;
        op["total_ns"] = c.totalNs;
        op["p50_ns"] = percentile(c, 50);
        op["p95_ns"] = percentile(c, 95);
        op["max_ns"] = c.maxNs;
    }
    json notes = json::object();
    for (std::uint8_t i = 0; i < zvtrace::kNoteCount; ++i) {
        notes[zvtrace::kNotes[i].name] = m_notes[i];
    }
    json out{{"calls", calls},
             {"notifications", notes},
             {"pieces", m_pieces},
             {"records", m_records},
             {"end", end}};
    if (!diffable) out["last_ns"] = m_lastNs;
    return out;
}

}  // namespace pldctl
