// Shared helpers of the momentum map tests: one call of momentum_map on a test
// molecule, and the orientation matrix written out in double from its
// definition Rz(alpha) Rx(beta) Rz(gamma).
#pragma once

#include <array>
#include <cmath>
#include <vector>

#include "support/kernel_calls.h"

namespace map_test {

using kernels_test::Angles;
using kernels_test::largest;
using kernels_test::Molecule;

struct Grid {
    int32_t n;
    float k_min;
    float k_step;
    float coordinate(int32_t index) const { return static_cast<float>(index) * k_step + k_min; }
};

inline std::vector<float> map_of(const Molecule &m, const std::vector<float> &row, float e_kin,
                                 const Grid &grid, Angles angles = {}, float fill = 7.0f) {
    return kernels_test::momentum_map_of(m, row, e_kin, grid.n, grid.k_min, grid.k_step, angles, fill);
}

using Matrix = std::array<std::array<double, 3>, 3>;
using Vector = std::array<double, 3>;

// a * b, or a * b^T when b_transposed.
inline Matrix multiply(const Matrix &a, const Matrix &b, bool b_transposed = false) {
    Matrix c{};
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            for (int k = 0; k < 3; ++k) c[i][j] += a[i][k] * (b_transposed ? b[j][k] : b[k][j]);
    return c;
}

inline Matrix transpose(const Matrix &m) {
    return multiply(Matrix{{{1, 0, 0}, {0, 1, 0}, {0, 0, 1}}}, m, true);
}

// Lab momentum -> molecule frame: counter-clockwise Rz(alpha) Rx(beta) Rz(gamma), degrees.
inline Matrix orientation(const Angles &a) {
    auto z = [](double t) {
        const double c = std::cos(t * M_PI / 180), s = std::sin(t * M_PI / 180);
        return Matrix{{{c, -s, 0}, {s, c, 0}, {0, 0, 1}}};
    };
    const double c = std::cos(a.beta * M_PI / 180), s = std::sin(a.beta * M_PI / 180);
    return multiply(z(a.alpha), multiply(Matrix{{{1, 0, 0}, {0, c, -s}, {0, s, c}}}, z(a.gamma)));
}

inline Vector apply(const Matrix &m, const Vector &v) {
    Vector r{};
    for (int i = 0; i < 3; ++i) r[i] = m[i][0] * v[0] + m[i][1] * v[1] + m[i][2] * v[2];
    return r;
}

// The pixel (i, j) lies on the hemisphere of squared radius k2.
inline bool inside(const Grid &g, float k2, int i, int j) {
    const float kx = g.coordinate(i), ky = g.coordinate(j);
    return (k2 - kx * kx) - ky * ky >= 0.0f;
}

inline float squared_radius(float e_kin) {
    const float k = std::sqrt(e_kin + e_kin);
    return k * k;
}

}  // namespace map_test
