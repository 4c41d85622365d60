// A benchmark molecule read from bench/data/<name>.txt: the flat basis arrays
// every orbital kernel takes, and a few occupied frontier orbitals (HOMO,
// HOMO-1, ...) as rows of coefficients with their energies.  The files are
// written by bench/data/make_bench_molecules.py.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct BenchMolecule {
    std::string name;
    std::string basis;
    std::vector<int32_t> shells_per_atom;
    std::vector<float> atom_x, atom_y, atom_z;
    std::vector<int32_t> shell_l, shell_n_prim;
    std::vector<float> prim_exponent, prim_coeff;
    int32_t n_components = 0;
    std::vector<std::string> orbital_label;  // "HOMO", "HOMO-1", ...
    std::vector<double> orbital_energy;      // hartree
    std::vector<float> mo_coeff;             // n_orbitals rows of n_components

    int32_t n_atoms() const { return static_cast<int32_t>(shells_per_atom.size()); }
    int32_t n_orbitals() const { return static_cast<int32_t>(orbital_label.size()); }
    const float *orbital(int32_t o) const { return mo_coeff.data() + static_cast<size_t>(o) * n_components; }
};

// Reads <directory>/<name>.txt; throws std::runtime_error naming the file and
// what is wrong with it.
BenchMolecule read_bench_molecule(const std::string &directory, const std::string &name);
