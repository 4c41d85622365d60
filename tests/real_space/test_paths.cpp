// scalar_field and charge_density_sum on every instruction-set path this CPU
// runs, against the scalar path, bit for bit: random molecules and grids (rows
// of every length, boxes cut by the grid's ends), points exactly at an atom's
// and a shell's limit and primitives exactly at the cut-off in the middle of a
// vector, special values, and the directed rounding modes.  Paths the CPU
// lacks are reported skipped.
#include <gtest/gtest.h>

#include <fenv.h>

#include <cmath>
#include <random>

#include "basis/basis_model.h"
#include "dev/forced_dispatch.h"
#include "support/test_targets.h"
#include "real_space/real_space_calls.h"

using namespace kernels_test;
using kernels::simd::SimdPath;

namespace {

const kernels::simd::Dispatch SCALAR = kernels::simd::dispatch_for(SimdPath::scalar);
constexpr float GUARD = -12345.0f;
constexpr size_t GUARD_COUNT = 17;  // past the end of the grid, more than a vector

// The grid with guard elements after it; the guards are checked by the caller.
std::vector<float> field_on(kernels::simd::Dispatch path, const Grid &g, const Molecule &m,
                            const std::vector<float> &row) {
    std::vector<float> out(g.size() + GUARD_COUNT, GUARD);
    const kernels::simd::ForcedDispatch on(path);
    call_scalar_field(g, m, row.data(), out.data());
    return out;
}

std::vector<float> density_on(kernels::simd::Dispatch path, const Grid &g, const Molecule &m,
                              const std::vector<float> &weights, const std::vector<float> &matrix) {
    std::vector<float> out(g.size() + GUARD_COUNT, GUARD);
    const kernels::simd::ForcedDispatch on(path);
    call_charge_density(g, m, static_cast<int32_t>(weights.size()), weights.data(), matrix.data(), out.data());
    return out;
}

void expect_guards_kept(const std::vector<float> &out, const Grid &g) {
    for (size_t e = g.size(); e < out.size(); ++e) EXPECT_EQ(bits(out[e]), bits(GUARD)) << e;
}

class VectorPath : public testing::TestWithParam<TestTarget> {
  protected:
    void SetUp() override {
        SKIP_UNLESS_TARGET_RUNS(GetParam());
    }

