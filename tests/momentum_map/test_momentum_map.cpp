// momentum_map: closed-form maps of single shells, the fringes of two atoms, the
// rim of the hemisphere, the prefactor table, rotated orbitals against rotated
// orientations, and the map against a numerical Fourier transform of the
// real-space orbital.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <random>

#include "basis/basis_model.h"
#include "basis/real_harmonics.h"
#include "basis/shell_radial_momentum.h"
#include "map_call.h"
#include "momentum_map/orientation_matrix.h"
#include "momentum_map/prefactor_table.h"
#include "support/allocation_failure.h"

using namespace map_test;
using kernels_test::bits;

namespace {

constexpr double C_P = 0.48860251190291992;
constexpr double C_D0 = 0.31539155959179921, C_D1 = 1.0925484305920792, C_D2 = 0.54627421529603959;

kernels::BasisArrays arrays_of(const Molecule &m) {
    return {m.n_atoms(),           m.shells_per_atom.data(), m.atom_x.data(),
            m.atom_y.data(),       m.atom_z.data(),          m.shell_l.data(),
            m.shell_n_prim.data(), m.prim_exponent.data(),   m.prim_coeff.data()};
}

bool inside(const Grid &g, float k2, int i, int j) {
    const float kx = g.coordinate(i), ky = g.coordinate(j);
    return (k2 - kx * kx) - ky * ky >= 0.0f;
}

float squared_radius(float e_kin) {
    const float k = std::sqrt(e_kin + e_kin);
    return k * k;
}

}  // namespace

TEST(MomentumMap, SShellGivesAFlatDisc) {
    const float C = 0.9f, e_kin = 1.0f;
    const Grid grid{21, -1.5f, 0.15f};
    const float k = std::sqrt(e_kin + e_kin), k2 = k * k;
    const float alpha[] = {0.8f}, coeff[] = {1.3f};
    const float radial = kernels::shell_radial_momentum(0, k, alpha, coeff, 1);
    const float amplitude = (C * radial) * kernels::Y00;
    const float disc = amplitude * amplitude;

    Molecule at_origin;
    at_origin.atom(0, 0, 0).shell(0, {0.8f}, {1.3f});
    Molecule moved;
    moved.atom(0.7f, -0.3f, 1.1f).shell(0, {0.8f}, {1.3f});
    const auto centred = map_of(at_origin, {C}, e_kin, grid);
    const auto shifted = map_of(moved, {C}, e_kin, grid, Angles{20, 30, 40});
    int n_inside = 0;
    for (int i = 0; i < grid.n; ++i)
        for (int j = 0; j < grid.n; ++j) {
            const size_t x = size_t(i) * grid.n + j;
            if (inside(grid, k2, i, j)) {
                ++n_inside;
                EXPECT_EQ(bits(centred[x]), bits(disc)) << i << "," << j;
                EXPECT_NEAR(shifted[x], disc, 4e-7 * disc) << i << "," << j;  // phase only
            } else {
                EXPECT_EQ(bits(centred[x]), 0u);
                EXPECT_EQ(bits(shifted[x]), 0u);
            }
        }
    EXPECT_GT(n_inside, 250);
}

TEST(MomentumMap, PzShellFollowsKzAndVanishesOnTheRim) {
    // k = 1 exactly; the grid reaches the rim at kx = +-1, ky = 0.
    const float C = 0.75f, e_kin = 0.5f;
    const Grid grid{17, -1.0f, 0.125f};
    Molecule m;
    m.atom(0, 0, 0).shell(1, {0.6f, 1.7f}, {0.8f, 0.3f});
    const auto map = map_of(m, {C, 0, 0}, e_kin, grid);
    const float radial =
        kernels::shell_radial_momentum(1, 1.0f, m.prim_exponent.data(), m.prim_coeff.data(), 2);
    for (int i = 0; i < grid.n; ++i)
        for (int j = 0; j < grid.n; ++j) {
            const double kx = grid.coordinate(i), ky = grid.coordinate(j);
            const double kz2 = 1.0 - kx * kx - ky * ky;
            const float value = map[size_t(i) * grid.n + j];
            if (kz2 < 0) {
                EXPECT_EQ(bits(value), 0u);
                continue;
            }
            const double expected = std::pow(C * radial * C_P * std::sqrt(kz2), 2);
            EXPECT_NEAR(value, expected, 1e-6 * expected + 1e-12) << i << "," << j;
        }
    const float centre = map[8 * 17 + 8];
    EXPECT_EQ(centre, largest(map));
    EXPECT_GT(centre, 0.0f);
    // On the rim (radicand exactly 0, so kz = 0) the pixel is evaluated and 0;
    // one step along ky the radicand is negative.
    EXPECT_EQ(bits(map[16 * 17 + 8]), 0u);
    EXPECT_EQ(bits(map[0 * 17 + 8]), 0u);
    EXPECT_EQ(bits(map[8 * 17 + 16]), 0u);
}

