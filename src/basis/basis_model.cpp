// Derived counts of the basis model, recomputed at the start of every call.
#include "basis/basis_model.h"

namespace kernels {

int32_t count_shells(int32_t n_atoms, const int32_t *shells_per_atom) {
    int32_t n_shells = 0;
    for (int32_t a = 0; a < n_atoms; ++a) n_shells = wrapping_add(n_shells, shells_per_atom[a]);
    return n_shells;
}

int32_t count_components(int32_t n_atoms, const int32_t *shells_per_atom, const int32_t *shell_l) {
    if (n_atoms <= 0) return 0;
    const int32_t n_shells = count_shells(n_atoms, shells_per_atom);
    int32_t n_components = 0;
    for (int32_t s = 0; s < n_shells; ++s)
        n_components = wrapping_add(n_components, shell_size(shell_l[s]));
    return n_components;
}

int32_t count_primitives(int32_t n_shells, const int32_t *shell_n_prim) {
    int32_t n_prims = 0;
    for (int32_t s = 0; s < n_shells; ++s) n_prims = wrapping_add(n_prims, shell_n_prim[s]);
    return n_prims;
}

BasisCounts count_basis(const BasisArrays &basis) {
    BasisCounts counts{0, 0, 0};
    if (basis.n_atoms <= 0) return counts;
    counts.n_shells = count_shells(basis.n_atoms, basis.shells_per_atom);
    counts.n_components = count_components(basis.n_atoms, basis.shells_per_atom, basis.shell_l);
    counts.n_prims = count_primitives(counts.n_shells, basis.shell_n_prim);
    return counts;
}

}  // namespace kernels
