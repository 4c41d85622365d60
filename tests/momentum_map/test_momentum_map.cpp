// momentum_map: closed-form maps of single shells and of two atoms, the rim of
// the hemisphere, the orientation matrix, rotated orbitals against rotated
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

using namespace map_test;
using kernels_test::bits;

namespace {

constexpr double C_P = 0.48860251190291992;
constexpr double C_D0 = 0.31539155959179921, C_D1 = 1.0925484305920792, C_D2 = 0.54627421529603959;

float radial(const Molecule &m, int32_t shell_l, float k, int first_prim, int n_prim) {
    return kernels::shell_radial_momentum(shell_l, k, &m.prim_exponent[first_prim], &m.prim_coeff[first_prim],
                                          n_prim);
}

// Compares every pixel with expected(i, j) inside the hemisphere of e_kin; outside it must be +0.
template <typename Expected>
void expect_map(const std::vector<float> &map, const Grid &g, float e_kin, Expected expected,
                double tolerance) {
    int n_inside = 0;
    for (int i = 0; i < g.n; ++i)
        for (int j = 0; j < g.n; ++j) {
            const float value = map[size_t(i) * g.n + j];
            if (!inside(g, squared_radius(e_kin), i, j)) {
                EXPECT_EQ(bits(value), 0u) << i << "," << j;
            } else {
                ++n_inside;
                EXPECT_NEAR(value, expected(g.coordinate(i), g.coordinate(j)), tolerance) << i << "," << j;
            }
        }
    EXPECT_GT(n_inside, g.n * g.n / 2);
}

}  // namespace

TEST(MomentumMap, ClosedFormsOfSingleShells) {
    // An s shell gives a flat disc (exact at the origin, a phase only when moved
    // and turned); a pz shell follows kz and is exactly 0 on the rim (k = 1,
    // reached at kx = +-1, ky = 0).
    Molecule s, moved, pz;
    s.atom(0, 0, 0).shell(0, {0.8f}, {1.3f});
    moved.atom(0.7f, -0.3f, 1.1f).shell(0, {0.8f}, {1.3f});
    pz.atom(0, 0, 0).shell(1, {0.6f, 1.7f}, {0.8f, 0.3f});
    const Grid disc_grid{21, -1.5f, 0.15f}, rim_grid{17, -1.0f, 0.125f};
    const float amplitude = (0.9f * radial(s, 0, std::sqrt(2.0f), 0, 1)) * kernels::Y00,
                disc = amplitude * amplitude;
    const auto centred = map_of(s, {0.9f}, 1.0f, disc_grid);
    expect_map(
        centred, disc_grid, 1.0f, [&](double, double) { return disc; }, 0.0);
    expect_map(
        map_of(moved, {0.9f}, 1.0f, disc_grid, Angles{20, 30, 40}), disc_grid, 1.0f,
        [&](double, double) { return disc; }, 4e-7 * disc);

    const double pz_radial = 0.75 * radial(pz, 1, 1.0f, 0, 2) * C_P;
    const auto rim = map_of(pz, {0.75f, 0, 0}, 0.5f, rim_grid);
    expect_map(
        rim, rim_grid, 0.5f,
        [&](double kx, double ky) { return pz_radial * pz_radial * (1 - kx * kx - ky * ky); },
        1e-6 * pz_radial * pz_radial);
    EXPECT_EQ(rim[8 * 17 + 8], largest(rim));
    for (int x : {16 * 17 + 8, 0 * 17 + 8, 8 * 17 + 16}) EXPECT_EQ(bits(rim[x]), 0u) << x;
}

TEST(MomentumMap, RadicandSignDecidesThePixel) {
    // One pixel at kx = ky = 0.5: the last energy with (k2 - kx^2) - ky^2 >= 0
    // is evaluated, one float step lower gives 0.
    Molecule m;
    m.atom(0, 0, 0).shell(0, {1.0f}, {1.0f});
    const Grid grid{1, 0.5f, 0.1f};
    auto radicand = [](float e_kin) { return (squared_radius(e_kin) - 0.25f) - 0.25f; };
    float e = 0.2500002f;
    while (radicand(e) >= 0.0f) e = std::nextafter(e, 0.0f);
    ASSERT_GT(radicand(e), -2e-7f);
    EXPECT_GT(map_of(m, {1.0f}, std::nextafter(e, 1.0f), grid)[0], 0.05f);
    EXPECT_EQ(bits(map_of(m, {1.0f}, e, grid)[0]), 0u);
}

