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
#include "libkernels.h"
#include "momentum_density/radial_table.h"
#include "support/allocation_failure.h"
#include "support/test_molecule.h"

using namespace kernels;
using kernels_test::bits;
using kernels_test::Molecule;

namespace {

struct Grid {
    int32_t nx, ny, nz;
    float kx_min, ky_min, kz_min, k_step;
    size_t size() const { return size_t(nx) * ny * nz; }
    size_t at(int ix, int iy, int iz) const { return (size_t(iz) * ny + iy) * nx + ix; }
};

std::vector<float> density_sum(const Grid &g, const Molecule &m, const std::vector<float> &mo,
                               int32_t n_orbitals, const float *weights) {
    std::vector<float> out(g.size(), 7.0f);
    momentum_density_sum(g.nx, g.ny, g.nz, n_orbitals, weights, mo.data(), g.kx_min, g.ky_min,
                         g.kz_min, g.k_step, m.n_atoms(), m.shells_per_atom.data(),
                         m.atom_x.data(), m.atom_y.data(), m.atom_z.data(), m.shell_l.data(),
                         m.shell_n_prim.data(), m.prim_exponent.data(), m.prim_coeff.data(),
                         out.data());
    return out;
}

std::vector<float> density(const Grid &g, const Molecule &m, const std::vector<float> &mo) {
    std::vector<float> out(g.size(), 7.0f);
    momentum_density(g.nx, g.ny, g.nz, m.n_atoms(), m.shells_per_atom.data(), m.atom_x.data(),
                     g.kx_min, g.ky_min, g.kz_min, g.k_step, m.atom_y.data(), m.atom_z.data(),
                     m.shell_l.data(), m.shell_n_prim.data(), m.prim_exponent.data(),
                     m.prim_coeff.data(), mo.data(), out.data());
    return out;
}

// |psi(k)|^2 in double, the radial factor taken at the exact |k| (no table),
// with its own (-i)^l and e^{-i k.R}; only the harmonic table is shared.
double reference_density(const Molecule &m, const float *row, double kx, double ky, double kz) {
    const double kn = std::sqrt(kx * kx + ky * ky + kz * kz);
    std::vector<float> ylm(25, 0.0f);
    const double inv = kn > 1e-6 ? 1.0 / kn : 0.0;
    real_harmonics(float(kx * inv), float(ky * inv), float(kz * inv), 4, ylm.data());
    std::complex<double> psi = 0.0;
    int s = 0, c = 0, p = 0;
    for (int a = 0; a < m.n_atoms(); ++a) {
        std::complex<double> atom_sum = 0.0;
        for (int j = 0; j < m.shells_per_atom[a]; ++j, ++s) {
            const int l = m.shell_l[s];
            double radial = 0.0, angular = 0.0;
            for (int q = 0; q < m.shell_n_prim[s]; ++q, ++p) {
                const double alpha = m.prim_exponent[p];
                radial += m.prim_coeff[p] * std::pow(alpha, -l - 1.5) * std::exp(-kn * kn / (4 * alpha));
            }
            radial *= std::pow(kn / 2, l);
            for (int i = 0; i <= 2 * l; ++i, ++c) angular += double(row[c]) * ylm[l * l + i];
            atom_sum += std::pow(std::complex<double>(0, -1), l) * radial * angular;
        }
        const double phase = kx * m.atom_x[a] + ky * m.atom_y[a] + kz * m.atom_z[a];
        psi += std::exp(std::complex<double>(0, -phase)) * atom_sum;
    }
    return std::norm(psi);
}

// Largest deviation from the reference over the grid, relative to the largest density.
double deviation_from_reference(const Grid &g, const Molecule &m, const std::vector<float> &mo,
                                const std::vector<float> &out) {
    double worst = 0.0, largest = 0.0;
    for (int iz = 0; iz < g.nz; ++iz)
        for (int iy = 0; iy < g.ny; ++iy)
            for (int ix = 0; ix < g.nx; ++ix) {
                const double ref = reference_density(m, mo.data(), ix * g.k_step + g.kx_min,
                                                     iy * g.k_step + g.ky_min, iz * g.k_step + g.kz_min);
                worst = std::max(worst, std::fabs(out[g.at(ix, iy, iz)] - ref));
                largest = std::max(largest, ref);
            }
    return worst / largest;
}

Molecule s_atom(float x, float y, float z) {
    Molecule m;
    m.atom(x, y, z).shell(0, {0.8f, 3.0f}, {0.6f, 0.9f});
    return m;
}

}  // namespace

