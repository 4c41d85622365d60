// Rotation: exact quarter turns, the interpolating path and its edge rule, and
// the allocation of every returned map.
#include <gtest/gtest.h>
#include <math.h>

#include <cerrno>

#include "libkernels.h"
#include "maps/map_samples.h"
#include "maps/map_storage.h"
#include "maps/rotation.h"
#include "support/allocation_failure.h"

using namespace maps_test;
using kernels_test::bits;

namespace {

Map rotated(const Map &map, int32_t n, float angle) {
    Returned turned(rotation(n, map.data(), angle));
    return to_map(turned.get(), n);
}

}  // namespace

TEST(Rotation, SmallMapsWithValues) {
    // The edge rule clears what has no source pixel: the last row and column at
    // 0 degrees, the first ones at 180, a single pixel at every angle; NaN
    // angles give zeros.
    const Map nine = {1, 2, 3, 4, 5, 6, 7, 8, 9};
    EXPECT_EQ(rotated({1, 2, 3, 4}, 2, 90.0f), (Map{0, 0, 1, 0}));
    EXPECT_EQ(rotated(nine, 3, 0.0f), (Map{1, 2, 0, 4, 5, 0, 0, 0, 0}));
    EXPECT_EQ(rotated(nine, 3, 180.0f), (Map{0, 0, 0, 0, 5, 4, 0, 2, 1}));
    EXPECT_EQ(rotated(nine, 3, 270.0f), (Map{0, 4, 1, 0, 5, 2, 0, 0, 0}));
    EXPECT_EQ(rotated(nine, 3, std::nanf("")), Map(9, 0.0f));
    for (float angle : {0.0f, 45.0f, 90.0f, 180.0f, 270.0f, 360.0f})
        EXPECT_EQ(bits(rotated({5.0f}, 1, angle)[0]), 0u) << angle;
}

TEST(Rotation, FourQuarterTurnsKeepTheInteriorBitForBit) {
    std::mt19937 rng(2);
    for (int32_t n : {4, 5}) {
        const Map map = random_special_map(rng, n);
        Map result = map;
        for (int turn = 0; turn < 4; ++turn) result = rotated(result, n, 90.0f);
        for (int32_t i = 0; i < n; ++i)
            for (int32_t j = 0; j < n; ++j) {
                const bool edge = i == 0 || j == 0 || i == n - 1 || j == n - 1;
                EXPECT_EQ(bits(result[i * n + j]), edge ? 0u : bits(map[i * n + j]))
                    << n << ": " << i << "," << j;
            }
    }
}

// Only the exact angles copy bits: equivalent turns such as -270 and 450, and
// 90 plus one float32 step, interpolate, so a -0 centre comes out as +0.
TEST(Rotation, OnlyExactAnglesTakeTheCopyingPath) {
    Map map(9, 1.0f);
    map[4] = -0.0f;
    EXPECT_EQ(bits(rotated(map, 3, 90.0f)[4]), bits(-0.0f));
    for (float angle : {-270.0f, 450.0f, nextafterf(90.0f, 100.0f)}) {
        const Map result = rotated(map, 3, angle);
        EXPECT_EQ(bits(result[4]), 0u) << angle;
        EXPECT_NEAR(result[3], 1.0f, 1e-5f) << angle;  // still a quarter turn
    }
}

// A ramp along the rows, turned by 30 degrees: each pixel inside the valid range
// holds its source row coordinate H = c + cos a (i - c) + sin a (j - c).
TEST(Rotation, InterpolationFollowsTheStatedDirection) {
    const int32_t n = 9;
    Map ramp(n * n);
    for (int32_t e = 0; e < n * n; ++e) ramp[e] = static_cast<float>(e / n);
    const Map result = rotated(ramp, n, 30.0f);
    const double a = 30.0 * M_PI / 180.0, c = 4.0;
    for (int32_t i = 0; i < n; ++i)
        for (int32_t j = 0; j < n; ++j) {
            const double h = c + std::cos(a) * (i - c) + std::sin(a) * (j - c);
            const double g = c - std::sin(a) * (i - c) + std::cos(a) * (j - c);
            if (h >= 0 && h < n - 1 && g >= 0 && g < n - 1) {
                EXPECT_NEAR(result[i * n + j], h, 1e-5) << i << "," << j;
            } else if (h < -1e-5 || h > n - 1 + 1e-5 || g < -1e-5 || g > n - 1 + 1e-5) {
                EXPECT_EQ(result[i * n + j], 0.0f) << i << "," << j;
            }
        }
}

// The copying paths are the interpolation with the exact sines and cosines, for
// finite maps without -0 (where a copy and x*1 + 0 agree).
TEST(Rotation, ExactPathsEqualInterpolationWithExactSines) {
    std::mt19937 rng(4);
    const struct {
        int quarter_turns;
        float sin_a, cos_a;
    } turns[] = {{1, 1, 0}, {2, 0, -1}, {3, -1, 0}};
    for (int32_t n = 1; n <= 12; ++n) {
        const Map map = random_finite_map(rng, n);
        for (const auto &turn : turns) {
            Map exact(map.size(), 7.0f), interpolated(map.size(), 7.0f);
            kernels::rotate_by_quarter_turns(n, map.data(), turn.quarter_turns, exact.data());
            kernels::rotate_by_interpolation(kernels::simd::current_dispatch(), n, map.data(), turn.sin_a,
                                             turn.cos_a, interpolated.data());
            EXPECT_TRUE(same_bits(exact, interpolated)) << "n " << n << " turns " << turn.quarter_turns;
        }
    }
}

TEST(ReturnedMaps, OneAllocationEachAndNullWhenItFails) {
    const Map map(16, 1.0f);
    for (auto make : {+[](const float *m) { return rotation(4, m, 45.0f); },
                      +[](const float *m) { return rotation(4, m, 90.0f); },
                      +[](const float *m) { return flip_over_x(4, m); },
                      +[](const float *m) { return flip_over_y(4, m); }}) {
        EXPECT_EQ(kernels_test::count_allocations([&] { std::free(make(map.data())); }), 1);
        EXPECT_EQ(kernels_test::with_failing_allocation(0, [&] { EXPECT_EQ(make(map.data()), nullptr); }), ENOMEM);
    }
}

// Sizes are 64-bit: 46341^2 does not wrap, and INT32_MIN, whose n*n*4 bytes do
// not fit in 64 bits, is refused without asking the allocator.  A negative side
// reads no element (the map may be null) and writes none.
TEST(ReturnedMaps, HugeAndNegativeSides) {
    std::size_t bytes = 0;
    ASSERT_TRUE(kernels::map_byte_count(46341, &bytes));
    EXPECT_EQ(bytes, std::size_t{46341} * 46341 * 4);
    EXPECT_FALSE(kernels::map_byte_count(INT32_MIN, &bytes));
    errno = 0;
    EXPECT_EQ(kernels_test::count_allocations([] {
                  EXPECT_EQ(rotation(INT32_MIN, nullptr, 45.0f), nullptr);
                  EXPECT_EQ(flip_over_x(INT32_MIN, nullptr), nullptr);
                  EXPECT_EQ(flip_over_y(INT32_MIN, nullptr), nullptr);
              }),
              0);
    EXPECT_EQ(errno, ENOMEM);
    for (float angle : {45.0f, 90.0f, 180.0f, 270.0f}) std::free(rotation(-3, nullptr, angle));
    std::free(flip_over_x(-3, nullptr));
    std::free(flip_over_y(-3, nullptr));
}
