// libZvPldProxy: the client process's one way to the PLD engine.
//
// Construct one ZvPldProxy per process; reach it anywhere with ZvPldProxy::GetInstance(); stop it
// with stop_y4IpcToClientProc() or by destroying it. Operations return 0 on success, 2 on failure
// (logged), and 4096 + s - 1 when the engine answered with status s = 1 to 5.
#ifndef ZV_PLD_PROXY_H
#define ZV_PLD_PROXY_H

#include <pthread.h>

#include <atomic>
#include <cstdint>
#include <deque>
#include <list>
#include <map>
#include <string>

#define ZV_PLD_PROXY_API __attribute__((visibility("default")))
#define ZV_PLD_PROXY_LOCAL __attribute__((visibility("hidden")))

// Records of the engine message client; its header defines them.
class ZvPldMsgClient;
class ZvLinuxMutex;
struct ZvVEventInfo;
struct ZvValChgInfo;
struct ZvPldEngInfo;
struct ZvCallbackInfo;
struct ZvPldEngAncestors;
struct ZvVelInventory;
struct ZvProductIdentSeq;
struct ZvEnumStateType;

// Names one data point in the ancestor cache; ordered by device, GddId, multi-module index.
class ZV_PLD_PROXY_API ZvAncestorInfoBufKey {
  public:
    ZvAncestorInfoBufKey();
    ZvAncestorInfoBufKey(const ZvAncestorInfoBufKey& other);
    ZvAncestorInfoBufKey(unsigned short deviceIdx, unsigned long gddId, unsigned short mmIdx);
    virtual ~ZvAncestorInfoBufKey();
    ZvAncestorInfoBufKey& operator=(const ZvAncestorInfoBufKey& other);

    unsigned short deviceIdx;
    unsigned long gddId;
    unsigned short mmIdx;  // counted from 1, as the client passes it
};

ZV_PLD_PROXY_API bool operator==(const ZvAncestorInfoBufKey& a, const ZvAncestorInfoBufKey& b);
ZV_PLD_PROXY_API bool operator!=(const ZvAncestorInfoBufKey& a, const ZvAncestorInfoBufKey& b);
ZV_PLD_PROXY_API bool operator<(const ZvAncestorInfoBufKey& a, const ZvAncestorInfoBufKey& b);
ZV_PLD_PROXY_API bool operator<=(const ZvAncestorInfoBufKey& a, const ZvAncestorInfoBufKey& b);
ZV_PLD_PROXY_API bool operator>(const ZvAncestorInfoBufKey& a, const ZvAncestorInfoBufKey& b);
ZV_PLD_PROXY_API bool operator>=(const ZvAncestorInfoBufKey& a, const ZvAncestorInfoBufKey& b);

class ZV_PLD_PROXY_API ZvPldProxy {
  public:
    struct ActiveEvent {
        std::uint32_t groupId;
        std::uint32_t eventId;
        std::uint16_t eventState;
    };

    typedef void (*PldCountCb)(void* context, unsigned long count);
    typedef void (*EventCb)(void* context, const ZvVEventInfo* info);
    typedef void (*ValueChangeCb)(void* context, const ZvValChgInfo* info);
    typedef void (*ActiveEventsCb)(std::list<ActiveEvent*>* events);

    // Creates and initialises the engine message client with the two texts, and publishes the
    // proxy for GetInstance().
    ZvPldProxy(const char* first, const char* second);
    ZvPldProxy(const ZvPldProxy&) = delete;
    ZvPldProxy& operator=(const ZvPldProxy&) = delete;

    // Stops the proxy, if it still runs, and empties the ancestor cache.
    virtual ~ZvPldProxy();

