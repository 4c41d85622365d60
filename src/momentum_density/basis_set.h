// The basis as the momentum density engine receives it: the caller's flat basis
// arrays, borrowed for one call, together with the counts derived from them.
#pragma once

#include "basis/basis_model.h"

namespace kernels {

// Borrowed pointers to the caller's arrays (nothing is copied, nothing outlives
// the call) and the derived counts n_shells, n_components and n_prims, all 0
// when n_atoms <= 0.  The engine finds each shell's primitives through the
// running sum of shell_n_prim.
struct BasisSet {
    BasisArrays arrays;
    BasisCounts counts;
};

// The record of the caller's arrays, its counts formed afresh.
BasisSet make_basis_set(const BasisArrays &arrays);

}  // namespace kernels
