// Calls of the real-space functions on test molecules, and the grids they use.
#pragma once

#include <cstdint>
#include <vector>

#include "libkernels.h"
#include "support/test_molecule.h"

namespace kernels_test {

struct Grid {
    int32_t nx, ny, nz;
    float x_min, y_min, z_min, step;

    size_t size() const { return static_cast<size_t>(nx) * ny * nz; }
    float x(int32_t i) const { return static_cast<float>(i) * step + x_min; }
    float y(int32_t j) const { return static_cast<float>(j) * step + y_min; }
    float z(int32_t k) const { return static_cast<float>(k) * step + z_min; }
    size_t index(int32_t i, int32_t j, int32_t k) const {
        return (static_cast<size_t>(k) * ny + j) * nx + i;
    }
    // The one-point grid at point (i, j, k) of this grid.
    Grid point(int32_t i, int32_t j, int32_t k) const { return {1, 1, 1, x(i), y(j), z(k), 1.0f}; }
};

inline void call_scalar_field(const Grid &g, const Molecule &m, const float *row, float *out) {
    scalar_field(g.nx, g.ny, g.nz, m.n_atoms(), m.shells_per_atom.data(), m.atom_x.data(), g.x_min,
                 g.y_min, g.z_min, g.step, m.atom_y.data(), m.atom_z.data(), m.shell_l.data(),
                 m.shell_n_prim.data(), m.prim_exponent.data(), m.prim_coeff.data(), row, out);
}

inline std::vector<float> field(const Grid &g, const Molecule &m, const std::vector<float> &row) {
    std::vector<float> out(g.size(), -7.0f);
    call_scalar_field(g, m, row.data(), out.data());
    return out;
}

inline void call_charge_density(const Grid &g, const Molecule &m, int32_t n_orbitals,
                                const float *weights, const float *matrix, float *out) {
    charge_density_sum(g.nx, g.ny, g.nz, n_orbitals, weights, matrix, g.x_min, g.y_min, g.z_min,
                       g.step, m.n_atoms(), m.shells_per_atom.data(), m.atom_x.data(),
                       m.atom_y.data(), m.atom_z.data(), m.shell_l.data(), m.shell_n_prim.data(),
                       m.prim_exponent.data(), m.prim_coeff.data(), out);
}

// Compares two float arrays bit for bit, reporting the first difference.
#define EXPECT_SAME_BITS(a, b)                                                         \
    do {                                                                               \
        ASSERT_EQ((a).size(), (b).size());                                             \
        for (size_t e_ = 0; e_ < (a).size(); ++e_)                                     \
            if (::kernels_test::bits((a)[e_]) != ::kernels_test::bits((b)[e_])) {      \
                ADD_FAILURE() << "element " << e_ << ": " << (a)[e_] << " vs " << (b)[e_]; \
                break;                                                                 \
            }                                                                          \
    } while (0)

}  // namespace kernels_test
