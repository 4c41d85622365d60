// scalar_field: against a plain double-precision evaluation of the orbital
// formula, and bit-exact checks of the screening and the grid layout.
#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "basis/basis_model.h"
#include "basis/real_harmonics.h"
#include "real_space/real_space_calls.h"

using namespace kernels_test;

namespace {

// Solid harmonic component c of degree l on the offset (x, y, z), in double,
// straight from the polynomials (no shared code with the library).
double solid_harmonic(int l, int c, double x, double y, double z) {
    const double r2 = x * x + y * y + z * z;
    const double x2 = x * x, y2 = y * y, z2 = z * z;
    switch (l * l + c) {
        case 0: return 0.2820948f;
        case 1: return 0.48860251190291992 * z;
        case 2: return 0.48860251190291992 * x;
        case 3: return 0.48860251190291992 * y;
        case 4: return 0.31539155959179921 * (3 * z2 - r2);
        case 5: return 1.0925484305920792 * x * z;
        case 6: return 1.0925484305920792 * y * z;
        case 7: return 0.54627421529603959 * (x2 - y2);
        case 8: return 1.0925484305920792 * x * y;
        case 9: return 0.37317632877825935 * z * (5 * z2 - 3 * r2);
        case 10: return 0.45704579639229809 * x * (5 * z2 - r2);
        case 11: return 0.45704579639229809 * y * (5 * z2 - r2);
        case 12: return 1.4453057213202769 * z * (x2 - y2);
        case 13: return 2.8906114426405538 * x * y * z;
        case 14: return -0.59004361139937245 * x * (x2 - 3 * y2);
        case 15: return -0.59004361139937245 * y * (3 * x2 - y2);
        case 16: return 0.10578554329759174 * (35 * z2 * z2 - 30 * z2 * r2 + 3 * r2 * r2);
        case 17: return 0.6690465310246213 * x * z * (7 * z2 - 3 * r2);
        case 18: return 0.6690465310246213 * y * z * (7 * z2 - 3 * r2);
        case 19: return 0.47308734011966758 * (x2 - y2) * (7 * z2 - r2);
        case 20: return 0.94617468023933515 * x * y * (7 * z2 - r2);
        case 21: return -1.7701307394854329 * x * z * (x2 - 3 * y2);
        case 22: return -1.7701307394854329 * y * z * (3 * x2 - y2);
        case 23: return -0.62583573544917614 * (x2 * x2 - 6 * x2 * y2 + y2 * y2);
        case 24: return -2.5033429417967046 * x * y * (x2 - y2);
    }
    return 0;
}

// psi at (x, y, z) and a scale sum |term| * (1 + r)^l for the tolerance.
void orbital_in_double(const Molecule &m, const std::vector<float> &row, double x, double y,
                       double z, double &value, double &scale) {
    value = scale = 0;
    int s = 0, p = 0, c = 0;
    for (int a = 0; a < m.n_atoms(); ++a)
        for (int k = 0; k < m.shells_per_atom[a]; ++k, ++s) {
            const int l = m.shell_l[s];
            const double dx = x - m.atom_x[a], dy = y - m.atom_y[a], dz = z - m.atom_z[a];
            const double r2 = dx * dx + dy * dy + dz * dz;
            double radial = 0, radial_abs = 0;
            for (int q = 0; q < m.shell_n_prim[s]; ++q) {
                const double term = m.prim_coeff[p + q] * std::exp(-m.prim_exponent[p + q] * r2);
                radial += term;
                radial_abs += std::fabs(term);
            }
            for (int j = 0; j <= 2 * l; ++j) {
                value += row[c + j] * radial * solid_harmonic(l, j, dx, dy, dz);
                scale += std::fabs(row[c + j]) * radial_abs * std::pow(1 + std::sqrt(r2), l);
            }
            p += m.shell_n_prim[s];
            c += 2 * l + 1;
        }
}

}  // namespace

TEST(ScalarField, MatchesDoublePrecisionOrbitalOnRandomMolecules) {
    std::mt19937 rng(2024);
    const Grid grid{13, 12, 11, -3.0f, -2.75f, -2.5f, 0.45f};
    int significant = 0;
    for (int trial = 0; trial < 12; ++trial) {
        const Molecule m = random_molecule(rng, 1 + trial % 4, 4, 4, 2.0f);
        const std::vector<float> row = random_orbital(rng, m);
        const std::vector<float> out = field(grid, m, row);
        for (int k = 0; k < grid.nz; ++k)
            for (int j = 0; j < grid.ny; ++j)
                for (int i = 0; i < grid.nx; ++i) {
                    double expected, scale;
                    orbital_in_double(m, row, grid.x(i), grid.y(j), grid.z(k), expected, scale);
                    // float32 rounding in r^2, exp and the brackets, plus the
                    // terms the cut-off drops (each below 1e-13 of its size).
                    const double tolerance = 2e-6 * scale + 1e-9;
                    ASSERT_NEAR(out[grid.index(i, j, k)], expected, tolerance)
                        << "trial " << trial << " point " << i << ' ' << j << ' ' << k;
                    if (std::fabs(expected) > 1e-2) ++significant;
                }
    }
    EXPECT_GT(significant, 5000);
}

