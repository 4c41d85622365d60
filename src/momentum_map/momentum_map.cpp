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
// sine/cosine pair per atom that has active shells.
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "basis/basis_model.h"
#include "basis/real_harmonics.h"
#include "libkernels.h"
#include "momentum_map/orientation_matrix.h"
#include "momentum_map/prefactor_table.h"

namespace kernels {
namespace {

void clear_map(int32_t n, float *map) {
    if (n > 0)
        std::memset(map, 0,
                    static_cast<std::size_t>(n) * static_cast<std::size_t>(n) * sizeof(float));
}

struct Hemisphere {
    float k2;     // squared radius, the square of the rounded root
    float inv_k;  // scales k' to the unit vector of the harmonics
};

void sweep_pixels(int32_t n, const BasisArrays &basis, const Hemisphere &sphere, float k_min,
                  float k_step, const OrientationMatrix &orientation, const PrefactorTable &table,
                  float *out_map) {
    const float(&M)[3][3] = orientation.m;
    float ylm[HARMONIC_COUNT];
    ylm[0] = Y00;  // an s-only orbital needs nothing else

    for (int32_t i = 0; i < n; ++i) {
        const float kx = static_cast<float>(i) * k_step + k_min;
        const float row_radicand = sphere.k2 - kx * kx;
        const float x_from_kx = M[0][0] * kx;
        const float y_from_kx = M[1][0] * kx;
        const float z_from_kx = M[2][0] * kx;
        float *row = out_map + static_cast<std::size_t>(i) * static_cast<std::size_t>(n);

        for (int32_t j = 0; j < n; ++j) {
            const float ky = static_cast<float>(j) * k_step + k_min;
            const float radicand = row_radicand - ky * ky;
            if (radicand < 0.0f) {  // outside the hemisphere; NaN goes on
                row[j] = 0.0f;
                continue;
            }
            const float kz = std::sqrt(radicand);
            const float qx = M[0][2] * kz + (M[0][1] * ky + x_from_kx);
            const float qy = M[1][2] * kz + (M[1][1] * ky + y_from_kx);
            const float qz = M[2][2] * kz + (M[2][1] * ky + z_from_kx);
            if (table.l_max >= 1)
                real_harmonics(qx * sphere.inv_k, qy * sphere.inv_k, qz * sphere.inv_k, table.l_max,
                               ylm);

            float t_re = 0.0f, t_im = 0.0f;
            int32_t entry = 0;
            for (int32_t a = 0; a < basis.n_atoms; ++a) {
                const int32_t count = table.active_count[a];
                if (count == 0) continue;  // adds exactly zero
                const float phase =
                    basis.atom_z[a] * qz + (basis.atom_x[a] * qx + basis.atom_y[a] * qy);
                float sp, cp;
                ::sincosf(phase, &sp, &cp);
                float s_re = 0.0f, s_im = 0.0f;
                const int32_t end = entry + count;
                for (; entry < end; ++entry) {
                    const float y = ylm[table.harm_index[entry]];
                    s_re = s_re + table.pref_re[entry] * y;
                    s_im = s_im + table.pref_im[entry] * y;
                }
                // T += e^{-i phase} S
                t_re = t_re + (cp * s_re + sp * s_im);
                t_im = t_im + (cp * s_im - sp * s_re);
            }
            row[j] = t_re * t_re + t_im * t_im;
        }
    }
}

}  // namespace
}  // namespace kernels

extern "C" void momentum_map(int32_t n, int32_t n_atoms, const int32_t *shells_per_atom,
                             const float *atom_x, const float *atom_y, const float *atom_z,
                             float e_kin, float k_min, float k_step, float orient_alpha,
                             float orient_beta, float orient_gamma, const int32_t *shell_l,
                             const int32_t *shell_n_prim, const float *prim_exponent,
                             const float *prim_coeff, const float *mo_coeff, float *out_map) {
    using namespace kernels;
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

    const BasisArrays basis{n_atoms, shells_per_atom, atom_x,        atom_y,    atom_z,
                            shell_l, shell_n_prim,    prim_exponent, prim_coeff};
    const BasisCounts counts = count_basis(basis);
    const int64_t n_entries = count_table_components(basis, counts, mo_coeff);
    void *block = std::malloc(prefactor_block_bytes(n_atoms, n_entries));
    if (block == nullptr) {
        clear_map(n, out_map);
        return;
    }
    const PrefactorTable table = fill_prefactor_table(block, basis, counts, mo_coeff, n_entries, k);
    sweep_pixels(n, basis, sphere, k_min, k_step, orientation, table, out_map);
    std::free(block);
}
