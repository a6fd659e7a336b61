#include "Server.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <iterator>
#include <limits>
#include <optional>
#include <stdexcept>
#include <thread>
#include <utility>

#include "Wire.h"

namespace pldengined {

using nlohmann::json;

namespace {

// Far more than any reply or piece; a client that lets this much pile up does not read.
constexpr std::size_t kMaxQueued = 8u << 20;
// Texts are read into buffers of at most this many bytes, whatever size a client names.
constexpr unsigned int kMaxText = 1u << 16;
// A client that takes nothing from its socket this long is dropped: otherwise its writer, and
// the connection with it, would wait until the daemon stops.
constexpr int kSendTimeoutSec = 3;

using Frame = std::shared_ptr<const std::vector<std::uint8_t>>;

// Null for a message too long for a frame.
Frame frameOf(const json& message) {
    auto bytes = std::make_shared<std::vector<std::uint8_t>>();
    if (!zvwire::AppendFrame(message, *bytes)) return nullptr;
    return bytes;
}

struct Malformed : std::runtime_error {
    using std::runtime_error::runtime_error;
};

template <class T>
T number(const json& j, const char* key, std::optional<T> fallback = std::nullopt) {
    const auto it = j.find(key);
    if (it == j.end() && fallback) return *fallback;
    if (it == j.end() || !it->is_number_integer()) {
        throw Malformed(std::string(key) + " missing or not an integer");
    }
    using Limits = std::numeric_limits<T>;
    if (it->is_number_unsigned()) {
        const auto v = it->get<std::uint64_t>();
        if (v > static_cast<std::uint64_t>(Limits::max()))
            throw Malformed(std::string(key) + " out of range");
        return static_cast<T>(v);
    }
    const auto v = it->get<std::int64_t>();
    if (v < static_cast<std::int64_t>(Limits::min()) ||
        (v > 0 && static_cast<std::uint64_t>(v) > static_cast<std::uint64_t>(Limits::max()))) {
        throw Malformed(std::string(key) + " out of range");
    }
    return static_cast<T>(v);
}

const json& object(const json& j, const char* key) {
    const auto it = j.find(key);
    if (it == j.end() || !it->is_object())
        throw Malformed(std::string(key) + " missing or not a map");
    return *it;
}

// A text argument: nil (or absent) is a null pointer.
std::optional<std::string> text(const json& j, const char* key) {
    const auto it = j.find(key);
    if (it == j.end() || it->is_null()) return std::nullopt;
    if (it->is_string()) return it->get<std::string>();
    if (it->is_binary()) return std::string(it->get_binary().begin(), it->get_binary().end());
    throw Malformed(std::string(key) + " not a text");
}

ZvVelPntDfn pointFrom(const json& j, std::optional<std::string>& auxText) {
    const json& p = object(j, "pnt");
    auxText = text(p, "auxText");
    ZvVelPntDfn pnt{};
    pnt.deviceIdx = number<std::uint16_t>(p, "deviceIdx");
    pnt.gddId = number<std::uint32_t>(p, "gddId");
    pnt.mmIdx = number<std::uint16_t>(p, "mmIdx");
    pnt.auxIdx = number<std::uint16_t>(p, "auxIdx", 0);
    pnt.auxParam = number<std::int16_t>(p, "auxParam", 0);
    pnt.auxText = auxText ? auxText->c_str() : nullptr;
    pnt.uofm = number<std::uint32_t>(p, "uofm", 0);
    return pnt;
}

ZvVelRprtDfn reportFrom(const json& j) {
    const json& r = object(j, "rprt");
    ZvVelRprtDfn rprt{};
    rprt.deviceIdx = number<std::uint16_t>(r, "deviceIdx");
    rprt.gddId = number<std::uint32_t>(r, "gddId");
    rprt.mmIdx = number<std::uint16_t>(r, "mmIdx");
    return rprt;
}

// The bytes the engine wrote into a buffer of `size`: up to its NUL, or all of them.
json binaryText(const std::vector<char>& buf, std::size_t size) {
    const std::size_t n = strnlen(buf.data(), size);
    return json::binary(std::vector<std::uint8_t>(buf.begin(), buf.begin() + n));
}

unsigned int textSize(const json& request) {
    return std::min(number<unsigned int>(request, "size"), kMaxText);
}

enum class Sent { All, TimedOut, Failed };

Sent writeAll(int fd, const std::uint8_t* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return Sent::TimedOut;
        if (n <= 0) return Sent::Failed;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return Sent::All;
}

}  // namespace

void Log(const char* format, ...) {
    char line[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    std::fprintf(stderr, "pld-engined: %s\n", line);
}

struct Connection {
    Connection(int f, unsigned i) : fd(f), id(i) {}
    ~Connection() { ::close(fd); }

    const int fd;
    const unsigned id;
    std::atomic<unsigned> kinds{0};   // the kinds of notification it registered
    std::atomic<unsigned> unregs{0};  // its UnRegs so far: answers begun before one stop
    std::atomic<bool> dropped{false};
    std::atomic<bool> ended{false};  // its threads are done and may be joined

    std::mutex mutex;
    std::condition_variable wake;
    std::deque<Frame> queue;
    std::size_t queued = 0;  // bytes in queue
    bool closing = false;
    std::thread reader;
    std::thread writer;

    // Never blocks: the engine's delivering thread sends here too.
    void send(Frame frame) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (closing) return;
            if (queued + frame->size() <= kMaxQueued) {
                queued += frame->size();
                queue.push_back(std::move(frame));
                wake.notify_one();
                return;
            }
        }
        drop("outgoing queue full, the client does not read");
    }

