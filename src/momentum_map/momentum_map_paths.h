// momentum_map on a chosen instruction-set path, for tests and benchmarks that
// compare or time the paths in one run.  The exported function chooses the
// widest path per call; every path returns the same bits.
#pragma once

#include <cstdint>

#include "simd/lanes.h"
#include "simd/simd_choice.h"

namespace kernels {

// As momentum_map, on the given path with the vector sincosf where the
// platform's libm is the variant it reproduces.  A path this CPU lacks runs
// the scalar path instead.
void momentum_map_on_path(simd::SimdPath path, int32_t n, int32_t n_atoms,
                          const int32_t *shells_per_atom, const float *atom_x, const float *atom_y,
                          const float *atom_z, float e_kin, float k_min, float k_step,
                          float orient_alpha, float orient_beta, float orient_gamma,
                          const int32_t *shell_l, const int32_t *shell_n_prim,
                          const float *prim_exponent, const float *prim_coeff,
                          const float *mo_coeff, float *out_map);

// As momentum_map with the path and libm use given (choice.path must be one
// this CPU runs).
void momentum_map_with(simd::SimdChoice choice, int32_t n, int32_t n_atoms,
                       const int32_t *shells_per_atom, const float *atom_x, const float *atom_y,
                       const float *atom_z, float e_kin, float k_min, float k_step,
                       float orient_alpha, float orient_beta, float orient_gamma,
                       const int32_t *shell_l, const int32_t *shell_n_prim,
                       const float *prim_exponent, const float *prim_coeff, const float *mo_coeff,
                       float *out_map);

}  // namespace kernels
