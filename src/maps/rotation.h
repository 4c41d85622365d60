// Rotation of an n x n map about its centre, the two ways it is computed.
//
// Result pixel (i, j) samples the source at row H and column G with
//   H - c =  cos a (i - c) + sin a (j - c)
//   G - c = -sin a (i - c) + cos a (j - c),   c = (n - 1) / 2,
// so the content turns by +a from the row axis towards the column axis.  A
// source coordinate is accepted only in [0, n - 1): pixels fed by the last source
// row or column, or by points outside the map, are 0.
#pragma once

#include <cstdint>

#include "dispatch/dispatch.h"

namespace kernels {

// Bilinear interpolation with the given sine and cosine of the angle, on the
// path of `run` (every path gives the same bits); writes all n*n pixels of
// `turned`.  Nothing is done for n <= 0 (nor above 2^23, a map of more than
// 2^48 bytes).
void rotate_by_interpolation(const simd::Dispatch &run, int32_t n, const float *map, float sin_a,
                             float cos_a, float *turned);

// Exact turn by quarter_turns * 90 degrees (1, 2 or 3): each pixel is a bit copy
// of its source or 0, the same pixels being 0 as in the interpolation with the
// exact sine and cosine.  Nothing is done for n <= 0.
void rotate_by_quarter_turns(int32_t n, const float *map, int quarter_turns, float *turned);

// A new malloc'ed map holding the map turned by angle degrees, or null when the
// block cannot be had: exactly 90, 180 and 270 take the exact path, every other
// value (0, 360, -90, NaN, ...) the interpolating path with sin and cos of the
// angle in float32, interpolated on the path of `run`.  The exported rotation
// and the symmetrisation both call it.
float *rotated_copy(const simd::Dispatch &run, int32_t n, const float *map, float angle);

}  // namespace kernels
