// Runs the path tests on the emulated targets and then checks, suite by suite,
// that the kernels they called reached what the wide-lane code must get
// right: partial vectors of every length 1..W-1 (row ends and remainders),
// masks mixed within a vector (cut-offs inside a vector), and the gathers and
// table lookups.  Prints the counts.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "lanes_emulated.h"

namespace {

using kernels::simd::emulated::coverage;
using kernels::simd::emulated::LaneCoverage;

template <int W>
LaneCoverage taken() {
    const LaneCoverage now = coverage<W>;
    coverage<W> = LaneCoverage{};
    return now;
}

// Prints the counts; false (with the reason) when something was not reached.
template <int W>
bool check(const std::string &suite, const LaneCoverage &c, bool expect_gathers) {
    std::printf("%-34s W=%-2d partial vectors by length:", suite.c_str(), W);
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

// Checks each suite's counts when it ends (the suites run one after another).
class CoverageListener : public testing::EmptyTestEventListener {
    void OnTestSuiteStart(const testing::TestSuite &) override {
        taken<4>();
        taken<16>();
    }
    void OnTestSuiteEnd(const testing::TestSuite &suite) override {
        const std::string name = suite.name();
        if (name.rfind("Paths/", 0) != 0) return;  // suites of the exported functions' choice
        if (suite.failed_test_count() != 0 || suite.test_to_run_count() < suite.total_test_count()) return;
        // The rotation moves map values only; the others evaluate expf or sincosf.
        const bool gathers = name.find("Rotation") == std::string::npos;
        const LaneCoverage narrow = taken<4>(), wide = taken<16>();
        const bool narrow_ok = check<4>(name, narrow, gathers);
        const bool wide_ok = check<16>(name, wide, gathers);
        if (!narrow_ok || !wide_ok) failed_ = true;
    }

  public:
    bool failed_ = false;
};

}  // namespace

int main(int argc, char **argv) {
    testing::InitGoogleTest(&argc, argv);
    auto *listener = new CoverageListener;
    testing::UnitTest::GetInstance()->listeners().Append(listener);
    const int status = RUN_ALL_TESTS();
    return status != 0 || listener->failed_ ? 1 : 0;
}
