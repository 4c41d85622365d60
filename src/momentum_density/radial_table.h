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

// u = k / radial_step, truncated to the lower sample and capped at LAST_INTERVAL;
// past the last sample (by rounding at the far corner, or u = +inf) the value is
// extrapolated from the last interval.  A NaN or negative u, as on a grid whose
// every voxel is at k = 0 (u = 0 / 0), reads sample 0, the value at k = 0.  The
// index therefore never leaves 0..LAST_INTERVAL, whatever the input.
inline TablePosition table_position(float k, float radial_step) {
    const float u = k / radial_step;
    if (!(u >= 0.0f)) return {0, 0.0f};
    if (u >= static_cast<float>(LAST_INTERVAL)) return {LAST_INTERVAL, u - static_cast<float>(LAST_INTERVAL)};
    const int32_t index = static_cast<int32_t>(u);
    return {index, u - static_cast<float>(index)};
}

// Linear interpolation in one table row, float32 in this order.
inline float interpolate_radial(const float *samples, TablePosition at) {
    return (samples[at.index + 1] - samples[at.index]) * at.frac + samples[at.index];
}

}  // namespace kernels