    void drop(const std::string& why) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            closing = true;
            wake.notify_one();
        }
        if (!dropped.exchange(true)) Log("connection %u dropped: %s", id, why.c_str());
        ::shutdown(fd, SHUT_RDWR);
    }

    // Sends what is queued until the connection closes, then what is left unless dropped.
    void write() {
        std::unique_lock<std::mutex> lock(mutex);
        for (;;) {
            wake.wait(lock, [&] { return closing || !queue.empty(); });
            if (queue.empty() || dropped) return;
            const Frame frame = std::move(queue.front());
            queue.pop_front();
            queued -= frame->size();
            lock.unlock();
            const Sent sent = writeAll(fd, frame->data(), frame->size());
            if (sent == Sent::TimedOut) {
                drop("the client reads nothing, a send timed out");
                return;
            }
            lock.lock();
            if (sent == Sent::Failed) {
                closing = true;
                ::shutdown(fd, SHUT_RDWR);  // the reader ends too
                return;
            }
        }
    }
};

namespace {

// The reply's frame; a reply too long for one is answered with a status alone.
Frame replyFrame(const Connection& c, const json& request, const json& reply) {
    if (Frame frame = frameOf(reply)) return frame;
    const std::string& op = request.at("op").get_ref<const std::string&>();
    const Y4_Status status = op == "GetRprtAncstr" ? zvsim::kBufferTooSmall : zvsim::kNoEngine;
    Log("connection %u: the reply to %s does not fit in a frame, answered %d", c.id, op.c_str(),
        static_cast<int>(status));
    return frameOf({{"id", reply.at("id")}, {"status", status}});
}

// A notification or piece that cannot be framed would leave the client waiting for it.
void sendNote(Connection& c, const Frame& frame) {
    if (frame) {
        c.send(frame);
    } else {
        c.drop("a message does not fit in a frame");
    }
}

}  // namespace

struct Server::PendingWrite {
    const Write* apply;
    Y4_Status status = zvsim::kNoEngine;
    bool done = false;
};

struct Server::PendingAnswer {
    Server* server;
    std::weak_ptr<Connection> connection;
    json req;
    unsigned unregs;
};

Server::Server(std::shared_ptr<zvsim::SimEngine> engine, std::string statePath)
    : m_engine(std::move(engine)),
      m_statePath(std::move(statePath)),
      m_shadow(m_statePath.empty() ? nullptr : [this] {
          zvsim::Catalogue catalogue = m_engine->Snapshot();
          catalogue.tickMs = 0;  // its values come from the engine, before each batch
          return std::make_unique<zvsim::SimEngine>(std::move(catalogue));
      }()) {}

Server::~Server() {
    Stop();
}

bool Server::Start() {
    return m_engine->RegPldCntChng(&Server::onPldCount, this, 0) == zvsim::kOk &&
           m_engine->RegVelEvent(&Server::onEvent, this, 0) == zvsim::kOk &&
           m_engine->RegValueChange(&Server::onValue, this, 0) == zvsim::kOk;
}