TEST(RadialTable, LargestMomentumOfTheGrid) {
    // Equal extents take the sqrt(3) shortcut; the 11-cube's corner is sample 1023 exactly.
    const float cube = largest_grid_momentum(11, 11, 11, -0.5f, -0.5f, -0.5f, 0.1f);
    EXPECT_EQ(bits(cube), bits(1.7320508f * 0.5f));
    const float corner = std::sqrt(3.0f * (10.0f * 0.1f + -0.5f) * (10.0f * 0.1f + -0.5f));
    EXPECT_EQ(corner / radial_sample_step(cube), 1023.0f);
    EXPECT_EQ(largest_grid_momentum(3, 5, 5, -1.0f, -2.0f, -2.0f, 1.0f), 3.0f);
    // A NaN end of an axis (k_step NaN on a one-voxel axis) leaves the other end.
    EXPECT_EQ(largest_grid_momentum(1, 1, 1, 2.0f, 0.0f, 0.0f, std::nanf("")), 2.0f);
    EXPECT_EQ(largest_grid_momentum(1, 1, 1, 0.0f, 0.0f, 0.0f, 0.0f), 0.0f);
}

TEST(RadialTable, SamplesAreTheDirectRadialFactor) {
    const float exps[] = {0.05f, 1.3f, 40.0f}, coeffs[] = {0.4f, -1.1f, 2.0f};
    std::vector<float> row(RADIAL_SAMPLES);
    const float step = radial_sample_step(9.0f);
    for (int32_t l = 0; l <= 4; ++l) {
        tabulate_shell_radial(l, exps, coeffs, 3, step, row.data());
        for (int q = 0; q < RADIAL_SAMPLES; ++q)
            ASSERT_EQ(bits(row[q]), bits(shell_radial_momentum(l, q * step, exps, coeffs, 3))) << l << " " << q;
    }
}

TEST(RadialTable, PositionNeverLeavesTheTable) {
    const float inf = INFINITY;
    const float cases[][2] = {{0.0f, 0.0f}, {-1.0f, 1.0f}, {std::nanf(""), 1.0f}, {inf, 1.0f}, {1.0f, 0.0f}, {1e30f, 1e-30f}};
    for (const auto &c : cases) {
        const TablePosition at = table_position(c[0], c[1]);
        EXPECT_GE(at.index, 0);
        EXPECT_LE(at.index, LAST_INTERVAL);
    }
    EXPECT_EQ(table_position(0.0f, 0.0f).frac, 0.0f);  // every voxel at k = 0: sample 0
    EXPECT_EQ(table_position(1023.0f, 1.0f).index, 1022);
    EXPECT_EQ(table_position(1023.0f, 1.0f).frac, 1.0f);
    EXPECT_EQ(table_position(5.25f, 1.0f).index, 5);
    EXPECT_EQ(table_position(5.25f, 1.0f).frac, 0.25f);
}

TEST(MomentumDensity, CubeCornerReadsTheLastSample) {
    const Molecule m = s_atom(0, 0, 0);
    const std::vector<float> mo = {0.7f};
    const Grid g{11, 11, 11, -0.5f, -0.5f, -0.5f, 0.1f};
    const auto out = density(g, m, mo);
    const float step = radial_sample_step(1.7320508f * 0.5f);
    const float rho = shell_radial_momentum(0, 1023.0f * step, m.prim_exponent.data(), m.prim_coeff.data(), 2);
    const float v = rho * (0.7f * Y00);
    EXPECT_EQ(bits(out[g.at(10, 10, 10)]), bits(v * v));
    EXPECT_EQ(bits(out[g.at(0, 0, 0)]), bits(v * v));
}

