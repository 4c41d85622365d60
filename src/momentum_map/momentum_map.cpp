// Photoemission momentum map of one orbital in the plane-wave final-state
// picture.  Pixel (i, j) is the point (kx, ky, kz) of the hemisphere
// |k| = sqrt(2 e_kin), kz >= 0, above the parallel momentum (kx, ky); it is
// turned into the molecule's frame, k' = M k, and the pixel holds
//
//   | sum_atoms e^{-i k'.P} sum_components (-i)^l R_l(k) C Y(k'/k) |^2,
//
// the squared modulus of the orbital's Fourier transform (without the constant
// pi^3).  Everything that does not depend on the pixel (M, k, the radial values
// and the folded prefactors) is formed once per call; per pixel the cost is one
// square root, the harmonics up to the largest active l and one float32
// sine/cosine pair per atom that has active shells.  The sweep runs on the
// instruction-set path the call was given (the widest vector unit of the CPU,
// chosen once per process), a row's pixels side by side in the lanes; every
// path gives the same bits (pixel_sweep_lanes.h).
#include "momentum_map/momentum_map.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "common/allocation.h"
#include "libkernels.h"
#include "momentum_map/orientation_matrix.h"
#include "momentum_map/pixel_sweep_lanes.h"
#include "momentum_map/prefactor_table.h"

namespace {

void clear_map(int32_t n, float *map) {
    if (n > 0)
        std::memset(map, 0,
                    static_cast<std::size_t>(n) * static_cast<std::size_t>(n) * sizeof(float));
}

}  // namespace

namespace kernels {

void momentum_map_on(const simd::Dispatch &run, int32_t n, const BasisArrays &basis, float e_kin,
                     float k_min, float k_step, float orient_alpha, float orient_beta, float orient_gamma,
                     const float *mo_coeff, float *out_map) {
    // No energy, no hemisphere: an all-zero map rather than the 0 * inf of a
    // zero radius.  (A NaN energy is not caught here and gives a NaN map.)
    if (e_kin <= 0.0f) {
        clear_map(n, out_map);
        return;
    }
    const OrientationMatrix orientation =
        orientation_matrix(orient_alpha, orient_beta, orient_gamma);
    const float k = std::sqrt(e_kin + e_kin);
    const Hemisphere sphere{k * k, 1.0f / k};

    const BasisCounts counts = count_basis(basis);
    const int64_t n_entries = count_table_components(basis, counts, mo_coeff);
    void *block = allocate(prefactor_block_bytes(basis.n_atoms, n_entries));
    if (block == nullptr) {
        clear_map(n, out_map);
        errno = ENOMEM;  // what the allocation set; the caller's only sign of the failure
        return;
    }
    const PrefactorTable table = fill_prefactor_table(block, basis, counts, mo_coeff, n_entries, k);
    if (n > 0)
        run.kernels->sweep_pixels(PixelSweep{n, basis, sphere, k_min, k_step, orientation, table, out_map},
                                  run.vector_libm);
    std::free(block);
}

}  // namespace kernels

extern "C" void momentum_map(int32_t n, int32_t n_atoms, const int32_t *shells_per_atom,
                             const float *atom_x, const float *atom_y, const float *atom_z,
                             float e_kin, float k_min, float k_step, float orient_alpha,
                             float orient_beta, float orient_gamma, const int32_t *shell_l,
                             const int32_t *shell_n_prim, const float *prim_exponent,
                             const float *prim_coeff, const float *mo_coeff, float *out_map) {
    const kernels::BasisArrays basis{n_atoms, shells_per_atom, atom_x,        atom_y,    atom_z,
                                     shell_l, shell_n_prim,    prim_exponent, prim_coeff};
    kernels::momentum_map_on(kernels::simd::current_dispatch(), n, basis, e_kin, k_min, k_step, orient_alpha,
                             orient_beta, orient_gamma, mo_coeff, out_map);
}
