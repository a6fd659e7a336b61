// Change notifications: registration with the engine, capture into the work queues on the
// engine's delivering thread, and draining on the client's thread, one item per call.
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "Frame.h"

using namespace zvpld;

namespace {

// A queued copy is released with free; a value change owns its data block as well.
void release(ZvVEventInfo* copy) {
    std::free(copy);
}
void release(ZvValChgInfo* copy) {
    std::free(copy->pData);
    std::free(copy);
}

template <auto Reg, class Callback, class Capture, class OnRefusal>
void registerFor(const char* op, std::atomic<Callback>& stored, Callback callback, void* context,
                 int regArg, Capture capture, OnRefusal&& onRefusal) {
    if (callback == nullptr) return;
    // Registered already: only the client's callback changes.
    if (stored.load(std::memory_order_acquire) != nullptr) {
        stored.store(callback, std::memory_order_release);
        return;
    }
    // Checked again and stored under the client lock: two first registrations of a kind at the
    // same moment register the capture function once, and the later one only replaces the callback.
    Y4_Status status = 0;
    const bool called = ZvPldProxyAccess::callEngine(status, [&](auto& c) {
        Y4_Status st = 0;
        if (stored.load(std::memory_order_relaxed) == nullptr) {
            st = callOn<Reg>(c, capture, context, static_cast<std::uint16_t>(regArg));
        }
        if (st == 0) stored.store(callback, std::memory_order_release);
        return st;
    });
    if (!called) {
        noClient(op);
    } else if (status != 0) {
        onRefusal(status);
    }
}

struct Enqueued {
    int lockError;  // nothing was queued
    bool queued;    // false also when the queue could not grow
    int unlockError;
};

// Appends at the back of a queue, holding its mutex for that alone (and, for PLD counts, for
// marking the ancestor cache stale).
template <class Item>
Enqueued enqueue(pthread_mutex_t& mutex, std::deque<Item>& queue, Item item,
                 std::uint8_t* stale = nullptr) {
    Enqueued e{pthread_mutex_lock(&mutex), false, 0};
    if (e.lockError != 0) return e;
    if (stale != nullptr) *stale = 1;  // stale whether or not the count can be queued
    try {
        queue.push_back(item);
        e.queued = true;
    } catch (const std::bad_alloc&) {
    }
    e.unlockError = pthread_mutex_unlock(&mutex);
    return e;
}

// Takes the front item of a queue, if any, holding its mutex for that alone.
template <class Item>
bool takeFront(const char* op, pthread_mutex_t& mutex, std::deque<Item>& queue, Item& item) {
    int rc = pthread_mutex_lock(&mutex);
    if (rc != 0) {
        __dlog_printf(kError, kTag, "%s: mutex lock error: %d", op, rc);
        return false;
    }
    const bool taken = !queue.empty();
    if (taken) {
        item = queue.front();
        queue.pop_front();
    }
    rc = pthread_mutex_unlock(&mutex);
    if (rc != 0) __dlog_printf(kError, kTag, "%s: mutex unlock error: %d", op, rc);
    return taken;
}

// Hands the front copy of a queue to the client's callback on this thread, then releases it.
template <class Record, class Callback>
void drainOne(const char* op, pthread_mutex_t& mutex, std::deque<Record*>& queue,
              const std::atomic<Callback>& stored) {
    Record* copy = nullptr;
    if (!takeFront(op, mutex, queue, copy)) return;
    struct Release {
        Record* copy;
        ~Release() { release(copy); }  // also when the client's callback throws
    } const guard{copy};
    if (Callback callback = stored.load(std::memory_order_acquire)) callback(nullptr, copy);
}

}  // namespace

void ZvPldProxy::RegisterForPldCountChange(PldCountCb callback, void* context, int regArg) {
    const char* op = "RegisterForPldCountChange";
    registerFor<&ZvPldMsgClient::RegPldCntChng>(
        op, s_pldCntCb, callback, context, regArg, &ZvPldProxy::CallbackPldCnt,
        [op](Y4_Status status) {
            __dlog_printf(kError, kTag, "%s: RegPldCntChng() returned error: %d", op, status);
        });
}

void ZvPldProxy::RegisterForEventChange(EventCb callback, void* context, int regArg) {
    const char* op = "RegisterForEventChange";
    registerFor<&ZvPldMsgClient::RegVelEvent>(
        op, s_dataEvent16Cb, callback, context, regArg, &ZvPldProxy::CallbackEvent,
        [op](Y4_Status status) {
            __dlog_printf(kError, kTag, "%s: RegVelEvent() returned error: %d", op, status);
        });
}

void ZvPldProxy::RegisterForValueChange(ValueChangeCb callback, void* context, int regArg) {
    const char* op = "RegisterForValueChange";
    registerFor<&ZvPldMsgClient::RegValueChange>(
        op, s_valueChangeCb, callback, context, regArg, &ZvPldProxy::CallbackValueChange,
        [op](Y4_Status status) {
            __dlog_printf(kError, kTag, "%s: RegValueChange() returned error: %d", op, status);
        });
}