TEST(ScalarField, CutOffsAtTheirExactLimits) {
    const float cutoff = kernels::EXP_CUTOFF;
    const float mo[] = {0.75f};

    // A primitive whose exponent times r^2 equals the cut-off adds nothing; one
    // float step closer it adds expf(-e) * coeff.  Atom at the origin, exponent
    // cutoff / 4, points on the x axis around r = 2 (r^2 = 4 exactly).
    Molecule single;
    single.atom(0, 0, 0).shell(0, {cutoff / 4}, {1.5f});
    const float at_limit = 2.0f, inside = std::nextafter(2.0f, 0.0f);
    std::vector<float> row(mo, mo + 1);
    EXPECT_EQ(bits(field({1, 1, 1, at_limit, 0, 0, 1}, single, row)[0]), bits(0.0f));
    const float e = (cutoff / 4) * (inside * inside);
    const float expected = (0.75f * (0.0f + expf(-e) * 1.5f)) * 0.2820948f;
    EXPECT_EQ(bits(field({1, 1, 1, inside, 0, 0, 1}, single, row)[0]), bits(expected));

    // The shell radius r^2 <= cutoff / alpha includes its limit, and the atom's
    // point test too.  Find an exponent whose limit is a square of a float and
    // whose primitive still passes there.
    float alpha = 0, edge = 0;
    for (float a = 0.7f; a < 0.8f && edge == 0; a = std::nextafter(a, 1.0f)) {
        const float limit = cutoff / a;
        const float r = std::sqrt(limit);
        if (r * r == limit && a * limit < cutoff) alpha = a, edge = r;
    }
    ASSERT_NE(edge, 0.0f);
    const float beyond = std::nextafter(edge, 10.0f);
    ASSERT_GT(beyond * beyond, cutoff / alpha);

    Molecule one;
    one.atom(0, 0, 0).shell(0, {alpha}, {1.0f});
    EXPECT_NE(field({1, 1, 1, edge, 0, 0, 1}, one, row)[0], 0.0f);
    EXPECT_EQ(bits(field({1, 1, 1, beyond, 0, 0, 1}, one, row)[0]), bits(0.0f));

    // With a wider (and tiny) shell on the same atom the point test passes
    // beyond the edge; the narrow shell's own radius must then drop it there.
    Molecule two;
    two.atom(0, 0, 0).shell(0, {alpha / 4}, {1e-20f}).shell(0, {alpha}, {1.0f});
    const std::vector<float> both{0.5f, 0.75f}, wide_only{0.5f, 0.0f};
    for (float x : {edge, beyond}) {
        const Grid g{1, 1, 1, x, 0, 0, 1};
        if (x == edge)
            EXPECT_NE(bits(field(g, two, both)[0]), bits(field(g, two, wide_only)[0]));
        else
            EXPECT_EQ(bits(field(g, two, both)[0]), bits(field(g, two, wide_only)[0]));
    }
}

TEST(ScalarField, PointValueFollowsTheFloatRoundings) {
    // One atom with shells l = 0..4 at off-axis points: the value is
    // sum over shells and components of (mo * radial) * Y, with
    // r^2 = (dz^2 + dy^2) + dx^2 and the primitives summed in order.
    Molecule m;
    m.atom(0.31f, -0.17f, 0.23f);
    for (int l = 0; l <= 4; ++l) m.shell(l, {0.9f + l, 0.21f, 2.7f}, {0.6f, -0.35f, 1.3f});
    std::mt19937 rng(5);
    const std::vector<float> row = random_orbital(rng, m);
    std::uniform_real_distribution<float> coordinate(-1.9f, 1.9f);
    for (int trial = 0; trial < 50; ++trial) {
        const float x = coordinate(rng), y = coordinate(rng), z = coordinate(rng);
        const float dx = x - 0.31f, dy = y + 0.17f, dz = z - 0.23f;
        const float r2 = (dz * dz + dy * dy) + dx * dx;
        float ylm[25];
        kernels::solid_harmonics(dx, dy, dz, r2, 4, ylm);
        float value = 0.0f;
        for (int l = 0, c = 0; l <= 4; c += 2 * l + 1, ++l) {
            float radial = 0.0f;
            for (int q = 3 * l; q < 3 * l + 3; ++q) {
                const float e = m.prim_exponent[q] * r2;
                if (e < kernels::EXP_CUTOFF) radial = radial + expf(-e) * m.prim_coeff[q];
            }
            for (int k = 0; k <= 2 * l; ++k) value = value + (row[c + k] * radial) * ylm[l * l + k];
        }
        ASSERT_EQ(bits(field({1, 1, 1, x, y, z, 0.5f}, m, row)[0]), bits(0.0f + value)) << trial;
    }
}

