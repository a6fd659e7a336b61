// libZvPldProxy: the client process's one way to the PLD engine.
//
// Construct one ZvPldProxy per process; reach it anywhere with ZvPldProxy::GetInstance(); stop it
// with stop_y4IpcToClientProc() or by destroying it. Operations return 0 on success, 2 on failure
// (logged), and 4096 + s - 1 when the engine answered with status s = 1 to 5.
//
// Rules every operation below follows unless its comment says otherwise:
// - Results: 0 success; 2 failure, logged at level 3; 4096 to 4100 the engine's status 1 to 5,
//   passed on without a line. An output is written only on success; on any other
//   result it keeps what it held.
// - Threads: any client thread may call it, concurrently with the others; engine calls are made
//   one at a time under the proxy's client lock. It must not be called from an active-events
//   callback, which may run with that lock held (the lock is not recursive).
// - Lifetime: called before the construction or after the stop, an operation that reaches the
//   engine fails cleanly: 2 (false, or an empty string) and the line
//   "<operation>: no engine message client (proxy not constructed, or stopped)", where
//   <operation> is the one that reached for the engine (Process for GetActiveEvents,
//   GetMaxNmbrAncestors for a hierarchy query, which then logs its own failure too).
// - Module indices (mmIdx) count from 1; the engine gets mmIdx - 1 (so 0 reaches it as 0xFFFF).
// docs/threading.md has the threads, the locks and their order.
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
// A plain value: no shared state, safe on any thread. Every field compares as an unsigned 32-bit
// number (gddId by its low 32 bits, which on the 32-bit target is all of it). The default key
// has all three fields 0.
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

// A total order: the first field that differs (deviceIdx, gddId, mmIdx) decides; exactly one of
// <, == and > holds for any two keys.
ZV_PLD_PROXY_API bool operator==(const ZvAncestorInfoBufKey& a, const ZvAncestorInfoBufKey& b);
ZV_PLD_PROXY_API bool operator!=(const ZvAncestorInfoBufKey& a, const ZvAncestorInfoBufKey& b);
ZV_PLD_PROXY_API bool operator<(const ZvAncestorInfoBufKey& a, const ZvAncestorInfoBufKey& b);
ZV_PLD_PROXY_API bool operator<=(const ZvAncestorInfoBufKey& a, const ZvAncestorInfoBufKey& b);
ZV_PLD_PROXY_API bool operator>(const ZvAncestorInfoBufKey& a, const ZvAncestorInfoBufKey& b);
ZV_PLD_PROXY_API bool operator>=(const ZvAncestorInfoBufKey& a, const ZvAncestorInfoBufKey& b);

class ZV_PLD_PROXY_API ZvPldProxy {
  public:
    // One active event of an active-events answer. Made with new by the proxy; once in the
    // client's list it is the client's, to delete.
    struct ActiveEvent {
        std::uint32_t groupId;
        std::uint32_t eventId;
        std::uint16_t eventState;
    };

    typedef void (*PldCountCb)(void* context, unsigned long count);
    typedef void (*EventCb)(void* context, const ZvVEventInfo* info);
    typedef void (*ValueChangeCb)(void* context, const ZvValChgInfo* info);
    typedef void (*ActiveEventsCb)(std::list<ActiveEvent*>* events);

    // Creates and initialises the engine message client with the two texts (and "" as a third),
    // and publishes the proxy for GetInstance(). A failed Init is logged ("Failed to init
    // PldMsgClient") and the proxy is published all the same; an exception from the message
    // client reaches the caller with nothing published and the client freed. Construct once,
    // before other threads use the proxy.
    ZvPldProxy(const char* first, const char* second);
    ZvPldProxy(const ZvPldProxy&) = delete;
    ZvPldProxy& operator=(const ZvPldProxy&) = delete;

    // First withdraws the proxy (GetInstance() gives null from then on, and an active-events
    // piece arriving meanwhile finds no proxy), then stops it, if it still runs, and empties the
    // ancestor cache. No other thread may still be using the proxy.
    virtual ~ZvPldProxy();

    // Point texts: label, full description, unit label, value. `text` is replaced on success
    // only: the reply up to its first NUL, at most 256 characters, refused whole (2, a line
    // naming the byte) if any byte is 0x80 or above.
    // GetLabelString: a null auxText goes to the engine as "0".
    // GetFullDescriptionString: engine status 6 (it sent the label instead) is success too; mmIdx
    // 0xFFFF (the point as a whole) goes to the engine unchanged.
    // GetUomLabelString: its non-ASCII line carries the tag "libZvPldProxy".
    // GetValueString: auxText goes to the engine as it is, null included.
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

