// Weighted sum of the photoemission maps of several orbitals of one molecule.
// Each orbital with a positive kinetic energy is mapped on its own hemisphere
// (momentum_map), averaged over the symmetry group (symmetrisation), optionally
// multiplied by the light's polarisation factor on the same grid and energy
// (polarisation_factor), and then added with its weight, in orbital order.  One
// scratch map serves every orbital, and every step runs on the path the call
// read once at its start.  When memory runs out inside the called functions
// the sum goes on (that orbital adds zeros, or its map stays unsymmetrised)
// and errno is ENOMEM on return.
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "basis/basis_model.h"
#include "common/allocation.h"
#include "dispatch/dispatch.h"
#include "libkernels.h"
#include "maps/symmetrisation.h"
#include "momentum_map/momentum_map.h"

extern "C" void momentum_map_sum(
    int32_t n_orbitals, const float *orbital_e_kin, const float *orbital_weight,
    const float *mo_coeff, int32_t n, int32_t symmetry_mode, float k_min, float k_step,
    float orient_alpha, float orient_beta, float orient_gamma, float incidence_angle,
    float azimuth_angle, float s_share_percent, int32_t use_polarisation, int32_t polarisation_mode,
    int32_t circular_mode, const float *orbital_kz_imaginary, int32_t n_atoms,
    const int32_t *shells_per_atom, const float *atom_x, const float *atom_y, const float *atom_z,
    const int32_t *shell_l, const int32_t *shell_n_prim, const float *prim_exponent,
    const float *prim_coeff, float *out_map) {
    const kernels::simd::Dispatch run = kernels::simd::current_dispatch();
    // A negative side describes no map: nothing to clear, and the called
    // functions would leave the scratch map unwritten.
    if (n < 0) return;
    const std::size_t pixels = static_cast<std::size_t>(n) * static_cast<std::size_t>(n);
    // Cleared before anything can fail, so every return leaves a defined map.
    if (pixels != 0) std::memset(out_map, 0, pixels * sizeof(float));

    const int32_t row_length = kernels::count_components(n_atoms, shells_per_atom, shell_l);
    float *scratch = static_cast<float *>(kernels::allocate(pixels * sizeof(float)));
    if (scratch == nullptr) {
        errno = ENOMEM;
        return;
    }
    // The called functions report a failed allocation only through errno,
    // which a later libm call may overwrite (polarisation_factor's sine of an
    // infinite angle sets EDOM): it is read right after each allocating call.
    // (An ENOMEM the caller left in errno reads as a failure too.)
    bool out_of_memory = false;

    const kernels::BasisArrays basis{n_atoms, shells_per_atom, atom_x,        atom_y,    atom_z,
                                     shell_l, shell_n_prim,    prim_exponent, prim_coeff};
    for (int32_t o = 0; o < n_orbitals; ++o) {
        const float e_kin = orbital_e_kin[o];
        if (e_kin <= 0.0f) continue;  // no hemisphere; a NaN energy is not skipped
        // With a row length <= 0 no shell can lie inside the row, so the row is
        // never read; its start is kept inside the caller's array.
        const float *row =
            row_length > 0 ? mo_coeff + static_cast<std::ptrdiff_t>(o) * row_length : mo_coeff;
        kernels::momentum_map_on(run, n, basis, e_kin, k_min, k_step, orient_alpha, orient_beta, orient_gamma,
                                 row, scratch);
        out_of_memory = out_of_memory || errno == ENOMEM;
        kernels::symmetrisation_on(run, n, symmetry_mode, scratch);
        out_of_memory = out_of_memory || errno == ENOMEM;
        if (use_polarisation != 0)
            kernels::polarisation_factor_on(run, n, polarisation_mode, circular_mode, scratch, e_kin, k_min,
                                            k_step, incidence_angle, azimuth_angle, s_share_percent,
                                            orbital_kz_imaginary[o]);
        const float weight = orbital_weight != nullptr ? orbital_weight[o] : 1.0f;
        for (std::size_t x = 0; x < pixels; ++x) out_map[x] = scratch[x] * weight + out_map[x];
    }
    std::free(scratch);
    if (out_of_memory) errno = ENOMEM;
}
