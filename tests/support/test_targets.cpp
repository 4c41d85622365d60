// The emulated kernel tables (built here, without instruction-set flags, from
// the same lane templates as the library's tables) and the path-test targets.
//
// With LIBKERNELS_LANE_COVERAGE=1 in the environment a test program also
// checks, suite by suite, that the tests on emulated targets reached what the
// wide-lane code must get right: partial vectors of every length 1..W-1 (row
// ends and remainders), masks mixed within a vector (cut-offs inside a
// vector), and gathers or table lookups; it prints the counts and fails
// otherwise.  CTest runs each path-test program once so.
#include "support/lanes_emulated.h"  // the lane target first (dispatch/kernel_table_lanes.h)
#include "support/test_targets.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "dispatch/kernel_table_lanes.h"
#include "dispatch/dispatch.h"

namespace kernels_test {
namespace {

using kernels::simd::KernelTable;
using kernels::simd::SimdPath;
using kernels::simd::emulated::coverage;
using kernels::simd::emulated::LaneCoverage;

const KernelTable emulated4_kernels = kernels::simd::make_kernel_table<kernels::simd::emulated::Target<4>>("emulated4");
const KernelTable emulated16_kernels = kernels::simd::make_kernel_table<kernels::simd::emulated::Target<16>>("emulated16");

bool nothing(const LaneCoverage &c) {
    uint64_t sum = c.mixed_select + c.gathers + c.lookups;
    for (uint64_t n : c.partial) sum += n;
    return sum == 0;
}

template <int W>
LaneCoverage taken() {
    const LaneCoverage now = coverage<W>;
    coverage<W> = LaneCoverage{};
    return now;
}

// Prints the counts; false (with the reason) when something was not reached.
template <int W>
bool reached(const std::string &suite, const LaneCoverage &c, bool expect_gathers) {
    std::printf("%-30s %2d lanes, partial vectors by length:", suite.c_str(), W);
    int missing = 0;
    for (int n = 1; n < W; ++n) {
        std::printf(" %llu", static_cast<unsigned long long>(c.partial[n]));
        missing += c.partial[n] == 0;
    }
    std::printf("; mixed selects %llu, gathers %llu, lookups %llu\n",
                static_cast<unsigned long long>(c.mixed_select), static_cast<unsigned long long>(c.gathers),
                static_cast<unsigned long long>(c.lookups));
    bool ok = true;
    const auto fail = [&](const char *what) {
        std::printf("FAILED: %s: %s on %d lanes\n", suite.c_str(), what, W);
        ok = false;
    };
    if (missing != 0) fail("partial vectors of some length never ran");
    if (c.mixed_select == 0) fail("no mask was mixed within a vector");
    if (expect_gathers && c.gathers + c.lookups == 0) fail("no gather or table lookup ran");
    return ok;
}

class CoverageCheck : public testing::EmptyTestEventListener {
    void OnTestSuiteStart(const testing::TestSuite &) override {
        taken<4>();
        taken<16>();
    }
    void OnTestSuiteEnd(const testing::TestSuite &suite) override {
        const std::string name = suite.name();
        const LaneCoverage narrow = taken<4>(), wide = taken<16>();
        if (nothing(narrow) && nothing(wide)) return;  // a suite without emulated targets
        // The rotation moves map values only; the other kernels evaluate expf or sincosf.
        const bool gathers = name.find("Rotation") == std::string::npos;
        const bool narrow_ok = reached<4>(name, narrow, gathers);
        const bool wide_ok = reached<16>(name, wide, gathers);
        if (!narrow_ok || !wide_ok) failed = true;
    }
    void OnTestProgramEnd(const testing::UnitTest &) override {
        if (failed) {
            std::fflush(stdout);
            std::_Exit(1);
        }
    }
    bool failed = false;
};

// Installs the check before main() when the environment asks for it.
const bool coverage_check_installed = [] {
    const char *on = std::getenv("LIBKERNELS_LANE_COVERAGE");
    if (on == nullptr || std::strcmp(on, "1") != 0) return false;
    testing::UnitTest::GetInstance()->listeners().Append(new CoverageCheck);
    return true;
}();

}  // namespace

bool TestTarget::same_results(const float *a, const float *b, size_t n) const {
    for (size_t i = 0; i < n; ++i) {
        if (std::memcmp(&a[i], &b[i], sizeof(float)) == 0) continue;
        if (table != nullptr && a[i] != a[i] && b[i] != b[i]) continue;
        return false;
    }
    return true;
}

bool TestTarget::runs_here() const { return table != nullptr || kernels::simd::simd_path_supported(path); }

kernels::simd::Dispatch TestTarget::dispatch() const {
    if (table != nullptr) return {table, kernels::simd::libm_runs_fma_variant()};
    return kernels::simd::dispatch_for(path);
}

std::vector<TestTarget> vector_test_targets() {
    std::vector<TestTarget> targets;
    for (SimdPath path : kernels::simd::SIMD_PATHS)
        if (path != SimdPath::scalar) targets.push_back({kernels::simd::simd_path_name(path), path, nullptr});
    targets.push_back({"emulated4", SimdPath::scalar, &emulated4_kernels});
    targets.push_back({"emulated16", SimdPath::scalar, &emulated16_kernels});
    return targets;
}

}  // namespace kernels_test
