// The rotation on a chosen instruction-set path, for tests and benchmarks that
// compare or time the paths in one run.  The exported function chooses the
// widest path per call; every path returns the same bits.
#pragma once

#include <cstdint>

#include "simd/lanes.h"

namespace kernels {

// As rotation (a new malloc'ed map, or null), its interpolation on the given
// path; a path this CPU lacks runs the scalar path instead.
float *rotation_on_path(simd::SimdPath path, int32_t n, const float *map, float angle);

// rotate_by_interpolation on the given path (or the scalar one if the CPU
// lacks it).
void rotate_by_interpolation_on_path(simd::SimdPath path, int32_t n, const float *map, float sin_a,
                                     float cos_a, float *turned);

}  // namespace kernels
