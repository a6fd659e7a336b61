// Stand-in for the device's mutex wrapper library: a non-recursive POSIX mutex.
#ifndef ZV_LINUX_MUTEX_H
#define ZV_LINUX_MUTEX_H

#include <pthread.h>

class __attribute__((visibility("default"))) ZvLinuxMutex {
  public:
    ZvLinuxMutex();
    ~ZvLinuxMutex();
    ZvLinuxMutex(const ZvLinuxMutex&) = delete;
    ZvLinuxMutex& operator=(const ZvLinuxMutex&) = delete;

    int Lock();
    int Unlock();

    // Diagnostic of the stand-in, not of the device's library: how many ZvLinuxMutex locks the
    // calling thread holds now. Tests use it to see what runs under a lock.
    static int HeldByThisThread();

  private:
    pthread_mutex_t m_mutex;
};

#endif
