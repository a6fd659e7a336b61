#include "FaultInjection.h"

#include <dlfcn.h>
#include <malloc.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>

// The C library's own allocator, under the names it exports for interposers. They need no
// look-up, so allocation works before anything is initialised, and inside dlsym.
extern "C" void* __libc_malloc(std::size_t size);
extern "C" void* __libc_realloc(void* block, std::size_t size);
extern "C" void __libc_free(void* block);

namespace {

[[noreturn]] void die(const char* what) {
    const char prefix[] = "FaultInjection: ";
    (void)!write(STDERR_FILENO, prefix, sizeof prefix - 1);
    (void)!write(STDERR_FILENO, what, std::strlen(what));
    (void)!write(STDERR_FILENO, "\n", 1);
    std::abort();
}

// Thread-local state is plain data, zero at thread start: no constructor runs inside malloc.
struct Armed {
    bool on;
    fault::Call call;
    unsigned nth, count, seen, failed;
    int error;
};
thread_local Armed t_armed;

constexpr int kTrackable = 4096;
struct Tracked {
    bool on, overflowed;
    int live;
    void* blocks[kTrackable];
};
thread_local Tracked t_tracked;

// True if this call of `call` is one to fail; sets `error` then.
bool injected(fault::Call call, int& error) {
    Armed& a = t_armed;
    if (!a.on || a.call != call) return false;
    ++a.seen;
    if (a.seen < a.nth || a.seen - a.nth >= a.count) return false;
    ++a.failed;
    error = a.error;
    return true;
}

void track(void* block) {
    Tracked& t = t_tracked;
    if (t.live == kTrackable) {
        t.overflowed = true;
        return;
    }
    t.blocks[t.live++] = block;
}

// Forgets a tracked block; false if it was not tracked.
bool untrack(void* block) {
    Tracked& t = t_tracked;
    for (int i = t.live - 1; i >= 0; --i) {
        if (t.blocks[i] == block) {
            t.blocks[i] = t.blocks[--t.live];
            return true;
        }
    }
    return false;
}

using MutexCall = int (*)(pthread_mutex_t*);

// The C library's mutex calls, found once. Their exported aliases are compatibility symbols that
// a program cannot link against, hence dlsym.
MutexCall next(std::atomic<MutexCall>& slot, const char* name) {
    MutexCall call = slot.load(std::memory_order_acquire);
    if (call == nullptr) {
        call = reinterpret_cast<MutexCall>(dlsym(RTLD_NEXT, name));
        if (call == nullptr) die(name);
        slot.store(call, std::memory_order_release);
    }
    return call;
}
std::atomic<MutexCall> g_lock{nullptr};
std::atomic<MutexCall> g_unlock{nullptr};

// Look them up before main, so that no test's armed malloc count sees dlsym's allocations.
__attribute__((constructor)) void findMutexCalls() {
    next(g_lock, "pthread_mutex_lock");
    next(g_unlock, "pthread_mutex_unlock");
}

}  // namespace

// Exported from the executable, whatever visibility the build gives its own symbols.
#define INTERPOSED extern "C" __attribute__((visibility("default")))

INTERPOSED void* malloc(std::size_t size) noexcept {
    int unused;
    if (injected(fault::Call::Malloc, unused)) {
        errno = ENOMEM;
        return nullptr;
    }
    void* block = __libc_malloc(size);
    if (block != nullptr && t_tracked.on) track(block);
    return block;
}

INTERPOSED void free(void* block) noexcept {
    if (block != nullptr && t_tracked.live > 0 && untrack(block)) {
        std::memset(block, 0xA5, malloc_usable_size(block));
    }
    __libc_free(block);
}

// Keeps the tracking right when a block moves: glibc's realloc frees the old one without free.
INTERPOSED void* realloc(void* block, std::size_t size) noexcept {
    const bool tracked = block == nullptr ? t_tracked.on : t_tracked.live > 0 && untrack(block);
    void* moved = __libc_realloc(block, size);
    if (tracked) {
        if (moved != nullptr) {
            track(moved);
        } else if (block != nullptr && size != 0) {
            track(block);  // not moved: still live
        }
    }
    return moved;
}

INTERPOSED int pthread_mutex_lock(pthread_mutex_t* mutex) noexcept {
    int error;
    if (injected(fault::Call::MutexLock, error)) return error;
    return next(g_lock, "pthread_mutex_lock")(mutex);
}

INTERPOSED int pthread_mutex_unlock(pthread_mutex_t* mutex) noexcept {
    const int rc = next(g_unlock, "pthread_mutex_unlock")(mutex);
    int error;
    return injected(fault::Call::MutexUnlock, error) ? error : rc;
}

namespace fault {

void FailNth(Call call, unsigned nth, int error, unsigned count) {
    if (call != Call::Malloc && error == 0) die("a mutex call cannot fail with error 0");
    t_armed = Armed{true, call, nth, count, 0, 0, error};
}

unsigned Disarm() {
    t_armed.on = false;
    return t_armed.failed;
}

BlockTracker::BlockTracker() {
    if (t_tracked.on) die("a second BlockTracker on one thread");
    t_tracked.live = 0;
    t_tracked.overflowed = false;
    t_tracked.on = true;
}

BlockTracker::~BlockTracker() {
    t_tracked.on = false;
    t_tracked.live = 0;
}

int BlockTracker::Live() const {
    return t_tracked.overflowed ? -1 : t_tracked.live;
}

}  // namespace fault
