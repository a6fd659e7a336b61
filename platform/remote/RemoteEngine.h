// The engine as a server process: each call travels to the engine daemon over a Unix-domain
// stream socket and waits, up to a deadline, for its reply; notifications and the pieces of
// answers come back on the same connection. docs/engine-protocol.md describes the messages.
#ifndef ZV_REMOTE_ENGINE_H
#define ZV_REMOTE_ENGINE_H

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "ZvPldEngine.h"

namespace zvremote {

constexpr std::chrono::milliseconds kDefaultDeadline{2000};
// Notifications and pieces waiting for the delivering thread: past this the daemon is sending
// faster than the client's capture functions take them, and the connection is dropped.
constexpr std::size_t kMaxQueuedBytes = 8u << 20;

class RemoteEngine : public ZvPldEngine {
  public:
    // "unix:PATH" or "unix:PATH?deadline_ms=N" gives an engine that talks to the daemon at PATH;
    // any other text gives null. Releasing the last copy closes the engine; its delivering thread
    // keeps the object alive until that thread ends, so that a capture or response function
    // may delete its client.
    static std::shared_ptr<RemoteEngine> FromClientText(const char* first, const char* second,
                                                        const char* third);

    ~RemoteEngine() override;
    RemoteEngine(const RemoteEngine&) = delete;
    RemoteEngine& operator=(const RemoteEngine&) = delete;

    int Init() override;
    Y4_Status UnReg(int what) override;
    void Close() override;

    Y4_Status RegPldCntChng(ZvPldCntChngFn capture, void* context, std::uint16_t regArg) override;
    Y4_Status RegVelEvent(ZvVelEventFn capture, void* context, std::uint16_t regArg) override;
    Y4_Status RegValueChange(ZvValueChangeFn capture, void* context, std::uint16_t regArg) override;

    Y4_Status GetVelPntStrLabel(const ZvVelPntDfn* pnt, unsigned int size, char* buf) override;
    Y4_Status GetVelPntStrDscrptn(const ZvVelPntDfn* pnt, unsigned int size, char* buf) override;
    Y4_Status GetVelPntStrUoM(const ZvVelPntDfn* pnt, unsigned int size, char* buf) override;
    Y4_Status GetVelPntStr(const ZvVelPntDfn* pnt, unsigned int size, char* buf) override;

    Y4_Status GetVelPntInt32(const ZvVelPntDfn* pnt, std::int32_t* value) override;
    Y4_Status GetVelPntUint32(const ZvVelPntDfn* pnt, std::uint32_t* value) override;
    Y4_Status SetVelPntStr(const ZvVelPntDfn* pnt, const char* value,
                           std::uint16_t setParam) override;
    Y4_Status SetVelPntInt32(const ZvVelPntDfn* pnt, std::int32_t value,
                             std::uint16_t setParam) override;
    Y4_Status SetVelPntUint32(const ZvVelPntDfn* pnt, std::uint32_t value,
                              std::uint16_t setParam) override;

    Y4_Status GetVelPntAccessRights(const ZvVelPntDfn* pnt, std::uint32_t* value) override;
    Y4_Status GetVelPntDataType(const ZvVelPntDfn* pnt, std::uint32_t* value) override;
    Y4_Status GetVelPntDsplyNF(const ZvVelPntDfn* pnt, std::uint32_t* value) override;
    Y4_Status GetVelPntUoMId(const ZvVelPntDfn* pnt, Y4paVelDsply* dsply) override;
    std::uint32_t GetMaxRprtMMCnt(std::uint16_t deviceIdx, std::uint32_t gddId) override;
    std::uint32_t GetMaxPntArrayDim(std::uint16_t deviceIdx, std::uint32_t gddId) override;

    std::uint32_t GetMaxNmbrAncstrs(unsigned short deviceIdx) override;
    std::uint32_t GetPointsRprt(unsigned short deviceIdx, unsigned long gddId) override;
    Y4_Status GetRprtAncstr(ZvVelRprtDfn* rprt) override;
    Y4_Status GetVelRprtStrLabel(ZvVelRprtDfn* rprt, unsigned int size, char* buf) override;

    Y4_Status GetVelEnumStateInfo(std::uint16_t deviceIdx, std::uint32_t gddId,
                                  ZvEnumStateType* type, std::uint16_t* count,
                                  unsigned int maxCount, std::uint16_t* values) override;
    Y4_Status GetVelEnumStateStr(const ZvVelPntEnum* state, unsigned int size, char* buf) override;

