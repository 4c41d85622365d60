#include "support/test_molecule.h"

#include <cmath>
#include <cstring>

namespace kernels_test {

int32_t Molecule::n_components() const {
    int32_t total = 0;
    for (int32_t l : shell_l) total += 2 * l + 1;
    return total;
}

Molecule &Molecule::atom(float x, float y, float z) {
    atom_x.push_back(x), atom_y.push_back(y), atom_z.push_back(z);
    shells_per_atom.push_back(0);
    return *this;
}

Molecule &Molecule::shell(int32_t l, std::vector<float> exponents, std::vector<float> coefficients) {
    shells_per_atom.back() += 1;
    shell_l.push_back(l);
    shell_n_prim.push_back(static_cast<int32_t>(exponents.size()));
    prim_exponent.insert(prim_exponent.end(), exponents.begin(), exponents.end());
    prim_coeff.insert(prim_coeff.end(), coefficients.begin(), coefficients.end());
    return *this;
}

Molecule random_molecule(std::mt19937 &rng, int n_atoms, int max_shells, int max_l, float extent) {
    std::uniform_real_distribution<float> position(-extent, extent), log_exponent(-1.5f, 2.0f),
        coefficient(0.2f, 1.5f);
    std::uniform_int_distribution<int> shells(1, max_shells), degree(0, max_l), prims(1, 3);
    Molecule molecule;
    for (int a = 0; a < n_atoms; ++a) {
        molecule.atom(position(rng), position(rng), position(rng));
        for (int s = shells(rng); s > 0; --s) {
            std::vector<float> exponents, coefficients;
            for (int p = prims(rng); p > 0; --p) {
                exponents.push_back(std::pow(10.0f, log_exponent(rng)));
                coefficients.push_back(coefficient(rng));
            }
            molecule.shell(degree(rng), exponents, coefficients);
        }
    }
    return molecule;
}

std::vector<float> random_orbital(std::mt19937 &rng, const Molecule &molecule) {
    std::uniform_real_distribution<float> coefficient(-1.0f, 1.0f);
    std::vector<float> row(static_cast<size_t>(molecule.n_components()));
    for (float &c : row) c = coefficient(rng);
    return row;
}

}  // namespace kernels_test