TEST(ScalarField, BoxReachesOneStepPastTheRoundedEdge) {
    // A point exactly one cut-off radius from the atom, where the rounded
    // quotient ((c + R) - x_min) / step falls just below the point's index:
    // the box still includes it.  R is a radius whose square is exactly the
    // limit and whose primitive still passes there.
    const float cutoff = kernels::EXP_CUTOFF;
    float alpha = 0, radius = 0;
    for (float a = 0.7f; a < 0.8f && radius == 0; a = std::nextafter(a, 1.0f)) {
        const float r = std::sqrt(cutoff / a);
        if (r * r == cutoff / a && a * (r * r) < cutoff) alpha = a, radius = r;
    }
    ASSERT_NE(radius, 0.0f);
    const float x_min = 0.1f, step = 0.1f;
    int found = 0;
    for (int i = 1; i < 400 && found == 0; ++i) {
        const float x = static_cast<float>(i) * step + x_min;
        const float centre = x - radius;
        if (centre + radius != x || x - centre != radius) continue;
        if (static_cast<int>(((centre + radius) - x_min) / step) >= i) continue;
        found = i;
        Molecule m;
        m.atom(centre, 0, 0).shell(0, {alpha}, {1.0f});
        const std::vector<float> out = field({i + 2, 1, 1, x_min, 0, 0, step}, m, {1.0f});
        EXPECT_NE(out[i], 0.0f);
        EXPECT_EQ(bits(out[i]), bits(field({1, 1, 1, x, 0, 0, step}, m, {1.0f})[0]));
    }
    ASSERT_NE(found, 0);
}

TEST(ScalarField, GridValuesAreThoseOfEachPointAlone) {
    // Each element is the orbital at its own coordinates, whatever the box
    // around each atom: a one-point grid at that coordinate gives the same bits.
    // Atoms sit near the corners so that their boxes reach past the grid.
    std::mt19937 rng(99);
    Molecule m = random_molecule(rng, 3, 3, 4, 1.0f);
    m.atom_x[0] = -2.9f, m.atom_y[0] = -2.2f, m.atom_z[0] = -1.6f;
    m.atom_x[1] = 0.5f, m.atom_y[1] = 1.3f, m.atom_z[1] = 0.9f;
    m.atom_x[2] = 3.5f, m.atom_y[2] = -0.1f, m.atom_z[2] = 1.7f;
    const std::vector<float> row = random_orbital(rng, m);
    const Grid grid{9, 8, 7, -2.5f, -2.0f, -1.5f, 0.5f};
    const std::vector<float> out = field(grid, m, row);
    for (int k = 0; k < grid.nz; ++k)
        for (int j = 0; j < grid.ny; ++j)
            for (int i = 0; i < grid.nx; ++i)
                ASSERT_EQ(bits(out[grid.index(i, j, k)]), bits(field(grid.point(i, j, k), m, row)[0]))
                    << i << ' ' << j << ' ' << k;
}

TEST(ScalarField, EmptyInputsAndDimensions) {
    const Molecule none;
    const Grid grid{4, 3, 2, 0, 0, 0, 0.5f};
    for (float v : field(grid, none, {})) EXPECT_EQ(bits(v), bits(0.0f));

    // All coefficients at or below the threshold: every atom is skipped.
    Molecule m;
    m.atom(0, 0, 0).shell(1, {1.0f}, {1.0f}).atom(0.5f, 0, 0).shell(0, {2.0f}, {1.0f});
    for (float v : field(grid, m, {1e-6f, -1e-6f, 0.0f, 1e-6f})) EXPECT_EQ(bits(v), bits(0.0f));

    // A zero or negative dimension writes nothing.
    const std::vector<float> row{0.3f, 0.4f, 0.5f, 0.6f};
    for (const Grid &g : {Grid{0, 3, 2, 0, 0, 0, 0.5f}, Grid{4, 0, 2, 0, 0, 0, 0.5f},
                          Grid{4, 3, 0, 0, 0, 0, 0.5f}, Grid{-4, -3, 2, 0, 0, 0, 0.5f}}) {
        std::vector<float> out(24, -7.0f);
        call_scalar_field(g, m, row.data(), out.data());
        for (float v : out) EXPECT_EQ(v, -7.0f);
    }
}

