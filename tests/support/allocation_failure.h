// Makes the library's allocations fail on purpose.  Test programs are linked
// with --wrap=malloc and --wrap=calloc, so every malloc or calloc the library
// objects make passes through the wrappers in allocation_failure.cpp; nothing in
// the library itself knows about it.
#pragma once

#include <functional>

namespace kernels_test {

// Number of malloc/calloc calls made while running call (on this thread).
int count_allocations(const std::function<void()> &call);

// Runs call with allocation number `index` (0-based, this thread) failing as
// malloc fails (a null pointer, errno ENOMEM).  errno is cleared before the
// call; returns its value after it.
int with_failing_allocation(int index, const std::function<void()> &call);

}  // namespace kernels_test
