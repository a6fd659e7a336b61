// The trace reader: the header, then records read ahead through a buffer, each checked whole
// before it is handed out.
#include "TraceReader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace zvtrace {

namespace {

constexpr std::size_t kReadAhead = 65536;

[[noreturn]] void fault(const std::string& what) {
    throw std::runtime_error(what);
}

// The checks one field's length cannot make alone: sizes the format fixes from another field.
void checkSizes(const Record& r) {
    auto bytes = [&](const char* name) -> const std::string* {
        const Value* v = r.find(name);
        return v != nullptr && v->type == Type::Bytes ? &v->bytes : nullptr;
    };
    auto number = [&](const char* name) {
        return r.find(name)->number;
    };
    auto expect = [](const std::string* block, std::uint64_t size, const char* name) {
        if (block != nullptr && block->size() != size) {
            fault(std::string(name) + " has " + std::to_string(block->size()) +
                  " bytes where the record says " + std::to_string(size));
        }
    };
    if (r.head.kind == Kind::Call) {
        switch (static_cast<Op>(r.head.op)) {
            case Op::GetVelServerInventory:
                expect(bytes("serverName"), 32, "serverName");
                break;
            case Op::GetProdSeqId:
                expect(bytes("identity"), 18, "identity");
                break;
            case Op::GetRprtAncstr:
                expect(bytes("ancestors"), 10ull * number("count"), "ancestors");
                break;
            case Op::GetVelEnumStateInfo: {
                const std::uint64_t n = std::min(number("count"), number("maxCount"));
                expect(bytes("values"), 2 * n, "values");
                break;
            }
            default:
                break;
        }
    } else if (r.head.kind == Kind::Note && r.head.op == std::uint8_t(NoteKind::ValueChange)) {
        expect(bytes("data"), 2ull * number("length"), "data");
    } else if (r.head.kind == Kind::Piece) {
        const std::uint64_t n =
            std::min<std::uint32_t>({number("outLen"), number("bufSize"), kMaxBytesField});
        expect(bytes("text"), n, "text");
    }
}

// Reads `count` fields of `shape` from [at, end) into `out`; gives where it stopped.
const unsigned char* readFields(const unsigned char* at, const unsigned char* end,
                                const Field* shape, std::uint8_t count, std::vector<Value>& out) {
    out.resize(count);
    for (std::uint8_t i = 0; i < count; ++i) {
        const Field& f = shape[i];
        Value& v = out[i];
        if (at == end) fault(std::string("field ") + f.name + " is missing");
        v.type = static_cast<Type>(*at++);
        v.number = 0;
        v.bytes.clear();
        if (v.type == Type::None) {
            if (!f.nullable) fault(std::string("field ") + f.name + " may not be none");
            continue;
        }
        if (v.type != f.type) fault(std::string("field ") + f.name + " has the wrong type");
        if (end - at < 4) fault(std::string("field ") + f.name + " is cut short");
        v.number = Get32(at);
        at += 4;
        if (v.type == Type::U32 || v.type == Type::I32) continue;
        const std::uint32_t limit = v.type == Type::Text ? kMaxTextBytes : kMaxBytesField;
        if (v.number > limit) fault(std::string("field ") + f.name + " is longer than its limit");
        if (static_cast<std::size_t>(end - at) < v.number) {
            fault(std::string("field ") + f.name + " runs past its record");
        }
        v.bytes.assign(reinterpret_cast<const char*>(at), v.number);
        at += v.number;
        v.number = 0;
    }
    return at;
}

}  // namespace

const Value* Record::find(const char* name) const {
    // A record never decoded, or left by a failed decode, may have no shape.
    const Shape* shape = ShapeOf(head.kind, head.op);
    if (shape == nullptr) return nullptr;
    const Shape& s = *shape;
    for (std::uint8_t i = 0; i < s.requestCount && i < request.size(); ++i) {
        if (std::strcmp(s.request[i].name, name) == 0) return &request[i];
    }
    for (std::uint8_t i = 0; i < s.replyCount && i < reply.size(); ++i) {
        if (std::strcmp(s.reply[i].name, name) == 0) return &reply[i];
    }
    return nullptr;
}

Header DecodeHeader(const unsigned char* at, std::size_t size) {
    if (size < kHeaderBytes || std::memcmp(at, kMagic, sizeof kMagic) != 0) {
        fault("not a trace file (no trace header)");
    }
    Header h;
    h.version = Get16(at + 8);
    if (h.version != kVersion) {
        fault("trace format version " + std::to_string(h.version) + ": this reader reads " +
              std::to_string(kVersion));
    }
    h.pid = Get32(at + 12);
    h.wallMs = Get64(at + 16);
    return h;
}