TEST(MomentumMap, RadicandSignDecidesThePixel) {
    // One pixel at kx = ky = 0.5: lower e_kin one float step at a time until the
    // computed radicand (k2 - kx^2) - ky^2 turns negative.  The last energy with
    // a radicand >= 0 is evaluated; the first with a negative one gives 0.
    Molecule m;
    m.atom(0, 0, 0).shell(0, {1.0f}, {1.0f});
    const Grid grid{1, 0.5f, 0.1f};
    float e = 0.2500002f;
    auto radicand = [](float e_kin) { return (squared_radius(e_kin) - 0.25f) - 0.25f; };
    while (radicand(e) >= 0.0f) e = std::nextafter(e, 0.0f);
    const float last_inside = std::nextafter(e, 1.0f);
    ASSERT_GE(radicand(last_inside), 0.0f);
    ASSERT_GT(radicand(e), -2e-7f);
    EXPECT_GT(map_of(m, {1.0f}, last_inside, grid)[0], 0.05f);
    EXPECT_EQ(bits(map_of(m, {1.0f}, e, grid)[0]), 0u);
}

TEST(MomentumMap, TwoAtomsGiveCosineFringes) {
    const float C = 0.6f, d = 1.3f, e_kin = 1.5f;
    const float k = std::sqrt(e_kin + e_kin), k2 = k * k;
    const Grid grid{31, -1.8f, 0.12f};
    Molecule m;
    m.atom(d, 0, 0).shell(0, {0.9f}, {1.0f});
    m.atom(-d, 0, 0).shell(0, {0.9f}, {1.0f});
    const auto map = map_of(m, {C, C}, e_kin, grid);
    const float radial =
        kernels::shell_radial_momentum(0, k, m.prim_exponent.data(), m.prim_coeff.data(), 1);
    const double single = std::pow(double(C) * radial * kernels::Y00, 2);
    for (int i = 0; i < grid.n; ++i)
        for (int j = 0; j < grid.n; ++j) {
            if (!inside(grid, k2, i, j)) continue;
            const double kx = grid.coordinate(i);
            const double expected = 4 * single * std::pow(std::cos(kx * d), 2);
            EXPECT_NEAR(map[size_t(i) * grid.n + j], expected, 4e-6 * single) << i << "," << j;
        }
    // Maximal along kx = 0 (row 15).
    EXPECT_NEAR(map[15 * 31 + 15], 4 * single, 4e-6 * single);
    EXPECT_NEAR(largest(map), 4 * single, 4e-6 * single);
}

TEST(MomentumMap, ZeroAnglesGiveTheIdentity) {
    const kernels::OrientationMatrix M = kernels::orientation_matrix(0, 0, 0);
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c) EXPECT_EQ(M.m[r][c], r == c ? 1.0f : 0.0f) << r << c;
}

TEST(MomentumMap, OrientationIsRzRxRz) {
    std::mt19937 rng(5);
    std::uniform_real_distribution<float> angle(-360.0f, 360.0f);
    for (int trial = 0; trial < 50; ++trial) {
        const Angles a{angle(rng), angle(rng), angle(rng)};
        const kernels::OrientationMatrix M = kernels::orientation_matrix(a.alpha, a.beta, a.gamma);
        const Matrix expected = orientation(a);
        for (int r = 0; r < 3; ++r)
            for (int c = 0; c < 3; ++c) EXPECT_NEAR(M.m[r][c], expected[r][c], 3e-7) << r << c;
    }
}

