// Calls to the allocator, counted by the program's own malloc, calloc, realloc and aligned_alloc,
// which take the C library's place for the program and every library it loads (operator new
// among them) and pass each call on to it.
#ifndef ZVPLD_BENCH_COUNTEDALLOCS_H
#define ZVPLD_BENCH_COUNTEDALLOCS_H

namespace zvbench {

// Allocations so far. Counted without atomics: the program measures on one thread.
unsigned long AllocationCalls();

}  // namespace zvbench

#endif
