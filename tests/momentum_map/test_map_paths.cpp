// The map kernels on every instruction-set path this CPU runs, against the
// scalar path bit for bit: randomised molecules (l = 0..4), grids that cut the
// hemisphere's rim, every row length modulo the vector width, angles, and the
// special values the sweeps can meet.  Paths the CPU lacks are skipped.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "map_call.h"
#include "dev/forced_dispatch.h"
#include "support/test_targets.h"
#include "simd/lanes.h"
#include "dispatch/dispatch.h"
#include "support/path_test.h"
#include "support/test_molecule.h"

namespace {

using kernels::simd::Dispatch;
using kernels::simd::dispatch_for;
using kernels::simd::SimdPath;
using kernels_test::TestTarget;
using kernels_test::test_target_name;
using kernels_test::vector_test_targets;
using kernels_test::Molecule;
using map_test::Angles;
using map_test::Grid;

class MapPaths : public testing::TestWithParam<TestTarget> {
  protected:
    void SetUp() override {
        SKIP_UNLESS_TARGET_RUNS(GetParam());
    }
};

struct MapCase {
    const Molecule *molecule;
    const std::vector<float> *row;
    float e_kin;
    Grid grid;
    Angles angles;
};

// The map of one case on a path, the vector sincosf used where it may be (or not).
std::vector<float> map_on(Dispatch dispatch, const MapCase &c) {
    const Molecule &m = *c.molecule;
    // Guard floats after the map catch writes past a row's last vector.
    std::vector<float> out(static_cast<size_t>(c.grid.n) * c.grid.n + 32, -99.0f);
    const kernels::simd::ForcedDispatch on(dispatch);
    momentum_map(c.grid.n, m.n_atoms(), m.shells_per_atom.data(), m.atom_x.data(), m.atom_y.data(),
                 m.atom_z.data(), c.e_kin, c.grid.k_min, c.grid.k_step, c.angles.alpha, c.angles.beta,
                 c.angles.gamma, m.shell_l.data(), m.shell_n_prim.data(), m.prim_exponent.data(),
                 m.prim_coeff.data(), c.row->data(), out.data());
    return out;
}

// The path (with and without the vector libm) equals the scalar path bit for bit.
void expect_same_as_scalar(const TestTarget &target, const MapCase &c, const std::string &what) {
    const std::vector<float> scalar = map_on(dispatch_for(SimdPath::scalar), c);
    for (bool vector_libm : {false, true}) {
        if (vector_libm && !kernels::simd::libm_runs_fma_variant()) continue;
        const std::vector<float> got = map_on({target.dispatch().kernels, vector_libm}, c);
        ASSERT_TRUE(target.same_results(got.data(), scalar.data(), got.size()))
            << what << (vector_libm ? ", vector sincosf" : ", scalar sincosf") << ", n = " << c.grid.n;
    }
}

TEST_P(MapPaths, MomentumMapEqualsScalarPathOnRandomMolecules) {
    std::mt19937 rng(2024);
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    std::uniform_real_distribution<float> angle(-180.0f, 360.0f);
    for (int trial = 0; trial < 24; ++trial) {
        const Molecule m = kernels_test::random_molecule(rng, 1 + trial % 6, 3, 4, 4.0f);
        const std::vector<float> row = kernels_test::random_orbital(rng, m);
        const float e_kin = 0.2f + 20.0f * unit(rng);
        const float k = std::sqrt(e_kin + e_kin);
        // From inside the disc to well outside it, so rows cross the rim anywhere.
        const int32_t n = 1 + trial * 3 % 37;
        const float k_min = -k * (0.5f + unit(rng));
        const float k_step = n > 1 ? -2.0f * k_min / static_cast<float>(n - 1) * (0.6f + 0.8f * unit(rng)) : 0.0f;
        const MapCase c{&m, &row, e_kin, {n, k_min, k_step}, {angle(rng), angle(rng), angle(rng)}};
        expect_same_as_scalar(GetParam(), c, "trial " + std::to_string(trial));
    }
}

// Every row length modulo 8 and 16, pixels exactly on the rim (radicand 0),
// atoms so far out that the phase needs the large reduction, and an orbital
// that is s only (no harmonics are formed).
TEST_P(MapPaths, MomentumMapEqualsScalarPathAtRowEndsRimAndLargePhases) {
    Molecule m;
    m.atom(0.0f, 0.0f, 0.0f).shell(4, {0.8f}, {1.0f}).shell(1, {2.0f, 0.3f}, {0.6f, 0.5f});
    m.atom(150.0f, -90.0f, 40.0f).shell(2, {0.5f}, {1.0f}).shell(3, {0.7f}, {1.0f});
    m.atom(1.2f, 0.4f, -0.7f).shell(0, {1.1f}, {1.0f});
    std::mt19937 rng(5);
    const std::vector<float> row = kernels_test::random_orbital(rng, m);
    for (int32_t n = 1; n <= 35; ++n) {
        // e_kin = 2: k = 2, and the grid -2, -1.75, ... meets k^2 - kx^2 - ky^2 = 0 exactly.
        const MapCase rim{&m, &row, 2.0f, {n, -2.0f, 0.25f}, {30.0f, 50.0f, -70.0f}};
        expect_same_as_scalar(GetParam(), rim, "rim");
    }
    Molecule s_only;
    s_only.atom(0.5f, 0.0f, 0.0f).shell(0, {1.0f}, {1.0f}).atom(-0.5f, 0.2f, 0.1f).shell(0, {0.4f}, {1.0f});
    const std::vector<float> s_row{0.7f, -0.3f};
    expect_same_as_scalar(GetParam(), {&s_only, &s_row, 9.0f, {21, -5.0f, 0.5f}, {10.0f, 20.0f, 30.0f}}, "s only");
}

// Grids the sweep meets only at the edges of its contract: all pixels outside,
// a zero step (every pixel the same), NaN and infinite grid values, a NaN
// energy (every pixel NaN).
TEST_P(MapPaths, MomentumMapEqualsScalarPathOnSpecialGrids) {
    std::mt19937 rng(9);
    const Molecule m = kernels_test::random_molecule(rng, 3, 3, 4, 2.0f);
    const std::vector<float> row = kernels_test::random_orbital(rng, m);
    const float nan = std::nanf(""), inf = INFINITY;
    const struct {
        float e_kin;
        Grid grid;
    } cases[] = {{1.0f, {19, 10.0f, 1.0f}},   {1.0f, {19, 0.3f, 0.0f}}, {1.0f, {19, nan, 0.1f}},
                 {1.0f, {19, -1.0f, nan}},    {1.0f, {19, -inf, 1.0f}}, {1.0f, {19, -1.0f, inf}},
                 {nan, {19, -1.0f, 0.1f}},    {inf, {9, -1.0f, 0.1f}},  {3e-45f, {11, 0.0f, 1e-30f}}};
    for (const auto &special : cases)
        expect_same_as_scalar(GetParam(), {&m, &row, special.e_kin, special.grid, {15.0f, 25.0f, 35.0f}}, "special grid");
}

// The exported function runs the widest path and gives the scalar bits.
TEST(MapDispatch, ExportedMomentumMapGivesTheScalarPathsBits) {
    std::mt19937 rng(77);
    const Molecule m = kernels_test::random_molecule(rng, 5, 3, 4, 3.0f);
    const std::vector<float> row = kernels_test::random_orbital(rng, m);
    const Grid grid{29, -3.0f, 0.21f};
    const Angles angles{12.0f, 34.0f, 56.0f};
    const std::vector<float> exported = map_test::map_of(m, row, 4.0f, grid, angles);
    const std::vector<float> scalar =
        kernels::simd::run_on(SimdPath::scalar, [&] { return map_test::map_of(m, row, 4.0f, grid, angles); });
    EXPECT_EQ(std::memcmp(exported.data(), scalar.data(), scalar.size() * sizeof(float)), 0);
}

// Every mode (linear, both helicities, dichroism, radial) on maps holding
// random values, zeros, NaN and infinities, rows of every length up to 35 on
// grids that cross the rim, random angles, s shares and imaginary kz.
TEST_P(MapPaths, PolarisationFactorEqualsScalarPath) {
    std::mt19937 rng(31);
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    std::uniform_real_distribution<float> angle(-100.0f, 400.0f);
    const float specials[] = {0.0f, -0.0f, std::nanf(""), INFINITY, -INFINITY, 1e30f};
    const int32_t modes[][2] = {{0, 0}, {1, 0}, {1, 1}, {1, 2}, {2, 0}};
    for (int32_t n = 1; n <= 35; ++n) {
        std::vector<float> map(static_cast<size_t>(n) * n + 32, -99.0f);
        for (size_t p = 0; p < static_cast<size_t>(n) * n; ++p)
            map[p] = p % 11 == 4 ? specials[p % std::size(specials)] : 10.0f * unit(rng) - 2.0f;
        // e_kin = 2 on the grid -2 + 0.25 j meets kz^2 = 0 exactly; other sizes are random.
        const bool rim = n % 4 == 0;
        const float e_kin = rim ? 2.0f : 0.1f + 10.0f * unit(rng);
        const float k = std::sqrt(e_kin + e_kin);
        const float k_min = rim ? -2.0f : -k * (0.5f + unit(rng));
        const float k_step = rim ? 0.25f : n > 1 ? -2.0f * k_min / static_cast<float>(n - 1) * (0.6f + 0.8f * unit(rng)) : 0.0f;
        for (const auto &mode : modes) {
            const float incidence = angle(rng), azimuth = angle(rng), s_share = 100.0f * unit(rng);
            const float kz_imaginary = unit(rng) - 0.3f;
            std::vector<float> scalar = map, got = map;
            const auto apply = [&](std::vector<float> &to) {
                return [&] {
                    polarisation_factor(n, mode[0], mode[1], to.data(), e_kin, k_min, k_step, incidence, azimuth,
                                        s_share, kz_imaginary);
                };
            };
            kernels::simd::run_on(SimdPath::scalar, apply(scalar));
            kernels::simd::run_on(GetParam().dispatch(), apply(got));
            ASSERT_TRUE(GetParam().same_results(got.data(), scalar.data(), got.size()))
                << "mode " << mode[0] << "/" << mode[1] << ", n = " << n;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Paths, MapPaths,
                         testing::ValuesIn(vector_test_targets()),
                         test_target_name);

}  // namespace