TEST(MomentumMap, EnergyWithoutHemisphereGivesAZeroMap) {
    // e_kin = 0 would otherwise divide by a zero radius at the centre pixel.
    Molecule m;
    m.atom(0, 0, 0).shell(1, {1.0f}, {1.0f}).shell(0, {0.5f}, {1.0f});
    const std::vector<float> row{0.3f, 0.4f, 0.5f, 0.7f};
    const Grid grid{5, -1.0f, 0.5f};  // pixel (2, 2) sits at k = 0
    for (float e_kin : {0.0f, -0.0f, -1.0f, -INFINITY}) {
        for (float v : map_of(m, row, e_kin, grid)) EXPECT_EQ(bits(v), 0u) << e_kin;
    }
    // A NaN energy is not a "no energy": it propagates.
    for (float v : map_of(m, row, NAN, grid)) EXPECT_TRUE(std::isnan(v));
}

TEST(MomentumMap, SizesAndEmptyMolecules) {
    Molecule m;
    m.atom(0.2f, 0, 0).shell(2, {1.0f}, {1.0f});
    const std::vector<float> row{0.1f, 0.2f, 0.3f, 0.4f, 0.5f};
    // n <= 0 writes nothing.
    EXPECT_EQ(map_of(m, row, 1.0f, Grid{0, 0, 0.1f})[0], 7.0f);
    EXPECT_EQ(map_of(m, row, 1.0f, Grid{-2, 0, 0.1f})[0], 7.0f);
    // n = 1 is the pixel at (k_min, k_min), the same as the first of a larger map.
    EXPECT_EQ(bits(map_of(m, row, 1.0f, Grid{1, -0.3f, 0.2f})[0]),
              bits(map_of(m, row, 1.0f, Grid{4, -0.3f, 0.2f})[0]));
    // No atoms, or no active shell: all zero inside and outside the disc.
    Molecule none;
    for (float v : map_of(none, {}, 1.0f, Grid{4, -2.0f, 1.0f})) EXPECT_EQ(bits(v), 0u);
    for (float v : map_of(m, std::vector<float>(5, 1e-6f), 1.0f, Grid{4, -2.0f, 1.0f}))
        EXPECT_EQ(bits(v), 0u);
}

