// The engine's statuses kept by a wrapper around the message client's engine, and in words.
#include "EngineStatus.h"

#include <memory>
#include <utility>

#include "ZvPldEngine.h"

namespace pldweb {
namespace {

// The status of this thread's last engine call; none after a call that answers a count or a
// block, so that a later failure of such a call shows no earlier status.
thread_local bool t_kept = false;
thread_local Y4_Status t_status = 0;

Y4_Status kept(Y4_Status status) {
    t_kept = true;
    t_status = status;
    return status;
}

template <typename T>
T unkept(T answer) {
    t_kept = false;
    return answer;
}

// The engine the message client would have used, each call's status kept on the way back.
class StatusKeeping : public ZvPldEngine {
  public:
    explicit StatusKeeping(std::shared_ptr<ZvPldEngine> engine) : m_engine(std::move(engine)) {}

    int Init() override { return m_engine->Init(); }
    Y4_Status UnReg(int what) override { return kept(m_engine->UnReg(what)); }
    Y4_Status RegPldCntChng(ZvPldCntChngFn capture, void* context, std::uint16_t arg) override {
        return kept(m_engine->RegPldCntChng(capture, context, arg));
    }
    Y4_Status RegVelEvent(ZvVelEventFn capture, void* context, std::uint16_t arg) override {
        return kept(m_engine->RegVelEvent(capture, context, arg));
    }
    Y4_Status RegValueChange(ZvValueChangeFn capture, void* context, std::uint16_t arg) override {
        return kept(m_engine->RegValueChange(capture, context, arg));
    }
    void Close() override { m_engine->Close(); }

