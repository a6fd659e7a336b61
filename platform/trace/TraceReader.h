// Reads the trace files the library writes (ZvPldTrace.h): strictly, record by record, in
// bounded memory. A record that breaks the format stops the reader with a message naming its
// place; a record cut short at the end (the writer killed while writing) ends the trace there.
#ifndef ZV_TRACE_READER_H
#define ZV_TRACE_READER_H

#include <cstdint>
#include <string>
#include <vector>

#include "ZvPldTrace.h"

namespace zvtrace {

struct Header {
    std::uint16_t version = 0;
    std::uint32_t pid = 0;
    std::uint64_t wallMs = 0;  // when the trace began, ms since 1970
};

// One field as read: a number (U32, I32 as its 32 bits), or the bytes of a text or block.
struct Value {
    Type type = Type::None;
    std::uint32_t number = 0;
    std::string bytes;
    std::int32_t Signed() const { return static_cast<std::int32_t>(number); }
};

struct Record {
    Head head;
    std::vector<Value> request;
    std::vector<Value> reply;
    std::uint64_t offset = 0;  // where its length word lies in the file
    const Shape& shape() const { return *ShapeOf(head.kind, head.op); }
    // The field of that name, request first, or null.
    const Value* find(const char* name) const;
};

// The header's 32 bytes; throws std::runtime_error when they are not a trace this reader reads.
Header DecodeHeader(const unsigned char* at, std::size_t size);
// A record's body (the bytes after its length word), checked against its shape: the field
// count, each field's type, its length within its limit and within the body, sizes fixed by the
// format, and nothing left over. Throws std::runtime_error saying what is wrong. `record`'s
// vectors are reused.
void DecodeBody(const unsigned char* body, std::size_t size, Record& record);

class Reader {
  public:
    // Opens `path` for reading: a regular file with a trace's header, or std::runtime_error.
    explicit Reader(const std::string& path);
    ~Reader();
    Reader(const Reader&) = delete;
    Reader& operator=(const Reader&) = delete;

    const Header& header() const { return m_header; }
    // The next whole record into `record`; false at the end of the file or at a record cut
    // short (CutShort() tells which). Throws std::runtime_error for a record that breaks the
    // format: "record at byte N: ...".
    bool Next(Record& record);
    bool CutShort() const { return m_cutShort; }
    // The byte after the last whole record given: where a trace cut short stops being read.
    std::uint64_t Offset() const { return m_offset; }
    // The record at a place Next gave before (Record::offset), read again.
    void ReadAt(std::uint64_t offset, Record& record);
    // A name that opens the file this reader has open, whatever its path names now.
    std::string SameFile() const { return "/proc/self/fd/" + std::to_string(m_fd); }

  private:
    bool fill(std::size_t need);
    int m_fd = -1;
    Header m_header;
    std::vector<unsigned char> m_buffer;  // read ahead: bytes [m_begin, m_end) are the file's
    std::size_t m_begin = 0;              // from m_offset on
    std::size_t m_end = 0;
    std::uint64_t m_offset = kHeaderBytes;
    bool m_cutShort = false;
    std::vector<unsigned char> m_body;  // ReadAt's
};

}  // namespace zvtrace

#endif