TEST(MomentumMap, PrefactorTableFoldsPhaseCoefficientAndRadius) {
    // Atom 0 has no shells, atom 1 a d shell, an inactive p shell and an f shell
    // with one coefficient barely above the threshold, atom 2 an inactive g shell
    // and an s shell.
    Molecule m;
    m.atom(0, 0, 0);
    m.atom(1, 0, 0)
        .shell(2, {0.7f}, {1.2f})
        .shell(1, {2.0f}, {1.0f})
        .shell(3, {0.9f, 0.3f}, {0.5f, 0.25f});
    m.atom(0, 1, 0).shell(4, {1.0f}, {1.0f}).shell(0, {0.4f}, {2.0f});
    std::vector<float> row{0.5f,  -0.25f, 0.75f, 1.0f,          -1.5f,         // d
                           1e-6f, -1e-6f, 1e-6f,                               // p, inactive
                           0,     0,      0,     1.0000001e-6f, 0,     0, 0};  // f, active
    for (int c = 0; c < 9; ++c) row.push_back(c % 2 ? -1e-6f : 1e-6f);         // g, inactive
    row.push_back(-0.8f);                                                      // s

    const float k = 1.25f;
    const kernels::BasisArrays basis = arrays_of(m);
    const kernels::BasisCounts counts = kernels::count_basis(basis);
    const int64_t n_entries = kernels::count_table_components(basis, counts, row.data());
    ASSERT_EQ(n_entries, 5 + 7 + 1);
    std::vector<int32_t> block(kernels::prefactor_block_bytes(3, n_entries) / 4, -99);
    ASSERT_EQ(block.size(), 3u + 3 * 13);
    const kernels::PrefactorTable t =
        kernels::fill_prefactor_table(block.data(), basis, counts, row.data(), n_entries, k);

    EXPECT_EQ(t.l_max, 3);  // the inactive g shell does not raise it
    EXPECT_EQ(t.active_count[0], 0);
    EXPECT_EQ(t.active_count[1], 12);
    EXPECT_EQ(t.active_count[2], 1);
    const float r2 = kernels::shell_radial_momentum(2, k, &m.prim_exponent[0], &m.prim_coeff[0], 1);
    const float r3 = kernels::shell_radial_momentum(3, k, &m.prim_exponent[2], &m.prim_coeff[2], 2);
    const float r0 = kernels::shell_radial_momentum(0, k, &m.prim_exponent[5], &m.prim_coeff[5], 1);
    for (int c = 0; c < 5; ++c) {  // (-i)^2 = -1
        EXPECT_EQ(bits(t.pref_re[c]), bits(-(row[c] * r2)));
        EXPECT_EQ(t.pref_im[c], 0.0f);
        EXPECT_EQ(t.harm_index[c], 4 + c);
    }
    for (int c = 0; c < 7; ++c) {  // (-i)^3 = +i
        EXPECT_EQ(t.pref_re[5 + c], 0.0f);
        EXPECT_EQ(bits(t.pref_im[5 + c]), bits(row[8 + c] * r3));
        EXPECT_EQ(t.harm_index[5 + c], 9 + c);
    }
    EXPECT_EQ(bits(t.pref_re[12]), bits(-0.8f * r0));
    EXPECT_EQ(t.harm_index[12], 0);
}

TEST(MomentumMap, OutOfModelShellsAreSafe) {
    // A shell of negative l moves the next shell's coefficients back, so two
    // shells that take part share coefficients and the table holds more entries
    // (10) than the row has components (7).  The map is that of two d shells
    // reading coefficients 0..4 and 2..6.
    Molecule odd;
    odd.atom(0.3f, 0, 0)
        .shell(2, {0.8f}, {1.0f})
        .shell(-2, {5.0f}, {9.0f})
        .shell(2, {1.4f}, {0.6f});
    const std::vector<float> row{0.1f, -0.2f, 0.3f, 0.4f, -0.5f, 0.6f, 0.7f};
    ASSERT_EQ(odd.n_components(), 7);
    Molecule plain;
    plain.atom(0.3f, 0, 0).shell(2, {0.8f}, {1.0f}).shell(2, {1.4f}, {0.6f});
    const std::vector<float> plain_row{0.1f, -0.2f, 0.3f,  0.4f, -0.5f,
                                       0.3f, 0.4f,  -0.5f, 0.6f, 0.7f};
    const Grid grid{9, -1.2f, 0.3f};
    const Angles angles{10, 20, 30};
    const auto a = map_of(odd, row, 0.9f, grid, angles),
               b = map_of(plain, plain_row, 0.9f, grid, angles);
    for (size_t x = 0; x < a.size(); ++x) EXPECT_EQ(bits(a[x]), bits(b[x])) << x;

    // A shell beyond g contributes nothing but still moves the offsets.
    Molecule high;
    high.atom(0, 0, 0.5f).shell(5, {1.0f}, {1.0f}).shell(1, {0.7f}, {1.0f});
    std::vector<float> high_row(11 + 3, 1.0f);
    std::vector<float> silent_row(high_row);
    std::fill(silent_row.begin(), silent_row.begin() + 11, 0.0f);
    const auto c = map_of(high, high_row, 0.9f, grid, angles);
    const auto d = map_of(high, silent_row, 0.9f, grid, angles);
    for (size_t x = 0; x < c.size(); ++x) EXPECT_EQ(bits(c[x]), bits(d[x])) << x;
    EXPECT_GT(largest(c), 0.0f);
}

