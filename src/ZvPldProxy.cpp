// The proxy object: process-wide state, construction, publication, stop and destruction.
#include <cstdlib>
#include <memory>

#include "Frame.h"

using namespace zvpld;

// Load-time state, in the order in which it comes into being.
std::deque<ZvVEventInfo*> ZvPldProxy::s_eventDeque;
std::deque<unsigned long> ZvPldProxy::s_pldCntDeque;
ZvLinuxMutex* ZvPldProxy::s_clientLock = new ZvLinuxMutex;
ZvLinuxMutex* ZvPldProxy::s_singletonLock = new ZvLinuxMutex;
std::deque<ZvValChgInfo*> ZvPldProxy::s_valChgDeque;

namespace {
// Built after the queues, so destroyed before them: copies still queued at unload are freed
// rather than left to leak checkers.
struct ReleaseQueuedAtUnload {
    ~ReleaseQueuedAtUnload() { ZvPldProxyAccess::releaseQueued(); }
} const s_releaseQueuedAtUnload;
}  // namespace

pthread_mutex_t ZvPldProxy::s_pldCntWrkQueue_mutex = PTHREAD_MUTEX_INITIALIZER;
pthread_mutex_t ZvPldProxy::s_eventWrkQueue_mutex = PTHREAD_MUTEX_INITIALIZER;
pthread_mutex_t ZvPldProxy::s_valChgWrkQueue_mutex = PTHREAD_MUTEX_INITIALIZER;
std::atomic<ZvPldProxy*> ZvPldProxy::s_Instance{nullptr};
std::atomic<ZvPldMsgClient*> ZvPldProxy::s_MsgClient{nullptr};
std::atomic<std::int32_t> ZvPldProxy::s_pldProxyRready{0};
std::atomic<ZvPldProxy::PldCountCb> ZvPldProxy::s_pldCntCb{nullptr};
std::atomic<ZvPldProxy::EventCb> ZvPldProxy::s_dataEvent16Cb{nullptr};
std::atomic<ZvPldProxy::ValueChangeCb> ZvPldProxy::s_valueChangeCb{nullptr};
std::uint8_t ZvPldProxy::s_ancestorInfoState = 0;

ZvPldProxy::ZvPldProxy(const char* first, const char* second)
    : m_ancestorBufSize(0), m_activeEventsCb(nullptr) {
    // The client is published only once it is built and initialised: if either step throws,
    // it is released and the process-wide state is as it was.
    // A trace that an earlier proxy left open ends; ZVPLD_TRACE is read again for this one.
    CloseTrace();
    OpenTrace();
    struct CloseTraceUnlessBuilt {
        bool built = false;
        ~CloseTraceUnlessBuilt() {
            if (!built) CloseTrace();
        }
    } trace;
    std::unique_ptr<ZvPldMsgClient> client(new ZvPldMsgClient(first, second, ""));
    const int initialised = callUnlocked(*client, [](auto& c) { return c.Init(); });
    trace.built = true;
    ZvPldProxyAccess::publishClient(client.release());
    if (initialised == 0) __dlog_printf(kError, kTag, "Failed to init PldMsgClient");
    s_Instance.store(this, std::memory_order_release);
    s_pldProxyRready.store(1);
}

ZvPldProxy::~ZvPldProxy() {
    // First of all, so that an answer piece the engine delivers during the stop, or after it on a
    // thread the message client did not join, finds no instance.
    ZvPldProxyAccess::withdrawInstance(this);
    stop_y4IpcToClientProc();
    ClearAncestorInfo();
}

ZvPldProxy* ZvPldProxy::GetInstance() {
    return s_Instance.load(std::memory_order_acquire);
}

void ZvPldProxy::stop_y4IpcToClientProc() {
    if (s_pldProxyRready.exchange(0) == 0) return;
    // Calls in flight finish with the client first; later ones find none and fail cleanly.
    ZvPldMsgClient* client = ZvPldProxyAccess::withdrawClient();
    if (client != nullptr) {
        const Y4_Status status = callUnlocked(*client, [](auto& c) { return c.UnReg(1); });
        if (status != 0) {
            __dlog_printf(kError, kTag, "%s: UnReg() returned %d", "stop_y4IpcToClientProc",
                          status);
        }
        delete client;
    }
    // Once the engine has let go of the capture functions: the last notification is in.
    CloseTrace();
}
