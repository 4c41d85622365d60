// Molecules for tests: the library's flat basis arrays, built shell by shell.
#pragma once

#include <cstdint>
#include <random>
#include <vector>

#include "support/float_bits.h"

namespace kernels_test {

struct Molecule {
    std::vector<int32_t> shells_per_atom;
    std::vector<float> atom_x, atom_y, atom_z;
    std::vector<int32_t> shell_l, shell_n_prim;
    std::vector<float> prim_exponent, prim_coeff;

    int32_t n_atoms() const { return static_cast<int32_t>(atom_x.size()); }
    int32_t n_shells() const { return static_cast<int32_t>(shell_l.size()); }
    int32_t n_components() const;

    // Appends an atom; later add_shell calls give it shells.
    Molecule &atom(float x, float y, float z);
    // Appends a shell to the last atom.
    Molecule &shell(int32_t l, std::vector<float> exponents, std::vector<float> coefficients);
};

// A random molecule: n_atoms atoms within `extent` bohr of the origin, each with
// 1..max_shells shells of degree 0..max_l and 1..3 primitives.
Molecule random_molecule(std::mt19937 &rng, int n_atoms, int max_shells, int max_l, float extent);

// A random orbital row for the molecule, coefficients in [-1, 1].
std::vector<float> random_orbital(std::mt19937 &rng, const Molecule &molecule);

}  // namespace kernels_test
