// Grid boxes, skipped shells and input outside the data model (l outside 0..4,
// negative counts, zero, negative or NaN steps, zero or negative exponents,
// boxes beyond int32): every element is its own point's value, and nothing is
// read or written outside the arrays the counts describe (the calls pass
// exact-length copies, so the sanitizer build sees any stray access).
#include <gtest/gtest.h>

#include <cmath>
#include <initializer_list>
#include <random>

#include "real_space/real_space_calls.h"

using namespace kernels_test;

namespace {

// Every element equals a one-point grid at that element's coordinates.
void expect_pointwise(const Grid &g, const Molecule &m, const std::vector<float> &row) {
    const std::vector<float> out = field(g, m, row);
    for (int k = 0; k < g.nz; ++k)
        for (int j = 0; j < g.ny; ++j)
            for (int i = 0; i < g.nx; ++i)
                ASSERT_EQ(bits(out[g.index(i, j, k)]), bits(field(g.point(i, j, k), m, row)[0]))
                    << i << ' ' << j << ' ' << k;
}

void expect_all(const std::vector<float> &out, float value) {
    for (float v : out) ASSERT_EQ(bits(v), bits(value));
}

const Grid GRID{6, 5, 4, -1.25f, -1.0f, -0.75f, 0.5f};

}  // namespace

TEST(ScalarFieldGrid, EachElementIsItsPointsValue) {
    // Atoms near the corners, so that their boxes reach past the grid; a
    // negative step runs the grid backwards; an exponent of 1e-30 gives a box
    // of more than 2^31 steps.
    std::mt19937 rng(99);
    Molecule m = random_molecule(rng, 3, 3, 4, 1.0f);
    m.atom_x = {-2.9f, 0.5f, 3.5f}, m.atom_y = {-2.2f, 1.3f, -0.1f}, m.atom_z = {-1.6f, 0.9f, 1.7f};
    const std::vector<float> row = random_orbital(rng, m);
    expect_pointwise({9, 8, 7, -2.5f, -2.0f, -1.5f, 0.5f}, m, row);
    expect_pointwise({6, 5, 4, 1.25f, 1.0f, 0.75f, -0.5f}, m, row);
    m.prim_exponent[0] = 1e-30f;
    expect_pointwise(GRID, m, row);
}

TEST(ScalarFieldGrid, SkippedShellsKeepLaterOffsets) {
    // Each molecule with an extra shell that takes no part (inactive, l = 5,
    // l = -1 cancelling with a later l = 0, cut by a negative shell count) gives
    // the bits of the molecule without it: later shells read their coefficients
    // and primitives past it.
    auto cat = [](std::initializer_list<std::vector<float>> parts) {
        std::vector<float> row;
        for (const auto &part : parts) row.insert(row.end(), part.begin(), part.end());
        return row;
    };
    const std::vector<float> p{0.4f, -0.2f, 0.8f}, f{0.1f, 0.2f, -0.3f, 0.4f, -0.5f, 0.6f, 0.7f};
    Molecule with[3], without[3];
    with[0].atom(0.1f, 0.2f, -0.1f).shell(1, {1.1f}, {0.9f}).shell(2, {0.05f, 3.0f}, {5, 5});
    without[0].atom(0.1f, 0.2f, -0.1f).shell(1, {1.1f}, {0.9f});
    for (Molecule *m : {&with[0], &without[0]})
        m->shell(3, {0.7f, 0.2f}, {0.6f, 0.3f}).atom(-0.4f, 0, 0.3f).shell(0, {0.5f}, {0.8f});
    EXPECT_SAME_BITS(field(GRID, with[0], cat({p, std::vector<float>(5, 1e-6f), f, {0.9f}})),
                     field(GRID, without[0], cat({p, f, {0.9f}})));
    with[1].atom(0, 0.25f, 0).shell(0, {1.0f}, {1.0f}).shell(5, {0.5f}, {1.0f}).shell(1, {0.8f}, {0.6f});
    without[1].atom(0, 0.25f, 0).shell(0, {1.0f}, {1.0f}).shell(1, {0.8f}, {0.6f});
    EXPECT_SAME_BITS(field(GRID, with[1], cat({{0.5f}, std::vector<float>(11, 1.0f), p})),
                     field(GRID, without[1], cat({{0.5f}, p})));
    without[2].atom(0.1f, 0, 0).shell(0, {1.0f}, {1.0f}).shell(1, {0.6f}, {0.8f});
    with[2] = without[2];
    with[2].atom(0.5f, 0, 0).atom(-0.5f, 0, 0);
    with[2].shells_per_atom = {2, -1, 1};  // 2 shells counted in all
    EXPECT_SAME_BITS(field(GRID, with[2], {0.2f, 0.3f, 0.4f, 0.5f}),
                     field(GRID, without[2], {0.2f, 0.3f, 0.4f, 0.5f}));
}

