#include "ZvLinuxMutex.h"

namespace {
// Initial-exec: loaded with the program (or opened later into glibc's spare static TLS), the
// count is read without a call into the dynamic linker on every lock and unlock.
__attribute__((tls_model("initial-exec"))) thread_local int t_held = 0;
}  // namespace

ZvLinuxMutex::ZvLinuxMutex() {
    pthread_mutex_init(&m_mutex, nullptr);
}

ZvLinuxMutex::~ZvLinuxMutex() {
    pthread_mutex_destroy(&m_mutex);
}

// The count is raised before the mutex is taken, so that the critical section carries none of
// it: only this thread reads its count, and never while it waits.
int ZvLinuxMutex::Lock() {
    ++t_held;
    const int rc = pthread_mutex_lock(&m_mutex);
    if (rc != 0) --t_held;
    return rc;
}

int ZvLinuxMutex::Unlock() {
    const int rc = pthread_mutex_unlock(&m_mutex);
    if (rc == 0) --t_held;
    return rc;
}

int ZvLinuxMutex::HeldByThisThread() {
    return t_held;
}