void Server::Serve(int fd) {
    const timeval timeout{kSendTimeoutSec, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    auto connection = std::make_shared<Connection>(fd, ++m_nextId);
    Log("connection %u opened", connection->id);
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_live.push_back(connection);
    }
    m_all.push_back(connection);
    connection->writer = std::thread([c = connection.get()] { c->write(); });
    connection->reader = std::thread([this, connection] { read(connection); });
}

void Server::Reap() {
    for (auto it = m_all.begin(); it != m_all.end();) {
        if ((*it)->ended) {
            (*it)->reader.join();
            it = m_all.erase(it);
        } else {
            ++it;
        }
    }
}

void Server::Stop() {
    for (const auto& c : m_all) ::shutdown(c->fd, SHUT_RDWR);
    for (const auto& c : m_all) c->reader.join();
    m_all.clear();
    m_engine->UnReg(1);
    // No piece can come any more: the answers' contexts go.
    std::lock_guard<std::mutex> lock(m_answersMutex);
    m_answers.clear();
}

void Server::read(const std::shared_ptr<Connection>& connection) {
    Connection& c = *connection;
    zvwire::FrameDecoder decoder(zvwire::kRequestLimits);
    std::vector<std::uint8_t> buf(1u << 16);
    bool open = true;
    while (open) {
        const ssize_t n = ::recv(c.fd, buf.data(), buf.size(), 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        decoder.Feed(buf.data(), static_cast<std::size_t>(n));
        json message;
        for (zvwire::FrameDecoder::Result r;
             open && (r = decoder.Next(message)) != zvwire::FrameDecoder::Result::NeedMore;) {
            if (r == zvwire::FrameDecoder::Result::Bad) {
                c.drop("malformed frame: " + decoder.Error());
                open = false;
                break;
            }
            try {
                c.send(replyFrame(c, message, answer(connection, message)));
            } catch (const std::exception& e) {  // Malformed, or a field of the wrong type
                c.drop(std::string("malformed request: ") + e.what());
                open = false;
            }
        }
    }
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_live.erase(std::find(m_live.begin(), m_live.end(), connection));
    }
    {
        std::lock_guard<std::mutex> lock(c.mutex);
        c.closing = true;
        c.wake.notify_one();
    }
    c.writer.join();
    Log("connection %u closed", c.id);
    c.ended = true;
}

