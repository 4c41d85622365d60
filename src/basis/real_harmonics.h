// Real spherical harmonics of degree 0..4 in the library's component order.
//
// Entry l*l + c holds component c of degree l, with c = 0 for m = 0, then
// cosine-type (+m) before sine-type (-m) for m = 1..l.  Each entry is a double
// constant times coordinate factors times a polynomial bracket in the squares;
// the squares and brackets are float32, the product is formed in double left to
// right (constant, coordinates, brackets) and rounded once.
#pragma once

#include <cstdint>

#include "basis/harmonics_lanes.h"

namespace kernels {

// First entry of each degree l: l*l.
constexpr int32_t SHELL_START[5] = {0, 1, 4, 9, 16};
constexpr int HARMONIC_COUNT = 25;

// float32 nearest to 1/(2 sqrt(pi)), the s function.
using harmonic_constants::Y00;

// Unit-vector form: (x, y, z) a unit vector.  Writes entry 0 and the entries of
// degrees 1..min(l_max, 4); other entries are left as they were.
void real_harmonics(float x, float y, float z, int32_t l_max, float *ylm);

// Homogeneous (solid) form on an offset vector (x, y, z) with its squared length
// r2 = (z*z + y*y) + x*x: each bracket carries the powers of r2 that make the
// entry homogeneous of degree l, e.g. 3z^2 - r^2.  With r2 = 1 it equals the
// unit-vector form bit for bit.
void solid_harmonics(float x, float y, float z, float r2, int32_t l_max, float *ylm);

}  // namespace kernels
