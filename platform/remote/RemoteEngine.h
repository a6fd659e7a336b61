// The engine as a server process: each call travels to the engine daemon over a Unix-domain
// stream socket and waits, up to a deadline, for its reply; notifications and the pieces of
// answers come back on the same connection. docs/engine-protocol.md describes the messages.
// RemoteConnection carries the calls, NoteDelivery the notifications and pieces; this class maps
// each operation to its request and its reply to the caller's outputs.
#ifndef ZV_REMOTE_ENGINE_H
#define ZV_REMOTE_ENGINE_H

#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include <nlohmann/json.hpp>

#include "NoteDelivery.h"
#include "RemoteConnection.h"
#include "ZvPldEngine.h"

namespace zvremote {

class RemoteEngine : public ZvPldEngine {
  public:
    // "unix:PATH" or "unix:PATH?deadline_ms=N" gives an engine that talks to the daemon at PATH;
    // a "unix:" text that does not read (EngineText.h), one whose every call fails, with a log
    // line; any other text gives null. Releasing the last copy closes the engine; its delivering
    // thread keeps the object alive until that thread ends, so that a capture or response
    // function may delete its client.
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
    RemoteEngine(std::string path, std::chrono::milliseconds deadline,
                 std::array<std::string, 3> texts);

    // Makes the call, then reads the reply with `read`; a reply that does not read (a field
    // missing or of the wrong type) is the daemon's failure too, and answers `read.failure`.
    template <class Read>
    auto ask(nlohmann::json request, const Read& read) -> decltype(Read::failure);
    template <class Read>
    auto ask(const RemoteConnection::Packed& request, const Read& read) -> decltype(Read::failure);
    Y4_Status reg(NoteDelivery::Kind kind, void (*capture)(), void* context, std::uint16_t regArg);

    const std::array<std::string, 3> m_texts;
    NoteDelivery m_delivery;  // before the connection, which reports to it
    RemoteConnection m_connection;
};

}  // namespace zvremote

#endif
