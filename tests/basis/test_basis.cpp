// The shared basis model: counts, screening, harmonics and the radial factor.
#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <random>

#include "basis/basis_model.h"
#include "basis/real_harmonics.h"
#include "basis/shell_radial_momentum.h"
#include "support/test_molecule.h"

using namespace kernels;
using kernels_test::bits;

namespace {

std::vector<float> harmonics_at(float x, float y, float z, int32_t l_max) {
    std::vector<float> ylm(25, 123.0f);
    real_harmonics(x, y, z, l_max, ylm.data());
    return ylm;
}

void expect_entries(const std::vector<float> &ylm, std::map<int, float> nonzero) {
    for (int e = 0; e < 25; ++e) {
        const auto it = nonzero.find(e);
        if (it == nonzero.end())
            EXPECT_EQ(ylm[e], 0.0f) << "entry " << e;
        else
            EXPECT_FLOAT_EQ(ylm[e], it->second) << "entry " << e;
    }
}

}  // namespace

TEST(Counts, EmptyAndNegativeCountsGiveZero) {
    const int32_t spa[] = {2, 1};
    const int32_t l[] = {1, 2, 0};
    EXPECT_EQ(count_shells(0, spa), 0);
    EXPECT_EQ(count_components(0, spa, l), 0);
    EXPECT_EQ(count_shells(-3, spa), 0);
    EXPECT_EQ(count_shells(2, spa), 3);
    EXPECT_EQ(count_components(2, spa, l), 3 + 5 + 1);
    // A shell of negative l moves the row length back by 2l + 1.
    const int32_t l_negative[] = {1, -2, 0};
    EXPECT_EQ(count_components(2, spa, l_negative), 3 - 3 + 1);
}

TEST(Screening, ThresholdIsStrictAndIgnoresNaN) {
    const float at_threshold[] = {1e-6f, -1e-6f, 1e-6f};
    const float above[] = {0.0f, -1.0000001e-6f, 0.0f};
    const float nan_only[] = {std::nanf(""), 0.0f, 0.0f};
    EXPECT_EQ(shell_is_active(1, at_threshold), 0);
    EXPECT_EQ(shell_is_active(1, above), 1);
    EXPECT_EQ(shell_is_active(1, nan_only), 0);
    EXPECT_EQ(shell_is_active(-1, above), 0);
}

TEST(Screening, OutOfModelShellsNeverTakePart) {
    const BasisCounts counts{3, 9, 4};
    const float row[9] = {1, 1, 1, 1, 1, 1, 1, 1, 1};
    ShellCursor at;
    EXPECT_TRUE(shell_takes_part(at, 2, 4, counts, row));
    EXPECT_FALSE(shell_takes_part(at, 5, 1, counts, row));  // beyond the harmonic table
    at.comp = -1;
    EXPECT_FALSE(shell_takes_part(at, 0, 1, counts, row));  // coefficients before the row
    at.comp = 8;
    EXPECT_FALSE(shell_takes_part(at, 1, 1, counts, row));  // coefficients past the row
    at.comp = 0;
    at.prim = 2;
    EXPECT_FALSE(shell_takes_part(at, 0, 3, counts, row));  // primitives past the arrays
    at.shell = 3;
    at.prim = 0;
    EXPECT_FALSE(shell_takes_part(at, 0, 1, counts, row));  // shell past n_shells
}

TEST(Harmonics, ValuesOnTheAxes) {
    expect_entries(harmonics_at(0, 0, 1, 4), {{0, 0.282094806f}, {1, 0.488602519f},
                                              {4, 0.630783141f}, {9, 0.746352673f},
                                              {16, 0.84628433f}});
    expect_entries(harmonics_at(1, 0, 0, 4),
                   {{0, 0.282094806f}, {2, 0.488602519f}, {4, -0.31539157f}, {7, 0.546274245f},
                    {10, -0.457045794f}, {14, -0.590043604f}, {16, 0.317356616f},
                    {19, -0.473087341f}, {23, -0.625835717f}});
    expect_entries(harmonics_at(0, 1, 0, 4),
                   {{0, 0.282094806f}, {3, 0.488602519f}, {4, -0.31539157f}, {7, -0.546274245f},
                    {11, -0.457045794f}, {15, 0.590043604f}, {16, 0.317356616f},
                    {19, 0.473087341f}, {23, -0.625835717f}});
}

TEST(Harmonics, WritesOnlyTheRequestedDegrees) {
    auto ylm = harmonics_at(0.6f, 0.0f, 0.8f, 0);
    for (int e = 1; e < 25; ++e) EXPECT_EQ(ylm[e], 123.0f);
    ylm = harmonics_at(0.6f, 0.0f, 0.8f, 3);
    for (int e = 0; e < 16; ++e) EXPECT_NE(ylm[e], 123.0f) << e;
    for (int e = 16; e < 25; ++e) EXPECT_EQ(ylm[e], 123.0f);
    ylm = harmonics_at(0.6f, 0.0f, 0.8f, 7);
    for (int e = 0; e < 25; ++e) EXPECT_NE(ylm[e], 123.0f) << e;
}