TEST(MomentumDensity, FarCornerInterpolatesTheLastInterval) {
    // Extents 1, 2, 2 give k_max = 3; the cube of half-width 2.5 takes
    // 1.7320508 * 2.5, one ulp below its corner's |k| (a sqrtf would not be).
    const Molecule m = s_atom(0, 0, 0);
    const std::vector<float> mo = {1.0f};
    const struct { Grid grid; float k_max, corner; } cases[] = {
        {{3, 5, 5, -1.0f, -2.0f, -2.0f, 1.0f}, 3.0f, 3.0f},
        {{11, 11, 11, -2.5f, -2.5f, -2.5f, 0.5f}, 1.7320508f * 2.5f, std::sqrt(18.75f)}};
    for (const auto &c : cases) {
        const Grid &g = c.grid;
        const float step = c.k_max / 1023.0f;
        const TablePosition at = table_position(c.corner, step);
        const float t0 = shell_radial_momentum(0, 1022.0f * step, m.prim_exponent.data(), m.prim_coeff.data(), 2);
        const float t1 = shell_radial_momentum(0, 1023.0f * step, m.prim_exponent.data(), m.prim_coeff.data(), 2);
        const float v = ((t1 - t0) * at.frac + t0) * (1.0f * Y00);
        EXPECT_EQ(bits(density(g, m, mo)[g.at(g.nx - 1, g.ny - 1, g.nz - 1)]), bits(v * v)) << g.nx;
    }
}

TEST(MomentumDensity, ZeroMomentumSeesOnlySShells) {
    Molecule m = s_atom(1.3f, -0.7f, 2.1f);
    m.shell(1, {0.5f}, {1.0f}).shell(2, {0.9f}, {1.0f});
    const std::vector<float> mo = {0.7f, 0.3f, -0.4f, 0.5f, 0.2f, 0.6f, -0.3f, 0.8f, 0.1f};
    const float rho0 = shell_radial_momentum(0, 0.0f, m.prim_exponent.data(), m.prim_coeff.data(), 2);
    const float v = rho0 * (0.7f * Y00);
    // The voxel at k = 0 of an ordinary grid, and grids whose every voxel is at
    // k = 0 (0 / 0 table position), all give the s shell's value at k = 0.
    const Grid grids[] = {{3, 3, 3, -0.25f, -0.25f, -0.25f, 0.25f}, {1, 1, 1, 0, 0, 0, 0.5f}, {4, 3, 2, 0, 0, 0, 0.0f}};
    for (const Grid &g : grids) {
        const auto out = density(g, m, mo);
        EXPECT_EQ(bits(out[g.at(g.nx / 2, g.ny / 2, g.nz / 2)]), bits(v * v));
        for (float d : out) EXPECT_FALSE(std::isnan(d));
    }
}

TEST(MomentumDensity, SignRulesOfTheShellDegrees) {
    // At an atom at the origin a p shell adds -rho S to the imaginary part, a d
    // shell -rho S to the real part, an f shell +rho S to the imaginary part: s
    // and d interfere, p and f interfere.  A second atom off the origin checks
    // the plane-wave factor against (-i)^l.
    const Grid g{9, 9, 9, -1.6f, -1.6f, -1.6f, 0.4f};
    for (int pair = 0; pair < 3; ++pair) {
        Molecule m;
        m.atom(0, 0, 0);
        if (pair == 0) m.shell(0, {0.6f}, {1.0f}).shell(2, {0.6f}, {1.0f});
        if (pair == 1) m.shell(1, {0.6f}, {1.0f}).shell(3, {0.6f}, {1.0f});
        if (pair == 2) m.shell(1, {0.6f}, {1.0f}).atom(1.5f, 0, 0).shell(0, {0.9f}, {1.0f});
        std::vector<float> mo(size_t(m.n_components()), 0.0f);
        mo[0] = 0.8f;                         // z-like (or s) component of the first shell
        mo[pair == 0 ? 1 : 3] = 0.9f;         // m = 0 component of the second shell
        if (pair == 2) mo = {0.0f, 1.0f, 0.0f, 0.5f};
        EXPECT_LT(deviation_from_reference(g, m, mo, density(g, m, mo)), 1e-4) << pair;
    }
}