    // Point texts: label, full description, unit label, value.
    virtual int GetLabelString(std::string& text, unsigned short deviceIdx, unsigned short gddId,
                               unsigned short mmIdx, unsigned short auxIdx, const char* auxText);
    virtual int GetFullDescriptionString(std::string& text, unsigned short deviceIdx,
                                         unsigned short gddId, unsigned short mmIdx,
                                         unsigned short auxIdx);
    virtual int GetUomLabelString(std::string& text, unsigned short deviceIdx, unsigned short gddId,
                                  unsigned short mmIdx, unsigned short auxIdx, unsigned long uofm);
    virtual int GetValueString(std::string& text, unsigned short deviceIdx, unsigned short gddId,
                               unsigned short mmIdx, unsigned short auxIdx, unsigned long uofm,
                               short auxParam, const char* auxText);

    // Point values as numbers, and writes.
    virtual int GetValueSInt32(int* value, unsigned short deviceIdx, unsigned short gddId,
                               unsigned short mmIdx, unsigned short auxIdx, unsigned long uofm,
                               short auxParam);
    virtual int GetValueUInt32(unsigned int* value, unsigned short deviceIdx, unsigned short gddId,
                               unsigned short mmIdx, unsigned short auxIdx, unsigned long uofm,
                               short auxParam);
    virtual int SetValueString(const char* newValue, unsigned short deviceIdx, unsigned short gddId,
                               unsigned short mmIdx, unsigned short auxIdx, unsigned long uofm,
                               short auxParam, const char* auxText, unsigned short setParam);
    virtual int SetValueSInt32(int newValue, unsigned short deviceIdx, unsigned short gddId,
                               unsigned short mmIdx, unsigned short auxIdx, unsigned long uofm,
                               short auxParam, unsigned short setParam);
    virtual int SetValueUInt32(unsigned int newValue, unsigned short deviceIdx,
                               unsigned short gddId, unsigned short mmIdx, unsigned short auxIdx,
                               unsigned long uofm, short auxParam, unsigned short setParam);

    // Change notifications: register a callback per kind, drain the queues on your own thread.
    virtual void RegisterForPldCountChange(PldCountCb callback, void* context, int regArg);
    virtual bool CheckPldCount(unsigned long* count);
    virtual void RegisterForEventChange(EventCb callback, void* context, int regArg);
    virtual void CheckEvent();
    virtual void RegisterForValueChange(ValueChangeCb callback, void* context, int regArg);
    virtual void CheckValueChange();

    // Point attributes.
    virtual int GetMaxModuleCnt(unsigned long* value, unsigned short deviceIdx,
                                unsigned short gddId);
    virtual int GetMaxArrayDim(unsigned long* value, unsigned short deviceIdx,
                               unsigned short gddId);
    virtual int GetVelPointAccessRights(unsigned long* value, unsigned short deviceIdx,
                                        unsigned short gddId);
    virtual int GetVelPointDataType(unsigned long* value, unsigned short deviceIdx,
                                    unsigned short gddId);
    virtual int GetVelPointUoMID(unsigned long* value, unsigned short deviceIdx,
                                 unsigned short gddId);
    virtual int GetVelPointNormFactor(unsigned long* value, unsigned short deviceIdx,
                                      unsigned short gddId);

    // Reports and the report hierarchy.
    virtual int GetMaxNmbrAncestors(unsigned long* maxAncestors, unsigned short deviceIdx);
    virtual int GetPointReportNum(unsigned long* reportGddId, unsigned short deviceIdx,
                                  unsigned short gddId);
    virtual int GetHierarchyInfo(unsigned short* auxValue, unsigned short* reportMmIdx,
                                 unsigned long* reportGddId, unsigned short level,
                                 unsigned short deviceIdx, unsigned short gddId,
                                 unsigned short mmIdx);
    virtual int GetReportLabel(std::string& label, unsigned short deviceIdx,
                               unsigned short reportGddId, unsigned short mmIdx);

    static ZvPldProxy* GetInstance();
    void stop_y4IpcToClientProc();