void DecodeBody(const unsigned char* body, std::size_t size, Record& record) {
    if (size < kFixedBytes) fault("shorter than a record's fixed part");
    Head& h = record.head;
    h.kind = static_cast<Kind>(body[0]);
    h.op = body[1];
    h.thread = Get16(body + 2);
    h.seq = Get32(body + 4);
    h.start = Get64(body + 8);
    h.end = Get64(body + 16);
    h.status = static_cast<std::int32_t>(Get32(body + 24));
    const Shape* shape = ShapeOf(h.kind, h.op);
    if (shape == nullptr) {
        fault("unknown record kind " + std::to_string(body[0]) + " op " + std::to_string(h.op));
    }
    if (body[28] != shape->requestCount || body[29] != shape->replyCount) {
        fault(std::string(shape->name) + " with the wrong number of fields");
    }
    if (h.end < h.start) fault(std::string(shape->name) + " ends before it starts");
    if (h.kind != Kind::Call && h.end != h.start) {
        fault(std::string(shape->name) + " has a duration");
    }
    const unsigned char* end = body + size;
    const unsigned char* at = body + kFixedBytes;
    at = readFields(at, end, shape->request, shape->requestCount, record.request);
    at = readFields(at, end, shape->reply, shape->replyCount, record.reply);
    if (at != end) fault(std::string(shape->name) + " has bytes after its last field");
    checkSizes(record);
}

Reader::Reader(const std::string& path) : m_buffer(kReadAhead) {
    // O_NOCTTY: a terminal named as the trace, by a process without one, is refused below
    // without becoming that process's controlling terminal first.
    do {
        m_fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    } while (m_fd < 0 && errno == EINTR);
    if (m_fd < 0) fault(path + ": cannot be opened: " + std::strerror(errno));
    struct stat st {};
    if (::fstat(m_fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(m_fd);
        fault(path + ": not a regular file");
    }
    unsigned char header[kHeaderBytes];
    const ssize_t got = ::pread(m_fd, header, sizeof header, 0);
    try {
        m_header = DecodeHeader(header, got < 0 ? 0 : static_cast<std::size_t>(got));
    } catch (const std::runtime_error& e) {
        ::close(m_fd);
        fault(path + ": " + e.what());
    }
}

Reader::~Reader() {
    ::close(m_fd);
}

// Makes at least `need` bytes ready at m_begin unless the file ends first; false then.
bool Reader::fill(std::size_t need) {
    if (m_end - m_begin >= need) return true;
    if (m_begin > 0) {
        std::memmove(m_buffer.data(), m_buffer.data() + m_begin, m_end - m_begin);
        m_end -= m_begin;
        m_begin = 0;
    }
    if (m_buffer.size() < need) m_buffer.resize(need);
    while (m_end < need) {
        const std::uint64_t fileAt = m_offset + m_end;
        const ssize_t got = ::pread(m_fd, m_buffer.data() + m_end, m_buffer.size() - m_end,
                                    static_cast<off_t>(fileAt));
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) fault(std::string("cannot read the trace: ") + std::strerror(errno));
        if (got == 0) return false;
        m_end += static_cast<std::size_t>(got);
    }
    return true;
}

bool Reader::Next(Record& record) {
    if (m_cutShort) return false;
    if (!fill(kLengthBytes)) {
        m_cutShort = m_end > m_begin;
        return false;
    }
    const std::uint32_t length = Get32(m_buffer.data() + m_begin);
    auto where = [this] {
        return "record at byte " + std::to_string(m_offset) + ": ";
    };
    if (length < kFixedBytes || length > kMaxRecordBytes) {
        fault(where() + "length " + std::to_string(length) + " is out of bounds");
    }
    if (!fill(kLengthBytes + length)) {
        m_cutShort = true;
        return false;
    }
    try {
        DecodeBody(m_buffer.data() + m_begin + kLengthBytes, length, record);
    } catch (const std::runtime_error& e) {
        fault(where() + e.what());
    }
    record.offset = m_offset;
    m_begin += kLengthBytes + length;
    m_offset += kLengthBytes + length;
    if (m_begin == m_end) m_begin = m_end = 0;
    return true;
}

void Reader::ReadAt(std::uint64_t offset, Record& record) {
    unsigned char word[kLengthBytes];
    const std::string where = "record at byte " + std::to_string(offset) + ": ";
    if (::pread(m_fd, word, sizeof word, static_cast<off_t>(offset)) != sizeof word) {
        fault(where + "cannot be read again");
    }
    const std::uint32_t length = Get32(word);
    if (length < kFixedBytes || length > kMaxRecordBytes) fault(where + "length out of bounds");
    m_body.resize(length);
    if (::pread(m_fd, m_body.data(), length, static_cast<off_t>(offset + kLengthBytes)) !=
        static_cast<ssize_t>(length)) {
        fault(where + "cannot be read again");
    }
    try {
        DecodeBody(m_body.data(), length, record);
    } catch (const std::runtime_error& e) {
        fault(where + e.what());
    }
    record.offset = offset;
}

}  // namespace zvtrace
