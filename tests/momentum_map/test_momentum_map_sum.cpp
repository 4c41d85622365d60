// momentum_map_sum: momentum_map -> symmetrisation -> polarisation factor ->
// weighted accumulation in orbital order, each orbital on its own hemisphere,
// also when any one allocation fails.
#include <gtest/gtest.h>

#include <math.h>

#include <cerrno>
#include <cmath>
#include <random>

#include "map_call.h"

using namespace map_test;
using kernels_test::bits;

namespace {

struct Request {
    Molecule molecule;
    std::vector<float> mo_coeff;  // n_orbitals rows
    std::vector<float> e_kin, kz_imaginary{0.2f, -0.4f, 0.0f};
    std::vector<float> weight;  // empty: null pointer
    Grid grid{11, -1.5f, 0.3f};
    int32_t symmetry_mode = -1;
    Angles angles{20, 35, -50};
    float theta = 40, phi = 15, s_share = 30;
    int32_t use_polarisation = 0, polarisation_mode = 0, circular_mode = 0;

    std::vector<float> sum() const {
        std::vector<float> out(size_t(grid.n > 0 ? grid.n * grid.n : 1), 7.0f);
        const Molecule &m = molecule;
        momentum_map_sum(int32_t(e_kin.size()), e_kin.data(), weight.empty() ? nullptr : weight.data(),
                         mo_coeff.data(), grid.n, symmetry_mode, grid.k_min, grid.k_step, angles.alpha,
                         angles.beta, angles.gamma, theta, phi, s_share, use_polarisation, polarisation_mode,
                         circular_mode, use_polarisation ? kz_imaginary.data() : nullptr, m.n_atoms(),
                         m.shells_per_atom.data(), m.atom_x.data(), m.atom_y.data(), m.atom_z.data(),
                         m.shell_l.data(), m.shell_n_prim.data(), m.prim_exponent.data(), m.prim_coeff.data(),
                         out.data());
        return out;
    }

    std::vector<float> row(int o) const {
        const size_t length = size_t(molecule.n_components());
        return {mo_coeff.begin() + o * length, mo_coeff.begin() + (o + 1) * length};
    }

    // The same steps made one call at a time.
    std::vector<float> composed() const {
        std::vector<float> out(size_t(grid.n * grid.n), 0.0f);
        for (size_t o = 0; o < e_kin.size(); ++o) {
            if (e_kin[o] <= 0.0f) continue;
            std::vector<float> map = map_of(molecule, row(int(o)), e_kin[o], grid, angles);
            symmetrisation(grid.n, symmetry_mode, map.data());
            if (use_polarisation)
                polarisation_factor(grid.n, polarisation_mode, circular_mode, map.data(), e_kin[o],
                                    grid.k_min, grid.k_step, theta, phi, s_share, kz_imaginary[o]);
            const float w = weight.empty() ? 1.0f : weight[o];
            for (size_t x = 0; x < out.size(); ++x) out[x] = map[x] * w + out[x];
        }
        return out;
    }
};

Request three_orbitals(uint32_t seed) {
    std::mt19937 rng(seed);
    Request r;
    r.molecule = kernels_test::random_molecule(rng, 3, 3, 4, 1.5f);
    r.mo_coeff = kernels_test::random_orbitals(rng, r.molecule, 3);
    r.e_kin = {0.9f, 1.3f, 0.6f};
    r.weight = {0.5f, 2.0f, -1.25f};
    return r;
}

}  // namespace

TEST(MomentumMapSum, SymmetrisesThenPolarisesThenWeighs) {
    // Orbitals with energies far apart: each has its own hemisphere.  One
    // orbital with null weights is its momentum map.
    Request r = three_orbitals(4);
    for (int32_t polarised : {0, 1})
        for (int32_t symmetry : {-1, 0, 1, 2})
            for (int32_t mode : {0, 1, 2}) {
                r.use_polarisation = polarised, r.symmetry_mode = symmetry, r.polarisation_mode = mode;
                r.circular_mode = symmetry;  // every helicity choice once
                const auto sum = r.sum();
                EXPECT_SAME_BITS(sum, r.composed());
                EXPECT_GT(largest(sum), 0.0f);
            }
    r.use_polarisation = 0, r.symmetry_mode = -1, r.e_kin.resize(1), r.weight.clear();
    EXPECT_SAME_BITS(r.sum(), map_of(r.molecule, r.row(0), r.e_kin[0], r.grid, r.angles));
}