    Y4_Status GetVelPntStrLabel(const ZvVelPntDfn* pnt, unsigned int size, char* buf) override {
        return kept(m_engine->GetVelPntStrLabel(pnt, size, buf));
    }
    Y4_Status GetVelPntStrDscrptn(const ZvVelPntDfn* pnt, unsigned int size, char* buf) override {
        return kept(m_engine->GetVelPntStrDscrptn(pnt, size, buf));
    }
    Y4_Status GetVelPntStrUoM(const ZvVelPntDfn* pnt, unsigned int size, char* buf) override {
        return kept(m_engine->GetVelPntStrUoM(pnt, size, buf));
    }
    Y4_Status GetVelPntStr(const ZvVelPntDfn* pnt, unsigned int size, char* buf) override {
        return kept(m_engine->GetVelPntStr(pnt, size, buf));
    }
    Y4_Status GetVelPntInt32(const ZvVelPntDfn* pnt, std::int32_t* value) override {
        return kept(m_engine->GetVelPntInt32(pnt, value));
    }
    Y4_Status GetVelPntUint32(const ZvVelPntDfn* pnt, std::uint32_t* value) override {
        return kept(m_engine->GetVelPntUint32(pnt, value));
    }
    Y4_Status SetVelPntStr(const ZvVelPntDfn* pnt, const char* value, std::uint16_t p) override {
        return kept(m_engine->SetVelPntStr(pnt, value, p));
    }
    Y4_Status SetVelPntInt32(const ZvVelPntDfn* pnt, std::int32_t value, std::uint16_t p) override {
        return kept(m_engine->SetVelPntInt32(pnt, value, p));
    }
    Y4_Status SetVelPntUint32(const ZvVelPntDfn* pnt, std::uint32_t value,
                              std::uint16_t p) override {
        return kept(m_engine->SetVelPntUint32(pnt, value, p));
    }
    Y4_Status GetVelPntAccessRights(const ZvVelPntDfn* pnt, std::uint32_t* value) override {
        return kept(m_engine->GetVelPntAccessRights(pnt, value));
    }
    Y4_Status GetVelPntDataType(const ZvVelPntDfn* pnt, std::uint32_t* value) override {
        return kept(m_engine->GetVelPntDataType(pnt, value));
    }
    Y4_Status GetVelPntDsplyNF(const ZvVelPntDfn* pnt, std::uint32_t* value) override {
        return kept(m_engine->GetVelPntDsplyNF(pnt, value));
    }
    Y4_Status GetVelPntUoMId(const ZvVelPntDfn* pnt, Y4paVelDsply* dsply) override {
        return kept(m_engine->GetVelPntUoMId(pnt, dsply));
    }
    std::uint32_t GetMaxRprtMMCnt(std::uint16_t deviceIdx, std::uint32_t gddId) override {
        return unkept(m_engine->GetMaxRprtMMCnt(deviceIdx, gddId));
    }
    std::uint32_t GetMaxPntArrayDim(std::uint16_t deviceIdx, std::uint32_t gddId) override {
        return unkept(m_engine->GetMaxPntArrayDim(deviceIdx, gddId));
    }
    std::uint32_t GetMaxNmbrAncstrs(unsigned short deviceIdx) override {
        return unkept(m_engine->GetMaxNmbrAncstrs(deviceIdx));
    }
    std::uint32_t GetPointsRprt(unsigned short deviceIdx, unsigned long gddId) override {
        return unkept(m_engine->GetPointsRprt(deviceIdx, gddId));
    }
    Y4_Status GetRprtAncstr(ZvVelRprtDfn* rprt) override {
        return kept(m_engine->GetRprtAncstr(rprt));
    }
    Y4_Status GetVelRprtStrLabel(ZvVelRprtDfn* rprt, unsigned int size, char* buf) override {
        return kept(m_engine->GetVelRprtStrLabel(rprt, size, buf));
    }
    Y4_Status GetVelEnumStateInfo(std::uint16_t deviceIdx, std::uint32_t gddId,
                                  ZvEnumStateType* type, std::uint16_t* count,
                                  unsigned int maxCount, std::uint16_t* values) override {
        return kept(m_engine->GetVelEnumStateInfo(deviceIdx, gddId, type, count, maxCount, values));
    }
    Y4_Status GetVelEnumStateStr(const ZvVelPntEnum* state, unsigned int size, char* buf) override {
        return kept(m_engine->GetVelEnumStateStr(state, size, buf));
    }
    Y4_Status Process(ZvPldEngInfo* request) override { return kept(m_engine->Process(request)); }
    Y4_Status GetVelServerInventory(ZvVelInventory* inventory) override {
        return kept(m_engine->GetVelServerInventory(inventory));
    }
    ZvProductIdentSeq* GetProdSeqId(unsigned short deviceIdx) override {
        return unkept(m_engine->GetProdSeqId(deviceIdx));
    }
    Y4_Status GetVelFDMVersion(int deviceIdx, int size, char* buf) override {
        return kept(m_engine->GetVelFDMVersion(deviceIdx, size, buf));
    }

  private:
    const std::shared_ptr<ZvPldEngine> m_engine;
};

}  // namespace

void KeepEngineStatuses() {
    ZvPldSetEngineFactory([](const char* first, const char* second, const char* third) {
        return std::make_shared<StatusKeeping>(ZvPldDefaultEngine(first, second, third));
    });
}

const char* EngineWord(int status) {
    static const struct {
        int status;
        const char* word;
    } kWords[] = {
        {0, "ok"},
        {1, "unknown device"},
        {2, "unknown point"},
        {3, "bad module"},
        {4, "read only"},
        {5, "rejected"},
        {6, "no description"},
        {7, "label read"},
        {8, "label cut"},
        {9, "wrong type"},
        {10, "unknown event"},
        {11, "buffer too small"},
        {12, "unknown request"},
        {13, "no answer"},
        {85, "no ancestor record"},
        {1007, "offline"},
    };
    for (const auto& w : kWords) {
        if (w.status == status) return w.word;
    }
    return "failed";
}

void ForgetEngineStatus() {
    t_kept = false;
}

void PutEngineStatus(nlohmann::json& into) {
    if (!t_kept) return;
    t_kept = false;
    into["engine_status"] = t_status;
    into["engine_word"] = EngineWord(t_status);
}

}  // namespace pldweb