json Server::answer(const std::shared_ptr<Connection>& connection, const json& request) {
    const auto id = request.find("id");
    const auto op = request.find("op");
    if (id == request.end() || !id->is_number_integer())
        throw Malformed("id missing or not an integer");
    if (op == request.end() || !op->is_string()) throw Malformed("op missing or not a text");
    const std::string& name = op->get_ref<const std::string&>();
    zvsim::SimEngine& engine = *m_engine;
    json reply = {{"id", *id}};

    using TextGetter = Y4_Status (zvsim::SimEngine::*)(const ZvVelPntDfn*, unsigned int, char*);
    static const std::map<std::string, TextGetter> textGetters = {
        {"GetVelPntStrLabel", &zvsim::SimEngine::GetVelPntStrLabel},
        {"GetVelPntStrDscrptn", &zvsim::SimEngine::GetVelPntStrDscrptn},
        {"GetVelPntStrUoM", &zvsim::SimEngine::GetVelPntStrUoM},
        {"GetVelPntStr", &zvsim::SimEngine::GetVelPntStr}};
    using WordGetter = Y4_Status (zvsim::SimEngine::*)(const ZvVelPntDfn*, std::uint32_t*);
    static const std::map<std::string, WordGetter> wordGetters = {
        {"GetVelPntUint32", &zvsim::SimEngine::GetVelPntUint32},
        {"GetVelPntAccessRights", &zvsim::SimEngine::GetVelPntAccessRights},
        {"GetVelPntDataType", &zvsim::SimEngine::GetVelPntDataType},
        {"GetVelPntDsplyNF", &zvsim::SimEngine::GetVelPntDsplyNF}};

    std::optional<std::string> auxText;
    if (const auto get = textGetters.find(name); get != textGetters.end()) {
        const ZvVelPntDfn pnt = pointFrom(request, auxText);
        const unsigned int size = textSize(request);
        std::vector<char> buf(size + 1, '\0');
        reply["status"] = (engine.*get->second)(&pnt, size, buf.data());
        reply["text"] = binaryText(buf, size);
    } else if (const auto word = wordGetters.find(name); word != wordGetters.end()) {
        const ZvVelPntDfn pnt = pointFrom(request, auxText);
        std::uint32_t value = 0;
        reply["status"] = (engine.*word->second)(&pnt, &value);
        reply["value"] = value;
    } else if (name == "GetVelPntInt32") {
        const ZvVelPntDfn pnt = pointFrom(request, auxText);
        std::int32_t value = 0;
        reply["status"] = engine.GetVelPntInt32(&pnt, &value);
        reply["value"] = value;
    } else if (name == "GetVelPntUoMId") {
        const ZvVelPntDfn pnt = pointFrom(request, auxText);
        Y4paVelDsply dsply{};
        reply["status"] = engine.GetVelPntUoMId(&pnt, &dsply);
        reply["value"] = dsply.uofmId;
    } else if (name == "SetVelPntStr" || name == "SetVelPntInt32" || name == "SetVelPntUint32") {
        const ZvVelPntDfn pnt = pointFrom(request, auxText);
        const auto setParam = number<std::uint16_t>(request, "setParam", 0);
        std::optional<std::string> value;
        Write apply;
        if (name == "SetVelPntStr") {
            value = text(request, "value");
            apply = [&](zvsim::SimEngine& e) {
                return e.SetVelPntStr(&pnt, value ? value->c_str() : nullptr, setParam);
            };
        } else if (name == "SetVelPntInt32") {
            const auto v = number<std::int32_t>(request, "value");
            apply = [&pnt, v, setParam](zvsim::SimEngine& e) {
                return e.SetVelPntInt32(&pnt, v, setParam);
            };
        } else {
            const auto v = number<std::uint32_t>(request, "value");
            apply = [&pnt, v, setParam](zvsim::SimEngine& e) {
                return e.SetVelPntUint32(&pnt, v, setParam);
            };
        }
        reply["status"] = write(apply);
    } else if (name == "GetMaxRprtMMCnt" || name == "GetMaxPntArrayDim") {
        const auto device = number<std::uint16_t>(request, "deviceIdx");
        const auto gddId = number<std::uint32_t>(request, "gddId");
        reply["value"] = name == "GetMaxRprtMMCnt" ? engine.GetMaxRprtMMCnt(device, gddId)
                                                   : engine.GetMaxPntArrayDim(device, gddId);
    } else if (name == "GetPointsRprt") {
        reply["value"] = engine.GetPointsRprt(number<std::uint16_t>(request, "deviceIdx"),
                                              number<unsigned long>(request, "gddId"));
    } else if (name == "GetMaxNmbrAncstrs") {
        reply["value"] = engine.GetMaxNmbrAncstrs(number<std::uint16_t>(request, "deviceIdx"));
    } else if (name == "GetRprtAncstr") {
        // The engine writes in this process's layout; the client lays the records out in its
        // own buffer, so the daemon asks with room enough for any chain.
        ZvVelRprtDfn rprt = reportFrom(request);
        Y4_Status status = zvsim::kBufferTooSmall;
        std::vector<std::uint64_t> buf;
        for (std::size_t entries = 64; status == zvsim::kBufferTooSmall && entries <= 65536;
             entries *= 32) {
            const std::size_t bytes =
                sizeof(ZvPldEngAncestors) + entries * sizeof(ZvPldEngAncestorEntry);
            buf.assign(bytes / sizeof(std::uint64_t) + 1, 0);
            rprt.buf = buf.data();
            rprt.bufSize = static_cast<std::uint32_t>(bytes);
            status = engine.GetRprtAncstr(&rprt);
        }
        reply["status"] = status;
        if (status == zvsim::kOk) {
            const auto* bytes = reinterpret_cast<const unsigned char*>(buf.data());
            ZvPldEngAncestors head{};
            std::memcpy(&head, bytes, sizeof head);
            reply["report"] = {
                {"gddId", head.gddId}, {"mmIdx", head.mmIdx}, {"auxValue", head.auxValue}};
            json ancestors = json::array();
            for (std::size_t i = 0; i < head.nmbrAncstrs; ++i) {
                ZvPldEngAncestorEntry e{};
                std::memcpy(&e, bytes + sizeof head + i * sizeof e, sizeof e);
                ancestors.push_back(
                    {{"gddId", e.gddId}, {"mmIdx", e.mmIdx}, {"auxValue", e.auxValue}});
            }
            reply["ancestors"] = std::move(ancestors);
        }
    } else if (name == "GetVelRprtStrLabel") {
        ZvVelRprtDfn rprt = reportFrom(request);
        const unsigned int size = textSize(request);
        std::vector<char> buf(size + 1, '\0');
        reply["status"] = engine.GetVelRprtStrLabel(&rprt, size, buf.data());
        reply["text"] = binaryText(buf, size);
    } else if (name == "GetVelEnumStateInfo") {
        const auto cells =
            std::min<unsigned int>(number<unsigned int>(request, "maxCount"), 0xFFFF);
        std::vector<std::uint16_t> values(cells);
        ZvEnumStateType type{};
        std::uint16_t count = 0;
        const Y4_Status status = engine.GetVelEnumStateInfo(
            number<std::uint16_t>(request, "deviceIdx"), number<std::uint32_t>(request, "gddId"),
            &type, &count, cells, values.data());
        values.resize(std::min<std::size_t>(count, cells));
        reply["status"] = status;
        reply["type"] = type.type;
        reply["count"] = count;  // the engine's true count, which may pass maxCount
        reply["values"] = values;
    } else if (name == "GetVelEnumStateStr") {
        const json& s = object(request, "state");
        const ZvVelPntEnum state{number<std::uint16_t>(s, "deviceIdx"),
                                 number<std::uint32_t>(s, "gddId"),
                                 number<std::uint16_t>(s, "stateValue")};
        const unsigned int size = textSize(request);
        std::vector<char> buf(size + 1, '\0');
        reply["status"] = engine.GetVelEnumStateStr(&state, size, buf.data());
        reply["text"] = binaryText(buf, size);
    } else if (name == "Process") {
        return process(connection, request);
    } else if (name == "GetVelServerInventory") {
        ZvVelInventory inv{};
        reply["status"] = engine.GetVelServerInventory(&inv);
        const auto* server = reinterpret_cast<const std::uint8_t*>(inv.serverName);
        reply["inventory"] = {
            {"serverVersion", inv.serverVersion},
            {"nmbrDevices", inv.nmbrDevices},
            {"maxDevices", inv.maxDevices},
            {"pldCount", inv.pldCount},
            {"upTimeSec", inv.upTimeSec},
            {"serverName", json::binary(std::vector<std::uint8_t>(
                               server, server + strnlen(inv.serverName, sizeof inv.serverName)))}};
    } else if (name == "GetProdSeqId") {
        ZvProductIdentSeq* seq = engine.GetProdSeqId(number<std::uint16_t>(request, "deviceIdx"));
        if (seq == nullptr) {
            reply["seq"] = nullptr;
        } else {
            reply["seq"] = {{"nmbrIds", seq->nmbrIds},
                            {"revision", seq->revision},
                            {"ids", std::vector<std::uint16_t>(seq->ids, std::end(seq->ids))}};
            std::free(seq);
        }
    } else if (name == "GetVelFDMVersion") {
        const int asked = number<int>(request, "size");
        const int size = std::min<int>(asked, static_cast<int>(kMaxText));
        std::vector<char> buf(size > 0 ? size + 1 : 1, '\0');
        reply["status"] =
            engine.GetVelFDMVersion(number<int>(request, "deviceIdx"), size, buf.data());
        reply["text"] = binaryText(buf, size > 0 ? static_cast<std::size_t>(size) : 0);
    } else if (name == "SetEventState") {
        reply["status"] = engine.SetEventState(number<std::uint32_t>(request, "eventId"),
                                               number<std::uint16_t>(request, "state"));
    } else if (name == "AnnouncePldCount") {
        engine.AnnouncePldCount();
        reply["status"] = zvsim::kOk;
    } else if (name == "Init") {
        const auto texts = request.find("texts");
        if (texts == request.end() || !texts->is_array())
            throw Malformed("texts missing or not a list");
        reply["value"] = engine.Init();
    } else if (name == "Reg") {
        const std::optional<std::string> kind = text(request, "kind");
        number<std::uint16_t>(request, "regArg", 0);
        const unsigned bit = kind == "pld"     ? kPld
                             : kind == "event" ? kEvent
                             : kind == "value" ? kValue
                                               : kNone;
        connection->kinds |= bit;
        reply["status"] = bit != 0 ? zvsim::kOk : zvsim::kRejected;
    } else if (name == "UnReg") {
        const bool all = number<int>(request, "what") == 1;
        if (all) {
            connection->kinds = 0;
            ++connection->unregs;
        }
        reply["status"] = all ? zvsim::kOk : zvsim::kRejected;
    } else {
        reply["status"] = zvsim::kUnknownRequest;
    }
    return reply;
}

