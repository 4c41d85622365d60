// Radial factors of the shells tabulated over |k| for a 3D momentum grid.
//
// On a momentum grid |k| changes from voxel to voxel, so instead of evaluating
// R_l(|k|) (shell_radial_momentum) per voxel, each shell in use is sampled once
// per call at RADIAL_SAMPLES equally spaced values of |k|, sample q at
// q * radial_step for q = 0..1023, the last one at the largest |k| on the grid,
// and every voxel reads its value by linear interpolation between two samples.
#pragma once

#include <cstdint>

namespace kernels {

constexpr int32_t RADIAL_SAMPLES = 1024;
// Highest lower sample of an interpolation, so that its upper neighbour is the
// last sample of the row.
constexpr int32_t LAST_INTERVAL = RADIAL_SAMPLES - 2;

// Largest |k| on the grid k = index * k_step + minimum (per axis): the distance
// of the corner farthest from k = 0.  Per axis the extent is the larger of
// |first| and |last| (a NaN on one side gives the other).  Equal extents, as on
// a cube centred on k = 0, give the float32 sqrt(3) times the extent; otherwise
// sqrtf((ex^2 + ey^2) + ez^2).
float largest_grid_momentum(int32_t nx, int32_t ny, int32_t nz, float kx_min, float ky_min,
                            float kz_min, float k_step);

// Spacing of the samples: the largest |k| is sample RADIAL_SAMPLES - 1.
inline float radial_sample_step(float k_max) { return k_max / 1023.0f; }

// Samples R_l(q * radial_step), q = 0..RADIAL_SAMPLES-1, of a shell of degree l
// (0..4) into samples[0..RADIAL_SAMPLES-1], each bit for bit the value of
// shell_radial_momentum at that |k|; 2^l and the power -l - 1.5 are formed once.
void tabulate_shell_radial(int32_t l, const float *exponents, const float *coefficients,
                           int32_t n_prim, float radial_step, float *samples);

// Where |k| falls in a table row: lower sample and fraction of the way to the next.
struct TablePosition {
    int32_t index;
    float frac;
};

// The same on every lane of a SIMD target (simd/lanes.h).
template <class T>
struct TablePositionLanes {
    typename T::I32 index;
    typename T::F32 frac;
};

// u = k / radial_step, truncated to the lower sample and capped at LAST_INTERVAL;
// past the last sample (by rounding at the far corner, or u = +inf) the value is
// extrapolated from the last interval.  A NaN or negative u, as on a grid whose
// every voxel is at k = 0 (u = 0 / 0), reads sample 0, the value at k = 0.  The
// index therefore never leaves 0..LAST_INTERVAL, whatever the input; only lanes
// with 0 <= u < LAST_INTERVAL reach the conversion to int32.
template <class T>
TablePositionLanes<T> table_position_lanes(typename T::F32 k, typename T::F32 radial_step) {
    using F32 = typename T::F32;
    using I32 = typename T::I32;
    const F32 zero = F32::splat(0.0f);
    const F32 u = k / radial_step;
    const auto readable = u >= zero;
    const auto past_last = u >= F32::splat(static_cast<float>(LAST_INTERVAL));
    const I32 lower = to_i32_toward_zero(select(readable & ~past_last, u, zero));
    const I32 index = select(past_last, I32::splat(LAST_INTERVAL), lower);
    return {index, select(readable, u - to_f32(index), zero)};
}

// Linear interpolation in one table row on every lane, float32 in this order.
template <class T>
typename T::F32 interpolate_radial_lanes(const float *samples, const TablePositionLanes<T> &at) {
    const typename T::F32 lower = gather(samples, at.index);
    const typename T::F32 upper = gather(samples + 1, at.index);
    return (upper - lower) * at.frac + lower;
}

// table_position_lanes on one value (the one-lane instance).
TablePosition table_position(float k, float radial_step);

}  // namespace kernels
