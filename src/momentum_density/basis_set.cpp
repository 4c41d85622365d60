// Bundles the caller's basis arrays and their derived counts for the momentum
// density engine.
#include "momentum_density/basis_set.h"

#include "basis/basis_model.h"

namespace kernels {

BasisSet make_basis_set(int32_t n_atoms, const int32_t *shells_per_atom, const float *atom_x,
                        const float *atom_y, const float *atom_z, const int32_t *shell_l,
                        const int32_t *shell_n_prim, const float *prim_exponent,
                        const float *prim_coeff) {
    BasisSet basis;
    basis.n_atoms = n_atoms;
    basis.n_shells = count_shells(n_atoms, shells_per_atom);
    basis.n_components = count_components(n_atoms, shells_per_atom, shell_l);
    basis.shells_per_atom = shells_per_atom;
    basis.atom_x = atom_x;
    basis.atom_y = atom_y;
    basis.atom_z = atom_z;
    basis.shell_l = shell_l;
    basis.shell_n_prim = shell_n_prim;
    basis.prim_exponent = prim_exponent;
    basis.prim_coeff = prim_coeff;
    return basis;
}

}  // namespace kernels
