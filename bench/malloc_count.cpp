#include "bench/malloc_count.h"

#include <atomic>
#include <cstddef>

namespace {
std::atomic<std::uint64_t> g_calls{0};
}  // namespace

// glibc's allocator under its own name: this binary's malloc counts, then
// hands over. free, calloc and realloc stay glibc's and see the same heap.
extern "C" void* __libc_malloc(std::size_t size);

extern "C" void* malloc(std::size_t size) {
    g_calls.fetch_add(1, std::memory_order_relaxed);
    return __libc_malloc(size);
}

std::uint64_t bench::malloc_calls() { return g_calls.load(std::memory_order_relaxed); }
