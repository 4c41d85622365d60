// The point loops of the real-space orbital, T::lanes points of a grid row at
// a time: the one definition of their arithmetic, instantiated for every
// instruction-set target (dispatch/kernel_table_lanes.h).
//
// Each lane computes what the plain scalar loop computes at its point, in the
// same order and float32 roundings; the screening tests become lane masks with
// the scalar meaning:
//   point:     skipped where r^2 > atom radius^2 (a NaN r^2 is evaluated),
//   shell:     taken where r^2 <= shell radius^2 (not on NaN),
//   primitive: taken where alpha r^2 < EXP_CUTOFF (not on NaN).
// A lane that fails a test keeps its value (select), a primitive's expf gets
// the argument 0 there, and a skipped point's grid element keeps its bits.  A
// vector is skipped only when no lane needs the work; the row test stays per
// row.  Nothing here may be a non-template inline function: the AVX files
// instantiate this header with their instruction-set flags.
#pragma once

#include <math.h>

#include <cstdint>

#include "basis/basis_model.h"
#include "basis/harmonics_lanes.h"
#include "basis/real_harmonics.h"
#include "real_space/index_box.h"
#include "real_space/orbital_grid.h"
#include "real_space/screening_tables.h"
#include "simd/vector_libm.h"

namespace kernels {

// Shells of one atom often share exponents (shells contracted from the same
// primitives, s and p shells of one exponent set): expf(-alpha r^2) is then
// evaluated once per distinct exponent of the atom and point, not once per
// primitive.  The bounds keep the per-atom tables on the stack; an atom
// beyond them, or without shared exponents, evaluates primitive by primitive.
constexpr int32_t ATOM_SHARED_PRIMITIVES = 64;  // primitives of its active shells
constexpr int32_t ATOM_SHARED_EXPONENTS = 32;   // distinct exponents among them

// What the point loops need of one atom, prepared in scalar code.
struct AtomSweep {
    float x, y, z;        // centre
    float r2_max;         // cut-off radius^2 of the atom
    int32_t l_max;        // largest l among its active shells
    IndexRange box_x, box_y, box_z;  // index box around the cut-off sphere, none empty
    int32_t first_shell;  // the atom's shells: first_shell .. first_shell + n_shells - 1
    int32_t n_shells;
    // Filled when its active shells share exponents (else n_exponents is 0):
    // the distinct exponents (equal bits) and, for each primitive of the
    // active shells in shell order, the index of its exponent.
    int32_t n_exponents;
    float exponent[ATOM_SHARED_EXPONENTS];
    uint8_t exponent_of[ATOM_SHARED_PRIMITIVES];
};

// Fills `atom` for atom a; false when the atom has no active shell or its
// index box is empty (then it adds nothing).  Defined in orbital_grid.cpp.
bool prepare_atom_sweep(const RealGrid &grid, const BasisArrays &basis,
                        const ScreeningTables &tables, int32_t a, AtomSweep &atom);

// exp(-alpha r^2) contraction of shell s over the lanes of `in_shell`, primitive
// by primitive: radial = radial + expf(-e) * coeff where e = alpha * r2 <
// EXP_CUTOFF.
template <class T>
typename T::F32 radial_sum_lanes(const BasisArrays &basis, const ScreeningTables &tables, int32_t s,
                                 typename T::F32 r2, typename T::Mask in_shell,
                                 const simd::VectorLibm<T> &libm) {
    using F32 = typename T::F32;
    const int32_t n_prim = basis.shell_n_prim[s];
    const float *exponents = basis.prim_exponent + tables.shell_first_prim[s];
    const float *coefficients = basis.prim_coeff + tables.shell_first_prim[s];
    const F32 zero = F32::splat(0.0f);
    const F32 cutoff = F32::splat(EXP_CUTOFF);
    F32 radial = zero;
    for (int32_t q = 0; q < n_prim; ++q) {
        const F32 e = F32::splat(exponents[q]) * r2;
        const auto live = in_shell & (e < cutoff);
        if (!any(live)) continue;
        const F32 term = libm.expf(select(live, -e, zero)) * F32::splat(coefficients[q]);
        radial = select(live, radial + term, radial);
    }
    return radial;
}

// Value of the atom's active shells on the lanes of `pass`: value = value +
// (mo * radial) * Y in shell and component order, each shell only on the lanes
// within its radius.  ylm holds the harmonics up to the atom's l_max.
template <class T>
typename T::F32 atom_value_lanes(const BasisArrays &basis, const ScreeningTables &tables,
                                 const AtomSweep &atom, const float *orbital_row,
                                 typename T::F32 r2, typename T::Mask pass,
                                 const typename T::F32 *ylm, const simd::VectorLibm<T> &libm) {
    using F32 = typename T::F32;
    using Mask = typename T::Mask;
    const F32 zero = F32::splat(0.0f);
    // With shared exponents: expf(-alpha r^2) of each distinct exponent on the
    // lanes of `pass` where alpha r^2 < EXP_CUTOFF (each shell then takes the
    // lanes within its radius; the cut-off test is the same for every
    // primitive of that exponent).
    F32 shared_exp[ATOM_SHARED_EXPONENTS];
    Mask shared_live[ATOM_SHARED_EXPONENTS];
    for (int32_t d = 0; d < atom.n_exponents; ++d) {
        const F32 e = F32::splat(atom.exponent[d]) * r2;
        shared_live[d] = pass & (e < F32::splat(EXP_CUTOFF));
        if (any(shared_live[d])) shared_exp[d] = libm.expf(select(shared_live[d], -e, zero));
    }
    int32_t primitive = 0;  // primitives of the active shells before shell s

    F32 value = zero;
    const int32_t end = atom.first_shell + atom.n_shells;
    for (int32_t s = atom.first_shell; s < end; ++s) {
        if (tables.shell_active[s] != 1) continue;
        // A shell with no primitives (n_prim <= 0) owns no entry of exponent_of.
        const int32_t first = primitive;
        primitive += basis.shell_n_prim[s] > 0 ? basis.shell_n_prim[s] : 0;
        const auto in_shell = pass & (r2 <= F32::splat(tables.shell_r2_max[s]));
        if (!any(in_shell)) continue;
        F32 radial;
        if (atom.n_exponents == 0) {
            radial = radial_sum_lanes<T>(basis, tables, s, r2, in_shell, libm);
        } else {
            // The sum radial_sum_lanes forms, from the shared values.
            const float *coefficients = basis.prim_coeff + tables.shell_first_prim[s];
            radial = zero;
            for (int32_t q = 0; q < primitive - first; ++q) {
                const int32_t d = atom.exponent_of[first + q];
                const auto live = in_shell & shared_live[d];
                if (!any(live)) continue;
                radial = select(live, radial + shared_exp[d] * F32::splat(coefficients[q]), radial);
            }
        }
        const int32_t l = basis.shell_l[s];
        const float *mo = orbital_row + tables.shell_first_comp[s];
        const F32 *shell_ylm = ylm + l * l;
        F32 shell_value = value;
        for (int32_t m = 0; m <= 2 * l; ++m)
            shell_value = shell_value + (F32::splat(mo[m]) * radial) * shell_ylm[m];
        value = select(in_shell, shell_value, value);
    }
    return value;
}

// float(i + lane) on every lane.  Below 2^24 every index is a float, so
// float(i) + lane is exact; beyond, the lanes are converted one by one.
template <class T>
typename T::F32 index_lanes(int64_t i, typename T::F32 lane_offset) {
    constexpr int64_t EXACT_INDEX = int64_t{1} << 24;
    if (i + T::lanes <= EXACT_INDEX) return T::F32::splat(static_cast<float>(i)) + lane_offset;
    float at[T::lanes];
    for (int l = 0; l < T::lanes; ++l) at[l] = static_cast<float>(i + l);
    return T::F32::load(at);
}

// Adds the atom's contribution at every point of its index box within its
// cut-off sphere: out_grid[point] += value, rows of the box T::lanes points at
// a time, the last vector of a row partly filled.
template <class T>
void sweep_atom_lanes(const RealGrid &grid, const BasisArrays &basis, const ScreeningTables &tables,
                      const AtomSweep &atom, const float *orbital_row,
                      const simd::VectorLibm<T> &libm, float *out_grid) {
    using F32 = typename T::F32;
    using Mask = typename T::Mask;
    constexpr int W = T::lanes;
    float offsets[W];
    for (int l = 0; l < W; ++l) offsets[l] = static_cast<float>(l);
    const F32 lane_offset = F32::load(offsets);

    const F32 step = F32::splat(grid.step);
    const F32 x_min = F32::splat(grid.x_min);
    const F32 centre_x = F32::splat(atom.x);
    const F32 r2_max = F32::splat(atom.r2_max);
    const int64_t last = atom.box_x.hi;
    F32 ylm[HARMONIC_COUNT];

    for (int32_t k = atom.box_z.lo; k <= atom.box_z.hi; ++k) {
        const float z = static_cast<float>(k) * grid.step + grid.z_min;
        const float dz = z - atom.z;
        const float dz2 = dz * dz;
        for (int32_t j = atom.box_y.lo; j <= atom.box_y.hi; ++j) {
            const float y = static_cast<float>(j) * grid.step + grid.y_min;
            const float dy = y - atom.y;
            const float rho2 = dz2 + dy * dy;
            if (rho2 > atom.r2_max) continue;
            float *row = out_grid + (static_cast<int64_t>(k) * grid.ny + j) * grid.nx;
            const F32 dy_lanes = F32::splat(dy);
            const F32 dz_lanes = F32::splat(dz);
            const F32 rho2_lanes = F32::splat(rho2);
            for (int64_t i = atom.box_x.lo; i <= last; i += W) {
                const int n = last - i + 1 < W ? static_cast<int>(last - i + 1) : W;
                const F32 x = index_lanes<T>(i, lane_offset) * step + x_min;
                const F32 dx = x - centre_x;
                const F32 r2 = rho2_lanes + dx * dx;
                Mask pass = ~(r2 > r2_max);
                if (n < W) pass = pass & Mask::first(n);
                if (!any(pass)) continue;
                solid_harmonics_lanes<T>(dx, dy_lanes, dz_lanes, r2, atom.l_max, ylm);
                const F32 value =
                    atom_value_lanes<T>(basis, tables, atom, orbital_row, r2, pass, ylm, libm);
                if (n == W) {
                    const F32 old = F32::load(row + i);
                    store(select(pass, old + value, old), row + i);
                } else {
                    const F32 old = F32::load_first(row + i, n);
                    store_first(select(pass, old + value, old), row + i, n);
                }
            }
        }
    }
}

// Every active atom's contribution added into out_grid, atom by atom.
template <class T>
void add_orbital_lanes(const RealGrid &grid, const BasisArrays &basis, const ScreeningTables &tables,
                       const float *orbital_row, bool vector_libm, float *out_grid) {
    const simd::VectorLibm<T> libm(vector_libm);
    for (int32_t a = 0; a < basis.n_atoms; ++a) {
        AtomSweep atom;
        if (prepare_atom_sweep(grid, basis, tables, a, atom))
            sweep_atom_lanes<T>(grid, basis, tables, atom, orbital_row, libm, out_grid);
    }
}

// out[e] = (weight * orbital[e]) * orbital[e] + out[e] for e < n.
template <class T>
void add_weighted_square_lanes(float weight, const float *orbital, float *out, int64_t n) {
    using F32 = typename T::F32;
    constexpr int W = T::lanes;
    const F32 w = F32::splat(weight);
    int64_t e = 0;
    for (; e + W <= n; e += W) {
        const F32 psi = F32::load(orbital + e);
        store((w * psi) * psi + F32::load(out + e), out + e);
    }
    if (e < n) {
        const int rest = static_cast<int>(n - e);
        const F32 psi = F32::load_first(orbital + e, rest);
        store_first((w * psi) * psi + F32::load_first(out + e, rest), out + e, rest);
    }
}

}  // namespace kernels
