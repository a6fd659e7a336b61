// Failure injection for the test process: the test executable defines malloc, free, realloc,
// pthread_mutex_lock and pthread_mutex_unlock, so every library loaded into it calls these, and
// they forward to the C library's own. calloc and the aligned allocations are left to the C
// library: they never fail here and are not tracked.
//
// Everything is per thread: only the calls of the thread that armed a failure count towards it,
// and a tracker counts only the blocks of the thread that created it.
#ifndef ZVPLD_TESTS_FAULT_INJECTION_H
#define ZVPLD_TESTS_FAULT_INJECTION_H

namespace fault {

enum class Call { Malloc, MutexLock, MutexUnlock };

// Makes the nth call of `call` that this thread makes from now on fail, and the `count - 1`
// calls after it. A failed malloc returns null with errno ENOMEM. A failed mutex call returns
// `error`, which must not be 0: a lock does not take the mutex; an unlock releases it all the same,
// so that the test can go on using it. Replaces what this thread had armed before.
void FailNth(Call call, unsigned nth, int error = 0, unsigned count = 1);

// Stops injecting on this thread. Returns how many calls failed since FailNth.
unsigned Disarm();

// While it lives, counts the blocks that its thread allocates with malloc or realloc and has not
// freed yet. Tracked blocks are overwritten when they are freed, so that a use after free reads
// garbage. One tracker per thread at a time.
class BlockTracker {
  public:
    BlockTracker();
    ~BlockTracker();
    BlockTracker(const BlockTracker&) = delete;
    BlockTracker& operator=(const BlockTracker&) = delete;

    // The live blocks, or -1 if more were live at once than a tracker can hold.
    int Live() const;
};

}  // namespace fault

#endif
