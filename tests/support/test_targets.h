// The targets the path tests compare with the scalar path: the vector
// instruction-set paths (skipped where this CPU lacks them) and kernel tables
// built on emulated lanes of widths 4 and 16, which run on every machine.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <ostream>
#include <string>
#include <vector>

#include "dispatch/dispatch.h"

namespace kernels_test {

struct TestTarget {
    const char *name;
    kernels::simd::SimdPath path;              // an instruction-set path, or
    const kernels::simd::KernelTable *table;  // (not null) an emulated table

    // Results equal the scalar path's bit for bit; on emulated lanes a NaN
    // may carry the other payload where both operands of an operation are NaN
    // (the compiler orders the operands of the lane-by-lane arithmetic its own
    // way), so there any NaN matches any NaN.
    bool same_results(const float *a, const float *b, size_t n) const;

    // False only for a path this CPU lacks (or a build leaves out).
    bool runs_here() const;
    // What the library calls run on while the test forces this target.
    kernels::simd::Dispatch dispatch() const;
};

// Every vector path (simd/targets.h), then emulated4 and emulated16.
std::vector<TestTarget> vector_test_targets();

inline void PrintTo(const TestTarget &target, std::ostream *os) { *os << target.name; }
inline std::string test_target_name(const testing::TestParamInfo<TestTarget> &info) { return info.param.name; }

// GTEST_SKIP()s the calling test where the target does not run here.
#define SKIP_UNLESS_TARGET_RUNS(target)                                                                  \
    if (!(target).runs_here())                                                                           \
    GTEST_SKIP() << "path not available here (CPU lacks it, or AVX-512 not enabled in this build): " \
                 << (target).name

}  // namespace kernels_test
