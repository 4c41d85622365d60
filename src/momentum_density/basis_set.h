// The basis as the momentum density engine receives it: the caller's flat basis
// arrays, borrowed for one call, together with the counts derived from them.
#pragma once

#include <cstdint>

namespace kernels {

// Borrowed pointers to the caller's arrays (nothing is copied, nothing outlives
// the call) and the derived counts n_shells and n_components.  The primitive
// count is not carried: the engine finds each shell's primitives through the
// running sum of shell_n_prim.
struct BasisSet {
    int32_t n_atoms;
    int32_t n_shells;
    int32_t n_components;
    const int32_t *shells_per_atom;
    const float *atom_x;
    const float *atom_y;
    const float *atom_z;
    const int32_t *shell_l;
    const int32_t *shell_n_prim;
    const float *prim_exponent;
    const float *prim_coeff;
};

// Fills the record from the caller's arrays, counting n_shells and n_components
// afresh (both 0 when n_atoms <= 0).
BasisSet make_basis_set(int32_t n_atoms, const int32_t *shells_per_atom, const float *atom_x,
                        const float *atom_y, const float *atom_z, const int32_t *shell_l,
                        const int32_t *shell_n_prim, const float *prim_exponent,
                        const float *prim_coeff);

}  // namespace kernels