    // The field and a two-orbital density on this path and on the scalar path.
    void expect_same_as_scalar(const Grid &g, const Molecule &m, const std::vector<float> &row) {
        const auto vector = field_on(GetParam().dispatch(), g, m, row);
        EXPECT_SAME_BITS(vector, field_on(SCALAR, g, m, row));
        expect_guards_kept(vector, g);

        std::vector<float> matrix = row;
        for (float c : row) matrix.push_back(0.5f - c);
        const std::vector<float> weights{2.0f, -0.75f};
        const auto density = density_on(GetParam().dispatch(), g, m, weights, matrix);
        EXPECT_SAME_BITS(density, density_on(SCALAR, g, m, weights, matrix));
        expect_guards_kept(density, g);
    }
};

TEST_P(VectorPath, RandomMoleculesAndGridsMatchScalarPath) {
    std::mt19937 rng(77);
    std::uniform_int_distribution<int> row_length(1, 41), rows(1, 4), atoms(1, 5);
    std::uniform_real_distribution<float> corner(-4.0f, 1.0f), step(0.12f, 0.6f);
    for (int trial = 0; trial < 40; ++trial) {
        const Molecule m = random_molecule(rng, atoms(rng), 4, 4, 3.0f);
        const std::vector<float> row = random_orbital(rng, m);
        Grid g{row_length(rng), rows(rng), rows(rng), corner(rng), corner(rng), corner(rng), step(rng)};
        if (trial % 5 == 4) {  // a backward grid
            g.step = -g.step;
            g.x_min = -g.x_min;
        }
        SCOPED_TRACE(testing::Message() << "trial " << trial << ", nx " << g.nx);
        expect_same_as_scalar(g, m, row);
    }
}

TEST_P(VectorPath, SharedExponentsMatchScalarPath) {
    // Each atom's shells draw their exponents from a pool of three, so that
    // shells share some or all of them (evaluated once per exponent).
    std::mt19937 rng(31);
    std::uniform_real_distribution<float> position(-2.0f, 2.0f), log_exponent(-1.0f, 1.0f), coefficient(-1.0f, 1.0f);
    std::uniform_int_distribution<int> shells(2, 6), degree(0, 3), prims(1, 3), pick(0, 2);
    for (int trial = 0; trial < 12; ++trial) {
        Molecule m;
        for (int a = 0; a < 1 + trial % 3; ++a) {
            m.atom(position(rng), position(rng), position(rng));
            const float pool[3] = {std::pow(10.0f, log_exponent(rng)), std::pow(10.0f, log_exponent(rng)),
                                   std::pow(10.0f, log_exponent(rng))};
            for (int s = shells(rng); s > 0; --s) {
                std::vector<float> exponents, coefficients;
                for (int q = prims(rng); q > 0; --q) {
                    exponents.push_back(pool[pick(rng)]);
                    coefficients.push_back(coefficient(rng));
                }
                m.shell(degree(rng), exponents, coefficients);
            }
        }
        const Grid g{29 + trial, 3, 2, -3.0f, -1.0f, -0.5f, 0.21f};
        SCOPED_TRACE(testing::Message() << "trial " << trial);
        expect_same_as_scalar(g, m, random_orbital(rng, m));
    }
}

// Radius r^2 of point (i, j, k) from an atom, rounded as the kernel rounds it.
float point_r2(const Grid &g, int32_t i, int32_t j, int32_t k, float ax, float ay, float az) {
    const float dz = g.z(k) - az, dy = g.y(j) - ay, dx = g.x(i) - ax;
    return (dz * dz + dy * dy) + dx * dx;
}

// An exponent alpha near `guess` with op(alpha) == target exactly, or 0.
template <class Op>
float exact_exponent(float guess, float target, Op op) {
    float alpha = guess;
    for (int ulp = 0; ulp < 4; ++ulp) alpha = std::nextafter(alpha, 0.0f);
    for (int ulp = 0; ulp < 9; ++ulp, alpha = std::nextafter(alpha, 1e30f))
        if (op(alpha) == target) return alpha;
    return 0.0f;
}

TEST_P(VectorPath, LimitsMetExactlyInsideAVector) {
    const float cutoff = kernels::EXP_CUTOFF;
    std::mt19937 rng(5);
    std::uniform_real_distribution<float> centre(0.5f, 3.5f), step(0.11f, 0.3f);
    int checked = 0;
    for (int trial = 0; trial < 60; ++trial) {
        const Grid g{37, 3, 2, 0.0f, 0.0f, 0.0f, step(rng)};
        const float ax = centre(rng), ay = g.y(1), az = g.z(1) - 0.03f;
        // A point some way along the middle row sets the limits.
        const int32_t target = 3 + trial % 20;
        const float r2 = point_r2(g, target, 1, 1, ax, ay, az);
        const float at_shell_limit = exact_exponent(cutoff / r2, r2, [&](float a) { return cutoff / a; });
        const float at_cutoff = exact_exponent(cutoff / r2, cutoff, [&](float a) { return a * r2; });
        if (at_shell_limit == 0.0f || at_cutoff == 0.0f) continue;
        ++checked;
        // Atom 0: its only shell reaches exactly to the point (atom test at
        // its limit).  Atom 1 on the same centre reaches further, with the
        // same narrow shell (shell test at its limit) and a primitive whose
        // alpha r^2 is exactly the cut-off there.
        Molecule m;
        m.atom(ax, ay, az).shell(1, {at_shell_limit}, {1.25f});
        m.atom(ax, ay, az)
            .shell(0, {at_shell_limit}, {0.5f})
            .shell(2, {at_shell_limit / 3, at_cutoff}, {0.25f, 2.0f})
            .shell(4, {at_cutoff, at_shell_limit / 9}, {1.5f, 0.75f});
        std::vector<float> row(static_cast<size_t>(m.n_components()));
        for (size_t c = 0; c < row.size(); ++c) row[c] = 0.3f + 0.1f * static_cast<float>(c % 7);
        SCOPED_TRACE(testing::Message() << "trial " << trial << ", point " << target);
        expect_same_as_scalar(g, m, row);
    }
    EXPECT_GT(checked, 20);
}

TEST_P(VectorPath, SpecialValuesMatchScalarPath) {
    std::mt19937 rng(11);
    const float inf = INFINITY, nan = NAN;
    const Grid g{19, 3, 2, -2.0f, -0.5f, -0.25f, 0.25f};
    // Exponents zero (no cut-off), negative, infinite and NaN; coordinates
    // NaN and infinite; coefficients NaN and infinite.
    Molecule m;
    m.atom(0.1f, 0.0f, 0.0f).shell(1, {0.0f, 1.0f}, {1.0f, 0.5f}).shell(0, {-0.5f}, {1.0f});
    m.atom(nan, 0.0f, 0.0f).shell(2, {0.8f}, {1.0f});
    m.atom(0.3f, inf, 0.0f).shell(0, {0.8f}, {1.0f});
    m.atom(-1.0f, 0.0f, 0.1f).shell(3, {inf, 0.9f}, {1.0f, 2.0f}).shell(0, {nan, 1.1f}, {1.0f, nan});
    m.atom(0.5f, 0.25f, 0.0f).shell(0, {1.5f}, {inf});
    std::vector<float> row = random_orbital(rng, m);
    expect_same_as_scalar(g, m, row);
    row[1] = nan;
    row[4] = -inf;
    expect_same_as_scalar(g, m, row);
    // A zero step puts every point on the same spot.
    expect_same_as_scalar({11, 2, 2, 0.2f, 0.1f, 0.0f, 0.0f}, m, row);

    // A zero exponent lets points 1e10 away pass the atom test; there the g
    // shell's harmonics overflow, and lanes outside its radius must not add
    // its (zero) radial times them.
    Molecule far;
    far.atom(0.0f, 0.0f, 0.0f).shell(0, {0.0f}, {1.0f}).shell(4, {1.0f}, {1.0f});
    expect_same_as_scalar({13, 2, 2, -6e10f, -1e10f, 0.0f, 1e10f}, far, random_orbital(rng, far));
}

TEST_P(VectorPath, RowIndicesPastTwoToThe24th) {
    // Beyond 2^24 not every index is a float: a lane's coordinate must be
    // float(i + lane) as the scalar loop forms it, also where a vector starts
    // at an odd index there.  One long row; atoms whose boxes start just below
    // 2^24 at indices of both parities and reach past it.
    const int32_t two24 = 1 << 24;
    const Grid g{two24 + 64, 1, 1, -16384.0f, 0.0f, 0.0f, 1.0f / 1024};
    Molecule m;
    for (int offset : {1, 4, 7, 10})  // radius about 20 steps
        m.atom(static_cast<float>(offset) / 1024, 0.001f, 0.0f)
            .shell(1, {78000.0f, 3e5f}, {1.0f, 0.5f})
            .shell(0, {2e5f}, {1.0f});
    std::vector<float> row;
    for (int c = 0; c < m.n_components(); ++c) row.push_back(0.25f * static_cast<float>(c % 5) - 0.5f);
    const auto vector = field_on(GetParam().dispatch(), g, m, row);
    const auto scalar = field_on(SCALAR, g, m, row);
    EXPECT_SAME_BITS(vector, scalar);
    expect_guards_kept(vector, g);
    int nonzero = 0;
    for (int32_t i = two24; i < g.nx; ++i) nonzero += scalar[static_cast<size_t>(i)] != 0.0f;
    EXPECT_GT(nonzero, 20);
}

TEST_P(VectorPath, DirectedRoundingModesMatchScalarPath) {
    std::mt19937 rng(3);
    const Molecule m = random_molecule(rng, 4, 3, 4, 2.0f);
    const std::vector<float> row = random_orbital(rng, m);
    const Grid g{23, 4, 3, -3.0f, -2.0f, -1.5f, 0.3f};
    for (int mode : {FE_DOWNWARD, FE_UPWARD, FE_TOWARDZERO}) {
        ASSERT_EQ(fesetround(mode), 0);
        expect_same_as_scalar(g, m, row);
        fesetround(FE_TONEAREST);
        if (HasFailure()) FAIL() << "rounding mode " << mode;
    }
}

INSTANTIATE_TEST_SUITE_P(Paths, VectorPath, testing::ValuesIn(vector_test_targets()),
                         test_target_name);

}  // namespace