TEST(MomentumDensity, EmptyAtomBetweenTwoAtomsChangesNothing) {
    Molecule with_gap = s_atom(0.5f, 0, 0);
    // Even a placeholder at a NaN position: the atom without shells adds nothing.
    with_gap.atom(std::nanf(""), 9.0f, 9.0f).atom(-0.5f, 0.3f, 0).shell(1, {0.7f}, {1.0f});
    Molecule without = s_atom(0.5f, 0, 0);
    without.atom(-0.5f, 0.3f, 0).shell(1, {0.7f}, {1.0f});
    const std::vector<float> mo = {0.5f, 0.1f, -0.8f, 0.4f};
    const Grid g{6, 5, 4, -1.0f, -0.8f, -0.6f, 0.35f};
    const auto a = density(g, with_gap, mo), b = density(g, without, mo);
    for (size_t i = 0; i < a.size(); ++i) ASSERT_EQ(bits(a[i]), bits(b[i])) << i;
}

TEST(MomentumDensity, EntryPointsAndWeights) {
    std::mt19937 rng(5);
    const Molecule m = kernels_test::random_molecule(rng, 3, 3, 4, 1.5f);
    const auto row0 = kernels_test::random_orbital(rng, m), row1 = kernels_test::random_orbital(rng, m);
    const Grid g{7, 6, 5, -1.2f, -1.0f, -0.9f, 0.4f};
    const auto single = density(g, m, row0);
    const float one[] = {1.0f}, two_zero[] = {2.0f, 0.0f}, zero_one[] = {0.0f, 1.0f};
    const auto null_weights = density_sum(g, m, row0, 1, nullptr), unit_weight = density_sum(g, m, row0, 1, one);
    std::vector<float> both = row0;
    both.insert(both.end(), row1.begin(), row1.end());
    const auto first_twice = density_sum(g, m, both, 2, two_zero), second = density_sum(g, m, both, 2, zero_one);
    const auto second_alone = density(g, m, row1);
    for (size_t i = 0; i < single.size(); ++i) {
        ASSERT_EQ(bits(single[i]), bits(null_weights[i])) << i;
        ASSERT_EQ(bits(single[i]), bits(unit_weight[i])) << i;
        ASSERT_EQ(bits(2.0f * single[i]), bits(first_twice[i])) << i;
        ASSERT_EQ(bits(second_alone[i]), bits(second[i])) << i;
    }
}

TEST(MomentumDensity, ScratchFailureLeavesZeros) {
    const Molecule m = s_atom(0.2f, 0, 0);
    const std::vector<float> mo = {1.0f};
    const Grid g{3, 2, 2, -0.5f, -0.5f, -0.5f, 0.5f};
    std::vector<float> out;
    EXPECT_EQ(kernels_test::count_allocations([&] { out = density(g, m, mo); }), 3);
    for (int fail = 0; fail < 3; ++fail) {
        kernels_test::with_failing_allocation(fail, [&] { out = density(g, m, mo); });
        for (float d : out) EXPECT_EQ(bits(d), 0u) << fail;
    }
    EXPECT_EQ(kernels_test::count_allocations([&] { out = density_sum(g, m, mo, 0, nullptr); }), 0);
    for (float d : out) EXPECT_EQ(bits(d), 0u);
}

