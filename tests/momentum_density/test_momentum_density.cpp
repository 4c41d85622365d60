// Momentum densities: grid range and table reads, the engine's edge cases, the
// two entry points, scratch failures, out-of-model input, and agreement with a
// slow double-precision evaluation at the exact |k|.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstdio>
#include <random>
#include <vector>

#include "basis/real_harmonics.h"
#include "basis/shell_radial_momentum.h"
#include "momentum_density/radial_table.h"
#include "support/kernel_calls.h"
#include "support/reference_harmonics.h"

using namespace kernels;
using namespace kernels_test;
using kernels_test::Grid;

namespace {

// |psi(k)|^2 in double, the radial factor taken at the exact |k| (no table),
// with its own harmonics, (-i)^l and e^{-i k.R}.
double reference_density(const Molecule &m, const float *row, double kx, double ky, double kz) {
    const double kn = std::sqrt(kx * kx + ky * ky + kz * kz), inv = kn > 1e-6 ? 1.0 / kn : 0.0;
    std::complex<double> psi = 0.0;
    for (int a = 0, s = 0, c = 0, p = 0; a < m.n_atoms(); ++a) {
        std::complex<double> atom_sum = 0.0;
        for (int j = 0; j < m.shells_per_atom[a]; ++j, ++s) {
            const int l = m.shell_l[s];
            double radial = 0.0, angular = 0.0;
            for (int q = 0; q < m.shell_n_prim[s]; ++q, ++p) {
                const double alpha = m.prim_exponent[p];
                radial += m.prim_coeff[p] * std::pow(alpha, -l - 1.5) * std::exp(-kn * kn / (4 * alpha));
            }
            for (int i = 0; i <= 2 * l; ++i, ++c)
                angular += row[c] * solid_harmonic(l, i, kx * inv, ky * inv, kz * inv);
            atom_sum += std::pow(std::complex<double>(0, -1), l) * radial * std::pow(kn / 2, l) * angular;
        }
        psi += std::exp(std::complex<double>(0, -(kx * m.atom_x[a] + ky * m.atom_y[a] + kz * m.atom_z[a]))) *
               atom_sum;
    }
    return std::norm(psi);
}

// Largest deviation from the reference over the grid, relative to the largest density.
double deviation_from_reference(const Grid &g, const Molecule &m, const std::vector<float> &mo) {
    const std::vector<float> out = density(g, m, mo);
    double worst = 0.0, top = 0.0;
    for (int iz = 0; iz < g.nz; ++iz)
        for (int iy = 0; iy < g.ny; ++iy)
            for (int ix = 0; ix < g.nx; ++ix) {
                const double ref = reference_density(m, mo.data(), g.x(ix), g.y(iy), g.z(iz));
                worst = std::max(worst, std::fabs(out[g.index(ix, iy, iz)] - ref));
                top = std::max(top, ref);
            }
    return worst / top;
}

Molecule s_atom(float x, float y, float z) {
    Molecule m;
    m.atom(x, y, z).shell(0, {0.8f, 3.0f}, {0.6f, 0.9f});
    return m;
}

float s_radial(const Molecule &m, float k) {
    return shell_radial_momentum(0, k, m.prim_exponent.data(), m.prim_coeff.data(), 2);
}

}  // namespace

TEST(RadialTable, GridRangeAndPositions) {
    // (Equal extents and the far corners: FarCornersReadTheLastInterval.)  A
    // NaN end of an axis (k_step NaN on a one-voxel axis) leaves the other end.
    EXPECT_EQ(largest_grid_momentum(1, 1, 1, 2.0f, 0.0f, 0.0f, std::nanf("")), 2.0f);
    EXPECT_EQ(largest_grid_momentum(1, 1, 1, 0.0f, 0.0f, 0.0f, 0.0f), 0.0f);
    // Positions never leave the table.
    for (const auto &c : {std::pair{0.0f, 0.0f},
                          {-1.0f, 1.0f},
                          {std::nanf(""), 1.0f},
                          {INFINITY, 1.0f},
                          {1.0f, 0.0f},
                          {1e30f, 1e-30f}}) {
        EXPECT_GE(table_position(c.first, c.second).index, 0);
        EXPECT_LE(table_position(c.first, c.second).index, LAST_INTERVAL);
    }
    EXPECT_EQ(table_position(0.0f, 0.0f).frac, 0.0f);  // every voxel at k = 0: sample 0
}

