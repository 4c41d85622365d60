// The internal entries of momentum_map and polarisation_factor, which
// momentum_map_sum calls on the path of its own call.
#pragma once

#include <cstdint>

#include "basis/basis_model.h"
#include "dispatch/dispatch.h"

namespace kernels {

// What the exported momentum_map does for the orbital row mo_coeff (see
// momentum_map.cpp), its pixels swept on the path of `run`.
void momentum_map_on(const simd::Dispatch &run, int32_t n, const BasisArrays &basis, float e_kin,
                     float k_min, float k_step, float orient_alpha, float orient_beta, float orient_gamma,
                     const float *mo_coeff, float *out_map);

// What the exported polarisation_factor does (polarisation_factor.cpp), on
// the path of `run`.
void polarisation_factor_on(const simd::Dispatch &run, int32_t n, int32_t polarisation_mode,
                            int32_t circular_mode, float *map, float e_kin, float k_min, float k_step,
                            float incidence_angle, float azimuth_angle, float s_share_percent,
                            float kz_imaginary);

}  // namespace kernels
