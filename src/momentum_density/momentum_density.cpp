// Exported entry points for momentum densities on a 3D k grid: both bundle the
// basis arrays into a BasisSet and hand them, with the path the call reads,
// to the voxel engine.
// momentum_density computes |psi(k)|^2 of one orbital, momentum_density_sum the
// weighted sum over several; their parameter lists differ in where the orbital
// data stand.
#include "libkernels.h"
#include "momentum_density/basis_set.h"
#include "momentum_density/momentum_density_voxels.h"

extern "C" {

void momentum_density(int32_t nx, int32_t ny, int32_t nz, int32_t n_atoms,
                      const int32_t *shells_per_atom, const float *atom_x, float kx_min,
                      float ky_min, float kz_min, float k_step, const float *atom_y,
                      const float *atom_z, const int32_t *shell_l, const int32_t *shell_n_prim,
                      const float *prim_exponent, const float *prim_coeff, const float *mo_coeff,
                      float *out_density) {
    const kernels::BasisSet basis = kernels::make_basis_set(
        {n_atoms, shells_per_atom, atom_x, atom_y, atom_z, shell_l, shell_n_prim, prim_exponent, prim_coeff});
    kernels::momentum_density_voxels(kernels::simd::current_dispatch(), nx, ny, nz, 1, nullptr, mo_coeff,
                                     kx_min, ky_min, kz_min, k_step, basis, out_density);
}

void momentum_density_sum(int32_t nx, int32_t ny, int32_t nz, int32_t n_orbitals,
                          const float *orbital_weight, const float *mo_coeff, float kx_min,
                          float ky_min, float kz_min, float k_step, int32_t n_atoms,
                          const int32_t *shells_per_atom, const float *atom_x,
                          const float *atom_y, const float *atom_z, const int32_t *shell_l,
                          const int32_t *shell_n_prim, const float *prim_exponent,
                          const float *prim_coeff, float *out_density) {
    const kernels::BasisSet basis = kernels::make_basis_set(
        {n_atoms, shells_per_atom, atom_x, atom_y, atom_z, shell_l, shell_n_prim, prim_exponent, prim_coeff});
    kernels::momentum_density_voxels(kernels::simd::current_dispatch(), nx, ny, nz, n_orbitals,
                                     orbital_weight, mo_coeff, kx_min, ky_min, kz_min, k_step, basis,
                                     out_density);
}

}  // extern "C"
