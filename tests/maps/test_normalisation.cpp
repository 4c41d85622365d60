// Normalisation: the maximum over positive elements scaled to 255 by one
// float32 factor.
#include <gtest/gtest.h>

#include "libkernels.h"
#include "maps/map_samples.h"
#include "support/allocation_failure.h"

using namespace maps_test;
using kernels_test::bits;

namespace {

Map normalised(Map map, int32_t n = 2) {
    normalisation(n, map.data());
    return map;
}

}  // namespace

TEST(Normalisation, ScalesByTheRoundedFactorIgnoringNaNs) {
    const float nan = kernels_test::from_bits(0x7fc00123u);
    EXPECT_TRUE(same_bits(normalised({1.0f, 3.0f, 0.5f, -0.0f}), Map{85.0f, 255.0f, 42.5f, -0.0f}));
    EXPECT_EQ(normalised({7.0f, 1.0f, 0.0f, 2.0f})[0], 254.99998474121094f);  // 255/7 rounds below
    EXPECT_EQ(normalised({2.0f, -1.0f, 0.0f, 1.0f}), (Map{255.0f, -127.5f, 0.0f, 127.5f}));
    EXPECT_TRUE(same_bits(normalised({nan, 5.0f, nan, 1.0f}), Map{nan, 255.0f, nan, 51.0f}));
    // Without a positive element the map is left alone, with no allocation.
    for (const Map &unchanged : {Map{-1.0f, -0.0f, 0.0f, -3.0f}, Map{nan, nan, nan, nan}, Map(4, 0.0f)}) {
        Map copy = unchanged;
        EXPECT_EQ(kernels_test::count_allocations([&] { normalisation(2, copy.data()); }), 0);
        EXPECT_TRUE(same_bits(copy, unchanged));
    }
}

// A negative side covers n*n elements like its absolute value (the element
// after them is neither read nor scaled); n = 0 and a side whose n*n floats
// cannot exist touch nothing.
TEST(Normalisation, OutOfModelSides) {
    const Map source{1.0f, 2.0f, 4.0f, 8.0f, 5.0f, 6.0f, 7.0f, 3.0f, 2.0f, 99.0f};
    Map expected = source;
    for (int e = 0; e < 9; ++e) expected[e] = source[e] * (255.0f / 8.0f);
    EXPECT_TRUE(same_bits(normalised(source, -3), expected));
    EXPECT_TRUE(same_bits(normalised(source, 0), source));
    EXPECT_TRUE(same_bits(normalised(source, INT32_MIN), source));
}

// A maximum so small that 255 / max overflows still lands on 255, zeros stay
// zero instead of becoming NaN, and the other elements keep their ratios.
TEST(Normalisation, TinyMaximumDoesNotOverflowTheFactor) {
    const float tiny = 1.1754944e-38f;  // 255 / tiny is beyond FLT_MAX
    const Map map = normalised({tiny, 0.0f, tiny / 2, -tiny});
    EXPECT_EQ(map[0], 255.0f);
    EXPECT_TRUE(same_bits(Map{map[1]}, Map{0.0f}));
    EXPECT_EQ(map[2], 127.5f);
    EXPECT_EQ(map[3], -255.0f);
    const Map subnormal = normalised({1e-44f, 0.0f, 0.0f, 0.0f});
    EXPECT_FLOAT_EQ(subnormal[0], 255.0f);  // up to the factor's rounding, as for 7
    EXPECT_EQ(subnormal[1], 0.0f);
}
