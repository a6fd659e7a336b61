// Trace records for tests, built with the writer's own Encoder: one sound record of every shape,
// records broken on purpose, and files of them in a scratch directory.
#ifndef ZVPLD_TESTS_TRACE_RECORDS_H
#define ZVPLD_TESTS_TRACE_RECORDS_H

#include <stdlib.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "ZvPldTrace.h"

namespace tracetest {

using namespace zvtrace;

// A record of head `h` whose fields `fields` writes, with the field counts of its shape (0 when it
// has none). The length word is set whatever the length, so that a test may pass the limit.
inline std::string Rec(const Head& h, const std::function<void(Encoder&, std::string&)>& fields) {
    const Shape* shape = ShapeOf(h.kind, h.op);
    std::string out;
    Encoder e(out, h, shape != nullptr ? shape->requestCount : 0,
              shape != nullptr ? shape->replyCount : 0);
    fields(e, out);
    e.Flush();
    Put32(reinterpret_cast<unsigned char*>(&out[0]), static_cast<std::uint32_t>(out.size() - 4));
    return out;
}

inline Head MakeHead(Kind kind, std::uint8_t op, std::uint32_t seq = 1, std::uint64_t start = 1000,
                     std::uint64_t end = 1000, std::int32_t status = 0, std::uint16_t thread = 1) {
    Head h;
    h.kind = kind;
    h.op = op;
    h.thread = thread;
    h.seq = seq;
    h.start = start;
    h.end = end;
    h.status = status;
    return h;
}

inline Head CallHead(Op op, std::uint32_t seq = 1, std::uint64_t start = 1000,
                     std::uint64_t end = 3000, std::int32_t status = 0) {
    return MakeHead(Kind::Call, static_cast<std::uint8_t>(op), seq, start, end, status);
}

// A field of the shape: numbers `n`; texts "t"; a block the size its record's numbers (all
// `n`) make it.
inline void SoundField(Encoder& e, const Field& f, std::uint32_t n) {
    const std::string name = f.name;
    const std::size_t size = name == "serverName"  ? 32
                             : name == "identity"  ? 18
                             : name == "ancestors" ? 10 * n
                             : name == "text"      ? n
                                                   : 2 * n;
    switch (f.type) {
        case Type::U32:
            return e.U32(n);
        case Type::I32:
            return e.I32(-static_cast<std::int32_t>(n));
        case Type::Text:
            return e.Text("t", 1);
        case Type::Bytes:
            return e.Bytes(std::string(size, '\x01').data(), size);
        case Type::None:
            break;
    }
}

inline std::string SoundRecord(const Head& h, std::uint32_t n = 2) {
    const Shape& s = *ShapeOf(h.kind, h.op);
    return Rec(h, [&](Encoder& e, std::string&) {
        for (std::uint8_t i = 0; i < s.requestCount; ++i) SoundField(e, s.request[i], n);
        for (std::uint8_t i = 0; i < s.replyCount; ++i) SoundField(e, s.reply[i], n);
    });
}

// One sound record of every shape: the calls, the notifications, a piece, the two ends.
inline std::vector<std::string> EveryShape() {
    std::vector<std::string> out;
    std::uint32_t seq = 1;
    for (std::uint8_t op = 1; op <= kOpCount; ++op) {
        out.push_back(SoundRecord(CallHead(static_cast<Op>(op), seq++)));
    }
    for (std::uint8_t op = 1; op <= kNoteCount; ++op) {
        out.push_back(SoundRecord(MakeHead(Kind::Note, op, seq++)));
    }
    out.push_back(SoundRecord(MakeHead(Kind::Piece, 0, seq++)));
    out.push_back(SoundRecord(MakeHead(Kind::End, 1, seq++)));
    out.push_back(SoundRecord(MakeHead(Kind::End, 2, seq++)));
    return out;
}

inline std::string FileHeader(std::uint16_t version = kVersion) {
    unsigned char h[kHeaderBytes];
    PutHeader(h, 4242, 1765122767123ull);
    Put16(h + 8, version);
    return std::string(reinterpret_cast<const char*>(h), sizeof h);
}

// Files in a scratch directory of the test's, removed with it.
class TraceDir {
  public:
    TraceDir() {
        char dir[] = "/tmp/zvtrace-test-XXXXXX";
        if (::mkdtemp(dir) != nullptr) m_dir = dir;
    }
    ~TraceDir() { std::system(("rm -rf '" + m_dir + "'").c_str()); }
    TraceDir(const TraceDir&) = delete;
    TraceDir& operator=(const TraceDir&) = delete;
    std::string Write(const std::string& bytes, const std::string& name = "trace") const {
        const std::string path = m_dir + "/" + name;
        std::ofstream(path, std::ios::binary) << bytes;
        return path;
    }

  private:
    std::string m_dir;
};

}  // namespace tracetest

#endif
