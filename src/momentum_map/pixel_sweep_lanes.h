// momentum_map's pixel sweep over SIMD lanes: the one definition of the per-pixel
// arithmetic, instantiated for every instruction-set target (the scalar path is
// its one-lane instance).  T::lanes neighbouring pixels of a row are computed
// together, each lane with exactly the operations and roundings of one pixel:
//   kz = sqrt(k^2 - kx^2 - ky^2), q = M (kx, ky, kz), the unit-vector harmonics
//   of q / k, and per atom with active shells the phase P.q, its float32 sine
//   and cosine and the table's multiply-adds, T += e^{-i phase} S.
// Pixels outside the hemisphere (and lanes past the row's end) are carried with
// q = 0, so every atom's phase there is 0, and store 0.  A vector of pixels that
// lies wholly outside does no work.
#pragma once

#include <cstddef>
#include <cstdint>

#include "basis/basis_model.h"
#include "basis/harmonics_lanes.h"
#include "basis/real_harmonics.h"
#include "momentum_map/orientation_matrix.h"
#include "momentum_map/prefactor_table.h"
#include "simd/lanes.h"
#include "simd/vector_libm.h"

namespace kernels {

struct Hemisphere {
    float k2;     // squared radius, the square of the rounded root
    float inv_k;  // scales k' to the unit vector of the harmonics
};

// Everything one sweep reads and the map it writes (n > 0 rows of n pixels).
struct PixelSweep {
    int32_t n;
    BasisArrays basis;
    Hemisphere sphere;
    float k_min;
    float k_step;
    OrientationMatrix orientation;
    PrefactorTable table;
    float *out_map;
};

// The phase's sine and cosine: on one lane the libm call itself (the lane
// loop of VectorLibm would cost a sixth of the scalar sweep), else VectorLibm.
template <class T>
__attribute__((always_inline)) inline void phase_sincosf(const simd::VectorLibm<T> &libm, typename T::F32 phase,
                                                         typename T::F32 *sin_p, typename T::F32 *cos_p) {
    if constexpr (T::lanes == 1) {
        float x, s, c;
        store(phase, &x);
        ::sincosf(x, &s, &c);
        *sin_p = T::F32::load(&s);
        *cos_p = T::F32::load(&c);
    } else {
        libm.sincosf(phase, sin_p, cos_p);
    }
}

template <class T>
void sweep_pixels_lanes(const PixelSweep &sweep, const simd::VectorLibm<T> &libm) {
    static_assert(T::lanes <= 16, "LANE_OFFSETS covers 16 lanes");
    using F32 = typename T::F32;
    using Mask = typename T::Mask;
    const int32_t n = sweep.n;
    const BasisArrays &basis = sweep.basis;
    const PrefactorTable &table = sweep.table;
    const float(&M)[3][3] = sweep.orientation.m;
    const auto k = [](float v) { return F32::splat(v); };
    const F32 zero = k(0.0f);
    const F32 lane_offset = F32::load(simd::LANE_OFFSETS);
    const F32 inv_k = k(sweep.sphere.inv_k);

    F32 ylm[HARMONIC_COUNT];
    ylm[0] = k(Y00);  // an s-only orbital needs nothing else

    for (int32_t i = 0; i < n; ++i) {
        const float kx = static_cast<float>(i) * sweep.k_step + sweep.k_min;
        const F32 row_radicand = k(sweep.sphere.k2 - kx * kx);
        const F32 x_from_kx = k(M[0][0] * kx);
        const F32 y_from_kx = k(M[1][0] * kx);
        const F32 z_from_kx = k(M[2][0] * kx);
        float *row = sweep.out_map + static_cast<std::size_t>(i) * static_cast<std::size_t>(n);

        for (int32_t j = 0; j < n; j += T::lanes) {
            const int32_t rest = n - j;
            const F32 ky = (k(static_cast<float>(j)) + lane_offset) * k(sweep.k_step) + k(sweep.k_min);
            const F32 radicand = row_radicand - ky * ky;
            // Outside the hemisphere when the radicand is negative; NaN goes on.
            Mask inside = ~(radicand < zero);
            if (rest < T::lanes) inside = inside & Mask::first(rest);

            F32 value = zero;
            if (any(inside)) {
                const F32 kz = sqrt(select(inside, radicand, zero));
                const F32 qx = select(inside, k(M[0][2]) * kz + (k(M[0][1]) * ky + x_from_kx), zero);
                const F32 qy = select(inside, k(M[1][2]) * kz + (k(M[1][1]) * ky + y_from_kx), zero);
                const F32 qz = select(inside, k(M[2][2]) * kz + (k(M[2][1]) * ky + z_from_kx), zero);
                if (table.l_max >= 1)
                    solid_harmonics_lanes<T>(qx * inv_k, qy * inv_k, qz * inv_k, k(1.0f), table.l_max, ylm);

                F32 t_re = zero, t_im = zero;
                int32_t entry = 0;
                for (int32_t a = 0; a < basis.n_atoms; ++a) {
                    const int32_t count = table.active_count[a];
                    if (count == 0) continue;  // adds exactly zero
                    const F32 phase =
                        k(basis.atom_z[a]) * qz + (k(basis.atom_x[a]) * qx + k(basis.atom_y[a]) * qy);
                    F32 sp, cp;
                    phase_sincosf(libm, phase, &sp, &cp);
                    F32 s_re = zero, s_im = zero;
                    const int32_t end = entry + count;
                    for (; entry < end; ++entry) {
                        const F32 y = ylm[table.harm_index[entry]];
                        s_re = s_re + k(table.pref_re[entry]) * y;
                        s_im = s_im + k(table.pref_im[entry]) * y;
                    }
                    // T += e^{-i phase} S
                    t_re = t_re + (cp * s_re + sp * s_im);
                    t_im = t_im + (cp * s_im - sp * s_re);
                }
                value = select(inside, t_re * t_re + t_im * t_im, zero);
            }
            if (rest < T::lanes)
                store_first(value, row + j, rest);
            else
                store(value, row + j);
        }
    }
}

}  // namespace kernels
