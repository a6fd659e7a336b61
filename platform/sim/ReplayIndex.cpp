// A trace's one pass for a replay: each record's links written to an unlinked temporary file,
// a cursor kept per distinct request, and answers read back from the trace by their offset.
#include "ReplayIndex.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace zvsim {
namespace {

// Links kept in memory while reading, then written out together: a request's next record is
// mostly near its last, so most links are set before they leave.
constexpr std::size_t kWindow = 16384;
// Process calls whose later pieces are still looked for, and pieces whose call is still to
// come: a piece further from its call than this many calls is not replayed.
constexpr std::size_t kOpenChains = 4096;
constexpr std::size_t kPerRequest = 64 + 256;  // a cursor's room, and a catalogue text's most

int temporaryFile() {
    const char* dir = std::getenv("TMPDIR");
    const std::string at = dir != nullptr && *dir != '\0' ? dir : "/tmp";
    int fd = ::open(at.c_str(), O_TMPFILE | O_RDWR | O_EXCL | O_CLOEXEC, 0600);
    if (fd >= 0) return fd;
    // A file system without unnamed files: a named one, unlinked at once.
    std::string name = at + "/zvpld-replay-XXXXXX";
    fd = ::mkostemp(name.data(), O_CLOEXEC);
    if (fd >= 0) ::unlink(name.c_str());
    return fd;
}

void fullWrite(int fd, const void* data, std::size_t size, std::uint64_t at) {
    const auto* p = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t n = ::pwrite(fd, p, size, static_cast<off_t>(at));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) throw std::runtime_error(std::string("replay index: ") + std::strerror(errno));
        p += n;
        at += static_cast<std::uint64_t>(n);
        size -= static_cast<std::size_t>(n);
    }
}

}  // namespace

RequestKey& RequestKey::number(zvtrace::Type type, std::uint32_t v) {
    unsigned char b[5];
    b[0] = static_cast<unsigned char>(type);
    zvtrace::Put32(b + 1, v);
    m_key.append(reinterpret_cast<const char*>(b), sizeof b);
    return *this;
}

RequestKey& RequestKey::Text(const char* text) {
    if (text == nullptr) {
        m_key.push_back(static_cast<char>(zvtrace::Type::None));
        return *this;
    }
    const std::size_t size = strnlen(text, zvtrace::kMaxTextBytes);
    number(zvtrace::Type::Text, static_cast<std::uint32_t>(size));
    m_key.append(text, size);
    return *this;
}

RequestKey& RequestKey::Point(const ZvVelPntDfn* pnt) {
    return U32(pnt->deviceIdx)
        .U32(pnt->gddId)
        .U32(pnt->mmIdx)
        .U32(pnt->auxIdx)
        .I32(pnt->auxParam)
        .Text(pnt->auxText)
        .U32(pnt->uofm);
}

std::string RequestKey::Of(const zvtrace::Record& record) {
    RequestKey key(static_cast<zvtrace::Op>(record.head.op));
    for (const zvtrace::Value& v : record.request) {
        if (v.type == zvtrace::Type::Text || v.type == zvtrace::Type::Bytes) {
            key.number(v.type, static_cast<std::uint32_t>(v.bytes.size()));
            key.m_key += v.bytes;
        } else if (v.type == zvtrace::Type::None) {
            key.m_key.push_back(static_cast<char>(zvtrace::Type::None));
        } else {
            key.number(v.type, v.number);
        }
    }
    return key.m_key;
}

ReplayIndex::ReplayIndex(const std::string& tracePath, std::size_t maxBytes)
    : path(tracePath), m_maxBytes(maxBytes), m_reader(tracePath) {
    m_links = temporaryFile();
    if (m_links < 0) {
        throw std::runtime_error(
            path + ": no temporary file for the replay's index: " + std::strerror(errno));
    }
    m_window.reserve(kWindow);
    zvtrace::Record record;
    std::uint64_t number = 0;
    try {
        while (m_reader.Next(record)) add(record, ++number);
        flushWindow();
    } catch (const std::runtime_error& e) {
        ::close(m_links);
        throw std::runtime_error(path + ": " + e.what());
    }
    cutShort = m_reader.CutShort();
    requests = m_cursors.size();
    m_processCalls.clear();
    m_earlyPieces.clear();
    finishCatalogue();
}

ReplayIndex::~ReplayIndex() {
    ::close(m_links);
}

