// Every instruction-set path of the momentum density engine against the scalar
// path, bit for bit: random molecules with l = 0..4 and orbitals that flag
// different shells, rows that end inside a vector, grids through k = 0 and out
// to the far corner, degenerate grids, non-finite input and large phases.
// A path this CPU lacks is reported skipped.
#include <gtest/gtest.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "libkernels.h"
#include "dev/forced_dispatch.h"
#include "support/test_targets.h"
#include "simd/lanes.h"
#include "support/allocation_failure.h"
#include "support/path_test.h"
#include "support/test_molecule.h"

using kernels::simd::SimdPath;
using kernels_test::TestTarget;
using kernels_test::test_target_name;
using kernels_test::vector_test_targets;
using kernels_test::Molecule;

namespace {

constexpr float GUARD = -12345.0f;

struct Grid {
    int32_t nx, ny, nz;
    float kx_min, ky_min, kz_min, k_step;
    size_t size() const { return size_t(nx) * ny * nz; }
};

struct Orbitals {
    int32_t count;
    std::vector<float> coeff;
    std::vector<float> weight;  // empty: null weights
};

// momentum_density_sum on a path, with guard values after the grid.
std::vector<float> density_sum(kernels::simd::Dispatch path, const Grid &g, const Molecule &m, const Orbitals &o) {
    std::vector<float> out(g.size() + 20, GUARD);
    const kernels::simd::ForcedDispatch on(path);
    momentum_density_sum(
        g.nx, g.ny, g.nz, o.count, o.weight.empty() ? nullptr : o.weight.data(),
        o.coeff.data(), g.kx_min, g.ky_min, g.kz_min, g.k_step, m.n_atoms(),
        m.shells_per_atom.data(), m.atom_x.data(), m.atom_y.data(), m.atom_z.data(),
        m.shell_l.data(), m.shell_n_prim.data(), m.prim_exponent.data(), m.prim_coeff.data(),
        out.data());
    return out;
}

std::vector<float> density(kernels::simd::Dispatch path, const Grid &g, const Molecule &m, const float *row) {
    std::vector<float> out(g.size() + 20, GUARD);
    const kernels::simd::ForcedDispatch on(path);
    momentum_density(g.nx, g.ny, g.nz, m.n_atoms(), m.shells_per_atom.data(), m.atom_x.data(), g.kx_min,
                     g.ky_min, g.kz_min, g.k_step, m.atom_y.data(), m.atom_z.data(), m.shell_l.data(),
                     m.shell_n_prim.data(), m.prim_exponent.data(), m.prim_coeff.data(), row, out.data());
    return out;
}

bool same_bits(const std::vector<float> &a, const std::vector<float> &b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0;
}

// Index of the first element whose bits differ, for the failure message.
std::string first_difference(const std::vector<float> &want, const std::vector<float> &got) {
    for (size_t i = 0; i < want.size(); ++i)
        if (kernels_test::bits(want[i]) != kernels_test::bits(got[i]))
            return "element " + std::to_string(i) + ": " + std::to_string(want[i]) + " vs " +
                   std::to_string(got[i]);
    return "none";
}

// Random orbitals over the molecule; in each, some shells are cleared, some
// put just below or just above the activity threshold, so the orbitals flag
// different shells.
Orbitals random_orbitals(std::mt19937 &rng, const Molecule &m, int32_t count, bool weighted) {
    Orbitals o{count, {}, {}};
    std::uniform_int_distribution<int> fate(0, 5);
    std::uniform_real_distribution<float> weight(-0.5f, 2.0f);
    for (int32_t i = 0; i < count; ++i) {
        std::vector<float> row = kernels_test::random_orbital(rng, m);
        int32_t c = 0;
        for (int32_t s = 0; s < m.n_shells(); ++s) {
            const int32_t size = 2 * m.shell_l[s] + 1;
            const int f = fate(rng);
            for (int32_t j = 0; j < size; ++j) {
                if (f == 0) row[c + j] = 0.0f;
                if (f == 1) row[c + j] = j == 0 ? 1e-6f : -1e-6f;      // inactive
                if (f == 2 && j == size - 1) row[c + j] = 1.0001e-6f;  // active by a hair
            }
            c += size;
        }
        o.coeff.insert(o.coeff.end(), row.begin(), row.end());
        if (weighted) o.weight.push_back(weight(rng));
    }
    return o;
}

class MomentumDensityPath : public testing::TestWithParam<TestTarget> {
  protected:
    void SetUp() override {
        SKIP_UNLESS_TARGET_RUNS(GetParam());
    }

