// The flat-array basis model shared by every orbital kernel: the two cut-offs,
// the derived counts, the active-shell test and the running offsets of a walk
// over atoms -> shells -> primitives / components.
//
// Counts are 32-bit sums that wrap like the caller's int32 arithmetic would;
// they are formed in unsigned arithmetic so that the wrap is defined.
#pragma once

#include <cstdint>
#include <cstring>

namespace kernels {

// |c| must exceed this for a shell to take part in an orbital.
constexpr float COEFF_THRESHOLD = 1e-6f;
// exp(-x) of a primitive is evaluated only for x < EXP_CUTOFF (e^-x ~ 1e-13).
constexpr float EXP_CUTOFF = 29.933607f;
// Highest angular momentum the harmonic tables hold.
constexpr int32_t MAX_L = 4;

// The small helpers below are also called from the lane templates, which the
// AVX files compile with their instruction-set flags; always inlined, no
// out-of-line copy of them (which the linker could pick for the scalar code
// too) is emitted there, not even in unoptimised builds.
#define KERNELS_HELPER __attribute__((always_inline)) inline

KERNELS_HELPER int32_t wrapping_add(int32_t a, int32_t b) {
    return static_cast<int32_t>(static_cast<uint32_t>(a) + static_cast<uint32_t>(b));
}

// Number of components of a shell of degree l (2l + 1, wrapping).
KERNELS_HELPER int32_t shell_size(int32_t l) {
    return static_cast<int32_t>(2u * static_cast<uint32_t>(l) + 1u);
}

// Sum of shells_per_atom over the atoms; 0 when n_atoms <= 0.
int32_t count_shells(int32_t n_atoms, const int32_t *shells_per_atom);

// Row length of the orbital matrix: sum of 2l + 1 over the first n_shells shells,
// every shell counted; 0 when n_atoms <= 0 or n_shells <= 0.
int32_t count_components(int32_t n_atoms, const int32_t *shells_per_atom, const int32_t *shell_l);

// Length of the primitive arrays: sum of shell_n_prim over the shells.
int32_t count_primitives(int32_t n_shells, const int32_t *shell_n_prim);

// 1 when one of the shell's 2l + 1 coefficients has magnitude above
// COEFF_THRESHOLD.  The magnitude is taken by clearing the sign bit, so a NaN
// coefficient never makes a shell active.  l < 0 is never active.
KERNELS_HELPER int shell_is_active(int32_t l, const float *coeffs) {
    if (l < 0) return 0;
    const int32_t size = 2 * l + 1;
    for (int32_t c = 0; c < size; ++c) {
        uint32_t bits;
        std::memcpy(&bits, &coeffs[c], sizeof bits);
        bits &= 0x7fffffffu;
        float magnitude;
        std::memcpy(&magnitude, &bits, sizeof magnitude);
        if (magnitude > COEFF_THRESHOLD) return 1;
    }
    return 0;
}

// Borrowed view of the caller's basis arrays with the counts derived once per
// call.  Nothing is copied and nothing outlives the call.
struct BasisArrays {
    int32_t n_atoms;
    const int32_t *shells_per_atom;
    const float *atom_x;
    const float *atom_y;
    const float *atom_z;
    const int32_t *shell_l;
    const int32_t *shell_n_prim;
    const float *prim_exponent;
    const float *prim_coeff;
};

struct BasisCounts {
    int32_t n_shells;
    int32_t n_components;
    int32_t n_prims;
};

BasisCounts count_basis(const BasisArrays &basis);

// Running position of a walk over the shells: shell index, primitive offset and
// component offset, all advanced for every shell, evaluated or not.
struct ShellCursor {
    int32_t shell = 0;
    int32_t prim = 0;
    int32_t comp = 0;

    // Offset at which to address the shell's primitives.  A shell without
    // primitives reads none, and its running offset may point anywhere (or be
    // negative after negative counts), so it is addressed at 0.
    KERNELS_HELPER int32_t primitive_offset(int32_t n_prim) const { return n_prim > 0 ? prim : 0; }

    KERNELS_HELPER void advance(int32_t l, int32_t n_prim) {
        prim = wrapping_add(prim, n_prim);
        comp = wrapping_add(comp, shell_size(l));
        shell = wrapping_add(shell, 1);
    }
};

// A shell can take part in a kernel only when its degree is one the harmonic
// tables hold and its coefficients and primitives lie inside the arrays the
// counts describe.  For input inside the data model (0 <= l <= 4, counts >= 0)
// this is always true; it keeps negative l, l > 4 and negative primitive counts
// from reaching memory outside the caller's arrays.
KERNELS_HELPER bool shell_in_bounds(const ShellCursor &at, int32_t l, int32_t n_prim,
                            const BasisCounts &counts) {
    if (l < 0 || l > MAX_L) return false;
    if (at.shell < 0 || at.shell >= counts.n_shells) return false;
    if (at.comp < 0 || static_cast<int64_t>(at.comp) + (2 * l + 1) > counts.n_components)
        return false;
    if (n_prim > 0 &&
        (at.prim < 0 || static_cast<int64_t>(at.prim) + n_prim > counts.n_prims))
        return false;
    return true;
}

// Active-shell test of a shell the walk is at, with the bounds rule above.
KERNELS_HELPER bool shell_takes_part(const ShellCursor &at, int32_t l, int32_t n_prim,
                             const BasisCounts &counts, const float *orbital_row) {
    return shell_in_bounds(at, l, n_prim, counts) && shell_is_active(l, orbital_row + at.comp);
}

// Number of shells of atom a that the walk may visit: shells_per_atom[a] when
// positive, cut so that the shell index never passes n_shells.
KERNELS_HELPER int32_t shells_of_atom(const BasisArrays &basis, const BasisCounts &counts, int32_t a,
                              const ShellCursor &at) {
    const int32_t declared = basis.shells_per_atom[a];
    if (declared <= 0) return 0;
    const int64_t room = static_cast<int64_t>(counts.n_shells) - at.shell;
    if (room <= 0) return 0;
    return declared < room ? declared : static_cast<int32_t>(room);
}

}  // namespace kernels
