// Exported entry: one orbital on a regular real-space grid, on the widest
// instruction-set path this CPU runs (chosen once per process).
#include "libkernels.h"
#include "real_space/orbital_grid.h"

extern "C" void scalar_field(int32_t nx, int32_t ny, int32_t nz, int32_t n_atoms,
                             const int32_t *shells_per_atom, const float *atom_x, float x_min,
                             float y_min, float z_min, float grid_step, const float *atom_y,
                             const float *atom_z, const int32_t *shell_l,
                             const int32_t *shell_n_prim, const float *prim_exponent,
                             const float *prim_coeff, const float *mo_coeff, float *out_grid) {
    const kernels::RealGrid grid{nx, ny, nz, x_min, y_min, z_min, grid_step};
    const kernels::BasisArrays basis{n_atoms, shells_per_atom, atom_x,        atom_y,    atom_z,
                                     shell_l, shell_n_prim,    prim_exponent, prim_coeff};
    kernels::evaluate_orbital_on_grid(kernels::simd::current_dispatch(), grid, basis, mo_coeff, out_grid);
}