    // Requests passed through to the engine.
    int Process(ZvPldEngInfo* request);
    bool GetPldInventory(ZvVelInventory* inventory) const;
    bool GetProdSeqId(ZvProductIdentSeq** seq, unsigned short deviceIdx) const;
    std::string GetFdmVersion(unsigned short deviceIdx) const;

    // The states of an enumerated point; either list may be null.
    int GetVelEnumStateInfo(std::list<int>* stateValues, std::list<std::string>* stateNames,
                            ZvEnumStateType* stateType, unsigned long gddId,
                            unsigned short deviceIdx);

    // Handed to the engine message client; it calls them with each notification.
    static void CallbackPldCnt(void* context, unsigned long count);
    static void CallbackEvent(void* context, const ZvVEventInfo* info);
    static void CallbackValueChange(void* context, const ZvValChgInfo* info);

    // Active events. The answer reaches `callback` with `events` holding new records, which are
    // then the caller's to delete; it may run within GetActiveEvents or later on the engine's
    // thread, and must not call operations that reach the engine. One request at a time.
    int GetActiveEvents(std::list<ActiveEvent*>* events, ActiveEventsCb callback, int reqParam);
    ActiveEventsCb GetActiveEventsCB();
    std::string* GetActiveStringBuf();  // the answer text so far; read it between answers only
    static int ProcessActiveEventsCB(ZvCallbackInfo* cbi);

    // Ancestor cache and hierarchy lists.
    void ClearAncestorInfo();
    int FillAncestorInfoForPt(ZvPldEngAncestors** ancestors, const ZvAncestorInfoBufKey& key);
    int GetHierarchyLists(std::list<unsigned long>& auxValues, std::list<unsigned long>& gddIds,
                          std::list<unsigned short>& mmIdxs, unsigned short deviceIdx,
                          unsigned short gddId, unsigned short mmIdx);

  private:
    friend struct ZvPldProxyAccess;

    std::map<ZvAncestorInfoBufKey, ZvPldEngAncestors*> m_ancestorInfoMap;
    std::uint32_t m_ancestorBufSize;
    ActiveEventsCb m_activeEventsCb;
    std::string m_activeStringBuf;

    // Process-wide state. The three words are read on other threads (the engine's delivering
    // thread among them), hence atomic; each is one machine word.
    ZV_PLD_PROXY_LOCAL static std::atomic<ZvPldProxy*> s_Instance;
    ZV_PLD_PROXY_LOCAL static std::atomic<ZvPldMsgClient*> s_MsgClient;
    ZV_PLD_PROXY_LOCAL static std::atomic<std::int32_t> s_pldProxyRready;
    ZV_PLD_PROXY_LOCAL static ZvLinuxMutex* s_clientLock;
    ZV_PLD_PROXY_LOCAL static ZvLinuxMutex* s_singletonLock;
    ZV_PLD_PROXY_LOCAL static std::atomic<PldCountCb> s_pldCntCb;
    ZV_PLD_PROXY_LOCAL static std::atomic<EventCb> s_dataEvent16Cb;
    ZV_PLD_PROXY_LOCAL static std::atomic<ValueChangeCb> s_valueChangeCb;
    ZV_PLD_PROXY_LOCAL static std::uint8_t s_ancestorInfoState;
    ZV_PLD_PROXY_LOCAL static pthread_mutex_t s_pldCntWrkQueue_mutex;
    ZV_PLD_PROXY_LOCAL static std::deque<unsigned long> s_pldCntDeque;
    ZV_PLD_PROXY_LOCAL static pthread_mutex_t s_eventWrkQueue_mutex;
    ZV_PLD_PROXY_LOCAL static std::deque<ZvVEventInfo*> s_eventDeque;
    ZV_PLD_PROXY_LOCAL static pthread_mutex_t s_valChgWrkQueue_mutex;
    ZV_PLD_PROXY_LOCAL static std::deque<ZvValChgInfo*> s_valChgDeque;
};

#endif
