// charge_density_sum on a chosen instruction-set path, for tests and
// benchmarks that compare or time the paths in one run.  Not exported.
#pragma once

#include <cstdint>

#include "simd/lanes.h"

namespace kernels {

// charge_density_sum on `path`; a path this CPU does not run falls back to
// scalar.
void charge_density_sum_on_path(simd::SimdPath path, int32_t nx, int32_t ny, int32_t nz,
                                int32_t n_orbitals, const float *orbital_weight,
                                const float *mo_coeff, float x_min, float y_min, float z_min,
                                float grid_step, int32_t n_atoms, const int32_t *shells_per_atom,
                                const float *atom_x, const float *atom_y, const float *atom_z,
                                const int32_t *shell_l, const int32_t *shell_n_prim,
                                const float *prim_exponent, const float *prim_coeff,
                                float *out_grid);

}  // namespace kernels
