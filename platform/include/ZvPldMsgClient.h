// Stand-in for the device's engine message client. Each call is answered by the engine that the
// constructor picked (ZvPldEngine.h); the statuses and records are those of the device.
#ifndef ZV_PLD_MSG_CLIENT_H
#define ZV_PLD_MSG_CLIENT_H

#include <memory>

#include "ZvPldTypes.h"

class ZvPldEngine;

class __attribute__((visibility("default"))) ZvPldMsgClient {
  public:
    // first: "sim" or "sim:FILE" picks the simulated engine in this process and its catalogue;
    // "unix:PATH" or "unix:PATH?deadline_ms=N" the engine daemon listening at PATH, each call
    // waiting at most N ms (2000 by default) for its answer. The other texts name the client
    // and are kept by the engine only.
    ZvPldMsgClient(const char* first, const char* second, const char* third);
    virtual ~ZvPldMsgClient();
    ZvPldMsgClient(const ZvPldMsgClient&) = delete;
    ZvPldMsgClient& operator=(const ZvPldMsgClient&) = delete;

    int Init();  // non-zero on success
    Y4_Status UnReg(int what);

    // Each registers a capture function with its context; UnReg(1) withdraws them.
    Y4_Status RegPldCntChng(ZvPldCntChngFn capture, void* context, std::uint16_t regArg);
    Y4_Status RegVelEvent(ZvVelEventFn capture, void* context, std::uint16_t regArg);
    Y4_Status RegValueChange(ZvValueChangeFn capture, void* context, std::uint16_t regArg);

    Y4_Status GetVelPntStrLabel(const ZvVelPntDfn* pnt, unsigned int size, char* buf);
    Y4_Status GetVelPntStrDscrptn(const ZvVelPntDfn* pnt, unsigned int size, char* buf);
    Y4_Status GetVelPntStrUoM(const ZvVelPntDfn* pnt, unsigned int size, char* buf);
    Y4_Status GetVelPntStr(const ZvVelPntDfn* pnt, unsigned int size, char* buf);

    Y4_Status GetVelPntInt32(const ZvVelPntDfn* pnt, std::int32_t* value);
    Y4_Status GetVelPntUint32(const ZvVelPntDfn* pnt, std::uint32_t* value);
    Y4_Status SetVelPntStr(const ZvVelPntDfn* pnt, const char* value, std::uint16_t setParam);
    Y4_Status SetVelPntInt32(const ZvVelPntDfn* pnt, std::int32_t value, std::uint16_t setParam);
    Y4_Status SetVelPntUint32(const ZvVelPntDfn* pnt, std::uint32_t value, std::uint16_t setParam);

    Y4_Status GetVelPntAccessRights(const ZvVelPntDfn* pnt, std::uint32_t* value);
    Y4_Status GetVelPntDataType(const ZvVelPntDfn* pnt, std::uint32_t* value);
    Y4_Status GetVelPntDsplyNF(const ZvVelPntDfn* pnt, std::uint32_t* value);
    Y4_Status GetVelPntUoMId(const ZvVelPntDfn* pnt, Y4paVelDsply* dsply);
    std::uint32_t GetMaxRprtMMCnt(std::uint16_t deviceIdx, std::uint32_t gddId);  // 0: none
    std::uint32_t GetMaxPntArrayDim(std::uint16_t deviceIdx, std::uint32_t gddId);

    std::uint32_t GetMaxNmbrAncstrs(unsigned short deviceIdx);  // 0xFFFFFFFF: failure
    std::uint32_t GetPointsRprt(unsigned short deviceIdx, unsigned long gddId);  // 0: none
    Y4_Status GetRprtAncstr(ZvVelRprtDfn* rprt);  // the ancestors, into rprt->buf
    Y4_Status GetVelRprtStrLabel(ZvVelRprtDfn* rprt, unsigned int size, char* buf);  // 7, 8: ok

    Y4_Status GetVelEnumStateInfo(std::uint16_t deviceIdx, std::uint32_t gddId,
                                  ZvEnumStateType* type, std::uint16_t* count,
                                  unsigned int maxCount, std::uint16_t* values);
    Y4_Status GetVelEnumStateStr(const ZvVelPntEnum* state, unsigned int size, char* buf);

    Y4_Status Process(ZvPldEngInfo* request);  // the answer goes to request->pfnCallback
    Y4_Status GetVelServerInventory(ZvVelInventory* inventory);
    ZvProductIdentSeq* GetProdSeqId(unsigned short deviceIdx);       // from malloc, or null
    Y4_Status GetVelFDMVersion(int deviceIdx, int size, char* buf);  // at most size bytes

  private:
    std::shared_ptr<ZvPldEngine> m_engine;
};

#endif
