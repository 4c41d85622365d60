// scalar_field: against a plain double-precision evaluation of the orbital,
// and bit-exact checks of the float32 order, the cut-offs and the grid boxes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>

#include "basis/basis_model.h"
#include "real_space/real_space_calls.h"
#include "support/reference_harmonics.h"

using namespace kernels_test;

namespace {

// psi at (x, y, z) in double, and a scale sum |term| * (1 + r)^l for the tolerance.
void orbital_in_double(const Molecule &m, const std::vector<float> &row, double x, double y, double z,
                       double &value, double &scale) {
    value = scale = 0;
    for (int a = 0, s = 0, p = 0, c = 0; a < m.n_atoms(); ++a)
        for (int k = 0; k < m.shells_per_atom[a]; ++k, ++s) {
            const int l = m.shell_l[s];
            const double dx = x - m.atom_x[a], dy = y - m.atom_y[a], dz = z - m.atom_z[a];
            const double r2 = dx * dx + dy * dy + dz * dz;
            double radial = 0, radial_abs = 0;
            for (int q = 0; q < m.shell_n_prim[s]; ++q, ++p) {
                const double term = m.prim_coeff[p] * std::exp(-m.prim_exponent[p] * r2);
                radial += term;
                radial_abs += std::fabs(term);
            }
            for (int j = 0; j <= 2 * l; ++j, ++c) {
                value += row[c] * radial * solid_harmonic(l, j, dx, dy, dz);
                scale += std::fabs(row[c]) * radial_abs * std::pow(1 + std::sqrt(r2), l);
            }
        }
}

// An exponent alpha in [0.7, 0.8) whose cut-off radius R = sqrt(cutoff / alpha)
// squares exactly to the limit and whose primitive still passes at R.
void exact_edge(float &alpha, float &radius) {
    alpha = radius = 0;
    for (float a = 0.7f; a < 0.8f && radius == 0; a = std::nextafter(a, 1.0f)) {
        const float r = std::sqrt(kernels::EXP_CUTOFF / a);
        if (r * r == kernels::EXP_CUTOFF / a && a * (r * r) < kernels::EXP_CUTOFF) alpha = a, radius = r;
    }
    ASSERT_NE(radius, 0.0f);
}

float at_x(const Molecule &m, const std::vector<float> &row, float x) {
    return field({1, 1, 1, x, 0, 0, 1}, m, row)[0];
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
                    // float32 rounding, plus the terms the cut-off drops.
                    ASSERT_NEAR(out[grid.index(i, j, k)], expected, 2e-6 * scale + 1e-9)
                        << "trial " << trial << " point " << i << ' ' << j << ' ' << k;
                    significant += std::fabs(expected) > 1e-2;
                }
    }
    EXPECT_GT(significant, 5000);
}

TEST(ScalarField, PointValueFollowsTheFloatRoundings) {
    // sum over shells and components of (mo * radial) * Y, r^2 = (dz^2 + dy^2)
    // + dx^2, primitives summed in order, the harmonics rounded as documented
    // (the reference's, not the library's own): the same bits at off-axis
    // points.
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
        float value = 0.0f;
        for (int l = 0, c = 0; l <= 4; c += 2 * l + 1, ++l) {
            float radial = 0.0f;
            for (int q = 3 * l; q < 3 * l + 3; ++q) {
                const float e = m.prim_exponent[q] * r2;
                if (e < kernels::EXP_CUTOFF) radial = radial + expf(-e) * m.prim_coeff[q];
            }
            for (int k = 0; k <= 2 * l; ++k)
                value = value + (row[c + k] * radial) * solid_harmonic_f32(l, k, dx, dy, dz, r2);
        }
        ASSERT_EQ(bits(field({1, 1, 1, x, y, z, 0.5f}, m, row)[0]), bits(0.0f + value)) << trial;
    }
}

TEST(ScalarField, SharedExponentsGiveThePrimitiveByPrimitiveSum) {
    // Shells built from one set of exponents (two contractions of the same
    // primitives, an s and a p shell sharing them, one exponent reused alone,
    // an inactive shell between them) are evaluated once per exponent; the
    // bits stay those of the loop over every primitive of every shell.
    Molecule m;
    m.atom(-0.2f, 0.1f, 0.05f)
        .shell(0, {5.5f, 1.25f, 0.31f}, {0.2f, 0.5f, 0.4f})
        .shell(0, {5.5f, 1.25f, 0.31f}, {-0.3f, 0.1f, 0.9f})
        .shell(1, {2.0f, 0.31f}, {0.7f, 0.6f})
        .shell(2, {0.8f}, {1.0f})
        .shell(1, {0.31f, 2.0f}, {0.3f, -0.45f})
        .shell(0, {1.25f}, {1.1f});
    std::mt19937 rng(8);
    std::vector<float> row = random_orbital(rng, m);
    for (int c = 5; c < 10; ++c) row[static_cast<size_t>(c)] = 0.0f;  // the d shell takes no part
    std::uniform_real_distribution<float> coordinate(-3.5f, 3.5f);
    for (int trial = 0; trial < 60; ++trial) {
        const float x = coordinate(rng), y = coordinate(rng), z = coordinate(rng);
        const float dx = x + 0.2f, dy = y - 0.1f, dz = z - 0.05f;
        const float r2 = (dz * dz + dy * dy) + dx * dx;
        float value = 0.0f;
        for (int s = 0, p = 0, c = 0; s < 6; p += m.shell_n_prim[s], c += 2 * m.shell_l[s] + 1, ++s) {
            const int l = m.shell_l[s];
            if (s == 3 || r2 > kernels::EXP_CUTOFF / *std::min_element(&m.prim_exponent[p], &m.prim_exponent[p] + m.shell_n_prim[s]))
                continue;
            float radial = 0.0f;
            for (int q = p; q < p + m.shell_n_prim[s]; ++q) {
                const float e = m.prim_exponent[q] * r2;
                if (e < kernels::EXP_CUTOFF) radial = radial + expf(-e) * m.prim_coeff[q];
            }
            for (int k = 0; k <= 2 * l; ++k)
                value = value + (row[c + k] * radial) * solid_harmonic_f32(l, k, dx, dy, dz, r2);
        }
        ASSERT_EQ(bits(field({1, 1, 1, x, y, z, 0.5f}, m, row)[0]), bits(0.0f + value)) << trial;
    }
}