    // Both entry points on the path under test against the scalar path.  With
    // `any_nan`, a NaN matches a NaN of any payload: where NaNs of both signs
    // meet in a sum, which one passes on follows the operand order the compiler
    // picks for the commutative addition (it differs between builds).
    void expect_scalar_bits(const Grid &g, const Molecule &m, const Orbitals &o,
                            const std::string &label, bool any_nan = false) {
        const auto same = [&](const std::vector<float> &a, const std::vector<float> &b) {
            if (a.size() != b.size()) return false;
            for (size_t i = 0; i < a.size(); ++i)
                if (!(any_nan && a[i] != a[i] && b[i] != b[i]) && !GetParam().same_results(&a[i], &b[i], 1))
                    return false;
            return true;
        };
        const std::vector<float> want = density_sum(kernels::simd::dispatch_for(SimdPath::scalar), g, m, o);
        const std::vector<float> got = density_sum(GetParam().dispatch(), g, m, o);
        EXPECT_TRUE(same(want, got)) << label << ", sum, first difference at " << first_difference(want, got);
        const std::vector<float> want_one = density(kernels::simd::dispatch_for(SimdPath::scalar), g, m, o.coeff.data());
        const std::vector<float> got_one = density(GetParam().dispatch(), g, m, o.coeff.data());
        EXPECT_TRUE(same(want_one, got_one)) << label << ", one orbital, first difference at "
                                                  << first_difference(want_one, got_one);
    }
};

// Random molecules (l = 0..4) and 1..11 orbitals (one group of eight and a
// partial one) on grids whose rows end at every position inside a vector;
// the grids pass through k = 0 and reach the far corner, where the table is
// read at u ~ 1023 (frac ~ 1, or just above by rounding).
TEST_P(MomentumDensityPath, EqualsScalarPathOnRandomMoleculesAndGrids) {
    std::mt19937 rng(2024);
    std::uniform_int_distribution<int> atoms(1, 5), orbitals(1, 11), side(2, 4);
    std::uniform_real_distribution<float> step(0.05f, 0.6f);
    for (int32_t nx = 1; nx <= 35; ++nx) {
        const Molecule m = kernels_test::random_molecule(rng, atoms(rng), 4, 4, 3.0f);
        const Orbitals o = random_orbitals(rng, m, orbitals(rng), nx % 3 != 0);
        const float k_step = step(rng);
        // k = 0 lies on the grid: index nx / 2 on x, 1 on y and z.
        const Grid g{nx, side(rng), side(rng), -static_cast<float>(nx / 2) * k_step, -k_step,
                     -k_step, k_step};
        expect_scalar_bits(g, m, o, "nx = " + std::to_string(nx));
    }
    // A cube centred on k = 0: its corners read sample 1023 exactly.
    const Molecule m = kernels_test::random_molecule(rng, 4, 4, 4, 2.0f);
    expect_scalar_bits({11, 11, 11, -0.5f, -0.5f, -0.5f, 0.1f}, m, random_orbitals(rng, m, 3, true),
                       "centred cube");
}

// Grids every voxel of which is at k = 0 (the table guard for u = 0 / 0), a
// grid that is NaN or infinite, phases beyond the fast reduction of sincosf,
// and a NaN among an active shell's coefficients (its sign passes through the
// (-i)^l rule as the scalar code passes it).
TEST_P(MomentumDensityPath, EqualsScalarPathOnDegenerateAndSpecialInput) {
    std::mt19937 rng(77);
    const float inf = std::numeric_limits<float>::infinity();
    const float nan = std::numeric_limits<float>::quiet_NaN();
    Molecule m = kernels_test::random_molecule(rng, 3, 5, 4, 3.0f);
    m.atom(40.0f, -35.0f, 25.0f).shell(1, {0.5f}, {1.0f}).shell(3, {1.2f, 0.3f}, {0.7f, 0.4f});
    Orbitals o = random_orbitals(rng, m, 3, true);
    const Grid grids[] = {
        {19, 1, 1, 0.0f, 0.0f, 0.0f, 0.0f},      // all at k = 0
        {13, 2, 1, -0.0f, 0.0f, -0.0f, 0.0f},    // all at k = 0, signed zeros
        {9, 2, 2, -3.0f, -2.0f, -1.0f, nan},     // NaN grid
        {10, 2, 1, -inf, 0.5f, 0.25f, 0.5f},     // infinite kx
        {17, 3, 2, -4.0f, 2.0f, 3.5f, 0.75f},    // atom phases well beyond 120 rad
    };
    for (const Grid &g : grids)
        expect_scalar_bits(g, m, o, "grid nx = " + std::to_string(g.nx));
    // The last atom's p and f shells end each row: orbital 0's p shell and
    // orbital 1's f shell are active and carry a NaN of either sign.
    const size_t row = static_cast<size_t>(m.n_components());
    o.coeff[row - 10] = 0.5f;
    o.coeff[row - 9] = -nan;
    o.coeff[2 * row - 7] = 0.5f;
    o.coeff[2 * row - 5] = nan;
    expect_scalar_bits({21, 3, 2, -1.0f, -0.5f, 0.0f, 0.1f}, m, o, "NaN coefficients", true);
}

// The path keeps the engine's three allocations, and a failed one leaves the
// output cleared.
TEST_P(MomentumDensityPath, AllocatesAsTheScalarPathAndClearsOnFailure) {
    std::mt19937 rng(5);
    const Molecule m = kernels_test::random_molecule(rng, 3, 3, 4, 2.0f);
    const Orbitals o = random_orbitals(rng, m, 2, false);
    const Grid g{9, 2, 2, -1.0f, -0.5f, -0.5f, 0.25f};
    std::vector<float> out;
    EXPECT_EQ(kernels_test::count_allocations([&] { out = density_sum(GetParam().dispatch(), g, m, o); }), 3);
    for (int fail = 0; fail < 3; ++fail) {
        kernels_test::with_failing_allocation(fail, [&] { out = density_sum(GetParam().dispatch(), g, m, o); });
        for (size_t i = 0; i < g.size(); ++i) ASSERT_EQ(kernels_test::bits(out[i]), 0u) << fail;
    }
}

INSTANTIATE_TEST_SUITE_P(Paths, MomentumDensityPath, testing::ValuesIn(vector_test_targets()),
                         test_target_name);

// The exported functions run the widest path this CPU has.
TEST(MomentumDensityDispatch, ExportedFunctionsRunTheBestPath) {
    std::mt19937 rng(9);
    const Molecule m = kernels_test::random_molecule(rng, 4, 4, 4, 2.5f);
    const Orbitals o = random_orbitals(rng, m, 5, true);
    const Grid g{23, 3, 2, -1.1f, -0.3f, -0.2f, 0.1f};
    std::vector<float> out(g.size() + 20, GUARD);
    momentum_density_sum(g.nx, g.ny, g.nz, o.count, o.weight.data(), o.coeff.data(), g.kx_min,
                         g.ky_min, g.kz_min, g.k_step, m.n_atoms(), m.shells_per_atom.data(),
                         m.atom_x.data(), m.atom_y.data(), m.atom_z.data(), m.shell_l.data(),
                         m.shell_n_prim.data(), m.prim_exponent.data(), m.prim_coeff.data(),
                         out.data());
    EXPECT_TRUE(same_bits(density_sum(kernels::simd::dispatch_for(kernels::simd::best_simd_path()), g, m, o), out));
}

}  // namespace
