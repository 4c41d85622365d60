// Mirror images: bit copies, involutions, and together a half turn without the
// edge rule of rotation.
#include <gtest/gtest.h>

#include "libkernels.h"
#include "maps/map_samples.h"

using namespace maps_test;
using kernels_test::from_bits;

namespace {

Map flipped(float *(*flip)(int32_t, const float *), const Map &map, int32_t n) {
    Returned image(flip(n, map.data()));
    return to_map(image.get(), n);
}

}  // namespace

TEST(Mirrors, CopySignedZerosInfinitiesAndNaNPayloads) {
    const float inf = std::numeric_limits<float>::infinity();
    const float nan_a = from_bits(0x7fc00abcu), nan_b = from_bits(0xff800001u);  // quiet, signalling
    const Map map = {-0.0f, 1.0f, inf, 0.0f, nan_a, -inf, nan_b, -2.0f, -0.0f};
    EXPECT_TRUE(same_bits(flipped(flip_over_x, map, 3),
                          Map{nan_b, -2.0f, -0.0f, 0.0f, nan_a, -inf, -0.0f, 1.0f, inf}));
    EXPECT_TRUE(same_bits(flipped(flip_over_y, map, 3),
                          Map{inf, 1.0f, -0.0f, -inf, nan_a, 0.0f, -0.0f, -2.0f, nan_b}));
    EXPECT_TRUE(same_bits(flipped(flip_over_x, {-0.0f}, 1), Map{-0.0f}));
    EXPECT_TRUE(same_bits(flipped(flip_over_y, {nan_b}, 1), Map{nan_b}));
}

TEST(Mirrors, AreInvolutionsAndComposeToAnUnclippedHalfTurn) {
    std::mt19937 rng(5);
    for (int32_t n = 1; n <= 9; ++n) {
        const Map map = random_special_map(rng, n);
        EXPECT_TRUE(same_bits(flipped(flip_over_x, flipped(flip_over_x, map, n), n), map)) << n;
        EXPECT_TRUE(same_bits(flipped(flip_over_y, flipped(flip_over_y, map, n), n), map)) << n;
        const Map xy = flipped(flip_over_y, flipped(flip_over_x, map, n), n);
        EXPECT_TRUE(same_bits(xy, flipped(flip_over_x, flipped(flip_over_y, map, n), n))) << n;
        EXPECT_TRUE(same_bits(xy, Map(map.rbegin(), map.rend()))) << n;  // no edge is cleared
    }
}
