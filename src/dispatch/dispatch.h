// The choice of instruction-set path: what this CPU runs, whether the
// platform's libm is the variant the vector expf/sincosf reproduce, and the
// Dispatch every exported call runs on.
//
// Both facts are constant for the life of a process (the CPU does not change,
// and the libm chose its variant when it was loaded), so each is probed once,
// on first use, thread-safely, and the choice made from them is kept: it is
// the one thing the library keeps between calls, and it cannot change a
// result, since every path gives the same bits.  Each exported function reads
// current_dispatch() once and passes it down to everything it calls.
#pragma once

#include "dispatch/kernel_table.h"
#include "simd/targets.h"

#include <atomic>

namespace kernels::simd {

// What one call runs on: a table of loops, and whether they may use the
// vector expf/sincosf (else the scalar functions lane by lane).
struct Dispatch {
    const KernelTable *kernels;
    bool vector_libm;
};

// True when this CPU (and the operating system's saved register state) runs
// the path: the target's check in simd/targets.h, all of them asked once.
bool simd_path_supported(SimdPath path);

// The widest supported path.
SimdPath best_simd_path();

// True when the platform's expf and sincosf give the FMA variant's results on
// inputs where the variants round differently (asked once).  The libm chooses
// its variant at load time from the CPU and run-time tunables, so CPUID
// alone cannot tell.  When false, kernels call the scalar functions.
bool libm_runs_fma_variant();

// The table of a path this CPU runs (simd_path_supported), else the scalar
// one, with the vector libm wherever it may run.
Dispatch dispatch_for(SimdPath path);

// What an exported call runs on: the process's choice, dispatch_for(
// best_simd_path()), made on the first call; or the calling thread's forced
// dispatch where dispatch_override gives one.
Dispatch current_dispatch();

// One of the library's two test hooks (the other is common/allocation.h),
// null in every program but the test and benchmark programs.  There the
// development objects (dev/forced_dispatch.h) set it to a function that
// returns the calling thread's forced dispatch, or null where that thread
// forces none, so that the threads of a test stay independent.  The per-thread state lives in those objects: thread-local
// storage in the library would make the loader allocate (with malloc, and
// abort if that fails) on a thread's first call into a dlopen'ed library.
// Nothing in the library sets it, and the shipped library does not export it.
using DispatchOverride = const Dispatch *(*)();
extern std::atomic<DispatchOverride> dispatch_override;

#ifdef KERNELS_COUNT_PROBES
// Only in a test build of dispatch.cpp (tests/dispatch): how often the CPU
// and the libm were probed and current_dispatch() was read.
struct ProbeCounts {
    std::atomic<long> cpu{0}, libm{0}, reads{0};
};
extern ProbeCounts probe_counts;
#endif

}  // namespace kernels::simd
