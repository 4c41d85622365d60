// The fixture of the tests that run the kernels on every instruction-set path
// (TEST_P over SimdPath, the path forced with dev/forced_dispatch.h): a
// path this CPU lacks, or this build leaves off, is reported skipped.
#pragma once

#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include "dispatch/dispatch.h"

namespace kernels::simd {
// Names the path in test listings.
inline void PrintTo(SimdPath path, std::ostream *os) { *os << simd_path_name(path); }
}  // namespace kernels::simd

namespace kernels_test {

class PathTest : public testing::TestWithParam<kernels::simd::SimdPath> {
  protected:
    void SetUp() override {
        if (!kernels::simd::simd_path_supported(GetParam()))
            GTEST_SKIP() << "path not available here (CPU lacks it, or AVX-512 not enabled in this build): "
                         << kernels::simd::simd_path_name(GetParam());
    }
};

// The test-name suffix of a path.
inline std::string path_name(const testing::TestParamInfo<kernels::simd::SimdPath> &info) {
    return kernels::simd::simd_path_name(info.param);
}

}  // namespace kernels_test