TEST(ScalarFieldGrid, EmptyInputsAndDimensions) {
    const std::vector<float> row{0.3f, 0.4f, 0.5f, 0.6f};
    Molecule m;
    m.atom(0, 0, 0).shell(1, {1.0f}, {1.0f}).atom(0.5f, 0, 0).shell(0, {2.0f}, {1.0f});
    expect_all(field(GRID, Molecule(), {}), 0.0f);
    expect_all(field(GRID, m, {1e-6f, -1e-6f, 0.0f, 1e-6f}), 0.0f);  // all screened
    for (const Grid &g : {Grid{0, 3, 2, 0, 0, 0, 0.5f}, Grid{4, 0, 2, 0, 0, 0, 0.5f},
                          Grid{4, 3, 0, 0, 0, 0, 0.5f}, Grid{-4, -3, 2, 0, 0, 0, 0.5f}}) {
        std::vector<float> out(24, -7.0f);
        call_scalar_field(g, m, row.data(), out.data());
        expect_all(out, -7.0f);
    }
}

TEST(OutOfContract, NegativeDegreesAndCountsStayInsideTheArrays) {
    // l = -1 moves the component offset back; a shell that would then read
    // before the row, or whose primitives (after a negative count) lie before
    // the arrays, takes no part.
    Molecule m;
    m.atom(0.25f, 0, 0.25f).shell(0, {1.0f}, {1.0f}).shell(-1, {0.7f}, {1.0f}).shell(1, {0.8f}, {0.6f});
    for (float v : field(GRID, m, {0.5f, 0.3f, -0.4f})) EXPECT_TRUE(std::isfinite(v));
    Molecule before_row;
    before_row.atom(0.25f, 0, 0.25f).shell(-1, {0.7f}, {1.0f}).shell(0, {1.0f}, {1.0f});
    expect_all(field(GRID, before_row, {}), 0.0f);
    Molecule negative_prims;
    negative_prims.atom(0.25f, 0, 0.25f);
    negative_prims.shells_per_atom = {2};
    negative_prims.shell_l = {0, 0};
    negative_prims.shell_n_prim = {-2, 1};  // -1 primitives counted: none
    expect_all(field(GRID, negative_prims, {0.5f, 0.5f}), 0.0f);
}

TEST(OutOfContract, DegenerateStepsAndExponents) {
    std::mt19937 rng(7);
    Molecule m = random_molecule(rng, 2, 2, 4, 1.0f);
    const std::vector<float> row = random_orbital(rng, m);
    // A zero exponent makes an s shell a constant field (infinite quotients).
    Molecule flat;
    flat.atom(50, -50, 0).shell(0, {0.0f}, {2.0f});
    expect_all(field(GRID, flat, {0.5f}), (0.5f * (0.0f + 1.0f * 2.0f)) * 0.2820948f);
    // A zero step puts every point at the first one (quotients +-inf or 0/0).
    for (const float x_min : {0.0f, 0.3f, 9.0f}) {
        const Grid zero_step{3, 2, 2, x_min, 0.1f, 0.2f, 0.0f};
        expect_all(field(zero_step, m, row), field(zero_step.point(0, 0, 0), m, row)[0]);
    }
    // A negative exponent has no cut-off sphere, a NaN step no coordinates.
    Molecule growing = m;
    for (float &e : growing.prim_exponent) e = -e;
    expect_all(field(GRID, growing, row), 0.0f);
    expect_all(field({6, 5, 4, -1.25f, -1.0f, -0.75f, std::nanf("")}, m, row), 0.0f);
}

TEST(OutOfContract, ChargeDensityWithNoValidRow) {
    // A lone l = -1 shell makes the row length -1: nothing is read from the matrix.
    Molecule m;
    m.atom(0, 0, 0).shell(-1, {1.0f}, {1.0f});
    const std::vector<float> out = charge(GRID, m, {1.0f}, 3);
    expect_all(out, 0.0f);
}
