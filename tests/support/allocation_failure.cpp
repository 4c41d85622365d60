#include "support/allocation_failure.h"

#include <cerrno>
#include <cstddef>

extern "C" {
void *__real_malloc(std::size_t size);
void *__real_calloc(std::size_t count, std::size_t size);
}

namespace {
thread_local bool armed = false;
thread_local int seen = 0;
thread_local int fail_at = -1;

bool next_fails() {
    if (!armed || seen++ != fail_at) return false;
    errno = ENOMEM;
    return true;
}

int run(int index, const std::function<void()> &call) {
    armed = true;
    seen = 0;
    fail_at = index;
    call();
    armed = false;
    return seen;
}
}  // namespace

extern "C" void *__wrap_malloc(std::size_t size) { return next_fails() ? nullptr : __real_malloc(size); }

extern "C" void *__wrap_calloc(std::size_t count, std::size_t size) {
    return next_fails() ? nullptr : __real_calloc(count, size);
}

namespace kernels_test {

int count_allocations(const std::function<void()> &call) { return run(-1, call); }

int with_failing_allocation(int index, const std::function<void()> &call) {
    errno = 0;
    run(index, call);
    return errno;
}

}  // namespace kernels_test