void ZvPldProxy::CallbackPldCnt(void* context, unsigned long count) {
    const char* op = "CallbackPldCnt";
    if (g_trace.load(std::memory_order_relaxed) != nullptr) TracePldCount(count);
    const Enqueued e = enqueue(s_pldCntWrkQueue_mutex, s_pldCntDeque, count, &s_ancestorInfoState);
    if (e.lockError != 0) {
        __dlog_printf(kError, kTag, "%s: mutex lock error: %d, for PLD count: %lu", op, e.lockError,
                      count);
    } else if (!e.queued) {
        __dlog_printf(kError, kTag, "%s: could not allocate memory, for PLD count: %lu", op, count);
    }
    if (e.unlockError != 0) {
        __dlog_printf(kError, kTag, "%s: mutex unlock error: %d, for PLD count: %lu", op,
                      e.unlockError, count);
    }
    if (PldCountCb callback = s_pldCntCb.load(std::memory_order_acquire)) callback(context, count);
}

void ZvPldProxy::CallbackEvent(void*, const ZvVEventInfo* info) {
    const char* op = "CallbackEvent";
    if (g_trace.load(std::memory_order_relaxed) != nullptr) TraceEvent(info);
    const auto id = static_cast<unsigned long>(info->eventId);
    const int state = info->eventState;
    auto* copy = static_cast<ZvVEventInfo*>(std::malloc(sizeof(ZvVEventInfo)));
    if (copy == nullptr) {
        __dlog_printf(kError, kTag, "%s: could not allocate memory - ID: %lu, state: %d", op, id,
                      state);
        return;
    }
    std::memcpy(copy, info, sizeof(ZvVEventInfo));

    const Enqueued e = enqueue(s_eventWrkQueue_mutex, s_eventDeque, copy);
    if (e.lockError != 0) {
        __dlog_printf(kError, kTag, "%s: mutex lock error: %d, ID: %lu, state: %d", op, e.lockError,
                      id, state);
    } else if (!e.queued) {
        __dlog_printf(kError, kTag, "%s: could not allocate memory - ID: %lu, state: %d", op, id,
                      state);
    }
    if (!e.queued) release(copy);
    if (e.unlockError != 0) {
        __dlog_printf(kError, kTag, "%s: mutex unlock error: %d, ID: %lu, state: %d", op,
                      e.unlockError, id, state);
    }
}

void ZvPldProxy::CallbackValueChange(void*, const ZvValChgInfo* info) {
    const char* op = "CallbackValueChange";
    if (g_trace.load(std::memory_order_relaxed) != nullptr) TraceValueChange(info);
    // Messages name the delivered record: once queued, the copy may be drained and freed by
    // another thread at any moment.
    const auto id = static_cast<unsigned long>(info->valueId);
    const auto length = static_cast<unsigned int>(info->length);
    auto* copy = static_cast<ZvValChgInfo*>(std::malloc(sizeof(ZvValChgInfo)));
    if (copy == nullptr) {
        __dlog_printf(kError, kTag, "%s: could not allocate memory - ID: %lu, length: %d", op, id,
                      static_cast<int>(sizeof(ZvValChgInfo)));
        return;
    }
    std::memcpy(copy, info, sizeof(ZvValChgInfo));
    const std::size_t bytes = 2u * length;
    auto* data = static_cast<std::uint16_t*>(std::malloc(bytes));
    if (data == nullptr) {
        __dlog_printf(kError, kTag, "%s: could not allocate memory - ID: %lu  length: %u", op, id,
                      length);
        std::free(copy);
        return;
    }
    if (bytes != 0) std::memcpy(data, info->pData, bytes);
    copy->pData = data;

    const Enqueued e = enqueue(s_valChgWrkQueue_mutex, s_valChgDeque, copy);
    if (!e.queued) release(copy);
    if (e.lockError != 0) {
        __dlog_printf(kError, kTag, "%s: mutex lock error: %d, ID: %lu, errno: %d", op, e.lockError,
                      id, e.lockError);
    } else if (!e.queued) {
        __dlog_printf(kError, kTag, "%s: could not allocate memory - ID: %lu  length: %u", op, id,
                      length);
    }
    if (e.unlockError != 0) {
        __dlog_printf(kError, kTag, "%s: mutex unlock error: %d, ID: %lu, errno: %d", op,
                      e.unlockError, id, e.unlockError);
    }
}

bool ZvPldProxy::CheckPldCount(unsigned long* count) {
    unsigned long front = 0;
    if (!takeFront("CheckPldCount", s_pldCntWrkQueue_mutex, s_pldCntDeque, front)) return false;
    *count = front;
    return true;
}

void ZvPldProxy::CheckEvent() {
    drainOne("CheckEvent", s_eventWrkQueue_mutex, s_eventDeque, s_dataEvent16Cb);
}

void ZvPldProxy::CheckValueChange() {
    drainOne("CheckValueChange", s_valChgWrkQueue_mutex, s_valChgDeque, s_valueChangeCb);
}

namespace {
template <class Record>
void releaseAll(pthread_mutex_t& mutex, std::deque<Record*>& queue) {
    pthread_mutex_lock(&mutex);
    for (Record* copy : queue) release(copy);
    queue.clear();
    pthread_mutex_unlock(&mutex);
}
}  // namespace

void ZvPldProxyAccess::releaseQueued() {
    releaseAll(ZvPldProxy::s_eventWrkQueue_mutex, ZvPldProxy::s_eventDeque);
    releaseAll(ZvPldProxy::s_valChgWrkQueue_mutex, ZvPldProxy::s_valChgDeque);
}
