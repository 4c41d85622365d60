// Input outside the data model (l outside 0..4, negative counts, zero, negative
// or NaN grid steps, zero or negative exponents, cut-off boxes beyond int32):
// nothing is read or written outside the arrays the counts describe, and where
// a result is still meaningful it is the one the formula gives.  Arrays here are
// copied into blocks of exactly their length so the sanitizer build sees any
// stray access.
#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <random>

#include "real_space/real_space_calls.h"

using namespace kernels_test;

namespace {

template <typename T>
std::unique_ptr<T[]> exact(const std::vector<T> &v) {
    std::unique_ptr<T[]> copy(new T[v.size()]);
    std::copy(v.begin(), v.end(), copy.get());
    return copy;
}

// scalar_field on exact-length copies of the molecule's arrays and the row.
std::vector<float> guarded_field(const Grid &g, const Molecule &m, const std::vector<float> &row) {
    const auto spa = exact(m.shells_per_atom), l = exact(m.shell_l), np = exact(m.shell_n_prim);
    const auto ax = exact(m.atom_x), ay = exact(m.atom_y), az = exact(m.atom_z);
    const auto ex = exact(m.prim_exponent), co = exact(m.prim_coeff), mo = exact(row);
    const auto out = exact(std::vector<float>(g.size(), -7.0f));
    scalar_field(g.nx, g.ny, g.nz, m.n_atoms(), spa.get(), ax.get(), g.x_min, g.y_min, g.z_min,
                 g.step, ay.get(), az.get(), l.get(), np.get(), ex.get(), co.get(), mo.get(),
                 out.get());
    return std::vector<float>(out.get(), out.get() + g.size());
}

// Compares every element with a one-point grid at that element's coordinates.
void expect_pointwise(const Grid &g, const Molecule &m, const std::vector<float> &row) {
    const std::vector<float> out = guarded_field(g, m, row);
    for (int k = 0; k < g.nz; ++k)
        for (int j = 0; j < g.ny; ++j)
            for (int i = 0; i < g.nx; ++i)
                ASSERT_EQ(bits(out[g.index(i, j, k)]), bits(guarded_field(g.point(i, j, k), m, row)[0]))
                    << i << ' ' << j << ' ' << k;
}

const Grid GRID{6, 5, 4, -1.25f, -1.0f, -0.75f, 0.5f};

}  // namespace

TEST(OutOfContract, ShellsBeyondTheHarmonicTableTakeNoPart) {
    // An l = 5 shell (11 coefficients) between an s and a p shell adds nothing;
    // the p shell still reads its coefficients after the 11.
    Molecule with, without;
    with.atom(0, 0.25f, 0).shell(0, {1.0f}, {1.0f}).shell(5, {0.5f}, {1.0f}).shell(1, {0.8f}, {0.6f});
    without.atom(0, 0.25f, 0).shell(0, {1.0f}, {1.0f}).shell(1, {0.8f}, {0.6f});
    std::vector<float> row_with{0.5f}, row_without{0.5f, 0.3f, -0.4f, 0.9f};
    row_with.insert(row_with.end(), 11, 1.0f);
    row_with.insert(row_with.end(), {0.3f, -0.4f, 0.9f});
    EXPECT_SAME_BITS(guarded_field(GRID, with, row_with), guarded_field(GRID, without, row_without));
}

