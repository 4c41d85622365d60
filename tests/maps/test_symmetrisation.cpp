// Symmetrisation: the group averages, their order of sums, the edge rule and
// the map left unchanged whenever scratch memory fails.
#include <gtest/gtest.h>

#include <cerrno>

#include "libkernels.h"
#include "maps/map_samples.h"
#include "support/allocation_failure.h"

using namespace maps_test;
using kernels_test::bits;

namespace {

Map symmetrised(Map map, int32_t n, int32_t mode) {
    symmetrisation(n, mode, map.data());
    return map;
}

// sum[e] = term[e] + sum[e] with the term taken from a returned map.
void add(Map &sum, float *term, int32_t n) {
    Returned owned(term);
    const Map t = to_map(term, n);
    for (std::size_t e = 0; e < sum.size(); ++e) sum[e] = t[e] + sum[e];
}

// The average assembled from the exported rotation and flips.
Map composed_average(const Map &map, int32_t n, int32_t mode) {
    std::vector<float> angles = mode == 0   ? std::vector<float>{90, 180, 270}
                                : mode == 1 ? std::vector<float>{180}
                                            : std::vector<float>{120, 240};
    Map sum = map;
    for (float angle : angles) add(sum, rotation(n, map.data(), angle), n);
    add(sum, flip_over_y(n, sum.data()), n);
    if (mode == 0) add(sum, flip_over_x(n, sum.data()), n);
    const float divisor = mode == 0 ? 16.0f : 2.0f * angles.size() + 2.0f;
    for (float &x : sum) x = x / divisor;
    return sum;
}

}  // namespace

TEST(Symmetrisation, IsTheStatedSumOfRotationsAndMirrors) {
    const Map ones(9, 1.0f);
    const float q = 1.0f / 16;
    EXPECT_EQ(symmetrised(ones, 3, 1), (Map{0.5f, 0.5f, 0.5f, 0.75f, 1, 0.75f, 0.75f, 1, 0.75f}));
    EXPECT_EQ(symmetrised(ones, 3, 0), (Map{7 * q, 10 * q, 7 * q, 10 * q, 1, 10 * q, 7 * q, 10 * q, 7 * q}));
    // Every mode other than -1, 0 and 1 is the threefold group.
    std::mt19937 rng(6);
    for (int32_t n : {1, 2, 5, 8})
        for (int32_t mode : {0, 1, 2, -2, 7, INT32_MAX}) {
            const Map map = random_finite_map(rng, n);
            EXPECT_TRUE(same_bits(symmetrised(map, n, mode), composed_average(map, n, mode)))
                << "n " << n << " mode " << mode;
        }
}

// A map symmetric under the group keeps that symmetry in the interior (rows and
// columns 1..n-2), where every term of the sum is a copy of the map.
TEST(Symmetrisation, GroupSymmetricMapStaysSymmetricInTheInterior) {
    std::mt19937 rng(8);
    for (int32_t n : {6, 7}) {
        const Map seed = random_finite_map(rng, n);
        Map fourfold(seed.size()), twofold(seed.size());
        for (int32_t i = 0; i < n; ++i)
            for (int32_t j = 0; j < n; ++j) {
                const int32_t fi = std::min(i, n - 1 - i), fj = std::min(j, n - 1 - j);
                fourfold[i * n + j] = seed[std::min(fi, fj) * n + std::max(fi, fj)];  // invariant under all 8
                twofold[i * n + j] = seed[fi * n + fj];
            }
        for (int32_t mode : {0, 1}) {
            const Map r = symmetrised(mode == 0 ? fourfold : twofold, n, mode);
            for (int32_t i = 1; i < n - 1; ++i)
                for (int32_t j = 1; j < n - 1; ++j) {
                    const uint32_t x = bits(r[i * n + j]);
                    EXPECT_EQ(x, bits(r[(n - 1 - i) * n + n - 1 - j])) << mode << ":" << i << "," << j;
                    EXPECT_EQ(x, bits(r[i * n + n - 1 - j])) << mode << ":" << i << "," << j;
                    if (mode == 0) {
                        EXPECT_EQ(x, bits(r[j * n + i])) << i << "," << j;
                    }
                }
        }
    }
}

TEST(Symmetrisation, NoOpModeEmptyMapsAndFailedScratchLeaveTheMap) {
    // Mode -1 and a negative side touch nothing and allocate nothing; each
    // failed scratch map (accumulator, one per rotation, one per mirror) leaves
    // the map unchanged.
    std::mt19937 rng(9);
    const Map map = random_special_map(rng, 6);
    for (const auto &request : {std::pair{6, -1}, {-3, 0}}) {
        const int n = request.first, mode = request.second;  // lambdas may not capture bindings (C++17)
        Map result;
        EXPECT_EQ(kernels_test::count_allocations([&] { result = symmetrised(map, n, mode); }), 0);
        EXPECT_TRUE(same_bits(result, map));
    }
    symmetrisation(-3, 1, nullptr);
    symmetrisation(0, 0, nullptr);
    for (const auto &expected : {std::pair{0, 6}, {1, 3}, {2, 4}}) {
        const int mode = expected.first, allocations = expected.second;
        Map result = map;
        EXPECT_EQ(kernels_test::count_allocations([&] { symmetrisation(6, mode, result.data()); }),
                  allocations);
        for (int index = 0; index < allocations; ++index) {
            result = map;
            EXPECT_EQ(kernels_test::with_failing_allocation(index, [&] { symmetrisation(6, mode, result.data()); }),
                      ENOMEM);
            EXPECT_TRUE(same_bits(result, map)) << "mode " << mode << " allocation " << index;
        }
    }
}
