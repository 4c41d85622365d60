// One call of each molecule kernel on a test Molecule, the regular grid the
// volume kernels share, bit comparison of whole arrays, and the loop that makes
// each allocation of a call fail in turn.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "libkernels.h"
#include "support/allocation_failure.h"
#include "support/test_molecule.h"

namespace kernels_test {

// A regular grid of nx * ny * nz points (real space or momentum space), x fastest.
struct Grid {
    int32_t nx, ny, nz;
    float x_min, y_min, z_min, step;

    size_t size() const { return nx > 0 && ny > 0 && nz > 0 ? size_t(nx) * ny * nz : 1; }
    float x(int32_t i) const { return static_cast<float>(i) * step + x_min; }
    float y(int32_t j) const { return static_cast<float>(j) * step + y_min; }
    float z(int32_t k) const { return static_cast<float>(k) * step + z_min; }
    size_t index(int32_t i, int32_t j, int32_t k) const { return (size_t(k) * ny + j) * nx + i; }
    // The one-point grid at point (i, j, k) of this grid.
    Grid point(int32_t i, int32_t j, int32_t k) const { return {1, 1, 1, x(i), y(j), z(k), 1.0f}; }
};

template <typename T>
std::unique_ptr<T[]> exact(const std::vector<T> &v) {
    std::unique_ptr<T[]> copy(new T[v.size()]);
    std::copy(v.begin(), v.end(), copy.get());
    return copy;
}

// Exact-length copies of a molecule's arrays, which every call below passes:
// the sanitizer build sees any read outside what the counts describe.
struct Exact {
    std::unique_ptr<int32_t[]> spa, l, np;
    std::unique_ptr<float[]> x, y, z, ex, co;
    explicit Exact(const Molecule &m)
        : spa(exact(m.shells_per_atom)),
          l(exact(m.shell_l)),
          np(exact(m.shell_n_prim)),
          x(exact(m.atom_x)),
          y(exact(m.atom_y)),
          z(exact(m.atom_z)),
          ex(exact(m.prim_exponent)),
          co(exact(m.prim_coeff)) {}
};

inline void call_scalar_field(const Grid &g, const Molecule &m, const float *row, float *out) {
    const Exact a(m);
    scalar_field(g.nx, g.ny, g.nz, m.n_atoms(), a.spa.get(), a.x.get(), g.x_min, g.y_min, g.z_min, g.step,
                 a.y.get(), a.z.get(), a.l.get(), a.np.get(), a.ex.get(), a.co.get(), row, out);
}

inline void call_charge_density(const Grid &g, const Molecule &m, int32_t n_orbitals, const float *weights,
                                const float *matrix, float *out) {
    const Exact a(m);
    charge_density_sum(g.nx, g.ny, g.nz, n_orbitals, weights, matrix, g.x_min, g.y_min, g.z_min, g.step,
                       m.n_atoms(), a.spa.get(), a.x.get(), a.y.get(), a.z.get(), a.l.get(), a.np.get(),
                       a.ex.get(), a.co.get(), out);
}

// The kernels' results in fresh arrays prefilled with `fill` (what a call that
// writes nothing leaves).
inline std::vector<float> field(const Grid &g, const Molecule &m, const std::vector<float> &row,
                                float fill = -7.0f) {
    std::vector<float> out(g.size(), fill);
    call_scalar_field(g, m, exact(row).get(), out.data());
    return out;
}

inline std::vector<float> charge(const Grid &g, const Molecule &m, const std::vector<float> &matrix,
                                 int32_t n_orbitals, const float *weights = nullptr) {
    std::vector<float> out(g.size(), -7.0f);
    call_charge_density(g, m, n_orbitals, weights, exact(matrix).get(), out.data());
    return out;
}

inline std::vector<float> density(const Grid &g, const Molecule &m, const std::vector<float> &row) {
    std::vector<float> out(g.size(), 7.0f);
    const Exact a(m);
    momentum_density(g.nx, g.ny, g.nz, m.n_atoms(), a.spa.get(), a.x.get(), g.x_min, g.y_min, g.z_min, g.step,
                     a.y.get(), a.z.get(), a.l.get(), a.np.get(), a.ex.get(), a.co.get(), exact(row).get(),
                     out.data());
    return out;
}

inline std::vector<float> density_sum(const Grid &g, const Molecule &m, const std::vector<float> &mo,
                                      int32_t n_orbitals, const float *weights = nullptr) {
    std::vector<float> out(g.size(), 7.0f);
    const Exact a(m);
    momentum_density_sum(g.nx, g.ny, g.nz, n_orbitals, weights, exact(mo).get(), g.x_min, g.y_min, g.z_min,
                         g.step, m.n_atoms(), a.spa.get(), a.x.get(), a.y.get(), a.z.get(), a.l.get(),
                         a.np.get(), a.ex.get(), a.co.get(), out.data());
    return out;
}

// Orientation angles of a momentum map, in degrees.
struct Angles {
    float alpha = 0.0f, beta = 0.0f, gamma = 0.0f;
};

// momentum_map on an n x n grid starting at k_min (n <= 0: one untouched element).
inline std::vector<float> momentum_map_of(const Molecule &m, const std::vector<float> &row, float e_kin,
                                          int32_t n, float k_min, float k_step, Angles angles = {},
                                          float fill = 7.0f) {
    std::vector<float> out(n > 0 ? size_t(n) * n : 1, fill);
    const Exact a(m);
    momentum_map(n, m.n_atoms(), a.spa.get(), a.x.get(), a.y.get(), a.z.get(), e_kin, k_min, k_step,
                 angles.alpha, angles.beta, angles.gamma, a.l.get(), a.np.get(), a.ex.get(), a.co.get(),
                 exact(row).get(), out.data());
    return out;
}

// Rows o = 0..n-1 of random orbitals, one after the other.
inline std::vector<float> random_orbitals(std::mt19937 &rng, const Molecule &m, int n) {
    std::vector<float> rows;
    for (int o = 0; o < n; ++o) {
        const std::vector<float> row = random_orbital(rng, m);
        rows.insert(rows.end(), row.begin(), row.end());
    }
    return rows;
}

inline float largest(const std::vector<float> &values) {
    float top = 0.0f;
    for (float v : values) top = v > top ? v : top;
    return top;
}

// Index of the first element whose bits differ, -1 if none, -2 if the sizes differ.
inline long first_difference(const std::vector<float> &a, const std::vector<float> &b) {
    for (size_t e = 0; e < a.size() && a.size() == b.size(); ++e)
        if (bits(a[e]) != bits(b[e])) return long(e);
    return a.size() == b.size() ? -1 : -2;
}

// Runs call with each of its expected_count allocations failing in turn,
// expects errno to say so afterwards, and hands the index to check.
inline void each_failing_allocation(int expected_count, const std::function<void()> &call,
                                    const std::function<void(int)> &check) {
    ASSERT_EQ(count_allocations(call), expected_count);
    for (int index = 0; index < expected_count; ++index) {
        EXPECT_EQ(with_failing_allocation(index, call), ENOMEM) << "allocation " << index;
        check(index);
    }
}

}  // namespace kernels_test

// Compares two float arrays bit for bit, reporting the first difference.
#define EXPECT_SAME_BITS(a, b)                                                                           \
    do {                                                                                                 \
        const long e_ = ::kernels_test::first_difference((a), (b));                                      \
        if (e_ != -1)                                                                                    \
            ADD_FAILURE() << "sizes " << (a).size() << ", " << (b).size() << "; first difference " << e_ \
                          << ": " << (e_ >= 0 ? (a)[e_] : 0) << " vs " << (e_ >= 0 ? (b)[e_] : 0);       \
    } while (0)
