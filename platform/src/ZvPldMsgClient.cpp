#include "ZvPldMsgClient.h"

#include <mutex>
#include <utility>

#include "ZvPldEngine.h"
#include "remote/RemoteEngine.h"
#include "sim/SimEngine.h"

ZvPldEngine::~ZvPldEngine() = default;

namespace {
std::mutex g_factoryMutex;
ZvPldEngineFactory g_factory;  // empty: the simulated engine
}  // namespace

void ZvPldSetEngineFactory(ZvPldEngineFactory factory) {
    std::lock_guard<std::mutex> lock(g_factoryMutex);
    g_factory = std::move(factory);
}

std::shared_ptr<ZvPldEngine> ZvPldDefaultEngine(const char* first, const char* second,
                                                const char* third) {
    std::shared_ptr<ZvPldEngine> engine =
        zvremote::RemoteEngine::FromClientText(first, second, third);
    if (!engine) engine = zvsim::SimEngine::FromClientText(first);
    return engine;
}

ZvPldMsgClient::ZvPldMsgClient(const char* first, const char* second, const char* third) {
    {
        std::lock_guard<std::mutex> lock(g_factoryMutex);
        if (g_factory) m_engine = g_factory(first, second, third);
    }
    if (!m_engine) m_engine = ZvPldDefaultEngine(first, second, third);
}

ZvPldMsgClient::~ZvPldMsgClient() {
    m_engine->Close();
}

int ZvPldMsgClient::Init() {
    return m_engine->Init();
}

Y4_Status ZvPldMsgClient::UnReg(int what) {
    return m_engine->UnReg(what);
}

Y4_Status ZvPldMsgClient::GetVelPntStrLabel(const ZvVelPntDfn* pnt, unsigned int size, char* buf) {
    return m_engine->GetVelPntStrLabel(pnt, size, buf);
}

Y4_Status ZvPldMsgClient::GetVelPntStrDscrptn(const ZvVelPntDfn* pnt, unsigned int size,
                                              char* buf) {
    return m_engine->GetVelPntStrDscrptn(pnt, size, buf);
}

Y4_Status ZvPldMsgClient::GetVelPntStrUoM(const ZvVelPntDfn* pnt, unsigned int size, char* buf) {
    return m_engine->GetVelPntStrUoM(pnt, size, buf);
}

Y4_Status ZvPldMsgClient::GetVelPntStr(const ZvVelPntDfn* pnt, unsigned int size, char* buf) {
    return m_engine->GetVelPntStr(pnt, size, buf);
}

Y4_Status ZvPldMsgClient::GetVelPntInt32(const ZvVelPntDfn* pnt, std::int32_t* value) {
    return m_engine->GetVelPntInt32(pnt, value);
}

Y4_Status ZvPldMsgClient::GetVelPntUint32(const ZvVelPntDfn* pnt, std::uint32_t* value) {
    return m_engine->GetVelPntUint32(pnt, value);
}

Y4_Status ZvPldMsgClient::SetVelPntStr(const ZvVelPntDfn* pnt, const char* value,
                                       std::uint16_t setParam) {
    return m_engine->SetVelPntStr(pnt, value, setParam);
}

Y4_Status ZvPldMsgClient::SetVelPntInt32(const ZvVelPntDfn* pnt, std::int32_t value,
                                         std::uint16_t setParam) {
    return m_engine->SetVelPntInt32(pnt, value, setParam);
}

Y4_Status ZvPldMsgClient::SetVelPntUint32(const ZvVelPntDfn* pnt, std::uint32_t value,
                                          std::uint16_t setParam) {
    return m_engine->SetVelPntUint32(pnt, value, setParam);
}

Y4_Status ZvPldMsgClient::GetVelPntAccessRights(const ZvVelPntDfn* pnt, std::uint32_t* value) {
    return m_engine->GetVelPntAccessRights(pnt, value);
}

Y4_Status ZvPldMsgClient::GetVelPntDataType(const ZvVelPntDfn* pnt, std::uint32_t* value) {
    return m_engine->GetVelPntDataType(pnt, value);
}

Y4_Status ZvPldMsgClient::GetVelPntDsplyNF(const ZvVelPntDfn* pnt, std::uint32_t* value) {
    return m_engine->GetVelPntDsplyNF(pnt, value);
}

Y4_Status ZvPldMsgClient::GetVelPntUoMId(const ZvVelPntDfn* pnt, Y4paVelDsply* dsply) {
    return m_engine->GetVelPntUoMId(pnt, dsply);
}

std::uint32_t ZvPldMsgClient::GetMaxRprtMMCnt(std::uint16_t deviceIdx, std::uint32_t gddId) {
    return m_engine->GetMaxRprtMMCnt(deviceIdx, gddId);
}

std::uint32_t ZvPldMsgClient::GetMaxPntArrayDim(std::uint16_t deviceIdx, std::uint32_t gddId) {
    return m_engine->GetMaxPntArrayDim(deviceIdx, gddId);
}

std::uint32_t ZvPldMsgClient::GetMaxNmbrAncstrs(unsigned short deviceIdx) {
    return m_engine->GetMaxNmbrAncstrs(deviceIdx);
}

std::uint32_t ZvPldMsgClient::GetPointsRprt(unsigned short deviceIdx, unsigned long gddId) {
    return m_engine->GetPointsRprt(deviceIdx, gddId);
}

Y4_Status ZvPldMsgClient::GetRprtAncstr(ZvVelRprtDfn* rprt) {
    return m_engine->GetRprtAncstr(rprt);
}

Y4_Status ZvPldMsgClient::GetVelRprtStrLabel(ZvVelRprtDfn* rprt, unsigned int size, char* buf) {
    return m_engine->GetVelRprtStrLabel(rprt, size, buf);
}

Y4_Status ZvPldMsgClient::GetVelEnumStateInfo(std::uint16_t deviceIdx, std::uint32_t gddId,
                                              ZvEnumStateType* type, std::uint16_t* count,
                                              unsigned int maxCount, std::uint16_t* values) {
    return m_engine->GetVelEnumStateInfo(deviceIdx, gddId, type, count, maxCount, values);
}

Y4_Status ZvPldMsgClient::GetVelEnumStateStr(const ZvVelPntEnum* state, unsigned int size,
                                             char* buf) {
    return m_engine->GetVelEnumStateStr(state, size, buf);
}

Y4_Status ZvPldMsgClient::RegPldCntChng(ZvPldCntChngFn capture, void* context,
                                        std::uint16_t regArg) {
    return m_engine->RegPldCntChng(capture, context, regArg);
}

Y4_Status ZvPldMsgClient::RegVelEvent(ZvVelEventFn capture, void* context, std::uint16_t regArg) {
    return m_engine->RegVelEvent(capture, context, regArg);
}

Y4_Status ZvPldMsgClient::RegValueChange(ZvValueChangeFn capture, void* context,
                                         std::uint16_t regArg) {
    return m_engine->RegValueChange(capture, context, regArg);
}

Y4_Status ZvPldMsgClient::Process(ZvPldEngInfo* request) {
    return m_engine->Process(request);
}

Y4_Status ZvPldMsgClient::GetVelServerInventory(ZvVelInventory* inventory) {
    return m_engine->GetVelServerInventory(inventory);
}

ZvProductIdentSeq* ZvPldMsgClient::GetProdSeqId(unsigned short deviceIdx) {
    return m_engine->GetProdSeqId(deviceIdx);
}

Y4_Status ZvPldMsgClient::GetVelFDMVersion(int deviceIdx, int size, char* buf) {
    return m_engine->GetVelFDMVersion(deviceIdx, size, buf);
}
