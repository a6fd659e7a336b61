#include "CountedAllocs.h"

#include <cstddef>

extern "C" {
void* __libc_malloc(std::size_t size);
void* __libc_calloc(std::size_t count, std::size_t size);
void* __libc_realloc(void* block, std::size_t size);
void* __libc_memalign(std::size_t alignment, std::size_t size);
}

namespace {
unsigned long g_calls = 0;
}

unsigned long zvbench::AllocationCalls() {
    return g_calls;
}

extern "C" {
void* malloc(std::size_t size) {
    ++g_calls;
    return __libc_malloc(size);
}
void* calloc(std::size_t count, std::size_t size) {
    ++g_calls;
    return __libc_calloc(count, size);
}
void* realloc(void* block, std::size_t size) {
    ++g_calls;
    return __libc_realloc(block, size);
}
void* aligned_alloc(std::size_t alignment, std::size_t size) {
    ++g_calls;
    return __libc_memalign(alignment, size);
}
}
