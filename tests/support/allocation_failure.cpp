#include "support/allocation_failure.h"

#include <cerrno>
#include <cstddef>
#include <cstdlib>

#include "common/allocation.h"

namespace {
thread_local bool armed = false;
thread_local int seen = 0;
thread_local int fail_at = -1;

bool next_fails() {
    if (!armed || seen++ != fail_at) return false;
    errno = ENOMEM;
    return true;
}

// The library's allocation hook in the test programs: the heap, except for
// the one allocation this thread chose to fail.
void *counted_allocation(std::size_t count, std::size_t size, bool zeroed) {
    if (next_fails()) return nullptr;
    return zeroed ? std::calloc(count, size) : std::malloc(count * size);
}

int run(int index, const std::function<void()> &call) {
    // Every thread stores the same function; the library reads it atomically.
    kernels::allocation_hook.store(&counted_allocation, std::memory_order_relaxed);
    armed = true;
    seen = 0;
    fail_at = index;
    call();
    armed = false;
    return seen;
}
}  // namespace

namespace kernels_test {

int count_allocations(const std::function<void()> &call) { return run(-1, call); }

int with_failing_allocation(int index, const std::function<void()> &call) {
    errno = 0;
    run(index, call);
    return errno;
}

}  // namespace kernels_test
