// The symmetrisation's internal entry, which momentum_map_sum calls on the
// path of its own call.
#pragma once

#include <cstdint>

#include "dispatch/dispatch.h"

namespace kernels {

// What the exported symmetrisation does (symmetrisation.cpp), its rotations
// interpolated on the path of `run`.
void symmetrisation_on(const simd::Dispatch &run, int32_t n, int32_t symmetry_mode, float *map);

}  // namespace kernels