TEST(Harmonics, EachDegreeIsNormalisedOnTheSphere) {
    std::mt19937 rng(7);
    std::normal_distribution<double> gauss;
    for (int trial = 0; trial < 2000; ++trial) {
        double v[3] = {gauss(rng), gauss(rng), gauss(rng)};
        const double len = std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]);
        std::vector<float> ylm(25);
        real_harmonics(float(v[0] / len), float(v[1] / len), float(v[2] / len), 4, ylm.data());
        for (int l = 0; l <= 4; ++l) {
            double sum = 0;
            for (int c = 0; c <= 2 * l; ++c) sum += double(ylm[l * l + c]) * ylm[l * l + c];
            const double expected = (2 * l + 1) / (4 * M_PI);
            EXPECT_NEAR(sum / expected, 1.0, 2e-6) << "l = " << l;
        }
    }
}

TEST(Harmonics, SolidFormIsHomogeneous) {
    // Each solid entry of degree l equals r^l times the unit-vector entry.
    std::mt19937 rng(11);
    std::uniform_real_distribution<float> coord(-2.0f, 2.0f);
    for (int trial = 0; trial < 500; ++trial) {
        const float x = coord(rng), y = coord(rng), z = coord(rng);
        const float r2 = (z * z + y * y) + x * x;
        const double r = std::sqrt(double(r2));
        std::vector<float> solid(25), unit(25);
        solid_harmonics(x, y, z, r2, 4, solid.data());
        real_harmonics(float(x / r), float(y / r), float(z / r), 4, unit.data());
        for (int l = 0; l <= 4; ++l)
            for (int c = 0; c <= 2 * l; ++c) {
                const int e = l * l + c;
                EXPECT_NEAR(solid[e], unit[e] * std::pow(r, l), 2e-5 * std::pow(r, l) + 1e-6) << e;
            }
    }
}

TEST(Harmonics, UnitFormIsSolidFormWithUnitRadius) {
    std::mt19937 rng(3);
    std::uniform_real_distribution<float> coord(-1.0f, 1.0f);
    for (int trial = 0; trial < 500; ++trial) {
        const float x = coord(rng), y = coord(rng), z = coord(rng);
        std::vector<float> a(25), b(25);
        real_harmonics(x, y, z, 4, a.data());
        solid_harmonics(x, y, z, 1.0f, 4, b.data());
        for (int e = 0; e < 25; ++e) EXPECT_EQ(bits(a[e]), bits(b[e]));
        // The degree-4 brackets are grouped ((35 z2) z2 - 30 z2) + 3 and
        // ((x2 x2) - (6 x2) y2) + y2 y2, each float32 step rounded.
        const float x2 = x * x, y2 = y * y, z2 = z * z;
        const float b16 = ((35.0f * z2) * z2 - 30.0f * z2) + 3.0f;
        const float b23 = ((x2 * x2) - (6.0f * x2) * y2) + y2 * y2;
        EXPECT_EQ(bits(a[16]), bits(float(0.10578554329759174 * double(b16))));
        EXPECT_EQ(bits(a[23]), bits(float(-0.62583573544917614 * double(b23))));
    }
}

TEST(RadialMomentum, ReferenceValues) {
    const float one[] = {1.0f}, half[] = {0.5f};
    EXPECT_FLOAT_EQ(shell_radial_momentum(0, 2.0f, one, one, 1), 0.36787945f);
    EXPECT_FLOAT_EQ(shell_radial_momentum(1, 1.0f, half, one, 1), 1.7155278f);
    const float exps[] = {1.0f, 0.5f}, coeffs[] = {1.0f, -0.25f};
    EXPECT_FLOAT_EQ(shell_radial_momentum(2, 1.0f, exps, coeffs, 2), -0.23418175f);
    const float two[] = {2.0f}, three[] = {3.0f};
    EXPECT_FLOAT_EQ(shell_radial_momentum(0, 0.0f, two, three, 1), 1.0606601f);
    EXPECT_EQ(shell_radial_momentum(1, 0.0f, two, three, 1), 0.0f);
    EXPECT_EQ(shell_radial_momentum(0, 1.0f, two, three, 0), 0.0f);
    EXPECT_EQ(shell_radial_momentum(0, 1.0f, two, three, -2), 0.0f);
}

TEST(RadialMomentum, CutOffIsStrict) {
    // k^2 / (4 a) equal to the cut-off contributes nothing; just below it does.
    const float alpha[] = {0.25f}, c[] = {1.0f};
    const float k_at = std::sqrt(EXP_CUTOFF);
    ASSERT_EQ(k_at * k_at / (alpha[0] * 4.0f), EXP_CUTOFF);
    EXPECT_EQ(shell_radial_momentum(0, k_at, alpha, c, 1), 0.0f);
    EXPECT_GT(shell_radial_momentum(0, std::nextafter(k_at, 0.0f), alpha, c, 1), 0.0f);
    const float zero[] = {0.0f};
    EXPECT_EQ(shell_radial_momentum(0, 1.0f, zero, c, 1), 0.0f);  // t = +inf
}

TEST(RadialMomentum, MinusIPowerRule) {
    EXPECT_EQ(times_minus_i_power(0, 2.0f).re, 2.0f);
    EXPECT_EQ(times_minus_i_power(1, 2.0f).im, -2.0f);
    EXPECT_EQ(times_minus_i_power(2, 2.0f).re, -2.0f);
    EXPECT_EQ(times_minus_i_power(3, 2.0f).im, 2.0f);
    EXPECT_EQ(times_minus_i_power(4, 2.0f).re, 2.0f);
}
