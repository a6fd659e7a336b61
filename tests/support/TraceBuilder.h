// Trace files crafted for tests, record by record with the format's own encoder: the suites' one
// way to make a trace without a traced client.
#ifndef ZVPLD_TESTS_TRACE_BUILDER_H
#define ZVPLD_TESTS_TRACE_BUILDER_H

#include <unistd.h>

#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

#include "ZvPldTrace.h"

// One field: a number, a text, a byte block or none.
struct TraceField {
    zvtrace::Type type;
    std::uint32_t number = 0;
    std::string bytes;
};
inline TraceField U32(std::uint32_t v) {
    return {zvtrace::Type::U32, v, {}};
}
inline TraceField I32(std::int32_t v) {
    return {zvtrace::Type::I32, static_cast<std::uint32_t>(v), {}};
}
inline TraceField Text(std::string s) {
    return {zvtrace::Type::Text, 0, std::move(s)};
}
inline TraceField Bytes(std::string s) {
    return {zvtrace::Type::Bytes, 0, std::move(s)};
}
inline TraceField NoField() {
    return {zvtrace::Type::None, 0, {}};
}
// A point request's fields as the library records ZvVelPntDfn{device, gdd, mm, 0, 0, null, 0}.
inline std::vector<TraceField> PointFields(std::uint32_t device, std::uint32_t gdd,
                                           std::uint32_t mm) {
    return {U32(device), U32(gdd), U32(mm), U32(0), I32(0), NoField(), U32(0)};
}
// 16-bit units as the trace holds them, high byte first.
inline std::string Units(const std::vector<std::uint16_t>& units) {
    std::string out;
    for (const std::uint16_t u : units) {
        out.push_back(static_cast<char>(u >> 8));
        out.push_back(static_cast<char>(u));
    }
    return out;
}

class TraceBuilder {
  public:
    TraceBuilder() {
        unsigned char header[zvtrace::kHeaderBytes];
        zvtrace::PutHeader(header, 4242, 0);
        m_bytes.assign(reinterpret_cast<const char*>(header), sizeof header);
    }
    // A record at `atMs` after the trace began; seq 0 takes the next number.
    TraceBuilder& Add(zvtrace::Kind kind, std::uint8_t op, std::int32_t status,
                      const std::vector<TraceField>& request,
                      const std::vector<TraceField>& reply = {}, std::uint64_t atMs = 0,
                      std::uint16_t thread = 1, std::uint32_t seq = 0) {
        zvtrace::Head head;
        head.kind = kind;
        head.op = op;
        head.thread = thread;
        head.seq = seq != 0 ? seq : ++m_seq;
        head.start = head.end = atMs * 1000000;
        head.status = status;
        zvtrace::Encoder e(m_bytes, head, static_cast<std::uint8_t>(request.size()),
                           static_cast<std::uint8_t>(reply.size()));
        for (const std::vector<TraceField>* fields : {&request, &reply}) {
            for (const TraceField& f : *fields) put(e, f);
        }
        e.Finish();
        return *this;
    }
    TraceBuilder& Call(zvtrace::Op op, std::int32_t status, const std::vector<TraceField>& request,
                       const std::vector<TraceField>& reply = {}, std::uint64_t atMs = 0) {
        return Add(zvtrace::Kind::Call, static_cast<std::uint8_t>(op), status, request, reply,
                   atMs);
    }
    TraceBuilder& Note(zvtrace::NoteKind kind, const std::vector<TraceField>& fields,
                       std::uint64_t atMs) {
        return Add(zvtrace::Kind::Note, static_cast<std::uint8_t>(kind), 0, fields, {}, atMs);
    }
    const std::string& bytes() const { return m_bytes; }
    // Written to a new file in the test's temporary directory; its path. `cut` bytes are left off
    // the end, as by a writer killed while writing.
    std::string Write(const std::string& dir, const std::string& name, std::size_t cut = 0) const {
        const std::string path = dir + "/" + name;
        std::ofstream(path, std::ios::binary).write(m_bytes.data(), m_bytes.size() - cut);
        return path;
    }

  private:
    static void put(zvtrace::Encoder& e, const TraceField& f) {
        switch (f.type) {
            case zvtrace::Type::U32:
                return e.U32(f.number);
            case zvtrace::Type::I32:
                return e.I32(static_cast<std::int32_t>(f.number));
            case zvtrace::Type::Text:
                return e.Text(f.bytes.data(), f.bytes.size());
            case zvtrace::Type::Bytes:
                return e.Bytes(f.bytes.data(), f.bytes.size());
            case zvtrace::Type::None:
                return e.None();
        }
    }
    std::string m_bytes;
    std::uint32_t m_seq = 0;
};

#endif
