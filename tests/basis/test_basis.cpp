// The shared basis model: counts, screening, harmonics and the radial factor.
#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "basis/basis_model.h"
#include "basis/real_harmonics.h"
#include "basis/shell_radial_momentum.h"
#include "support/reference_harmonics.h"
#include "support/test_molecule.h"

using namespace kernels;
using kernels_test::bits;

TEST(Counts, EmptyNegativeAndOrdinaryCounts) {
    const int32_t spa[] = {2, 1}, l[] = {1, 2, 0}, l_negative[] = {1, -2, 0};
    EXPECT_EQ(count_shells(0, spa), 0);
    EXPECT_EQ(count_components(0, spa, l), 0);
    EXPECT_EQ(count_shells(-3, spa), 0);
    EXPECT_EQ(count_shells(2, spa), 3);
    EXPECT_EQ(count_components(2, spa, l), 3 + 5 + 1);
    EXPECT_EQ(count_components(2, spa, l_negative), 3 - 3 + 1);  // 2l + 1 of a negative l
}

TEST(Screening, ThresholdIsStrictAndOutOfModelShellsNeverTakePart) {
    const float at_threshold[] = {1e-6f, -1e-6f, 1e-6f}, above[] = {0.0f, -1.0000001e-6f, 0.0f};
    const float nan_only[] = {std::nanf(""), 0.0f, 0.0f};
    EXPECT_EQ(shell_is_active(1, at_threshold), 0);
    EXPECT_EQ(shell_is_active(1, above), 1);
    EXPECT_EQ(shell_is_active(1, nan_only), 0);
    EXPECT_EQ(shell_is_active(-1, above), 0);

    const BasisCounts counts{3, 9, 4};
    const float row[9] = {1, 1, 1, 1, 1, 1, 1, 1, 1};
    const struct {
        ShellCursor at;
        int32_t l, n_prim;
        bool takes_part;
    } cases[] = {
        {{0, 0, 0}, 2, 4, true},   {{0, 0, 0}, 5, 1, false},  // beyond the harmonic table
        {{0, 0, -1}, 0, 1, false},                            // coefficients before the row
        {{0, 0, 8}, 1, 1, false},                             // coefficients past the row
        {{0, 2, 0}, 0, 3, false},                             // primitives past the arrays
        {{3, 0, 0}, 0, 1, false},                             // shell past n_shells
    };
    for (const auto &c : cases)
        EXPECT_EQ(shell_takes_part(c.at, c.l, c.n_prim, counts, row), c.takes_part) << c.l;
}

TEST(Harmonics, WritesOnlyTheRequestedDegrees) {
    for (int32_t l_max : {0, 3, 4, 7}) {
        std::vector<float> ylm(25, 123.0f);
        real_harmonics(0.6f, 0.0f, 0.8f, l_max, ylm.data());
        const int written = l_max >= 4 ? 25 : (l_max + 1) * (l_max + 1);
        for (int e = 0; e < 25; ++e) EXPECT_EQ(ylm[e] != 123.0f, e < written) << l_max << " " << e;
    }
}

TEST(Harmonics, SolidAndUnitFormsMatchTheReferencePolynomials) {
    // Against the polynomials in double at random offsets, and to the bit
    // against their float32 rounding (squares and brackets in float32, the
    // products in double); the unit form is the solid form with r^2 = 1.
    std::mt19937 rng(11);
    std::uniform_real_distribution<float> coord(-2.0f, 2.0f);
    for (int trial = 0; trial < 500; ++trial) {
        const float x = coord(rng), y = coord(rng), z = coord(rng), r2 = (z * z + y * y) + x * x;
        float solid[25], unit[25], unit_as_solid[25];
        solid_harmonics(x, y, z, r2, 4, solid);
        const float r = std::sqrt(r2), ux = x / r, uy = y / r, uz = z / r;
        real_harmonics(ux, uy, uz, 4, unit);
        solid_harmonics(ux, uy, uz, 1.0f, 4, unit_as_solid);
        for (int l = 0; l <= 4; ++l)
            for (int c = 0; c <= 2 * l; ++c) {
                const int e = l * l + c;
                const double expected = kernels_test::solid_harmonic(l, c, x, y, z),
                             scale = std::pow(std::sqrt(r2), l);
                EXPECT_NEAR(solid[e], expected, 2e-5 * scale + 1e-6) << e;
                EXPECT_EQ(bits(solid[e]), bits(kernels_test::solid_harmonic_f32(l, c, x, y, z, r2))) << e;
                EXPECT_EQ(bits(unit[e]), bits(unit_as_solid[e])) << e;
            }
    }
}

TEST(RadialMomentum, ReferenceValuesAndStrictCutOff) {
    const float one[] = {1.0f}, half[] = {0.5f}, two[] = {2.0f}, three[] = {3.0f};
    const float exps[] = {1.0f, 0.5f}, coeffs[] = {1.0f, -0.25f};
    EXPECT_FLOAT_EQ(shell_radial_momentum(0, 2.0f, one, one, 1), 0.36787945f);
    EXPECT_FLOAT_EQ(shell_radial_momentum(1, 1.0f, half, one, 1), 1.7155278f);
    EXPECT_FLOAT_EQ(shell_radial_momentum(2, 1.0f, exps, coeffs, 2), -0.23418175f);
    EXPECT_FLOAT_EQ(shell_radial_momentum(0, 0.0f, two, three, 1), 1.0606601f);
    EXPECT_EQ(shell_radial_momentum(1, 0.0f, two, three, 1), 0.0f);
    EXPECT_EQ(shell_radial_momentum(0, 1.0f, two, three, 0), 0.0f);
    EXPECT_EQ(shell_radial_momentum(0, 1.0f, two, three, -2), 0.0f);
    // k^2 / (4 a) equal to the cut-off contributes nothing; just below it does;
    // a zero exponent (t = +inf) nothing.
    const float alpha[] = {0.25f}, zero[] = {0.0f}, k_at = std::sqrt(EXP_CUTOFF);
    ASSERT_EQ(k_at * k_at / (alpha[0] * 4.0f), EXP_CUTOFF);
    EXPECT_EQ(shell_radial_momentum(0, k_at, alpha, one, 1), 0.0f);
    EXPECT_GT(shell_radial_momentum(0, std::nextafter(k_at, 0.0f), alpha, one, 1), 0.0f);
    EXPECT_EQ(shell_radial_momentum(0, 1.0f, zero, one, 1), 0.0f);
}
