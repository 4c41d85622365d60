// scalar_field on a chosen instruction-set path, for tests and benchmarks that
// compare or time the paths in one run.  Not exported.
#pragma once

#include <cstdint>

#include "simd/lanes.h"

namespace kernels {

// scalar_field on `path`; a path this CPU does not run falls back to scalar.
void scalar_field_on_path(simd::SimdPath path, int32_t nx, int32_t ny, int32_t nz, int32_t n_atoms,
                          const int32_t *shells_per_atom, const float *atom_x, float x_min,
                          float y_min, float z_min, float grid_step, const float *atom_y,
                          const float *atom_z, const int32_t *shell_l, const int32_t *shell_n_prim,
                          const float *prim_exponent, const float *prim_coeff,
                          const float *mo_coeff, float *out_grid);

}  // namespace kernels