TEST(MomentumMap, DegenerateEnergiesSizesAndMolecules) {
    Molecule m;
    m.atom(0, 0, 0).shell(1, {1.0f}, {1.0f}).shell(0, {0.5f}, {1.0f});
    const std::vector<float> row{0.3f, 0.4f, 0.5f, 0.7f};
    const Grid grid{5, -1.0f, 0.5f};  // pixel (2, 2) sits at k = 0
    // No hemisphere (e_kin = 0 would divide by a zero radius): zeros; a NaN
    // energy propagates.
    for (float e_kin : {0.0f, -0.0f, -1.0f, -INFINITY})
        for (float v : map_of(m, row, e_kin, grid)) EXPECT_EQ(bits(v), 0u) << e_kin;
    for (float v : map_of(m, row, NAN, grid)) EXPECT_TRUE(std::isnan(v));
    // n <= 0 writes nothing; n = 1 is the first pixel of a larger map.
    EXPECT_EQ(map_of(m, row, 1.0f, Grid{0, 0, 0.1f})[0], 7.0f);
    EXPECT_EQ(map_of(m, row, 1.0f, Grid{-2, 0, 0.1f})[0], 7.0f);
    EXPECT_EQ(bits(map_of(m, row, 1.0f, Grid{1, -0.3f, 0.2f})[0]),
              bits(map_of(m, row, 1.0f, Grid{4, -0.3f, 0.2f})[0]));
    // No atoms, or no active shell: all zero inside and outside the disc.
    for (float v : map_of(Molecule(), {}, 1.0f, Grid{4, -2.0f, 1.0f})) EXPECT_EQ(bits(v), 0u);
    for (float v : map_of(m, std::vector<float>(4, 1e-6f), 1.0f, Grid{4, -2.0f, 1.0f}))
        EXPECT_EQ(bits(v), 0u);
}

TEST(MomentumMap, OutOfModelShellsAreSafe) {
    // A shell of negative l moves the next shell's coefficients back: the map
    // is that of two d shells reading coefficients 0..4 and 2..6.  A shell
    // beyond g contributes nothing but still moves the offsets.
    Molecule odd, plain, high;
    odd.atom(0.3f, 0, 0).shell(2, {0.8f}, {1.0f}).shell(-2, {5.0f}, {9.0f}).shell(2, {1.4f}, {0.6f});
    plain.atom(0.3f, 0, 0).shell(2, {0.8f}, {1.0f}).shell(2, {1.4f}, {0.6f});
    high.atom(0, 0, 0.5f).shell(5, {1.0f}, {1.0f}).shell(1, {0.7f}, {1.0f});
    const std::vector<float> row{0.1f, -0.2f, 0.3f, 0.4f, -0.5f, 0.6f, 0.7f};
    std::vector<float> plain_row(row.begin(), row.begin() + 5), high_row(14, 1.0f), silent_row(14, 0.0f);
    plain_row.insert(plain_row.end(), row.begin() + 2, row.end());
    std::fill(silent_row.begin() + 11, silent_row.end(), 1.0f);
    const Grid grid{9, -1.2f, 0.3f};
    const Angles angles{10, 20, 30};
    EXPECT_SAME_BITS(map_of(odd, row, 0.9f, grid, angles), map_of(plain, plain_row, 0.9f, grid, angles));
    const auto c = map_of(high, high_row, 0.9f, grid, angles);
    EXPECT_SAME_BITS(c, map_of(high, silent_row, 0.9f, grid, angles));
    EXPECT_GT(largest(c), 0.0f);
}

TEST(MomentumMap, FailedScratchLeavesAClearedMap) {
    Molecule m;
    m.atom(0, 0, 0).shell(1, {1.0f}, {1.0f});
    std::vector<float> out;
    kernels_test::each_failing_allocation(
        1,
        [&] {
            out = map_of(m, {0.5f, 0.5f, 0.5f}, 1.0f, Grid{3, -0.5f, 0.5f});
        },
        [&](int) { EXPECT_SAME_BITS(out, std::vector<float>(9, 0.0f)); });
}

