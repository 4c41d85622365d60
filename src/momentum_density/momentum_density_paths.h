// momentum_density and momentum_density_sum on a chosen instruction-set path,
// so that tests and benchmarks can compare or time every path in one run.  The
// exported functions run the widest path the CPU has; these take the path as
// their first parameter, then the exported function's parameters in the same
// order.  A path this CPU lacks runs the scalar path instead.
#pragma once

#include <cstdint>

#include "simd/lanes.h"

namespace kernels {

void momentum_density_on_path(simd::SimdPath path, int32_t nx, int32_t ny, int32_t nz,
                              int32_t n_atoms, const int32_t *shells_per_atom,
                              const float *atom_x, float kx_min, float ky_min, float kz_min,
                              float k_step, const float *atom_y, const float *atom_z,
                              const int32_t *shell_l, const int32_t *shell_n_prim,
                              const float *prim_exponent, const float *prim_coeff,
                              const float *mo_coeff, float *out_density);

void momentum_density_sum_on_path(simd::SimdPath path, int32_t nx, int32_t ny, int32_t nz,
                                  int32_t n_orbitals, const float *orbital_weight,
                                  const float *mo_coeff, float kx_min, float ky_min,
                                  float kz_min, float k_step, int32_t n_atoms,
                                  const int32_t *shells_per_atom, const float *atom_x,
                                  const float *atom_y, const float *atom_z,
                                  const int32_t *shell_l, const int32_t *shell_n_prim,
                                  const float *prim_exponent, const float *prim_coeff,
                                  float *out_density);

}  // namespace kernels
