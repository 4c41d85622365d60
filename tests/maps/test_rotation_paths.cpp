// The interpolating rotation on every instruction-set path this CPU runs,
// against the scalar path bit for bit: every side up to 40 and a few larger
// ones (all remainders of 8 and 16 lanes), random and special angles, maps
// salted with -0, infinities and NaN payloads, and sines and cosines that are
// not a rotation's.  Paths the CPU lacks are skipped.  Where two neighbours
// are NaNs of different payloads, which one passes on follows the operand order
// the compiler picks for a commutative operation, on every path alike; such
// pixels must be NaN on both paths, every other pixel bit for bit the same.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <string>

#include "map_samples.h"
#include "support/path_test.h"
#include "support/test_molecule.h"
#include "dev/forced_dispatch.h"
#include "support/test_targets.h"
#include "libkernels.h"
#include "maps/rotation.h"
#include "simd/lanes.h"

namespace {

using kernels::simd::SimdPath;
using kernels_test::TestTarget;
using kernels_test::test_target_name;
using kernels_test::vector_test_targets;
using maps_test::Map;
using maps_test::Returned;

class RotationPaths : public testing::TestWithParam<TestTarget> {
  protected:
    void SetUp() override {
        SKIP_UNLESS_TARGET_RUNS(GetParam());
    }
};

// Bit for bit, except that a NaN matches a NaN of any payload; on finite maps
// this is memcmp.
::testing::AssertionResult same_bits_up_to_nan_payloads(const float *got, const float *want, std::size_t count) {
    for (std::size_t e = 0; e < count; ++e) {
        if (std::isnan(got[e]) && std::isnan(want[e])) continue;
        if (kernels_test::bits(got[e]) != kernels_test::bits(want[e]))
            return ::testing::AssertionFailure() << "element " << e << ": " << got[e] << " vs " << want[e];
    }
    return ::testing::AssertionSuccess();
}

TEST_P(RotationPaths, RotationEqualsScalarPath) {
    std::mt19937 rng(17);
    std::uniform_real_distribution<float> angle(-720.0f, 720.0f);
    const float fixed[] = {0.0f, 45.0f, -90.0f, 360.0f, 1e-6f, 89.99f, 1e7f, std::nanf(""), INFINITY};
    for (int32_t n : {1, 2, 3, 5, 7, 8, 9, 15, 16, 17, 23, 31, 32, 33, 40, 100, 129}) {
        const Map map = n % 2 == 0 ? maps_test::random_special_map(rng, n) : maps_test::random_finite_map(rng, n);
        // On finite maps every pixel is compared with memcmp.
        for (int t = 0; t < 12; ++t) {
            const float a = t < 9 ? fixed[t] : angle(rng);
            const auto turn = [&] { return rotation(n, map.data(), a); };
            const Returned scalar(kernels::simd::run_on(SimdPath::scalar, turn));
            const Returned got(kernels::simd::run_on(GetParam().dispatch(), turn));
            ASSERT_TRUE(scalar && got);
            if (n % 2 != 0) {
                ASSERT_EQ(std::memcmp(got.get(), scalar.get(), map.size() * sizeof(float)), 0)
                    << "n = " << n << ", angle " << a;
            }
            ASSERT_TRUE(same_bits_up_to_nan_payloads(got.get(), scalar.get(), map.size()))
                << "n = " << n << ", angle " << a;
        }
    }
}

// Sines and cosines of any size (source points far outside, or NaN) and a
// result row written only to its end.
TEST_P(RotationPaths, InterpolationEqualsScalarPathForAnySineAndCosine) {
    std::mt19937 rng(23);
    const float pairs[][2] = {{0.6f, 0.8f}, {1.5f, -0.2f}, {-3.0f, 2.0f}, {0.0f, 0.0f},
                              {std::nanf(""), 1.0f}, {1e-30f, 1.0f}, {INFINITY, 0.5f}};
    for (int32_t n = 1; n <= 34; ++n) {
        const Map map = maps_test::random_special_map(rng, n);
        for (const auto &pair : pairs) {
            Map scalar(map.size() + 32, -99.0f), got(map.size() + 32, -99.0f);
            kernels::rotate_by_interpolation(kernels::simd::dispatch_for(SimdPath::scalar), n, map.data(), pair[0],
                                             pair[1], scalar.data());
            kernels::rotate_by_interpolation(GetParam().dispatch(), n, map.data(), pair[0], pair[1], got.data());
            ASSERT_TRUE(same_bits_up_to_nan_payloads(got.data(), scalar.data(), got.size()))
                << "n = " << n << ", sin " << pair[0] << ", cos " << pair[1];
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Paths, RotationPaths, testing::ValuesIn(vector_test_targets()),
                         test_target_name);

}  // namespace