TEST(MomentumDensity, FarCornersReadTheLastInterval) {
    // The 11-cube's corner is sample 1023 exactly; extents 1, 2, 2 give k_max
    // = 3; the cube of half-width 2.5 takes 1.7320508 * 2.5, one ulp below its
    // corner's |k| (a sqrtf would not be).
    const Molecule m = s_atom(0, 0, 0);
    const struct {
        Grid grid;
        float k_max, corner;
    } cases[] = {{{11, 11, 11, -0.5f, -0.5f, -0.5f, 0.1f},
                  1.7320508f * 0.5f,
                  1023.0f * radial_sample_step(1.7320508f * 0.5f)},
                 {{3, 5, 5, -1.0f, -2.0f, -2.0f, 1.0f}, 3.0f, 3.0f},
                 {{11, 11, 11, -2.5f, -2.5f, -2.5f, 0.5f}, 1.7320508f * 2.5f, std::sqrt(18.75f)}};
    for (const auto &c : cases) {
        const Grid &g = c.grid;
        const float step = c.k_max / 1023.0f, t0 = s_radial(m, 1022.0f * step),
                    t1 = s_radial(m, 1023.0f * step);
        // Past sample 1022 the last interval is read: u = |k| / step, frac = u - 1022.
        const float rho = g.x_min == -0.5f ? t1 : (t1 - t0) * (c.corner / step - 1022.0f) + t0;
        const float v = rho * (0.7f * Y00);
        const std::vector<float> out = density(g, m, {0.7f});
        EXPECT_EQ(bits(out[g.index(g.nx - 1, g.ny - 1, g.nz - 1)]), bits(v * v)) << g.nx;
        if (g.x_min == -0.5f) {
            EXPECT_EQ(bits(out[0]), bits(v * v));
        }
    }
}

TEST(MomentumDensity, ZeroMomentumSeesOnlySShells) {
    // The voxel at k = 0 of an ordinary grid, and grids whose every voxel is at
    // k = 0 (0 / 0 table position), give the s shell's value at k = 0.
    Molecule m = s_atom(1.3f, -0.7f, 2.1f);
    m.shell(1, {0.5f}, {1.0f}).shell(2, {0.9f}, {1.0f});
    const std::vector<float> mo = {0.7f, 0.3f, -0.4f, 0.5f, 0.2f, 0.6f, -0.3f, 0.8f, 0.1f};
    const float v = s_radial(m, 0.0f) * (0.7f * Y00);
    for (const Grid &g : {Grid{3, 3, 3, -0.25f, -0.25f, -0.25f, 0.25f}, Grid{1, 1, 1, 0, 0, 0, 0.5f},
                          Grid{4, 3, 2, 0, 0, 0, 0.0f}}) {
        const auto out = density(g, m, mo);
        EXPECT_EQ(bits(out[g.index(g.nx / 2, g.ny / 2, g.nz / 2)]), bits(v * v));
        for (float d : out) EXPECT_FALSE(std::isnan(d));
    }
}

TEST(MomentumDensity, AgreesWithDirectEvaluationToTheTableError) {
    // Pairs that interfere (s with d and p with f at one atom; p with an s off
    // the origin, through the plane-wave factor) check the signs of (-i)^l; a
    // random molecule checks everything else.
    const Grid g{9, 9, 9, -1.6f, -1.6f, -1.6f, 0.4f};
    for (int pair = 0; pair < 3; ++pair) {
        Molecule m;
        m.atom(0, 0, 0).shell(pair == 0 ? 0 : 1, {0.6f}, {1.0f});
        if (pair < 2) m.shell(pair == 0 ? 2 : 3, {0.6f}, {1.0f});
        if (pair == 2) m.atom(1.5f, 0, 0).shell(0, {0.9f}, {1.0f});
        std::vector<float> mo(size_t(m.n_components()), 0.0f);
        mo[0] = 0.8f, mo[pair == 0 ? 1 : 3] = 0.9f;  // z-like (or s) and m = 0 components
        if (pair == 2) mo = {0.0f, 1.0f, 0.0f, 0.5f};
        EXPECT_LT(deviation_from_reference(g, m, mo), 1e-4) << pair;
    }
    std::mt19937 rng(17);
    const Molecule m = random_molecule(rng, 3, 3, 4, 1.2f);
    const double deviation =
        deviation_from_reference({15, 15, 15, -2.1f, -2.1f, -2.1f, 0.3f}, m, random_orbital(rng, m));
    std::printf("largest deviation from the direct evaluation: %.3g of the largest density\n", deviation);
    EXPECT_LT(deviation, 1e-4);
}

TEST(MomentumDensity, EntryPointsWeightsAndEmptyAtoms) {
    std::mt19937 rng(5);
    const Molecule m = random_molecule(rng, 3, 3, 4, 1.5f);
    const std::vector<float> both = random_orbitals(rng, m, 2);
    const std::vector<float> row0(both.begin(), both.begin() + m.n_components()),
        row1(both.begin() + m.n_components(), both.end());
    const Grid g{7, 6, 5, -1.2f, -1.0f, -0.9f, 0.4f};
    const float one[] = {1.0f}, two_zero[] = {2.0f, 0.0f}, zero_one[] = {0.0f, 1.0f};
    const auto single = density(g, m, row0), first_twice = density_sum(g, m, both, 2, two_zero);
    EXPECT_SAME_BITS(single, density_sum(g, m, row0, 1));
    EXPECT_SAME_BITS(single, density_sum(g, m, row0, 1, one));
    EXPECT_SAME_BITS(density(g, m, row1), density_sum(g, m, both, 2, zero_one));
    for (size_t i = 0; i < single.size(); ++i) ASSERT_EQ(bits(2.0f * single[i]), bits(first_twice[i])) << i;
    // An atom without shells adds nothing, even at a NaN position.
    Molecule with_gap = s_atom(0.5f, 0, 0), without = s_atom(0.5f, 0, 0);
    with_gap.atom(std::nanf(""), 9.0f, 9.0f).atom(-0.5f, 0.3f, 0).shell(1, {0.7f}, {1.0f});
    without.atom(-0.5f, 0.3f, 0).shell(1, {0.7f}, {1.0f});
    EXPECT_SAME_BITS(density(g, with_gap, {0.5f, 0.1f, -0.8f, 0.4f}),
                     density(g, without, {0.5f, 0.1f, -0.8f, 0.4f}));
}

