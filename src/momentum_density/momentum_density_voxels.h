// The momentum density engine behind momentum_density and momentum_density_sum.
//
// For orbital row o of mo_coeff the momentum-space orbital is
//
//   psi_o(k) = sum_atoms e^{-i k.R_a} sum_{active shells s of a} (-i)^l rho_s(|k|)
//              sum_m mo_coeff[o, offset_s + m] Y_{l^2 + m}(k / |k|),
//
// and each voxel of a regular momentum grid receives sum_o w_o |psi_o(k)|^2.
// The radial factors rho_s are tabulated once per call (radial_table.h) and
// interpolated per voxel; harmonics and atom phases are formed once per voxel
// and shared by all orbitals.
#pragma once

#include <cstdint>

#include "dispatch/dispatch.h"
#include "momentum_density/basis_set.h"

namespace kernels {

// Voxel (ix, iy, iz) is at k = (ix * k_step + kx_min, iy * k_step + ky_min,
// iz * k_step + kz_min) and is stored at out_density[(iz * ny + iy) * nx + ix].
// orbital_weight may be null (every weight 1).  The output is cleared first and
// stays all zero when n_orbitals <= 0 or scratch memory cannot be had; a
// dimension <= 0 leaves it untouched; errno is ENOMEM after a failed allocation.
// Scratch: the shell flags, the atom phases (8 bytes per atom and lane of the
// path) and the zeroed radial table, allocated in that order
// (common/allocation.h), all released before returning.  The voxels are
// computed on the path of `run`; every path gives the same bits.
void momentum_density_voxels(const simd::Dispatch &run, int32_t nx, int32_t ny, int32_t nz,
                             int32_t n_orbitals, const float *orbital_weight, const float *mo_coeff,
                             float kx_min, float ky_min, float kz_min, float k_step,
                             const BasisSet &basis, float *out_density);

}  // namespace kernels