TEST(MomentumMap, FailedScratchLeavesAClearedMap) {
    Molecule m;
    m.atom(0, 0, 0).shell(1, {1.0f}, {1.0f});
    const std::vector<float> row{0.5f, 0.5f, 0.5f};
    const Grid grid{3, -0.5f, 0.5f};
    std::vector<float> out;
    EXPECT_EQ(kernels_test::count_allocations([&] { out = map_of(m, row, 1.0f, grid); }), 1);
    kernels_test::with_failing_allocation(0, [&] { out = map_of(m, row, 1.0f, grid); });
    ASSERT_EQ(out.size(), 9u);
    for (float v : out) EXPECT_EQ(bits(v), 0u);
}

namespace {

// Coefficients of a d shell as the symmetric matrix A of its polynomial r.A.r,
// and back.  Component order: 3z^2 - r^2, xz, yz, x^2 - y^2, xy.
Matrix d_shell_matrix(const float *c) {
    Matrix a{};
    a[0][0] = -C_D0 * c[0] + C_D2 * c[3];
    a[1][1] = -C_D0 * c[0] - C_D2 * c[3];
    a[2][2] = 2 * C_D0 * c[0];
    a[0][2] = a[2][0] = C_D1 * c[1] / 2;
    a[1][2] = a[2][1] = C_D1 * c[2] / 2;
    a[0][1] = a[1][0] = C_D1 * c[4] / 2;
    return a;
}

void d_shell_coefficients(const Matrix &a, float *c) {
    c[0] = float(a[2][2] / (2 * C_D0));
    c[1] = float(2 * a[0][2] / C_D1);
    c[2] = float(2 * a[1][2] / C_D1);
    c[3] = float((a[0][0] - a[1][1]) / (2 * C_D2));
    c[4] = float(2 * a[0][1] / C_D1);
}

}  // namespace

TEST(MomentumMap, RotatedOrbitalMatchesRotatedOrientation) {
    // The map at lab momentum k is |psi~(M k)|^2.  The orbital psi'(r) = psi(M r)
    // has psi'~(k) = psi~(M k), so its map with all angles 0 must equal the map
    // of psi with the angles of M.  psi' has its atoms at M^T P, its p
    // coefficients turned by M^T and its d polynomials by A -> M^T A M.
    Molecule m;
    m.atom(0.8f, -0.4f, 0.3f).shell(0, {1.1f}, {0.9f}).shell(1, {0.7f, 2.0f}, {0.6f, 0.3f});
    m.atom(-0.5f, 0.6f, -0.7f).shell(2, {0.9f}, {1.0f});
    m.atom(0.1f, 0.2f, 0.9f).shell(2, {1.3f}, {0.8f}).shell(1, {0.5f}, {1.0f});
    const std::vector<float> row{0.4f,                                // s
                                 0.3f,  -0.6f, 0.5f,                  // p (z, x, y)
                                 0.25f, -0.5f, 0.35f, 0.45f,  -0.3f,  // d
                                 -0.2f, 0.4f,  0.15f, -0.35f, 0.55f,  // d
                                 0.5f,  0.2f,  -0.4f};                // p
    const Grid grid{15, -1.4f, 0.2f};
    const float e_kin = 1.1f;
    for (const Angles angles : {Angles{30, 50, -70}, Angles{-120, 15, 200}, Angles{0, 90, 0}}) {
        const Matrix M = orientation(angles), Mt = transpose(M);
        Molecule turned = m;
        for (int a = 0; a < m.n_atoms(); ++a) {
            const auto p = apply(Mt, {m.atom_x[a], m.atom_y[a], m.atom_z[a]});
            turned.atom_x[a] = float(p[0]);
            turned.atom_y[a] = float(p[1]);
            turned.atom_z[a] = float(p[2]);
        }
        std::vector<float> turned_row = row;
        int offset = 0;
        for (int s = 0; s < m.n_shells(); ++s) {
            const int l = m.shell_l[s];
            float *c = &turned_row[offset];
            if (l == 1) {
                const auto v = apply(Mt, {row[offset + 1], row[offset + 2], row[offset]});
                c[0] = float(v[2]);
                c[1] = float(v[0]);
                c[2] = float(v[1]);
            } else if (l == 2) {
                d_shell_coefficients(multiply(Mt, multiply(d_shell_matrix(&row[offset]), M)), c);
            }
            offset += 2 * l + 1;
        }
        const auto oriented = map_of(m, row, e_kin, grid, angles);
        const auto rotated = map_of(turned, turned_row, e_kin, grid);
        const float scale = largest(oriented);
        ASSERT_GT(scale, 0.0f);
        for (size_t x = 0; x < oriented.size(); ++x)
            EXPECT_NEAR(rotated[x], oriented[x], 2e-5f * scale) << x;
    }
}

