#include "FaultInjection.h"

#include <dlfcn.h>
#include <malloc.h>
#include <pthread.h>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <utility>

// The C library's allocator under the names it exports for interposers: usable before anything is
// initialised and inside dlsym. calloc, realloc and the aligned allocations stay the C library's.
extern "C" void* __libc_malloc(std::size_t size);
extern "C" void __libc_free(void* block);

namespace {

// Plain data, zero at thread start: no constructor runs inside malloc.
thread_local struct {
    fault::Call call;
    unsigned nth, seen;  // nth 0: disarmed; seen: calls of `call` since armed
    bool fails;
    int error;
    void (*hook)();
} t_armed;
thread_local struct {
    bool on;
    int live;
    void* blocks[4096];  // far more than any test keeps
} t_tracked;

// At the armed call, runs its hook; true if the call is to fail.
bool injected(fault::Call call) {
    if (t_armed.nth == 0 || t_armed.call != call || ++t_armed.seen != t_armed.nth) return false;
    if (t_armed.hook != nullptr) t_armed.hook();
    return t_armed.fails;
}

void track(void* block) {
    if (t_tracked.live == sizeof t_tracked.blocks / sizeof(void*)) std::abort();
    t_tracked.blocks[t_tracked.live++] = block;
}
// Forgets a tracked block; false if it was not tracked.
bool untrack(void* block) {
    void** const end = t_tracked.blocks + t_tracked.live;
    void** const at = std::find(t_tracked.blocks, end, block);
    if (at == end) return false;
    *at = t_tracked.blocks[--t_tracked.live];
    return true;
}

// The C library's mutex calls, whose exported aliases a program cannot link against; looked up
// at load time too, so that no armed malloc count sees dlsym's allocations.
using MutexCall = int (*)(pthread_mutex_t*);
std::atomic<MutexCall> g_real[2];
MutexCall real(int unlock) {
    if (g_real[unlock] == nullptr) {
        const char* name = unlock ? "pthread_mutex_unlock" : "pthread_mutex_lock";
        g_real[unlock] = reinterpret_cast<MutexCall>(dlsym(RTLD_NEXT, name));
    }
    return g_real[unlock];
}
const bool g_found = real(0) && real(1);

}  // namespace

// Exported from the executable, whatever visibility the build gives its own symbols.
#define INTERPOSED extern "C" __attribute__((visibility("default")))

INTERPOSED void* malloc(std::size_t size) noexcept {
    if (injected(fault::Call::Malloc)) return errno = ENOMEM, nullptr;
    void* block = __libc_malloc(size);
    if (block != nullptr && t_tracked.on) track(block);
    return block;
}
INTERPOSED void free(void* block) noexcept {
    if (untrack(block)) std::memset(block, 0xA5, malloc_usable_size(block));
    __libc_free(block);
}
INTERPOSED int pthread_mutex_lock(pthread_mutex_t* mutex) noexcept {
    return injected(fault::Call::MutexLock) ? t_armed.error : real(0)(mutex);
}
INTERPOSED int pthread_mutex_unlock(pthread_mutex_t* mutex) noexcept {
    const int rc = real(1)(mutex);
    return injected(fault::Call::MutexUnlock) ? t_armed.error : rc;
}

void fault::FailNth(Call call, unsigned nth, int error, void (*hook)()) {
    t_armed = {call, nth, 0, true, error, hook};
}
void fault::AtNth(Call call, unsigned nth, void (*hook)()) {
    t_armed = {call, nth, 0, false, 0, hook};
}
bool fault::Disarm() {
    const unsigned nth = std::exchange(t_armed.nth, 0u);
    return nth != 0 && t_armed.seen >= nth;
}
void fault::TrackBlocks() {
    t_tracked.on = true;
}
int fault::LiveBlocks() {
    return t_tracked.live;
}