TEST(MomentumDensity, InputOutsideTheModelStaysInsideTheArrays) {
    // A shell of degree 5 takes no part (as if all its coefficients were zero);
    // a negative primitive count and a negative shell count are cut at the
    // arrays' ends; a negative dimension writes nothing.  ASan sees any overrun.
    Molecule m = s_atom(0, 0, 0);
    m.shell(5, {1.0f}, {1.0f}).shell(1, {0.7f}, {1.0f});
    std::vector<float> mo(15, 0.3f), silenced = mo;
    for (int c = 1; c < 12; ++c) silenced[c] = 0.0f;
    const Grid g{4, 4, 4, -0.6f, -0.6f, -0.6f, 0.4f};
    const auto a = density(g, m, mo), b = density(g, m, silenced);
    for (size_t i = 0; i < a.size(); ++i) ASSERT_EQ(bits(a[i]), bits(b[i])) << i;

    Molecule odd = s_atom(0, 0, 0);
    odd.atom(1, 0, 0).shell(0, {1.0f}, {1.0f});
    odd.shells_per_atom = {3, -1};  // two shells in all: the first atom's third is cut
    odd.shell_n_prim = {-1, 3};      // one primitive in all: the second shell's lie outside
    odd.prim_exponent.resize(1);
    odd.prim_coeff.resize(1);
    const std::vector<float> row = {1.0f, 1.0f};
    for (float d : density(g, odd, row)) EXPECT_TRUE(std::isfinite(d));

    std::vector<float> untouched(8, 7.0f);
    momentum_density(-2, 2, 2, m.n_atoms(), m.shells_per_atom.data(), m.atom_x.data(), 0, 0, 0, 1,
                     m.atom_y.data(), m.atom_z.data(), m.shell_l.data(), m.shell_n_prim.data(),
                     m.prim_exponent.data(), m.prim_coeff.data(), mo.data(), untouched.data());
    for (float d : untouched) EXPECT_EQ(d, 7.0f);
}

TEST(MomentumDensity, AgreesWithDirectEvaluationToTheTableError) {
    std::mt19937 rng(17);
    const Molecule m = kernels_test::random_molecule(rng, 3, 3, 4, 1.2f);
    const auto mo = kernels_test::random_orbital(rng, m);
    const Grid g{15, 15, 15, -2.1f, -2.1f, -2.1f, 0.3f};
    const double deviation = deviation_from_reference(g, m, mo, density(g, m, mo));
    std::printf("largest deviation from the direct evaluation: %.3g of the largest density\n", deviation);
    EXPECT_LT(deviation, 1e-4);
}

TEST(MomentumDensity, RandomInputOutsideTheModelStaysInsideTheArrays) {
    // Degrees -3..7, primitive and shell counts down to -2, grids with NaN or
    // zero steps: every array is exactly as long as its count says (ASan watches).
    std::mt19937 rng(23);
    std::uniform_int_distribution<int> degree(-3, 7), count(-2, 3), dim(-1, 3);
    const float steps[] = {0.3f, 0.0f, std::nanf(""), INFINITY};
    for (int trial = 0; trial < 300; ++trial) {
        const int n_atoms = count(rng);
        std::vector<int32_t> spa(size_t(std::max(n_atoms, 0)));
        int n_shells = 0;
        for (int32_t &s : spa) n_shells += (s = count(rng));
        n_shells = std::max(n_shells, 0);
        std::vector<int32_t> l(static_cast<size_t>(n_shells)), n_prim(static_cast<size_t>(n_shells));
        int n_comp = 0, n_prims = 0;
        for (int s = 0; s < n_shells; ++s) n_comp += 2 * (l[s] = degree(rng)) + 1, n_prims += (n_prim[s] = count(rng));
        const std::vector<float> xyz(spa.size(), 0.5f), prims(size_t(std::max(n_prims, 0)), 0.8f);
        const int n_orbitals = count(rng);
        const std::vector<float> mo(size_t(std::max(n_orbitals, 0) * std::max(n_comp, 0)), 0.6f);
        const Grid g{dim(rng), dim(rng), dim(rng), -0.3f, 0.0f, -0.3f, steps[trial % 4]};
        std::vector<float> out(size_t(std::max(g.nx, 0) * std::max(g.ny, 0) * std::max(g.nz, 0)));
        momentum_density_sum(g.nx, g.ny, g.nz, n_orbitals, nullptr, mo.data(), g.kx_min, g.ky_min, g.kz_min,
                             g.k_step, n_atoms, spa.data(), xyz.data(), xyz.data(), xyz.data(), l.data(),
                             n_prim.data(), prims.data(), prims.data(), out.data());
    }
}
