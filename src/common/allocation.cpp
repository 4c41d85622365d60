// The library's allocation functions (see allocation.h).
#include "common/allocation.h"

#include <cstdlib>

namespace kernels {

std::atomic<AllocationHook> allocation_hook{nullptr};

void *allocate(std::size_t bytes) {
    const AllocationHook hook = allocation_hook.load(std::memory_order_relaxed);
    if (__builtin_expect(hook != nullptr, 0)) return hook(1, bytes, false);
    return std::malloc(bytes);
}

void *allocate_zeroed(std::size_t count, std::size_t size) {
    const AllocationHook hook = allocation_hook.load(std::memory_order_relaxed);
    if (__builtin_expect(hook != nullptr, 0)) return hook(count, size, true);
    return std::calloc(count, size);
}

}  // namespace kernels
