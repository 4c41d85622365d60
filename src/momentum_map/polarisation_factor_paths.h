// polarisation_factor on a chosen instruction-set path, for tests and
// benchmarks that compare or time the paths in one run.  The exported function
// chooses the widest path per call; every path returns the same bits.
#pragma once

#include <cstdint>

#include "simd/lanes.h"

namespace kernels {

// As polarisation_factor, on the given path; a path this CPU lacks runs the
// scalar path instead.
void polarisation_factor_on_path(simd::SimdPath path, int32_t n, int32_t polarisation_mode,
                                 int32_t circular_mode, float *map, float e_kin, float k_min,
                                 float k_step, float incidence_angle, float azimuth_angle,
                                 float s_share_percent, float kz_imaginary);

}  // namespace kernels