TEST(OutOfContract, NegativeDegreesAndCountsStayInsideTheArrays) {
    // l = -1 moves the component offset back by one; a negative primitive count
    // moves the primitive offset back, and a shell that would then read before
    // the arrays takes no part; a negative shell count ends the walk at the
    // counted shells.
    // The atoms sit on grid point (3, 2, 2), so every shell that takes part is
    // evaluated somewhere.
    Molecule m;
    m.atom(0.25f, 0, 0.25f).shell(0, {1.0f}, {1.0f}).shell(-1, {0.7f}, {1.0f}).shell(1, {0.8f}, {0.6f});
    for (float v : guarded_field(GRID, m, {0.5f, 0.3f, -0.4f})) EXPECT_TRUE(std::isfinite(v));

    Molecule before_row;  // row length -1 + 1 = 0: the s shell would start at -1
    before_row.atom(0.25f, 0, 0.25f).shell(-1, {0.7f}, {1.0f}).shell(0, {1.0f}, {1.0f});
    for (float v : guarded_field(GRID, before_row, {})) EXPECT_EQ(bits(v), bits(0.0f));

    Molecule negative_prims;
    negative_prims.atom(0.25f, 0, 0.25f);
    negative_prims.shells_per_atom = {2};
    negative_prims.shell_l = {0, 0};
    negative_prims.shell_n_prim = {-2, 1};  // 1 - 2 = -1 primitives: none counted
    for (float v : guarded_field(GRID, negative_prims, {0.5f, 0.5f})) EXPECT_EQ(bits(v), bits(0.0f));

    Molecule first_only, negative_shells;
    first_only.atom(0.1f, 0, 0).shell(0, {1.0f}, {1.0f}).shell(1, {0.6f}, {0.8f});
    negative_shells = first_only;
    negative_shells.atom(0.5f, 0, 0).atom(-0.5f, 0, 0);
    negative_shells.shells_per_atom = {2, -1, 1};  // 2 shells counted in all
    const std::vector<float> row{0.2f, 0.3f, 0.4f, 0.5f};
    EXPECT_SAME_BITS(guarded_field(GRID, negative_shells, row), guarded_field(GRID, first_only, row));
}

TEST(OutOfContract, DegenerateBoxesAreClampedToTheGrid) {
    std::mt19937 rng(7);
    Molecule m = random_molecule(rng, 2, 2, 4, 1.0f);
    const std::vector<float> row = random_orbital(rng, m);

    // A negative step runs the grid backwards; a radius of more than 2^31 steps
    // (exponent 1e-30) overflows int32.  Each element is still its own point's.
    expect_pointwise({6, 5, 4, 1.25f, 1.0f, 0.75f, -0.5f}, m, row);
    Molecule wide = m;
    wide.prim_exponent[0] = 1e-30f;
    expect_pointwise(GRID, wide, row);

    // A zero exponent makes the Gaussian 1 everywhere: an s shell is a constant
    // field (infinite box quotients).
    Molecule flat;
    flat.atom(50, -50, 0).shell(0, {0.0f}, {2.0f});
    const float constant = (0.5f * (0.0f + 1.0f * 2.0f)) * 0.2820948f;
    for (float v : guarded_field(GRID, flat, {0.5f})) EXPECT_EQ(bits(v), bits(constant));

    // A zero step puts every point at the first one (quotients +-inf or 0/0).
    for (const float x_min : {0.0f, 0.3f, 9.0f}) {
        const Grid zero_step{3, 2, 2, x_min, 0.1f, 0.2f, 0.0f};
        const float at_first = guarded_field(zero_step.point(0, 0, 0), m, row)[0];
        for (float v : guarded_field(zero_step, m, row)) EXPECT_EQ(bits(v), bits(at_first));
    }

    // A negative exponent has no cut-off sphere, a NaN step no coordinates:
    // nothing is added.
    Molecule growing = m;
    for (float &e : growing.prim_exponent) e = -e;
    for (float v : guarded_field(GRID, growing, row)) EXPECT_EQ(bits(v), bits(0.0f));
    const Grid nan_step{6, 5, 4, -1.25f, -1.0f, -0.75f, std::nanf("")};
    for (float v : guarded_field(nan_step, m, row)) EXPECT_EQ(bits(v), bits(0.0f));
}

TEST(OutOfContract, ChargeDensityWithNoValidRow) {
    // A lone l = -1 shell makes the row length -1: no row exists and nothing is
    // read from the matrix.
    Molecule m;
    m.atom(0, 0, 0).shell(-1, {1.0f}, {1.0f});
    const auto spa = exact(m.shells_per_atom), l = exact(m.shell_l), np = exact(m.shell_n_prim);
    const auto ax = exact(m.atom_x), ay = exact(m.atom_y), az = exact(m.atom_z);
    const auto ex = exact(m.prim_exponent), co = exact(m.prim_coeff);
    const auto matrix = exact(std::vector<float>{1.0f});
    std::vector<float> out(GRID.size(), -7.0f);
    charge_density_sum(GRID.nx, GRID.ny, GRID.nz, 3, nullptr, matrix.get(), GRID.x_min, GRID.y_min,
                       GRID.z_min, GRID.step, 1, spa.get(), ax.get(), ay.get(), az.get(), l.get(),
                       np.get(), ex.get(), co.get(), out.data());
    for (float v : out) EXPECT_EQ(bits(v), bits(0.0f));
}
