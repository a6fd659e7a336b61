// A trace read once for a replay: for each distinct request (its op and request fields, byte for
// byte) a cursor on its recorded answers, the pieces of each Process call, and the catalogue the
// answers describe. Memory holds the distinct requests alone: the links from one record to the
// next of the same request, and from a Process call to its pieces, go to an unlinked temporary
// file, and every answer is read again from the trace when it is given.
#ifndef ZV_SIM_REPLAY_INDEX_H
#define ZV_SIM_REPLAY_INDEX_H

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "SimEngine.h"
#include "TraceReader.h"

namespace zvsim {

// A request's key: the op, then each request field as the trace encodes it.
class RequestKey {
  public:
    explicit RequestKey(zvtrace::Op op) : m_key(1, static_cast<char>(op)) {}
    RequestKey& U32(std::uint32_t v) { return number(zvtrace::Type::U32, v); }
    RequestKey& I32(std::int32_t v) { return number(zvtrace::Type::I32, std::uint32_t(v)); }
    // A text as the trace keeps it: up to its first NUL, within the format's limit; null: none.
    RequestKey& Text(const char* text);
    RequestKey& Point(const ZvVelPntDfn* pnt);
    static std::string Of(const zvtrace::Record& record);
    const std::string& str() const { return m_key; }

  private:
    RequestKey& number(zvtrace::Type type, std::uint32_t v);
    std::string m_key;
};

class ReplayIndex {
  public:
    // Reads the trace at `path` through; std::runtime_error naming the file and, for a record
    // that breaks the format, its byte offset. A trace cut short is read up to its last whole
    // record.
    //
    // The distinct requests, their cursors and what the catalogue learns take at most `maxBytes`
    // (tests pass a small one): a trace that would take more is refused rather than let a crafted
    // one take the host's memory.
    static constexpr std::size_t kMaxIndexBytes = 64u << 20;
    explicit ReplayIndex(const std::string& path, std::size_t maxBytes = kMaxIndexBytes);
    ~ReplayIndex();
    ReplayIndex(const ReplayIndex&) = delete;
    ReplayIndex& operator=(const ReplayIndex&) = delete;

    // The recorded answer to the next such request into `record` (in the recorded order, the
    // last again once they are used up), with the record's number for Pieces; false when the
    // trace holds none, or the record read back is no longer that request's call.
    bool Answer(const std::string& key, zvtrace::Record& record, std::uint64_t& number);
    // The pieces of the call numbered `call`, in the order they were written, each read into
    // `piece` and handed to `each`, which may stop them by returning false.
    template <class Each>
    void Pieces(std::uint64_t call, zvtrace::Record& piece, Each each);

    // The trace's file as the index read it, for another reader of it (a trace renamed or
    // replaced by path meanwhile is not read in its place).
    std::string SameFile() const { return m_reader.SameFile(); }

    Catalogue catalogue;  // what the answers say, for status and tools; the engine takes it
    std::string path;
    bool cutShort = false;
    std::uint64_t calls = 0, notes = 0, requests = 0;
    // The registrations the engine took before the client's first notification came, and the
    // time of the last of them (ns): a replay's notifications wait for as many.
    std::uint64_t registrations = 0;
    std::uint64_t origin = 0;

  private:
    // A record's links, by its number (from 1) in the temporary file: its place in the trace,
    // the next record of the same request, the next piece of its answer (a Process call's first).
    struct Links {
        std::uint64_t offset = 0;
        std::uint64_t nextSame = 0;
        std::uint64_t nextPiece = 0;
    };
    struct Cursor {
        std::uint64_t next = 0;  // the next answer's number; 0: the last is used up
        std::uint64_t last = 0;
        std::uint64_t tail = 0;  // while reading: the request's latest record
    };
    // A Process call and the last piece linked to it, or pieces before their call is known.
    struct Chain {
        std::uint64_t head = 0;
        std::uint64_t last = 0;
    };
    void add(const zvtrace::Record& record, std::uint64_t number);
    void linkPiece(const zvtrace::Record& piece, std::uint64_t number);
    void learn(const zvtrace::Record& record);
    void learnPoint(const zvtrace::Record& record);
    void finishCatalogue();
    void checkBound(const zvtrace::Record& record) const;
    Links links(std::uint64_t number);
    void setLink(std::uint64_t number, std::uint64_t Links::*field, std::uint64_t to);
    void flushWindow();

    // What the distinct requests and what was learnt of them take, counted as each comes.
    std::size_t m_bytes = 0;
    const std::size_t m_maxBytes;
    std::mutex m_mutex;  // the cursors and the reader's ReadAt buffer
    zvtrace::Reader m_reader;
    int m_links = -1;  // the temporary file
    std::unordered_map<std::string, Cursor> m_cursors;
    // While reading: the latest records' links, written out in blocks.
    std::vector<Links> m_window;
    std::uint64_t m_windowBase = 1;
    std::map<std::uint32_t, Chain> m_processCalls;  // by the call's seq, the latest only
    std::map<std::uint32_t, Chain> m_earlyPieces;
};

template <class Each>
void ReplayIndex::Pieces(std::uint64_t call, zvtrace::Record& piece, Each each) {
    for (std::uint64_t n = links(call).nextPiece; n != 0;) {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            const Links l = links(n);
            m_reader.ReadAt(l.offset, piece);
            n = l.nextPiece;
        }
        if (piece.head.kind != zvtrace::Kind::Piece) return;  // the trace changed under the replay
        if (!each(piece)) return;
    }
}

}  // namespace zvsim

#endif