json Server::process(const std::shared_ptr<Connection>& connection, const json& request) {
    const auto req = request.find("req");
    if (req == request.end() || !req->is_number_integer())
        throw Malformed("req missing or not an integer");
    const std::optional<std::string> url = text(request, "url");
    const std::optional<std::string> query = text(request, "query");
    ZvPldEngInfo info{};
    info.reqParam = number<std::int32_t>(request, "reqParam");
    info.reqType = number<std::int32_t>(request, "reqType");
    info.pUrl = url ? url->c_str() : nullptr;
    info.pQuery = query ? query->c_str() : nullptr;
    info.pfnCallback = &Server::onPiece;
    auto pending = std::make_unique<PendingAnswer>(
        PendingAnswer{this, connection, *req, connection->unregs.load()});
    info.pUserData = pending.get();
    {
        std::lock_guard<std::mutex> lock(m_answersMutex);
        m_answers.emplace(pending.get(), std::move(pending));
    }
    PendingAnswer* const context = static_cast<PendingAnswer*>(info.pUserData);
    const Y4_Status status = m_engine->Process(&info);
    // A refused request gets no piece. An accepted one's last piece frees the context, maybe
    // already: it is not touched here after that.
    if (status != zvsim::kOk) forget(context);
    return {{"id", request.at("id")}, {"status", status}};
}

