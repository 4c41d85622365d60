// Symmetrisation: the group averages, their order of sums, the edge rule and
// the map left unchanged whenever scratch memory fails.
#include <gtest/gtest.h>

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

void add(Map &sum, const Map &term) {
    for (std::size_t e = 0; e < sum.size(); ++e) sum[e] = term[e] + sum[e];
}

Map through(float *(*make)(int32_t, const float *), const Map &map, int32_t n) {
    Returned image(make(n, map.data()));
    return to_map(image.get(), n);
}

// The average assembled from the exported rotation and flips.
Map composed_average(const Map &map, int32_t n, int32_t mode) {
    std::vector<float> angles = {120.0f, 240.0f};
    if (mode == 0) angles = {90.0f, 180.0f, 270.0f};
    if (mode == 1) angles = {180.0f};
    Map sum = map;
    for (float angle : angles) {
        Returned turned(rotation(n, map.data(), angle));
        add(sum, to_map(turned.get(), n));
    }
    add(sum, through(flip_over_y, sum, n));
    float divisor = 2.0f * angles.size() + 2.0f;
    if (mode == 0) {
        add(sum, through(flip_over_x, sum, n));
        divisor = 16.0f;
    }
    for (float &x : sum) x = x / divisor;
    return sum;
}

}  // namespace

TEST(Symmetrisation, OnesInTheTwofoldAndFourfoldGroups) {
    const Map ones(9, 1.0f);
    EXPECT_EQ(symmetrised(ones, 3, 1), (Map{0.5f, 0.5f, 0.5f, 0.75f, 1, 0.75f, 0.75f, 1, 0.75f}));
    const float q = 1.0f / 16;
    EXPECT_EQ(symmetrised(ones, 3, 0), (Map{7 * q, 10 * q, 7 * q, 10 * q, 1, 10 * q, 7 * q, 10 * q, 7 * q}));
}

TEST(Symmetrisation, IsTheStatedSumOfRotationsAndMirrors) {
    std::mt19937 rng(6);
    for (int32_t n : {1, 2, 5, 8})
        for (int32_t mode : {0, 1, 2, -2, 7}) {
            const Map map = random_finite_map(rng, n);
            EXPECT_TRUE(same_bits(symmetrised(map, n, mode), composed_average(map, n, mode)))
                << "n " << n << " mode " << mode;
        }
    // Every mode other than -1, 0 and 1 is the threefold group.
    const Map map = random_finite_map(rng, 7);
    EXPECT_TRUE(same_bits(symmetrised(map, 7, 2), symmetrised(map, 7, -2)));
    EXPECT_TRUE(same_bits(symmetrised(map, 7, 2), symmetrised(map, 7, INT32_MAX)));
}

TEST(Symmetrisation, NoOpModeAndEmptyMapsTouchNothing) {
    std::mt19937 rng(7);
    const Map map = random_special_map(rng, 5);
    int allocations = -1;
    Map result;
    allocations = kernels_test::count_allocations([&] { result = symmetrised(map, 5, -1); });
    EXPECT_TRUE(same_bits(result, map));
    EXPECT_EQ(allocations, 0);
    // A negative side is no map: nothing allocated, nothing read or written.
    allocations = kernels_test::count_allocations([&] { result = symmetrised(map, -3, 0); });
    EXPECT_TRUE(same_bits(result, map));
    EXPECT_EQ(allocations, 0);
    symmetrisation(-3, 1, nullptr);
    symmetrisation(0, 0, nullptr);
}

// A map symmetric under the group keeps that symmetry in the interior (rows and
// columns 1..n-2), where every term of the sum is a copy of the map.
TEST(Symmetrisation, GroupSymmetricMapStaysSymmetricInTheInterior) {
    std::mt19937 rng(8);
    for (int32_t n : {6, 7}) {
        const Map seed = random_finite_map(rng, n);
        Map fourfold(seed.size()), twofold(seed.size());
        auto at = [n](const Map &m, int32_t i, int32_t j) { return m[i * n + j]; };
        for (int32_t i = 0; i < n; ++i)
            for (int32_t j = 0; j < n; ++j) {
                const int32_t a = std::min(std::min(i, n - 1 - i), std::min(j, n - 1 - j));
                const int32_t b = std::max(std::min(i, n - 1 - i), std::min(j, n - 1 - j));
                fourfold[i * n + j] = at(seed, a, b);  // invariant under the 8 operations
                const int32_t r = i < n - 1 - i ? i : n - 1 - i;
                twofold[i * n + j] = at(seed, r, std::min(j, n - 1 - j));
            }
        for (const auto &[mode, map] : {std::pair<int32_t, const Map &>{0, fourfold}, {1, twofold}}) {
            const Map result = symmetrised(map, n, mode);
            for (int32_t i = 1; i < n - 1; ++i)
                for (int32_t j = 1; j < n - 1; ++j) {
                    const float x = at(result, i, j);
                    EXPECT_EQ(bits(x), bits(at(result, n - 1 - i, n - 1 - j))) << mode << ":" << i << "," << j;
                    EXPECT_EQ(bits(x), bits(at(result, i, n - 1 - j))) << mode << ":" << i << "," << j;
                    if (mode == 0) {
                        EXPECT_EQ(bits(x), bits(at(result, j, i))) << i << "," << j;
                    }
                }
        }
    }
}

TEST(Symmetrisation, FailedScratchMapLeavesTheMapUnchanged) {
    std::mt19937 rng(9);
    const int32_t n = 6;
    const Map map = random_special_map(rng, n);
    const struct {
        int32_t mode;
        int allocations;  // accumulator, one per rotation, one per mirror
    } modes[] = {{0, 6}, {1, 3}, {2, 4}};
    for (const auto &m : modes) {
        Map result = map;
        EXPECT_EQ(kernels_test::count_allocations([&] { symmetrisation(n, m.mode, result.data()); }),
                  m.allocations);
        for (int index = 0; index < m.allocations; ++index) {
            result = map;
            kernels_test::with_failing_allocation(index, [&] { symmetrisation(n, m.mode, result.data()); });
            EXPECT_TRUE(same_bits(result, map)) << "mode " << m.mode << " allocation " << index;
        }
    }
}