void ReplayIndex::add(const zvtrace::Record& record, std::uint64_t number) {
    if (m_window.size() == kWindow) flushWindow();
    m_window.push_back(Links{record.offset, 0, 0});
    switch (record.head.kind) {
        case zvtrace::Kind::Call: {
            ++calls;
            const auto op = static_cast<zvtrace::Op>(record.head.op);
            // A refused registration the client made again is one: the replay refuses none.
            if (notes == 0 && record.head.status == 0 &&
                (op == zvtrace::Op::RegPldCntChng || op == zvtrace::Op::RegVelEvent ||
                 op == zvtrace::Op::RegValueChange)) {
                ++registrations;
                origin = record.head.start;
            }
            auto [at, fresh] = m_cursors.try_emplace(RequestKey::Of(record));
            if (fresh) m_bytes += at->first.size() + kPerRequest;
            Cursor& c = at->second;
            if (c.tail != 0) {
                setLink(c.tail, &Links::nextSame, number);
            } else {
                c.next = number;
            }
            c.tail = number;
            if (op == zvtrace::Op::Process) {
                Chain chain{number, number};
                const auto early = m_earlyPieces.find(record.head.seq);
                if (early != m_earlyPieces.end()) {
                    setLink(number, &Links::nextPiece, early->second.head);
                    chain.last = early->second.last;
                    m_earlyPieces.erase(early);
                }
                m_processCalls[record.head.seq] = chain;
                if (m_processCalls.size() > kOpenChains)
                    m_processCalls.erase(m_processCalls.begin());
            }
            learn(record);
            checkBound(record);
            break;
        }
        case zvtrace::Kind::Note:
            ++notes;
            learn(record);
            checkBound(record);
            break;
        case zvtrace::Kind::Piece:
            linkPiece(record, number);
            break;
        case zvtrace::Kind::End:
            break;
    }
}

void ReplayIndex::checkBound(const zvtrace::Record& record) const {
    if (m_bytes <= m_maxBytes) return;
    throw std::runtime_error("record at byte " + std::to_string(record.offset) +
                             ": the distinct requests and the catalogue up to it pass " +
                             (m_maxBytes >= (1u << 20) ? std::to_string(m_maxBytes >> 20) + " MiB"
                                                       : std::to_string(m_maxBytes) + " bytes"));
}

void ReplayIndex::linkPiece(const zvtrace::Record& piece, std::uint64_t number) {
    const zvtrace::Value* callField = piece.find("call");
    if (callField == nullptr) return;
    const std::uint32_t call = callField->number;
    const auto open = m_processCalls.find(call);
    if (open != m_processCalls.end()) {
        setLink(open->second.last, &Links::nextPiece, number);
        open->second.last = number;
        return;
    }
    Chain& early = m_earlyPieces[call];
    if (early.head == 0) {
        early.head = number;
    } else {
        setLink(early.last, &Links::nextPiece, number);
    }
    early.last = number;
    if (m_earlyPieces.size() > kOpenChains) m_earlyPieces.erase(m_earlyPieces.begin());
}

void ReplayIndex::setLink(std::uint64_t number, std::uint64_t Links::*field, std::uint64_t to) {
    if (number >= m_windowBase) {
        m_window[number - m_windowBase].*field = to;
        return;
    }
    Links l = links(number);
    l.*field = to;
    fullWrite(m_links, &l, sizeof l, (number - 1) * sizeof(Links));
}

void ReplayIndex::flushWindow() {
    fullWrite(m_links, m_window.data(), m_window.size() * sizeof(Links),
              (m_windowBase - 1) * sizeof(Links));
    m_windowBase += m_window.size();
    m_window.clear();
}

ReplayIndex::Links ReplayIndex::links(std::uint64_t number) {
    Links l;
    const off_t at = static_cast<off_t>((number - 1) * sizeof(Links));
    if (::pread(m_links, &l, sizeof l, at) != static_cast<ssize_t>(sizeof l)) {
        throw std::runtime_error(path + ": the replay's index cannot be read");
    }
    return l;
}

bool ReplayIndex::Answer(const std::string& key, zvtrace::Record& record, std::uint64_t& number) {
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto found = m_cursors.find(key);
    if (found == m_cursors.end()) return false;
    Cursor& c = found->second;
    if (c.next != 0) {
        c.last = c.next;
        c.next = links(c.next).nextSame;
    }
    number = c.last;
    m_reader.ReadAt(links(number).offset, record);
    // A trace rewritten under the replay may hold another valid record there: only the request's
    // own recorded call answers it.
    return record.head.kind == zvtrace::Kind::Call && RequestKey::Of(record) == key;
}

}  // namespace zvsim