    Y4_Status Process(ZvPldEngInfo* request) override;
    Y4_Status GetVelServerInventory(ZvVelInventory* inventory) override;
    ZvProductIdentSeq* GetProdSeqId(unsigned short deviceIdx) override;
    Y4_Status GetVelFDMVersion(int deviceIdx, int size, char* buf) override;

  private:
    using json = nlohmann::json;

    RemoteEngine(std::string path, std::chrono::milliseconds deadline,
                 std::array<std::string, 3> texts);

    // A request and its reply: the reply, or nothing when the daemon failed it.
    // `generation` tells the connection that carried it.
    std::optional<json> call(json request, std::uint64_t* generation = nullptr);
    // Makes the call, then reads the reply with `read`; a reply that does not read (a field
    // missing or of the wrong type) is the daemon's failure too, and answers `failure`.
    template <class R, class Read>
    R ask(json request, R failure, Read read);
    Y4_Status askStatus(json request);
    Y4_Status askText(json request, char* buf, std::size_t room);
    template <class T>
    Y4_Status askValue(json request, T* value);

    using Deadline = std::chrono::steady_clock::time_point;
    // Both answer within `until`: a reconnection spends the deadline of the call that makes it.
    bool connect(Deadline until);
    std::optional<json> exchange(json request, Deadline until, std::uint64_t* generation = nullptr);
    void breakConnection(std::uint64_t generation);
    void retire();  // m_connectMutex held
    void readLoop(int fd, std::uint64_t generation);
    bool route(const json& message);
    void deliverLoop();
    bool reconnectWanted() const;  // m_mutex held

    enum Kind { kPld, kEvent, kValue, kKinds };
    Y4_Status reg(Kind kind, void (*capture)(), void* context, std::uint16_t regArg);

    // A notification or piece, read and checked by the reader thread, for the delivering thread.
    struct Note {
        Kind kind = kPld;
        bool piece = false;
        unsigned long count = 0;
        ZvVEventInfo event{};
        ZvValChgInfo value{};
        std::vector<std::uint16_t> data;
        std::uint32_t req = 0;
        ZvCallbackInfo info{};
        std::vector<char> buf;
        std::size_t Bytes() const { return sizeof(Note) + data.size() * 2 + buf.size(); }
    };
    struct Pending {
        std::uint64_t generation = 0;
        bool done = false;
        std::optional<json> reply;  // none: failed
    };
    struct Registration {
        void (*capture)() = nullptr;  // one of the three capture function types
        void* context = nullptr;
        std::uint16_t regArg = 0;
        // Registered again on each new connection: the daemon took it, or did not answer.
        bool replay = false;
    };
    struct Answer {
        int (*respond)(ZvCallbackInfo* cbi) = nullptr;
        void* userData = nullptr;
        std::uint64_t generation = 0;  // the connection its request went out on; 0: none yet
    };

    const std::string m_path;
    const std::chrono::milliseconds m_deadline;
    const std::array<std::string, 3> m_texts;

    std::mutex m_connectMutex;  // one caller (re)connects at a time, Init and Reg included

    // Lock order: m_connectMutex, m_mutex. No lock is held while a capture or
    // response function runs: it may call straight back into the engine.
    std::mutex m_mutex;  // everything below
    std::condition_variable m_replied;
    std::condition_variable m_noteReady;
    std::condition_variable m_idle;
    std::condition_variable m_writable;
    bool m_writing = false;  // a frame is going out on m_fd, which stays open meanwhile
    int m_fd = -1;
    std::uint64_t m_generation = 0;  // one more with each connection
    bool m_broken = true;            // no connection that works: the next call connects
    bool m_closed = false;
    bool m_inited = false;  // Init was called: a new connection begins with Init
    std::thread m_reader;
    std::uint32_t m_nextId = 1;
    std::map<std::uint32_t, Pending> m_pending;
    std::array<Registration, kKinds> m_regs;
    std::uint32_t m_nextReq = 1;
    std::map<std::uint32_t, Answer> m_answers;
    std::deque<Note> m_notes;
    std::size_t m_noteBytes = 0;  // of m_notes
    bool m_calling = false;       // a capture or response function is running
    std::thread m_delivery;       // it also reconnects while registrations are held
};

}  // namespace zvremote

#endif
