// The voxel loop of the momentum density engine, written once over SIMD lanes:
// each lane is one voxel of a kx row, and computes what the one-lane instance
// (the scalar path) computes for that voxel, operation for operation.
//
// Per vector of voxels: k^2 and |k|, the unit vector (the zero vector where
// k^2 <= ZERO_MOMENTUM_SQUARED, a mask), the table position, the harmonics up
// to l_max, one sincosf per atom into the lanes of the phase block; then, for
// a group of orbitals at a time, per shell flagged for any of them the
// interpolated radial value (a gather from the shell's table row), and per
// orbital that flags it the angular sum and the (-i)^l rule; per atom the
// phase rotation, and finally the weighted sum of |psi_o|^2 in orbital order.
#pragma once

#include <cstdint>

#include "basis/basis_model.h"
#include "basis/harmonics_lanes.h"
#include "basis/real_harmonics.h"
#include "momentum_density/radial_table.h"
#include "momentum_density/voxel_sweep.h"
#include "simd/vector_libm.h"

namespace kernels {

// Orbitals whose amplitudes are formed in one walk over the basis: each shell's
// radial value is interpolated once for all of them.
constexpr int32_t ORBITAL_GROUP = 8;

// Complex amplitudes psi_o(k) = re + i im of the orbitals first .. first +
// count - 1 (count <= ORBITAL_GROUP) on every lane.  Walks the atoms with a
// running shell index and component offset; an atom with no shells adds
// nothing and moves neither.  Each shell flagged for an orbital adds
// (-i)^l rho S, with S the angular sum of the orbital's coefficients, to the
// orbital's sum over the atom, which is then turned by the atom's plane-wave
// factor e^{-i k.R}.  Per orbital the operations are those of a walk for that
// orbital alone, in the same order.
template <class T>
void orbital_amplitudes_lanes(const VoxelSweep &sweep, const BasisArrays &arrays, int64_t first,
                              int32_t count, const typename T::F32 *ylm,
                              const TablePositionLanes<T> &at_k, typename T::F32 *psi_re,
                              typename T::F32 *psi_im) {
    using F32 = typename T::F32;
    const BasisArrays &basis = sweep.basis->arrays;
    const int64_t n_shells = sweep.counts.n_shells > 0 ? sweep.counts.n_shells : 0;
    const int64_t row_length = sweep.counts.n_components > 0 ? sweep.counts.n_components : 0;
    const float *cos_phase = sweep.atom_cos;
    const float *sin_phase = sweep.atom_sin;
    const F32 zero = F32::splat(0.0f);
    const uint8_t *flags[ORBITAL_GROUP];
    const float *rows[ORBITAL_GROUP];
    F32 re[ORBITAL_GROUP];
    F32 im[ORBITAL_GROUP];
    for (int32_t g = 0; g < count; ++g) {
        flags[g] = sweep.shell_flags + (first + g) * n_shells;
        rows[g] = sweep.mo_coeff + (first + g) * row_length;
        psi_re[g] = zero;
        psi_im[g] = zero;
    }
    ShellCursor at;
    for (int32_t atom = 0; atom < basis.n_atoms; ++atom) {
        if (basis.shells_per_atom[atom] <= 0) continue;
        const int32_t n_atom_shells = shells_of_atom(arrays, sweep.counts, atom, at);
        for (int32_t g = 0; g < count; ++g) {
            re[g] = zero;
            im[g] = zero;
        }
        for (int32_t j = 0; j < n_atom_shells; ++j) {
            const int32_t s = at.shell;
            const int32_t l = basis.shell_l[s];
            bool used = false;
            for (int32_t g = 0; g < count; ++g) used = used || flags[g][s];
            if (used) {
                const F32 rho = interpolate_radial_lanes<T>(
                    sweep.radial_table + static_cast<int64_t>(s) * RADIAL_SAMPLES, at_k);
                const F32 *harmonics = ylm + SHELL_START[l];
                for (int32_t g = 0; g < count; ++g) {
                    if (!flags[g][s]) continue;
                    const float *coeffs = rows[g] + at.comp;
                    F32 angular = zero;
                    for (int32_t m = 0; m <= 2 * l; ++m)
                        angular = angular + F32::splat(coeffs[m]) * harmonics[m];
                    const F32 v = rho * angular;
                    // (-i)^l applied to the accumulators directly: subtracting
                    // v, not adding the pair of times_minus_i_power, keeps a
                    // NaN's sign bit and leaves the other part untouched.
                    switch (l & 3) {
                        case 0: re[g] = re[g] + v; break;
                        case 1: im[g] = im[g] - v; break;
                        case 2: re[g] = re[g] - v; break;
                        default: im[g] = im[g] + v; break;
                    }
                }
            }
            at.advance(l, basis.shell_n_prim[s]);
        }
        const F32 c = F32::load(cos_phase + static_cast<int64_t>(atom) * T::lanes);
        const F32 sn = F32::load(sin_phase + static_cast<int64_t>(atom) * T::lanes);
        for (int32_t g = 0; g < count; ++g) {
            psi_re[g] = psi_re[g] + (c * re[g] + im[g] * sn);
            psi_im[g] = psi_im[g] + (c * im[g] - sn * re[g]);
        }
    }
}

// sum_o w_o |psi_o(k)|^2 on the lanes of (kx, ky, kz).
template <class T>
typename T::F32 voxel_density_lanes(const VoxelSweep &sweep, const simd::VectorLibm<T> &libm,
                                    const BasisArrays &arrays, typename T::F32 kx,
                                    typename T::F32 ky, typename T::F32 kz,
                                    typename T::F32 *ylm) {
    using F32 = typename T::F32;
    const BasisArrays &basis = sweep.basis->arrays;
    const F32 zero = F32::splat(0.0f);
    const F32 one = F32::splat(1.0f);

    const F32 k2 = (kx * kx + ky * ky) + kz * kz;
    const F32 kn = sqrt(k2);
    // Lanes at k = 0 divide by 1 instead of 0 and take the zero vector.
    const auto away_from_zero = k2 > F32::splat(ZERO_MOMENTUM_SQUARED);
    const F32 inv = one / select(away_from_zero, kn, one);
    const F32 ux = select(away_from_zero, kx * inv, zero);
    const F32 uy = select(away_from_zero, ky * inv, zero);
    const F32 uz = select(away_from_zero, kz * inv, zero);
    const TablePositionLanes<T> at_k = table_position_lanes<T>(kn, F32::splat(sweep.radial_step));

    // The unit-vector harmonics: the solid form with r^2 = 1.
    solid_harmonics_lanes<T>(ux, uy, uz, one, sweep.l_max, ylm);

    float *cos_phase = sweep.atom_cos;
    float *sin_phase = sweep.atom_sin;
    for (int32_t atom = 0; atom < basis.n_atoms; ++atom) {
        const F32 phase = F32::splat(basis.atom_z[atom]) * kz +
                          (F32::splat(basis.atom_x[atom]) * kx + F32::splat(basis.atom_y[atom]) * ky);
        F32 sin_atom;
        F32 cos_atom;
        libm.sincosf(phase, &sin_atom, &cos_atom);
        store(cos_atom, cos_phase + static_cast<int64_t>(atom) * T::lanes);
        store(sin_atom, sin_phase + static_cast<int64_t>(atom) * T::lanes);
    }

    F32 density = zero;
    for (int64_t first = 0; first < sweep.n_orbitals; first += ORBITAL_GROUP) {
        const int32_t count = sweep.n_orbitals - first < ORBITAL_GROUP
                                  ? static_cast<int32_t>(sweep.n_orbitals - first)
                                  : ORBITAL_GROUP;
        F32 psi_re[ORBITAL_GROUP];
        F32 psi_im[ORBITAL_GROUP];
        orbital_amplitudes_lanes<T>(sweep, arrays, first, count, ylm, at_k, psi_re, psi_im);
        for (int32_t g = 0; g < count; ++g) {
            const int64_t o = first + g;
            const F32 weight = F32::splat(sweep.orbital_weight ? sweep.orbital_weight[o] : 1.0f);
            density = density + (psi_re[g] * psi_re[g] + psi_im[g] * psi_im[g]) * weight;
        }
    }
    return density;
}

// Sweeps the voxels, kz slowest and kx fastest, T::lanes voxels of a kx row at
// a time; the last vector of a row is partly filled, its spare lanes repeating
// the row's last voxel (nothing the scalar loop would not evaluate) and never
// stored.
template <class T>
void sweep_voxels(const VoxelSweep &sweep, const simd::VectorLibm<T> &libm) {
    using F32 = typename T::F32;
    constexpr int lanes = T::lanes;
    const BasisArrays &arrays = sweep.basis->arrays;
    // Entries above l_max are never read; cleared so that none is indeterminate.
    F32 ylm[HARMONIC_COUNT];
    for (F32 &entry : ylm) entry = F32::splat(0.0f);
    const F32 k_step = F32::splat(sweep.k_step);
    const F32 kx_min = F32::splat(sweep.kx_min);

    for (int32_t iz = 0; iz < sweep.nz; ++iz) {
        const F32 kz = F32::splat(static_cast<float>(iz) * sweep.k_step + sweep.kz_min);
        for (int32_t iy = 0; iy < sweep.ny; ++iy) {
            const F32 ky = F32::splat(static_cast<float>(iy) * sweep.k_step + sweep.ky_min);
            float *out_row =
                sweep.out_density + (static_cast<int64_t>(iz) * sweep.ny + iy) * sweep.nx;
            for (int64_t ix = 0; ix < sweep.nx; ix += lanes) {
                const int count = sweep.nx - ix < lanes ? static_cast<int>(sweep.nx - ix) : lanes;
                float index[lanes];
                for (int j = 0; j < lanes; ++j)
                    index[j] = static_cast<float>(ix + (j < count ? j : count - 1));
                const F32 kx = F32::load(index) * k_step + kx_min;
                const F32 density = voxel_density_lanes<T>(sweep, libm, arrays, kx, ky, kz, ylm);
                if (count == lanes)
                    store(density, out_row + ix);
                else
                    store_first(density, out_row + ix, count);
            }
        }
    }
}

}  // namespace kernels