namespace {

// A d shell's coefficients as the symmetric matrix A of its polynomial r.A.r,
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
    // The map at lab momentum k is |psi~(M k)|^2.  psi'(r) = psi(M r) has
    // psi'~(k) = psi~(M k), so its map with all angles 0 equals the map of psi
    // with the angles of M.  psi' has its atoms at M^T P, its p coefficients
    // turned by M^T and its d polynomials by A -> M^T A M.
    Molecule m;
    m.atom(0.8f, -0.4f, 0.3f).shell(0, {1.1f}, {0.9f}).shell(1, {0.7f, 2.0f}, {0.6f, 0.3f});
    m.atom(-0.5f, 0.6f, -0.7f).shell(2, {0.9f}, {1.0f});
    m.atom(0.1f, 0.2f, 0.9f).shell(2, {1.3f}, {0.8f}).shell(1, {0.5f}, {1.0f});
    const std::vector<float> row{0.4f,  0.3f, -0.6f, 0.5f,   0.25f, -0.5f, 0.35f, 0.45f, -0.3f,
                                 -0.2f, 0.4f, 0.15f, -0.35f, 0.55f, 0.5f,  0.2f,  -0.4f};
    const Grid grid{15, -1.4f, 0.2f};
    for (const Angles angles : {Angles{30, 50, -70}, Angles{-120, 15, 200}, Angles{0, 90, 0}}) {
        const Matrix M = orientation(angles), Mt = transpose(M);
        Molecule turned = m;
        for (int a = 0; a < m.n_atoms(); ++a) {
            const Vector p = apply(Mt, {m.atom_x[a], m.atom_y[a], m.atom_z[a]});
            turned.atom_x[a] = float(p[0]), turned.atom_y[a] = float(p[1]), turned.atom_z[a] = float(p[2]);
        }
        std::vector<float> turned_row = row;
        for (int s = 0, offset = 0; s < m.n_shells(); offset += 2 * m.shell_l[s] + 1, ++s) {
            float *c = &turned_row[offset];
            if (m.shell_l[s] == 1) {
                const Vector v = apply(Mt, {row[offset + 1], row[offset + 2], row[offset]});
                c[0] = float(v[2]), c[1] = float(v[0]), c[2] = float(v[1]);
            } else if (m.shell_l[s] == 2) {
                d_shell_coefficients(multiply(Mt, multiply(d_shell_matrix(&row[offset]), M)), c);
            }
        }
        const auto oriented = map_of(m, row, 1.1f, grid, angles),
                   rotated = map_of(turned, turned_row, 1.1f, grid);
        const float scale = largest(oriented);
        ASSERT_GT(scale, 0.0f);
        for (size_t x = 0; x < oriented.size(); ++x) EXPECT_NEAR(rotated[x], oriented[x], 2e-5f * scale) << x;
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
    const kernels_test::Grid space{points, points, points, float(-L), float(-L), float(-L), float(h)};
    const std::vector<float> values = kernels_test::field(space, m, row);

    const Grid grid{9, -1.2f, 0.3f};
    const Angles angles{25, 40, -60};
    const auto map = map_of(m, row, 0.9f, grid, angles);
    const double k = std::sqrt(2.0 * 0.9f), scale = largest(map);
    for (auto [i, j] : {std::pair{4, 4}, {2, 5}, {6, 1}, {1, 3}, {7, 7}, {0, 4}}) {
        const double kx = grid.coordinate(i), ky = grid.coordinate(j);
        const Vector q = apply(orientation(angles), {kx, ky, std::sqrt(k * k - kx * kx - ky * ky)});
        std::vector<std::complex<double>> e[3];
        for (int axis = 0; axis < 3; ++axis)
            for (int n = 0; n < points; ++n) e[axis].push_back(std::polar(1.0, -q[axis] * (-L + n * h)));
        std::complex<double> sum = 0;
        for (int c = 0; c < points; ++c)
            for (int b = 0; b < points; ++b) {
                std::complex<double> line = 0;
                const float *v = &values[space.index(0, b, c)];
                for (int a = 0; a < points; ++a) line += double(v[a]) * e[0][a];
                sum += line * e[1][b] * e[2][c];
            }
        EXPECT_NEAR(map[size_t(i) * grid.n + j], std::norm(sum * h * h * h) / std::pow(M_PI, 3), 1e-5 * scale)
            << i << "," << j;
    }
}
