// The interpolating rotation over SIMD lanes: the one definition of the
// per-pixel sampling, instantiated for every instruction-set target (the scalar
// path is its one-lane instance).  T::lanes neighbouring pixels of a result row
// are computed together, each lane with exactly the float32 operations of one
// pixel; the four neighbours are gathered.  Lanes whose source point is not
// accepted (outside [0, n - 1), NaN, past the row's end) gather at index 0,
// which every map with an accepted point has, and store 0.
#pragma once

#include <cstddef>
#include <cstdint>

#include "simd/lanes.h"

namespace kernels {

// One call's source, angle and result (n > 0).
struct RotationSweep {
    int32_t n;
    const float *map;
    float sin_a;
    float cos_a;
    float *turned;
};

// Bilinear value between the four neighbours, fr the fraction along the rows
// and fc along the columns, in the one fixed grouping.
template <class F32>
F32 interpolate_lanes(F32 m00, F32 m10, F32 m01, F32 m11, F32 fr, F32 fc) {
    const F32 one = F32::splat(1.0f);
    return (fr * m11) * fc + (((one - fr) * m01) * fc + ((one - fc) * (m00 * (one - fr)) + (m10 * fr) * (one - fc)));
}

// Largest side the lanes handle: source coordinates below 2^23 are floored
// and turned into integers exactly in float32 (a map of side 2^23 would be
// 2^48 bytes).
constexpr int32_t ROTATION_MAX_SIDE = 1 << 23;

template <class T>
void rotate_by_interpolation_lanes(const RotationSweep &sweep) {
    static_assert(T::lanes <= 16, "LANE_OFFSETS covers 16 lanes");
    using F32 = typename T::F32;
    using U64 = typename T::U64;
    using Mask = typename T::Mask;
    const int32_t n = sweep.n;
    const int64_t side = n;
    const float last = static_cast<float>(n - 1);
    const float centre = 0.5f * last;
    const F32 zero = F32::splat(0.0f);
    const F32 one = F32::splat(1.0f);
    const F32 last_v = F32::splat(last);
    const F32 centre_v = F32::splat(centre);
    const F32 sin_a = F32::splat(sweep.sin_a);
    const F32 cos_a = F32::splat(sweep.cos_a);
    const F32 lane_offset = F32::load(simd::LANE_OFFSETS);
    // Truncated coordinates above side - 2 would reach past the last row or
    // column (the test is kept from the general form; below 2^23 it never holds).
    const F32 highest = F32::splat(static_cast<float>(side - 2));
    // For 0 <= x < 2^23, (x + 2^23) - 2^23 is x rounded to an integer in the
    // current mode (one below its floor at most after the correction), and
    // the low 23 bits of the float x + 2^23, x an integer, are x.
    const F32 two23 = F32::splat(0x1p23f);
    const U64 low23 = U64::splat((uint64_t{1} << 23) - 1);
    const U64 side_u = U64::splat(static_cast<uint64_t>(side));

    // The floor of x, an integer below 2^23, as a float and as an integer.
    const auto floor_below_2p23 = [&](F32 x, U64 *integer) {
        if constexpr (T::lanes == 1) {
            // One lane: the integer conversion itself (truncation, the floor of
            // x >= 0), cheaper there than the float sequence.
            float value;
            store(x, &value);
            const int32_t truncated = static_cast<int32_t>(value);
            *integer = U64::splat(static_cast<uint64_t>(truncated));
            return F32::splat(static_cast<float>(truncated));
        }
        const F32 rounded = (x + two23) - two23;
        const F32 down = rounded - select(rounded > x, one, zero);  // no branch on one lane
        *integer = bits_u64(down + two23) & low23;
        return down;
    };

    for (int32_t i = 0; i < n; ++i) {
        const float di = static_cast<float>(i) - centre;
        const F32 p = F32::splat(di * sweep.cos_a);
        const F32 q = F32::splat((-di) * sweep.sin_a);
        float *row = sweep.turned + i * side;
        for (int32_t j = 0; j < n; j += T::lanes) {
            const int32_t rest = n - j;
            const F32 dj = (F32::splat(static_cast<float>(j)) + lane_offset) - centre_v;
            const F32 h = (sin_a * dj + p) + centre_v;  // source row
            const F32 g = (dj * cos_a + q) + centre_v;  // source column
            // NaN fails every test.
            Mask accepted = (h >= zero) & (h < last_v) & (g >= zero) & (g < last_v);
            if (rest < T::lanes) accepted = accepted & Mask::first(rest);

            F32 value = zero;
            if (any(accepted)) {
                // Truncation of the accepted h, g >= 0 is their floor.
                U64 r_index, s_index;
                const F32 r = floor_below_2p23(select(accepted, h, zero), &r_index);
                const F32 s = floor_below_2p23(select(accepted, g, zero), &s_index);
                accepted = accepted & ~(r > highest) & ~(s > highest);
                const F32 fr = h - r;
                const F32 fc = g - s;
                const U64 upper = select(accepted, mul_u32(r_index, side_u) + s_index, U64::splat(0));
                F32 m00, m01, m10, m11;
                gather_pairs(sweep.map, upper, &m00, &m01);
                gather_pairs(sweep.map, upper + side_u, &m10, &m11);
                value = select(accepted, interpolate_lanes(m00, m10, m01, m11, fr, fc), zero);
            }
            if (rest < T::lanes)
                store_first(value, row + j, rest);
            else
                store(value, row + j);
        }
    }
}

}  // namespace kernels
