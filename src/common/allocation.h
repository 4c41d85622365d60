// The library's heap blocks: every scratch array and every returned map comes
// from allocate or allocate_zeroed, and is released with std::free (as the
// caller releases a returned map).  Without a hook they are malloc and calloc
// behind one well-predicted test of a pointer.
//
// allocation_hook is a test seam, null in every program but the test programs.
// There the allocation-failure injection (tests/support/allocation_failure.cpp)
// sets it to a function that counts the calling thread's allocations and makes
// a chosen one fail; its per-thread state lives in that file, since
// thread-local storage in the library would make the loader allocate on a
// thread's first call into a dlopen'ed library (see dispatch/dispatch.h).  The
// hook returns a block std::free releases, or null with errno set.  Nothing in
// the library sets it, and the shipped library does not export it.
#pragma once

#include <atomic>
#include <cstddef>

namespace kernels {

// count * size bytes, zeroed (as calloc) or not (as malloc).
using AllocationHook = void *(*)(std::size_t count, std::size_t size, bool zeroed);
extern std::atomic<AllocationHook> allocation_hook;

// An uninitialised block of `bytes` bytes, or null (errno ENOMEM) as malloc.
void *allocate(std::size_t bytes);

// A zeroed block of count * size bytes, or null (errno ENOMEM) as calloc,
// which also refuses a product beyond size_t.
void *allocate_zeroed(std::size_t count, std::size_t size);

}  // namespace kernels