    // Point values as numbers, and writes. `value` must point to a writable cell (not checked);
    // values and texts pass unchanged, with no range or character check.
    // GetValueSInt32: engine status 1 to 5 passed on. GetValueUInt32: also 1007, as 4096.
    // The three writes: only status 1 to 3 passed on (4096 to 4098); 4, 5 and 1007 give 2.
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
    // Register...: no result. A null callback is ignored. The first registration of a kind asks
    // the engine; a refusal is logged and the next registration asks again. Once accepted, later
    // ones only replace the callback (their context and regArg are dropped), also after the stop;
    // of two first registrations at once, the engine is asked once.
    // Only regArg's low 16 bits reach the engine.
    // The PLD-count callback runs on the engine's delivering thread as each count arrives, with
    // the registration's context and no proxy lock held: keep it short, since later
    // notifications wait behind it. It may drain the queues.
    virtual void RegisterForPldCountChange(PldCountCb callback, void* context, int regArg);
    // Takes the oldest queued PLD count: true with *count written, or false with *count as it
    // was (queue empty, or its mutex failed: logged).
    virtual bool CheckPldCount(unsigned long* count);
    virtual void RegisterForEventChange(EventCb callback, void* context, int regArg);
    // CheckEvent, CheckValueChange: take the oldest queued copy, if any, hand it to the stored
    // callback on this thread with a null context, then free it (with no callback stored, it is
    // freed unseen). One item per call, no result. The callback runs with no proxy lock held and
    // may call any operation, the drains included; the record (and a value change's pData) is
    // valid only until it returns: copy what you keep, free nothing. Several threads may drain
    // one queue; each item reaches one of them.
    virtual void CheckEvent();
    virtual void RegisterForValueChange(ValueChangeCb callback, void* context, int regArg);
    virtual void CheckValueChange();

    // Point attributes, as the engine's numbers, unchanged.
    // GetMaxModuleCnt, GetMaxArrayDim: the engine answers the number itself; 0 gives 2 (logged),
    // and no engine status is passed on.
    // The other four: engine status 1 to 5 passed on, and 1007 as 4096.
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
    // GetMaxNmbrAncestors: 0 with any answer but 0xFFFFFFFF (0 included), which gives 2.
    // GetPointReportNum: the GddId of the report holding the point; none (0) gives 2.
    virtual int GetMaxNmbrAncestors(unsigned long* maxAncestors, unsigned short deviceIdx);
    virtual int GetPointReportNum(unsigned long* reportGddId, unsigned short deviceIdx,
                                  unsigned short gddId);
    // One level of the point's report chain: 0 is the report holding the point, k its k-th
    // ancestor. Writes the level's auxValue (low 16 bits), module (from 1) and GddId, all three or
    // none. Results: 0; 2 (also for a level deeper than the chain); 4098 when the engine keeps no
    // ancestor record for the report (no line). The point's record comes from the ancestor cache
    // (three engine requests on a miss); hierarchy queries run one at a time in the process.
    virtual int GetHierarchyInfo(unsigned short* auxValue, unsigned short* reportMmIdx,
                                 unsigned long* reportGddId, unsigned short level,
                                 unsigned short deviceIdx, unsigned short gddId,
                                 unsigned short mmIdx);
    // Engine status 7 and 8 are success (8: cut to 256 characters, with a level-7 line); 1 to 5
    // passed on; 0, 6 and any other give 2. mmIdx 0xFFFF (the report as a whole) goes to the
    // engine unchanged. The label is checked as the point texts are.
    virtual int GetReportLabel(std::string& label, unsigned short deviceIdx,
                               unsigned short reportGddId, unsigned short mmIdx);

    // The published proxy: null before the construction and after the destruction. Any thread,
    // any time, no lock.
    static ZvPldProxy* GetInstance();
    // Withdraws the registrations (UnReg(1); a non-zero status is logged) and deletes the message
    // client, once the engine call in flight, if any, has returned; a second call does nothing.
    // Stored callbacks stay stored. Not from within an engine call (an active-events callback).
    void stop_y4IpcToClientProc();

