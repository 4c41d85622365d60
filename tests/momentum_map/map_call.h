// Shared helpers of the momentum map tests: one call of momentum_map on a test
// molecule, the orientation matrix written out in double from its definition
// Rz(alpha) Rx(beta) Rz(gamma), and the grid coordinates of a map.
#pragma once

#include <libkernels.h>

#include <array>
#include <cmath>
#include <vector>

#include "support/test_molecule.h"

namespace map_test {

using kernels_test::Molecule;

struct Grid {
    int32_t n;
    float k_min;
    float k_step;
    float coordinate(int32_t index) const { return static_cast<float>(index) * k_step + k_min; }
};

struct Angles {
    float alpha = 0.0f, beta = 0.0f, gamma = 0.0f;
};

inline std::vector<float> map_of(const Molecule &m, const std::vector<float> &row, float e_kin,
                                 const Grid &grid, Angles angles = {}, float fill = 7.0f) {
    std::vector<float> out(static_cast<size_t>(grid.n > 0 ? grid.n * grid.n : 1), fill);
    momentum_map(grid.n, m.n_atoms(), m.shells_per_atom.data(), m.atom_x.data(), m.atom_y.data(),
                 m.atom_z.data(), e_kin, grid.k_min, grid.k_step, angles.alpha, angles.beta,
                 angles.gamma, m.shell_l.data(), m.shell_n_prim.data(), m.prim_exponent.data(),
                 m.prim_coeff.data(), row.data(), out.data());
    return out;
}

using Matrix = std::array<std::array<double, 3>, 3>;

inline Matrix multiply(const Matrix &a, const Matrix &b) {
    Matrix c{};
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            for (int k = 0; k < 3; ++k) c[i][j] += a[i][k] * b[k][j];
    return c;
}

// Counter-clockwise rotations by t degrees.
inline Matrix rotation_z(double t) {
    const double r = t * M_PI / 180.0, c = std::cos(r), s = std::sin(r);
    return Matrix{{{c, -s, 0}, {s, c, 0}, {0, 0, 1}}};
}
inline Matrix rotation_x(double t) {
    const double r = t * M_PI / 180.0, c = std::cos(r), s = std::sin(r);
    return Matrix{{{1, 0, 0}, {0, c, -s}, {0, s, c}}};
}

// Lab momentum -> molecule frame.
inline Matrix orientation(const Angles &a) {
    return multiply(rotation_z(a.alpha), multiply(rotation_x(a.beta), rotation_z(a.gamma)));
}

inline std::array<double, 3> apply(const Matrix &m, const std::array<double, 3> &v) {
    std::array<double, 3> r{};
    for (int i = 0; i < 3; ++i) r[i] = m[i][0] * v[0] + m[i][1] * v[1] + m[i][2] * v[2];
    return r;
}

inline Matrix transpose(const Matrix &m) {
    Matrix t{};
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) t[i][j] = m[j][i];
    return t;
}

inline float largest(const std::vector<float> &map) {
    float top = 0.0f;
    for (float v : map) top = std::fmax(top, v);
    return top;
}

}  // namespace map_test
