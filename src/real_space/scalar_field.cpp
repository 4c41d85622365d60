// Exported entry: one orbital on a regular real-space grid, on the widest
// instruction-set path this CPU runs (chosen per call).
#include "libkernels.h"
#include "real_space/orbital_grid.h"
#include "real_space/scalar_field_paths.h"

namespace kernels {
namespace {

void scalar_field_with(const simd::SimdChoice &choice, int32_t nx, int32_t ny, int32_t nz,
                       int32_t n_atoms, const int32_t *shells_per_atom, const float *atom_x,
                       float x_min, float y_min, float z_min, float grid_step, const float *atom_y,
                       const float *atom_z, const int32_t *shell_l, const int32_t *shell_n_prim,
                       const float *prim_exponent, const float *prim_coeff, const float *mo_coeff,
                       float *out_grid) {
    const RealGrid grid{nx, ny, nz, x_min, y_min, z_min, grid_step};
    const BasisArrays basis{n_atoms, shells_per_atom, atom_x,       atom_y,    atom_z,
                            shell_l, shell_n_prim,    prim_exponent, prim_coeff};
    evaluate_orbital_on_grid(choice, grid, basis, mo_coeff, out_grid);
}

}  // namespace

void scalar_field_on_path(simd::SimdPath path, int32_t nx, int32_t ny, int32_t nz, int32_t n_atoms,
                          const int32_t *shells_per_atom, const float *atom_x, float x_min,
                          float y_min, float z_min, float grid_step, const float *atom_y,
                          const float *atom_z, const int32_t *shell_l, const int32_t *shell_n_prim,
                          const float *prim_exponent, const float *prim_coeff,
                          const float *mo_coeff, float *out_grid) {
    scalar_field_with(simd::choose_simd_for(path), nx, ny, nz, n_atoms, shells_per_atom, atom_x, x_min,
                      y_min, z_min, grid_step, atom_y, atom_z, shell_l, shell_n_prim,
                      prim_exponent, prim_coeff, mo_coeff, out_grid);
}

}  // namespace kernels

extern "C" void scalar_field(int32_t nx, int32_t ny, int32_t nz, int32_t n_atoms,
                             const int32_t *shells_per_atom, const float *atom_x, float x_min,
                             float y_min, float z_min, float grid_step, const float *atom_y,
                             const float *atom_z, const int32_t *shell_l,
                             const int32_t *shell_n_prim, const float *prim_exponent,
                             const float *prim_coeff, const float *mo_coeff, float *out_grid) {
    kernels::scalar_field_with(kernels::simd::choose_simd(), nx, ny, nz, n_atoms, shells_per_atom,
                               atom_x, x_min, y_min, z_min, grid_step, atom_y, atom_z, shell_l,
                               shell_n_prim, prim_exponent, prim_coeff, mo_coeff, out_grid);
}