int Server::onPiece(ZvCallbackInfo* cbi) {
    auto* pending = static_cast<PendingAnswer*>(cbi->pUserData);
    const auto connection = pending->connection.lock();
    if (connection && connection->unregs == pending->unregs) {
        const auto* buf = reinterpret_cast<const std::uint8_t*>(cbi->pProcOutBuf);
        sendNote(*connection, frameOf({{"ntf", "piece"},
                                       {"req", pending->req},
                                       {"status", cbi->status},
                                       {"reqType", cbi->reqType},
                                       {"reqParam", cbi->reqParam},
                                       {"sequence", cbi->sequence},
                                       {"bufSize", cbi->procOutBufSize},
                                       {"len", cbi->procOutLen},
                                       {"buf", json::binary(std::vector<std::uint8_t>(
                                                   buf, buf + cbi->procOutBufSize))}}));
    }
    if (cbi->procOutLen < cbi->procOutBufSize) pending->server->forget(pending);
    return 0;
}

void Server::forget(PendingAnswer* answer) {
    std::unique_ptr<PendingAnswer> gone;
    std::lock_guard<std::mutex> lock(m_answersMutex);
    const auto it = m_answers.find(answer);
    if (it != m_answers.end()) {
        gone = std::move(it->second);
        m_answers.erase(it);
    }
}

void Server::fanOut(Kind kind, const json& message) {
    std::lock_guard<std::mutex> lock(m_mutex);
    Frame frame;
    for (const auto& c : m_live) {
        if ((c->kinds & kind) == 0) continue;
        if (!frame) frame = frameOf(message);
        sendNote(*c, frame);
    }
}

void Server::onPldCount(void* context, unsigned long count) {
    static_cast<Server*>(context)->fanOut(kPld, {{"ntf", "pld"}, {"count", count}});
}

void Server::onEvent(void* context, const ZvVEventInfo* info) {
    static_cast<Server*>(context)->fanOut(kEvent, {{"ntf", "event"},
                                                   {"info",
                                                    {{"sequence", info->sequence},
                                                     {"eventId", info->eventId},
                                                     {"deviceIdx", info->deviceIdx},
                                                     {"eventState", info->eventState},
                                                     {"groupId", info->groupId}}}});
}

void Server::onValue(void* context, const ZvValChgInfo* info) {
    static_cast<Server*>(context)->fanOut(
        kValue, {{"ntf", "value"},
                 {"info",
                  {{"sequence", info->sequence},
                   {"valueId", info->valueId},
                   {"mmIdx", info->mmIdx},
                   {"deviceIdx", info->deviceIdx},
                   {"length", info->length},
                   {"dataType", info->dataType}}},
                 {"data", std::vector<std::uint16_t>(info->pData, info->pData + info->length)}});
}

