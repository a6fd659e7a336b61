// What stands behind the message client stand-in: an engine that answers its calls.
//
// ZvPldMsgClient forwards every call to one ZvPldEngine, chosen when the client is constructed:
// by default the simulated engine (constructor text "sim" or "sim:FILE"); in tests, whatever the
// factory installed with ZvPldSetEngineFactory returns.
#ifndef ZV_PLD_ENGINE_H
#define ZV_PLD_ENGINE_H

#include <functional>
#include <memory>

#include "ZvPldTypes.h"

#define ZV_PLD_PLATFORM_API __attribute__((visibility("default")))

class ZV_PLD_PLATFORM_API ZvPldEngine {
  public:
    virtual ~ZvPldEngine();

    virtual int Init() = 0;
    virtual Y4_Status UnReg(int what) = 0;

    // Notifications: the engine calls `capture` with `context` for each one, on a thread of its
    // own, until UnReg(1); UnReg returns once no capture call is running.
    virtual Y4_Status RegPldCntChng(ZvPldCntChngFn capture, void* context,
                                    std::uint16_t regArg) = 0;
    virtual Y4_Status RegVelEvent(ZvVelEventFn capture, void* context, std::uint16_t regArg) = 0;
    virtual Y4_Status RegValueChange(ZvValueChangeFn capture, void* context,
                                     std::uint16_t regArg) = 0;
    // The message client that used this engine has been deleted.
    virtual void Close() = 0;

    virtual Y4_Status GetVelPntStrLabel(const ZvVelPntDfn* pnt, unsigned int size, char* buf) = 0;
    virtual Y4_Status GetVelPntStrDscrptn(const ZvVelPntDfn* pnt, unsigned int size, char* buf) = 0;
    virtual Y4_Status GetVelPntStrUoM(const ZvVelPntDfn* pnt, unsigned int size, char* buf) = 0;
    virtual Y4_Status GetVelPntStr(const ZvVelPntDfn* pnt, unsigned int size, char* buf) = 0;

    virtual Y4_Status GetVelPntInt32(const ZvVelPntDfn* pnt, std::int32_t* value) = 0;
    virtual Y4_Status GetVelPntUint32(const ZvVelPntDfn* pnt, std::uint32_t* value) = 0;
    virtual Y4_Status SetVelPntStr(const ZvVelPntDfn* pnt, const char* value,
                                   std::uint16_t setParam) = 0;
    virtual Y4_Status SetVelPntInt32(const ZvVelPntDfn* pnt, std::int32_t value,
                                     std::uint16_t setParam) = 0;
    virtual Y4_Status SetVelPntUint32(const ZvVelPntDfn* pnt, std::uint32_t value,
                                      std::uint16_t setParam) = 0;

    virtual Y4_Status GetVelPntAccessRights(const ZvVelPntDfn* pnt, std::uint32_t* value) = 0;
    virtual Y4_Status GetVelPntDataType(const ZvVelPntDfn* pnt, std::uint32_t* value) = 0;
    virtual Y4_Status GetVelPntDsplyNF(const ZvVelPntDfn* pnt, std::uint32_t* value) = 0;
    virtual Y4_Status GetVelPntUoMId(const ZvVelPntDfn* pnt, Y4paVelDsply* dsply) = 0;
    virtual std::uint32_t GetMaxRprtMMCnt(std::uint16_t deviceIdx, std::uint32_t gddId) = 0;
    virtual std::uint32_t GetMaxPntArrayDim(std::uint16_t deviceIdx, std::uint32_t gddId) = 0;

    // Reports: 0xFFFFFFFF for failure; 0 for no report; ancestors in rprt->buf, within
    // rprt->bufSize bytes.
    virtual std::uint32_t GetMaxNmbrAncstrs(unsigned short deviceIdx) = 0;
    virtual std::uint32_t GetPointsRprt(unsigned short deviceIdx, unsigned long gddId) = 0;
    virtual Y4_Status GetRprtAncstr(ZvVelRprtDfn* rprt) = 0;
    virtual Y4_Status GetVelRprtStrLabel(ZvVelRprtDfn* rprt, unsigned int size, char* buf) = 0;

    virtual Y4_Status GetVelEnumStateInfo(std::uint16_t deviceIdx, std::uint32_t gddId,
                                          ZvEnumStateType* type, std::uint16_t* count,
                                          unsigned int maxCount, std::uint16_t* values) = 0;
    virtual Y4_Status GetVelEnumStateStr(const ZvVelPntEnum* state, unsigned int size,
                                         char* buf) = 0;

    // Requests passed through: the answer goes to request->pfnCallback, piece by piece.
    virtual Y4_Status Process(ZvPldEngInfo* request) = 0;
    virtual Y4_Status GetVelServerInventory(ZvVelInventory* inventory) = 0;
    // A block from malloc that the caller frees, or null.
    virtual ZvProductIdentSeq* GetProdSeqId(unsigned short deviceIdx) = 0;
    // Writes at most `size` bytes; a text of `size` characters or more arrives without a NUL.
    virtual Y4_Status GetVelFDMVersion(int deviceIdx, int size, char* buf) = 0;
};

// Makes the engine for a new message client from its three constructor texts. An empty factory
// restores the default, the simulated engine.
using ZvPldEngineFactory = std::function<std::shared_ptr<ZvPldEngine>(
    const char* first, const char* second, const char* third)>;
ZV_PLD_PLATFORM_API void ZvPldSetEngineFactory(ZvPldEngineFactory factory);
// The engine a message client makes when no factory is installed: the daemon's for "unix:...",
// else the simulated engine. For a factory that wraps it.
ZV_PLD_PLATFORM_API std::shared_ptr<ZvPldEngine> ZvPldDefaultEngine(const char* first,
                                                                    const char* second,
                                                                    const char* third);

#endif