TEST(MomentumDensity, ScratchFailureLeavesZeros) {
    const Molecule m = s_atom(0.2f, 0, 0);
    const Grid g{3, 2, 2, -0.5f, -0.5f, -0.5f, 0.5f};
    std::vector<float> out;
    each_failing_allocation(
        3, [&] { out = density(g, m, {1.0f}); },
        [&](int) { EXPECT_SAME_BITS(out, std::vector<float>(g.size(), 0.0f)); });
    EXPECT_EQ(count_allocations([&] { out = density_sum(g, m, {1.0f}, 0); }), 0);
    EXPECT_SAME_BITS(out, std::vector<float>(g.size(), 0.0f));
}

TEST(MomentumDensity, InputOutsideTheModelStaysInsideTheArrays) {
    // A shell of degree 5 takes no part; a negative primitive count and a
    // negative shell count are cut at the arrays' ends; a negative dimension
    // writes nothing.  ASan sees any overrun.
    Molecule m = s_atom(0, 0, 0);
    m.shell(5, {1.0f}, {1.0f}).shell(1, {0.7f}, {1.0f});
    std::vector<float> mo(15, 0.3f), silenced = mo;
    std::fill(silenced.begin() + 1, silenced.begin() + 12, 0.0f);
    const Grid g{4, 4, 4, -0.6f, -0.6f, -0.6f, 0.4f};
    EXPECT_SAME_BITS(density(g, m, mo), density(g, m, silenced));
    EXPECT_EQ(density({-2, 2, 2, 0, 0, 0, 1}, m, mo)[0], 7.0f);

    Molecule odd = s_atom(0, 0, 0);
    odd.atom(1, 0, 0).shell(0, {1.0f}, {1.0f});
    odd.shells_per_atom = {3, -1};  // two shells in all: the first atom's third is cut
    odd.shell_n_prim = {-1, 3};     // one primitive in all: the second shell's lie outside
    odd.prim_exponent.resize(1);
    odd.prim_coeff.resize(1);
    for (float d : density(g, odd, {1.0f, 1.0f})) EXPECT_TRUE(std::isfinite(d));
}

TEST(MomentumDensity, RandomInputOutsideTheModelStaysInsideTheArrays) {
    // Degrees -3..7, primitive and shell counts down to -2, grids with NaN or
    // zero steps: every array is exactly as long as its count says.
    std::mt19937 rng(23);
    std::uniform_int_distribution<int> degree(-3, 7), count(-2, 3), dim(-1, 3);
    const float steps[] = {0.3f, 0.0f, std::nanf(""), INFINITY};
    for (int trial = 0; trial < 300; ++trial) {
        const int n_atoms = count(rng);
        std::vector<int32_t> spa(size_t(std::max(n_atoms, 0)));
        int n_shells = 0, n_comp = 0, n_prims = 0;
        for (int32_t &s : spa) n_shells += (s = count(rng));
        std::vector<int32_t> l(size_t(std::max(n_shells, 0))), n_prim(l.size());
        for (size_t s = 0; s < l.size(); ++s)
            n_comp += 2 * (l[s] = degree(rng)) + 1, n_prims += (n_prim[s] = count(rng));
        const std::vector<float> xyz(spa.size(), 0.5f), prims(size_t(std::max(n_prims, 0)), 0.8f);
        const int n_orbitals = count(rng);
        const std::vector<float> mo(size_t(std::max(n_orbitals, 0) * std::max(n_comp, 0)), 0.6f);
        const Grid g{dim(rng), dim(rng), dim(rng), -0.3f, 0.0f, -0.3f, steps[trial % 4]};
        std::vector<float> out(size_t(std::max(g.nx, 0) * std::max(g.ny, 0) * std::max(g.nz, 0)));
        momentum_density_sum(g.nx, g.ny, g.nz, n_orbitals, nullptr, mo.data(), g.x_min, g.y_min, g.z_min,
                             g.step, n_atoms, spa.data(), xyz.data(), xyz.data(), xyz.data(), l.data(),
                             n_prim.data(), prims.data(), prims.data(), out.data());
    }
}