TEST(MomentumMapSum, SkippedOrbitalsAndEmptyRequests) {
    Request r = three_orbitals(6);
    // No positive energy: a cleared map and no work beyond the one scratch map.
    r.e_kin = {0.0f, -1.0f, -0.0f};
    std::vector<float> out;
    EXPECT_EQ(kernels_test::count_allocations([&] { out = r.sum(); }), 1);
    EXPECT_SAME_BITS(out, std::vector<float>(out.size(), 0.0f));
    r.e_kin.clear();
    EXPECT_SAME_BITS(r.sum(), std::vector<float>(out.size(), 0.0f));
    // A NaN energy is not skipped, and an explicit weight 0 still adds 0 * map.
    r.e_kin = {NAN};
    r.weight = {0.0f};
    for (float v : r.sum()) EXPECT_TRUE(std::isnan(v));
    // n = 0 and a negative n leave the output alone.
    r.e_kin = {1.0f};
    for (int32_t n : {0, -4}) {
        r.grid.n = n;
        EXPECT_EQ(r.sum()[0], 7.0f);
    }
}

TEST(MomentumMapSum, RowLengthCountsEveryShell) {
    // Orbital 1's row starts after all of orbital 0's components, inactive and
    // out-of-model shells included.
    Request r;
    r.molecule.atom(0.4f, 0, 0).shell(1, {0.8f}, {1.0f}).shell(5, {1.0f}, {1.0f});
    r.molecule.atom(0, -0.5f, 0.2f).shell(2, {1.1f}, {0.7f});
    std::vector<float> orbital(19);
    for (size_t c = 0; c < orbital.size(); ++c) orbital[c] = 0.1f * float(c % 7) - 0.3f;
    r.mo_coeff.assign(19, 1e-7f);
    r.mo_coeff.insert(r.mo_coeff.end(), orbital.begin(), orbital.end());
    r.e_kin = {1.0f, 1.0f};
    EXPECT_SAME_BITS(r.sum(), map_of(r.molecule, orbital, 1.0f, r.grid, r.angles));
}

TEST(MomentumMapSum, EveryFailedAllocationLeavesADefinedMap) {
    // The sum's own scratch map first (failing: a cleared map); then the same
    // failure inside the called functions has the same effect when they are
    // called one at a time.
    Request r = three_orbitals(7);
    r.symmetry_mode = 2;
    r.use_polarisation = 1;
    std::vector<float> got, expected;
    const int per_composition = kernels_test::count_allocations([&] { r.composed(); });
    kernels_test::each_failing_allocation(
        per_composition + 1, [&] { got = r.sum(); },
        [&](int index) {
            if (index == 0)
                expected.assign(got.size(), 0.0f);
            else
                kernels_test::with_failing_allocation(index - 1, [&] { expected = r.composed(); });
            EXPECT_SAME_BITS(got, expected);
        });
}

// A later libm error (the sine of an infinite incidence angle sets EDOM on
// every orbital) does not hide a failed allocation of an earlier one.
TEST(MomentumMapSum, FailedAllocationStaysReportedAfterLaterLibmErrors) {
    errno = 0;
    double s, c;
    ::sincos(static_cast<double>(INFINITY), &s, &c);
    if (errno != EDOM) GTEST_SKIP() << "this libm sets no errno for the sine of infinity";
    Request r = three_orbitals(5);
    r.use_polarisation = 1;
    r.theta = INFINITY;
    // Allocation 1 is the first orbital's own scratch (momentum_map's table).
    EXPECT_EQ(kernels_test::with_failing_allocation(1, [&] { r.sum(); }), ENOMEM);
}