TEST(ScalarField, PShellComponentsPairWithZXY) {
    // Components 0, 1, 2 of a p shell follow the sign of dz, dx and dy, and
    // vanish exactly on the plane where that offset is zero.
    Molecule m;
    m.atom(0.5f, -0.5f, 0.25f).shell(1, {0.8f}, {1.0f});
    const Grid grid{5, 5, 5, -0.5f, -1.5f, -0.75f, 0.5f};
    for (int axis = 0; axis < 3; ++axis) {
        std::vector<float> row(3, 0.0f);
        row[axis] = 1.0f;
        const std::vector<float> out = field(grid, m, row);
        for (int k = 0; k < 5; ++k)
            for (int j = 0; j < 5; ++j)
                for (int i = 0; i < 5; ++i) {
                    const float offset[] = {grid.z(k) - 0.25f, grid.x(i) - 0.5f, grid.y(j) + 0.5f};
                    const float v = out[grid.index(i, j, k)];
                    if (offset[axis] > 0) {
                        EXPECT_GT(v, 0.0f);
                    } else if (offset[axis] < 0) {
                        EXPECT_LT(v, 0.0f);
                    } else {
                        EXPECT_EQ(bits(v), bits(0.0f));
                    }
                }
    }
}

TEST(ScalarField, OverlappingAtomsAddInAtomOrder) {
    // Three atoms whose spheres overlap: each element is ((a0 + a1) + a2) of the
    // atoms' separate fields.
    Molecule m, parts[3];
    const float xs[] = {-0.3f, 0.2f, 0.6f};
    std::vector<float> row, part_rows[3];
    for (int a = 0; a < 3; ++a) {
        m.atom(xs[a], 0.1f * a, 0).shell(a, {0.9f + a, 0.3f}, {0.7f, -0.4f});
        parts[a].atom(xs[a], 0.1f * a, 0).shell(a, {0.9f + a, 0.3f}, {0.7f, -0.4f});
        for (int c = 0; c < 2 * a + 1; ++c) {
            row.push_back(0.9f - 0.31f * c);
            part_rows[a].push_back(0.9f - 0.31f * c);
        }
    }
    const Grid grid{10, 6, 5, -2.0f, -1.5f, -1.0f, 0.4f};
    const std::vector<float> out = field(grid, m, row);
    std::vector<float> f[3];
    for (int a = 0; a < 3; ++a) f[a] = field(grid, parts[a], part_rows[a]);
    for (size_t e = 0; e < out.size(); ++e)
        ASSERT_EQ(bits(out[e]), bits((f[0][e] + f[1][e]) + f[2][e])) << e;
}

TEST(ScalarField, InactiveShellKeepsLaterOffsets) {
    // An inactive d shell with two primitives between an active p and f shell:
    // the f shell, and the next atom's s shell, read their coefficients and
    // primitives past the d shell's.
    Molecule with, without;
    with.atom(0.1f, 0.2f, -0.1f)
        .shell(1, {1.1f}, {0.9f})
        .shell(2, {0.05f, 3.0f}, {5.0f, 5.0f})
        .shell(3, {0.7f, 0.2f}, {0.6f, 0.3f})
        .atom(-0.4f, 0, 0.3f)
        .shell(0, {0.5f}, {0.8f});
    without.atom(0.1f, 0.2f, -0.1f)
        .shell(1, {1.1f}, {0.9f})
        .shell(3, {0.7f, 0.2f}, {0.6f, 0.3f})
        .atom(-0.4f, 0, 0.3f)
        .shell(0, {0.5f}, {0.8f});
    const std::vector<float> p{0.4f, -0.2f, 0.8f}, f{0.1f, 0.2f, -0.3f, 0.4f, -0.5f, 0.6f, 0.7f, 0.9f};
    std::vector<float> row_with(p), row_without(p);
    row_with.insert(row_with.end(), 5, 1e-6f);
    row_with.insert(row_with.end(), f.begin(), f.end());
    row_without.insert(row_without.end(), f.begin(), f.end());
    const Grid grid{8, 8, 8, -1.75f, -1.75f, -1.75f, 0.5f};
    EXPECT_SAME_BITS(field(grid, with, row_with), field(grid, without, row_without));
}
