// Sample maps for the map post-processing tests.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <limits>
#include <memory>
#include <random>
#include <vector>

#include "support/kernel_calls.h"

namespace maps_test {

using Map = std::vector<float>;

// Owns a map returned by the library and releases it with free.
struct FreeDeleter {
    void operator()(float *block) const { std::free(block); }
};
using Returned = std::unique_ptr<float, FreeDeleter>;

inline Map to_map(const float *block, int32_t n) {
    return block ? Map(block, block + static_cast<std::size_t>(n) * n) : Map();
}

// Finite values of both signs, never -0, so that arithmetic and copies agree;
// with `special`, salted with -0, infinities and NaNs of assorted payloads.
inline Map random_map(std::mt19937 &rng, int32_t n, bool special = false) {
    const float inf = std::numeric_limits<float>::infinity();
    const float specials[] = {-0.0f, inf, -inf, kernels_test::from_bits(0x7fc01234u),
                              kernels_test::from_bits(0xffa00001u)};
    std::uniform_real_distribution<float> value(-4.0f, 4.0f);
    std::uniform_int_distribution<int> pick(0, 9);
    Map map(static_cast<std::size_t>(n) * n);
    for (float &x : map) {
        x = value(rng) + 0.0f;  // turns -0 into +0
        if (special && pick(rng) < 5) x = specials[pick(rng) % 5];
    }
    return map;
}
inline Map random_finite_map(std::mt19937 &rng, int32_t n) { return random_map(rng, n); }
inline Map random_special_map(std::mt19937 &rng, int32_t n) { return random_map(rng, n, true); }

inline bool same_bits(const Map &a, const Map &b) { return kernels_test::first_difference(a, b) == -1; }

}  // namespace maps_test