    // Requests passed through to the engine.
    // Process: the caller's record, unchanged. 0, or 2 for a null record and for every non-zero
    // status (1 to 5 included), logged with the engine's status. The client lock is held for the
    // whole engine call, so a response function called within it must not reach the engine.
    int Process(ZvPldEngInfo* request);
    // GetPldInventory: true with the whole record copied; false (null pointer, or a failure)
    // with the record untouched. No line, but for the lifetime rule's.
    bool GetPldInventory(ZvVelInventory* inventory) const;
    // GetProdSeqId: true with *seq set to a block from malloc, the caller's to free(); false with
    // *seq untouched. A block with fewer than 2 or more than 8 ids, or revision 0, is freed.
    bool GetProdSeqId(ZvProductIdentSeq** seq, unsigned short deviceIdx) const;
    // GetFdmVersion: the engine's text, at most 20 characters; empty when there is none or on a
    // failure. No result code.
    std::string GetFdmVersion(unsigned short deviceIdx) const;

    // The states of an enumerated point; either list may be null, and so may stateType. Results
    // as for the attributes (1 to 5 passed on, 1007 as 4096). On the engine's success *stateType
    // is written, even if then more than 100 states give 2. Values and names are appended in the
    // engine's order; a name request that fails gives 2 with no line, leaving the values one
    // entry ahead of the names. Names are cut at 100 characters. The lists are filled outside
    // the lock, between engine requests: no other thread may use them during the call.
    int GetVelEnumStateInfo(std::list<int>* stateValues, std::list<std::string>* stateNames,
                            ZvEnumStateType* stateType, unsigned long gddId,
                            unsigned short deviceIdx);

    // Handed to the engine message client; it calls them with each notification.
    // Not for clients. Each copies the record (a value change with its data), queues the copy
    // under its queue's mutex alone and logs any failure after unlocking; nothing blocks on a
    // client thread. CallbackPldCnt also marks the ancestor cache stale, then calls the
    // PLD-count callback with `context`.
    static void CallbackPldCnt(void* context, unsigned long count);
    static void CallbackEvent(void* context, const ZvVEventInfo* info);
    static void CallbackValueChange(void* context, const ZvValChgInfo* info);

    // Active events. The answer reaches `callback` with `events` holding new records, which are
    // then the caller's to delete; it may run within GetActiveEvents or later on the engine's
    // thread, and must not call operations that reach the engine. One request at a time.
    // `events` must not be null (2, logged) and must stay valid until the callback has run; it
    // is cleared (earlier records not deleted) before the answer's records go in. The callback
    // is called once per answer, also with an empty list. Result: that of Process (0 or 2). On
    // 2 an answer delivered within the request may already have reached the callback.
    int GetActiveEvents(std::list<ActiveEvent*>* events, ActiveEventsCb callback, int reqParam);
    // The callback of the latest request; any thread, the callback itself included.
    ActiveEventsCb GetActiveEventsCB();
    // The answer text so far; read it between answers, or from the callback, where it holds the
    // whole answer (it is cleared once the callback returns), as long as no other thread sends a
    // request meanwhile.
    std::string* GetActiveStringBuf();
    // The response function of the active-events request: not for clients. Gathers each piece
    // (read within its buffer's capacity) until the first shorter one, then parses the answer
    // and calls the callback with no proxy lock of its own held. Always 0.
    static int ProcessActiveEventsCB(ZvCallbackInfo* cbi);

    // Ancestor cache and hierarchy lists.
    // ClearAncestorInfo frees every cached record. It and FillAncestorInfoForPt use the cache
    // unguarded: the hierarchy queries guard it with a lock of their own that no client can
    // take, so call these two only while no hierarchy query can run.
    void ClearAncestorInfo();
    // `ancestors` must not be null. Sets *ancestors to the key's cached record (valid until the
    // next fill or clear), fetching it on a miss, and gives 0; on failure *ancestors is null and
    // the result is 9 (a step of the proxy's own failed, logged) or the ancestor request's non-zero
    // status (85 unlogged).
    int FillAncestorInfoForPt(ZvPldEngAncestors** ancestors, const ZvAncestorInfoBufKey& key);
    // Every level of the chain appended, element i of each list describing level i, as in
    // GetHierarchyInfo but with auxValue whole: all three lists grow by every level or by none.
    // Results as GetHierarchyInfo's.
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
