// Range of grid indices along one axis that a sphere around an atom can reach.
//
// With centre c, cut-off radius R, first coordinate g, spacing h and n points,
//   lo = trunc(((c - R) - g) / h), raised to 0 when <= 0,
//   hi = trunc(((c + R) - g) / h) + 1, lowered to n - 1,
// in float32, truncation toward zero.  The upper end sits one index past the
// truncated quotient, so the sphere is covered whatever the rounding.
//
// Quotients that are NaN or beyond the int32 range (a zero spacing, an infinite
// radius from a zero exponent, a radius of more than 2^31 steps) are clamped
// like any other bound: a NaN or too-small lower end becomes 0, a NaN or
// too-large upper end n - 1, a too-large lower end or too-small upper end leaves
// the range empty.  The distance tests then decide point by point, so the field
// stays the one the orbital formula gives.  A negative spacing runs the grid
// backwards; the two edges of the sphere swap roles so that the range still
// covers it.
#pragma once

#include <cstdint>

namespace kernels {

struct IndexRange {
    int32_t lo;
    int32_t hi;  // inclusive; lo > hi means empty

    bool empty() const { return lo > hi; }
};

IndexRange axis_index_range(float centre, float radius, float first, float step, int32_t n);

}  // namespace kernels