TEST(ScalarField, CutOffsAtTheirExactLimits) {
    // alpha r^2 equal to the cut-off adds nothing; one float step closer it adds
    // expf(-e) * coeff (r^2 = 4 exactly on the x axis at r = 2).
    const float cutoff = kernels::EXP_CUTOFF, inside = std::nextafter(2.0f, 0.0f);
    Molecule single;
    single.atom(0, 0, 0).shell(0, {cutoff / 4}, {1.5f});
    EXPECT_EQ(bits(at_x(single, {0.75f}, 2.0f)), bits(0.0f));
    const float e = (cutoff / 4) * (inside * inside);
    EXPECT_EQ(bits(at_x(single, {0.75f}, inside)), bits((0.75f * (0.0f + expf(-e) * 1.5f)) * 0.2820948f));

    // The shell radius r^2 <= cutoff / alpha includes its limit.  With a wider,
    // tiny shell on the atom the atom's test passes beyond the edge, and the
    // narrow shell's own radius must drop it there.
    float alpha, edge;
    exact_edge(alpha, edge);
    const float beyond = std::nextafter(edge, 10.0f);
    Molecule one, two;
    one.atom(0, 0, 0).shell(0, {alpha}, {1.0f});
    two.atom(0, 0, 0).shell(0, {alpha / 4}, {1e-20f}).shell(0, {alpha}, {1.0f});
    EXPECT_NE(at_x(one, {0.75f}, edge), 0.0f);
    EXPECT_EQ(bits(at_x(one, {0.75f}, beyond)), bits(0.0f));
    EXPECT_NE(bits(at_x(two, {0.5f, 0.75f}, edge)), bits(at_x(two, {0.5f, 0.0f}, edge)));
    EXPECT_EQ(bits(at_x(two, {0.5f, 0.75f}, beyond)), bits(at_x(two, {0.5f, 0.0f}, beyond)));
}

TEST(ScalarField, BoxReachesOneStepPastTheRoundedEdge) {
    // A point exactly one cut-off radius from the atom, where the rounded
    // quotient ((c + R) - x_min) / step falls just below the point's index.
    float alpha, radius;
    exact_edge(alpha, radius);
    const float x_min = 0.1f, step = 0.1f;
    int found = 0;
    for (int i = 1; i < 400 && found == 0; ++i) {
        const float x = static_cast<float>(i) * step + x_min, centre = x - radius;
        if (centre + radius != x || x - centre != radius ||
            static_cast<int>(((centre + radius) - x_min) / step) >= i)
            continue;
        found = i;
        Molecule m;
        m.atom(centre, 0, 0).shell(0, {alpha}, {1.0f});
        const std::vector<float> out = field({i + 2, 1, 1, x_min, 0, 0, step}, m, {1.0f});
        EXPECT_NE(out[i], 0.0f);
        EXPECT_EQ(bits(out[i]), bits(at_x(m, {1.0f}, x)));
    }
    ASSERT_NE(found, 0);
}

TEST(ScalarField, OverlappingAtomsAddInAtomOrder) {
    Molecule m, parts[3];
    std::vector<float> row, part_rows[3];
    for (int a = 0; a < 3; ++a) {
        const float x = 0.45f * a - 0.3f;
        m.atom(x, 0.1f * a, 0).shell(a, {0.9f + a, 0.3f}, {0.7f, -0.4f});
        parts[a].atom(x, 0.1f * a, 0).shell(a, {0.9f + a, 0.3f}, {0.7f, -0.4f});
        for (int c = 0; c < 2 * a + 1; ++c) row.push_back(0.9f - 0.31f * c);
        part_rows[a].assign(row.end() - (2 * a + 1), row.end());
    }
    const Grid grid{10, 6, 5, -2.0f, -1.5f, -1.0f, 0.4f};
    const std::vector<float> out = field(grid, m, row), f0 = field(grid, parts[0], part_rows[0]),
                             f1 = field(grid, parts[1], part_rows[1]),
                             f2 = field(grid, parts[2], part_rows[2]);
    for (size_t e = 0; e < out.size(); ++e) ASSERT_EQ(bits(out[e]), bits((f0[e] + f1[e]) + f2[e])) << e;
}
