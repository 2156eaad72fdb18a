// Counts the allocations a thread makes while its flag is set, by replacing the global operator
// new: include it in exactly one source file of an executable.
#pragma once

#include <atomic>
#include <cstdlib>
#include <new>

inline thread_local bool t_countAllocations = false;
inline std::atomic<long> g_allocations{0};

// Not inlined, neither of them: GCC would otherwise pair a free with a malloc at the call site and
// warn.
[[gnu::noinline]] void* operator new(std::size_t size) {
    if (t_countAllocations) g_allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}
[[gnu::noinline]] void operator delete(void* p) noexcept {
    std::free(p);
}
[[gnu::noinline]] void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}