Y4_Status Server::write(const Write& apply) {
    if (!m_shadow) return apply(*m_engine);
    PendingWrite mine{&apply};
    std::unique_lock<std::mutex> lock(m_writesMutex);
    m_queued.push_back(&mine);
    while (!mine.done) {
        if (m_committing) {
            m_committed.wait(lock);
            continue;
        }
        std::vector<PendingWrite*> batch;
        batch.swap(m_queued);
        m_committing = true;
        lock.unlock();
        commit(batch);
        lock.lock();
        m_committing = false;
        for (PendingWrite* w : batch) w->done = true;
        m_committed.notify_all();
    }
    return mine.status;
}

// The writes' statuses: each as the shadow answers it, 13 for the accepted ones unless saved.
void Server::commit(const std::vector<PendingWrite*>& batch) {
    try {
        const std::string before = m_engine->ValuesJson();
        m_shadow->LoadValues(before);
        bool accepted = false;
        for (PendingWrite* w : batch)
            accepted |= (w->status = (*w->apply)(*m_shadow)) == zvsim::kOk;
        if (!accepted) return;
        const Saved saved = WriteFileAtomically(m_statePath, m_shadow->ValuesJson());
        if (saved != Saved::Yes) {
            Log("cannot save the state to %s: %s", m_statePath.c_str(), std::strerror(errno));
            // Renamed into place all the same: the values before the batch go back, so that a
            // restart does not bring back writes answered 13.
            if (saved == Saved::NotDurable &&
                WriteFileAtomically(m_statePath, before) == Saved::No) {
                Log("cannot restore %s, which holds writes answered 13: %s", m_statePath.c_str(),
                    std::strerror(errno));
            }
            for (PendingWrite* w : batch) {
                if (w->status == zvsim::kOk) w->status = zvsim::kNoEngine;
            }
            return;
        }
        // The same write on the same values: the engine answers as the shadow did.
        for (PendingWrite* w : batch) {
            if (w->status == zvsim::kOk) w->status = (*w->apply)(*m_engine);
        }
    } catch (const std::exception& e) {  // values that JSON cannot hold, or no memory
        Log("cannot save the state to %s: %s", m_statePath.c_str(), e.what());
        for (PendingWrite* w : batch) w->status = zvsim::kNoEngine;
    }
}

Saved WriteFileAtomically(const std::string& path, const std::string& text) {
    const std::string temp = path + ".tmp";
    // Whatever has that name, left by a save that died or planted there to turn the write onto
    // another file, goes first: unlink removes a link itself, and the file written must be new.
    if (::unlink(temp.c_str()) != 0 && errno != ENOENT) return Saved::No;
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) return Saved::No;
    const char* at = text.data();
    std::size_t left = text.size();
    bool ok = true;
    errno = 0;
    while (ok && left > 0) {
        const ssize_t n = ::write(fd, at, left);
        if (n < 0 && errno == EINTR) continue;
        ok = n > 0;
        if (ok) {
            at += n;
            left -= static_cast<std::size_t>(n);
        }
    }
    if (ok && ::fsync(fd) != 0) ok = false;
    int error = ok ? 0 : (errno != 0 ? errno : EIO);
    if (::close(fd) != 0 && ok) {
        ok = false;
        error = errno;
    }
    if (ok && ::rename(temp.c_str(), path.c_str()) != 0) {
        ok = false;
        error = errno;
    }
    if (!ok) {
        ::unlink(temp.c_str());
        errno = error;
        return Saved::No;
    }
    // The rename itself lasts once the directory is on disk.
    const std::size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "."
                            : slash == 0               ? "/"
                                                       : path.substr(0, slash);
    static const bool failSync = std::getenv("PLD_ENGINED_TEST_FAIL_DIRECTORY_SYNC") != nullptr;
    const int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd < 0) return Saved::NotDurable;
    ok = failSync ? (errno = EIO, false) : ::fsync(dfd) == 0;
    error = errno;
    ::close(dfd);
    errno = error;
    return ok ? Saved::Yes : Saved::NotDurable;
}

}  // namespace pldengined
