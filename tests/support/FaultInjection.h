// Failure injection for the test process: the test executable defines malloc, free, realloc,
// pthread_mutex_lock and pthread_mutex_unlock, so every library loaded into it calls these, and
// they forward to the C library's own. All state is per thread: only the calling thread's calls
// count towards a failure, and only its blocks are tracked.
#ifndef ZVPLD_TESTS_FAULT_INJECTION_H
#define ZVPLD_TESTS_FAULT_INJECTION_H

namespace fault {

enum class Call { Malloc, MutexLock, MutexUnlock };

// Makes the nth call of `call` that this thread makes from now on fail: malloc returns null, a
// mutex call returns `error` (a lock does not take the mutex; an unlock releases it all the same).
// A `hook` runs in that call just before it returns.
void FailNth(Call call, unsigned nth, int error, void (*hook)() = nullptr);

// Runs `hook` at the nth call of `call` that this thread makes from now on, which then goes on
// as usual: a lock takes the mutex after the hook.
void AtNth(Call call, unsigned nth, void (*hook)());

// Stops injecting on this thread; true if the armed call was reached.
bool Disarm();

// From now on counts the blocks this thread allocates and has not freed yet, and fills tracked
// blocks with 0xA5 when they are freed, so that a use after free reads garbage.
void TrackBlocks();
int LiveBlocks();

}  // namespace fault

#endif