TEST(MomentumMap, AgreesWithTheFourierTransformOfTheOrbital) {
    // |psi~(k')|^2 / pi^3, with psi~(k) = sum_r psi(r) e^{-i k.r} h^3 summed in
    // double over the orbital that scalar_field puts on a fine real-space grid;
    // for Gaussians this sum converges far below float32 rounding.  Every degree
    // s..g takes part, so the two kernels must also agree on component order,
    // harmonic signs and the (-i)^l phases.
    Molecule m;
    m.atom(0.3f, -0.2f, 0.25f).shell(0, {1.6f, 0.65f}, {0.4f, 0.7f}).shell(1, {0.9f}, {1.0f});
    m.atom(-0.45f, 0.35f, -0.15f).shell(2, {0.8f}, {1.1f}).shell(3, {1.2f}, {0.9f});
    m.atom(0.1f, 0.5f, 0.4f).shell(4, {1.5f}, {0.6f});
    std::mt19937 rng(9);
    const std::vector<float> row = kernels_test::random_orbital(rng, m);

    const double h = 0.25, L = 8.0;
    const int points = int(std::lround(2 * L / h)) + 1;
    std::vector<float> values(size_t(points) * points * points);
    scalar_field(points, points, points, m.n_atoms(), m.shells_per_atom.data(), m.atom_x.data(),
                 float(-L), float(-L), float(-L), float(h), m.atom_y.data(), m.atom_z.data(),
                 m.shell_l.data(), m.shell_n_prim.data(), m.prim_exponent.data(),
                 m.prim_coeff.data(), row.data(), values.data());
    std::vector<double> axis(points);
    for (int i = 0; i < points; ++i) axis[i] = -L + i * h;  // exact in float32 too

    const float e_kin = 0.9f;
    const Grid grid{9, -1.2f, 0.3f};
    const Angles angles{25, 40, -60};
    const auto map = map_of(m, row, e_kin, grid, angles);
    const Matrix M = orientation(angles);
    const double k = std::sqrt(2.0 * e_kin);
    const float scale = largest(map);
    for (auto [i, j] : {std::pair{4, 4}, {2, 5}, {6, 1}, {1, 3}, {7, 7}, {0, 4}}) {
        const double kx = grid.coordinate(i), ky = grid.coordinate(j);
        const double kz = std::sqrt(k * k - kx * kx - ky * ky);
        ASSERT_TRUE(std::isfinite(kz));
        const auto q = apply(M, {kx, ky, kz});
        std::vector<std::complex<double>> ex(points), ey(points), ez(points);
        for (int n = 0; n < points; ++n) {
            ex[n] = std::polar(1.0, -q[0] * axis[n]);
            ey[n] = std::polar(1.0, -q[1] * axis[n]);
            ez[n] = std::polar(1.0, -q[2] * axis[n]);
        }
        std::complex<double> sum = 0;
        for (int c = 0; c < points; ++c)  // point (a, b, c) at (c * ny + b) * nx + a
            for (int b = 0; b < points; ++b) {
                std::complex<double> line = 0;
                const float *v = &values[(size_t(c) * points + b) * points];
                for (int a = 0; a < points; ++a) line += double(v[a]) * ex[a];
                sum += line * ey[b] * ez[c];
            }
        const double expected = std::norm(sum * h * h * h) / std::pow(M_PI, 3);
        EXPECT_NEAR(map[size_t(i) * grid.n + j], expected, 1e-5 * scale) << i << "," << j;
    }
}
