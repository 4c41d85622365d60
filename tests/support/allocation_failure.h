// Makes the library's allocations fail on purpose.  Every heap block the
// library takes comes from kernels::allocate or kernels::allocate_zeroed
// (common/allocation.h); allocation_failure.cpp sets their hidden hook, so that
// the allocations of a thread running one of the calls below are counted and
// the chosen one fails.  Other threads, and this one outside those calls, get
// malloc and calloc unchanged.
#pragma once

#include <functional>

namespace kernels_test {

// Number of the library's allocations made while running call (on this thread).
int count_allocations(const std::function<void()> &call);

// Runs call with allocation number `index` (0-based, this thread) failing as
// malloc fails (a null pointer, errno ENOMEM).  errno is cleared before the
// call; returns its value after it.
int with_failing_allocation(int index, const std::function<void()> &call);

}  // namespace kernels_test
