// Arbitrary bytes read as a trace file: the reader refuses them with std::runtime_error, or gives
// records that keep the format's promises (the fields of their shape, of its types, within
// their limits) and that the writer's Encoder writes back to the very bytes read; it stops at
// the file's end or at a record cut short, never past either.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>

#include "TraceReader.h"

#define CHECK(cond)                                                                          \
    ((cond) ? void()                                                                         \
            : (std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond), \
               std::abort()))

namespace {

using namespace zvtrace;

void checkFields(const Field* shape, std::uint8_t count, const std::vector<Value>& values,
                 Encoder& e) {
    CHECK(values.size() == count);
    for (std::uint8_t i = 0; i < count; ++i) {
        const Value& v = values[i];
        CHECK(v.type == shape[i].type || (v.type == Type::None && shape[i].nullable));
        CHECK(v.bytes.size() <= (v.type == Type::Text ? kMaxTextBytes : kMaxBytesField));
        if (v.type == Type::U32) e.U32(v.number);
        if (v.type == Type::I32) e.I32(v.Signed());
        if (v.type == Type::Text) e.Text(v.bytes.data(), v.bytes.size());
        if (v.type == Type::Bytes) e.Bytes(v.bytes.data(), v.bytes.size());
        if (v.type == Type::None) e.None();
    }
}

// The file the reader opens: a memory file, rewritten for each input.
int g_file = -1;
std::string g_path;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (g_file < 0) {
        g_file = memfd_create("trace", 0);
        CHECK(g_file >= 0);
        g_path = "/proc/self/fd/" + std::to_string(g_file);
    }
    CHECK(ftruncate(g_file, 0) == 0);
    CHECK(pwrite(g_file, data, size, 0) == static_cast<ssize_t>(size));
    try {
        Reader reader(g_path);
        Record r;
        std::uint64_t at = kHeaderBytes;
        while (reader.Next(r)) {
            CHECK(r.offset == at);
            const Shape* shape = ShapeOf(r.head.kind, r.head.op);
            CHECK(shape != nullptr);
            std::string again;
            Encoder e(again, r.head, shape->requestCount, shape->replyCount);
            checkFields(shape->request, shape->requestCount, r.request, e);
            checkFields(shape->reply, shape->replyCount, r.reply, e);
            CHECK(e.Finish());
            CHECK(at + again.size() <= size);
            CHECK(std::memcmp(again.data(), data + at, again.size()) == 0);
            at += again.size();
        }
        CHECK(reader.Offset() == at);
        CHECK(reader.CutShort() == (at < size));
    } catch (const std::runtime_error&) {
    }
    return 0;
}
