// momentum_map_sum: the sum of one orbital is momentum_map itself; the sum of
// several is momentum_map -> symmetrisation -> polarisation factor -> weighted
// accumulation in orbital order, also when any one allocation fails.
#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "map_call.h"
#include "support/allocation_failure.h"

using namespace map_test;
using kernels_test::bits;

namespace {

struct Request {
    Molecule molecule;
    std::vector<float> mo_coeff;  // n_orbitals rows
    std::vector<float> e_kin, kz_imaginary;
    std::vector<float> weight;  // empty: null pointer
    Grid grid{11, -1.5f, 0.3f};
    int32_t symmetry_mode = -1;
    Angles angles{20, 35, -50};
    float theta = 40, phi = 15, s_share = 30;
    int32_t use_polarisation = 0, polarisation_mode = 0, circular_mode = 0;

    int32_t n_orbitals() const { return int32_t(e_kin.size()); }

    std::vector<float> sum(float fill = 7.0f) const {
        std::vector<float> out(size_t(grid.n > 0 ? grid.n * grid.n : 1), fill);
        const Molecule &m = molecule;
        momentum_map_sum(
            n_orbitals(), e_kin.data(), weight.empty() ? nullptr : weight.data(), mo_coeff.data(),
            grid.n, symmetry_mode, grid.k_min, grid.k_step, angles.alpha, angles.beta, angles.gamma,
            theta, phi, s_share, use_polarisation, polarisation_mode, circular_mode,
            use_polarisation ? kz_imaginary.data() : nullptr, m.n_atoms(), m.shells_per_atom.data(),
            m.atom_x.data(), m.atom_y.data(), m.atom_z.data(), m.shell_l.data(),
            m.shell_n_prim.data(), m.prim_exponent.data(), m.prim_coeff.data(), out.data());
        return out;
    }

    std::vector<float> row(int o) const {
        const size_t length = size_t(molecule.n_components());
        return {mo_coeff.begin() + o * length, mo_coeff.begin() + (o + 1) * length};
    }

    // The same steps made one call at a time.
    std::vector<float> composed() const {
        std::vector<float> out(size_t(grid.n * grid.n), 0.0f);
        for (int o = 0; o < n_orbitals(); ++o) {
            if (e_kin[o] <= 0.0f) continue;
            std::vector<float> map = map_of(molecule, row(o), e_kin[o], grid, angles);
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
    for (int o = 0; o < 3; ++o) {
        const auto row = kernels_test::random_orbital(rng, r.molecule);
        r.mo_coeff.insert(r.mo_coeff.end(), row.begin(), row.end());
    }
    r.e_kin = {0.9f, 1.3f, 0.6f};
    r.kz_imaginary = {0.2f, -0.4f, 0.0f};
    r.weight = {0.5f, 2.0f, -1.25f};
    return r;
}

void expect_same_bits(const std::vector<float> &a, const std::vector<float> &b) {
    ASSERT_EQ(a.size(), b.size());
    for (size_t x = 0; x < a.size(); ++x) EXPECT_EQ(bits(a[x]), bits(b[x])) << x;
}

}  // namespace

TEST(MomentumMapSum, OneOrbitalIsItsMomentumMap) {
    for (uint32_t seed : {1u, 2u, 3u}) {
        Request r = three_orbitals(seed);
        r.e_kin.resize(1);
        const auto expected = map_of(r.molecule, r.row(0), r.e_kin[0], r.grid, r.angles);
        r.weight.clear();  // null: weight 1
        expect_same_bits(r.sum(), expected);
        r.weight = {1.0f};
        expect_same_bits(r.sum(), expected);
    }
}

TEST(MomentumMapSum, SymmetrisesThenPolarisesThenWeighs) {
    Request r = three_orbitals(4);
    r.use_polarisation = 1;
    for (int32_t symmetry : {0, 1, 2}) {
        for (int32_t mode : {0, 1, 2}) {
            r.symmetry_mode = symmetry;
            r.polarisation_mode = mode;
            r.circular_mode = symmetry;  // every helicity choice once
            const auto sum = r.sum();
            expect_same_bits(sum, r.composed());
            EXPECT_GT(largest(sum), 0.0f);
        }
    }
    // The polarisation factor acts on the symmetrised map: with a factor that is
    // not symmetric under the group the other order gives another map.
    r.symmetry_mode = 0;
    r.polarisation_mode = 0;
    r.e_kin = {0.9f};
    r.weight.clear();
    std::vector<float> other_order = map_of(r.molecule, r.row(0), 0.9f, r.grid, r.angles);
    polarisation_factor(r.grid.n, 0, 0, other_order.data(), 0.9f, r.grid.k_min, r.grid.k_step,
                        r.theta, r.phi, r.s_share, r.kz_imaginary[0]);
    symmetrisation(r.grid.n, 0, other_order.data());
    const auto sum = r.sum();
    double difference = 0;
    for (size_t x = 0; x < sum.size(); ++x) difference += std::fabs(sum[x] - other_order[x]);
    EXPECT_GT(difference, 1e-3 * largest(sum));
}

TEST(MomentumMapSum, EachOrbitalHasItsOwnHemisphere) {
    Request r = three_orbitals(5);
    r.e_kin = {1.0f, 0.3f};
    r.weight = {1.0f, 1.0f};
    const auto sum = r.sum();
    const auto first = map_of(r.molecule, r.row(0), 1.0f, r.grid, r.angles);
    const float k2_second = [] {
        const float k = std::sqrt(0.6f);
        return k * k;
    }();
    int only_first = 0;
    for (int i = 0; i < r.grid.n; ++i)
        for (int j = 0; j < r.grid.n; ++j) {
            const float kx = r.grid.coordinate(i), ky = r.grid.coordinate(j);
            if ((k2_second - kx * kx) - ky * ky >= 0.0f) continue;
            ++only_first;
            const size_t x = size_t(i) * r.grid.n + j;
            EXPECT_EQ(bits(sum[x]), bits(first[x])) << i << "," << j;
        }
    EXPECT_GT(only_first, 50);
}

TEST(MomentumMapSum, SkippedOrbitalsAndEmptyRequests) {
    Request r = three_orbitals(6);
    // No positive energy: a cleared map and no work beyond the one scratch map.
    r.e_kin = {0.0f, -1.0f, -0.0f};
    std::vector<float> out;
    EXPECT_EQ(kernels_test::count_allocations([&] { out = r.sum(); }), 1);
    for (float v : out) EXPECT_EQ(bits(v), 0u);
    // No orbitals at all.
    r.e_kin.clear();
    for (float v : r.sum()) EXPECT_EQ(bits(v), 0u);
    // A NaN energy is not skipped, and an explicit weight 0 still adds 0 * map.
    r.e_kin = {NAN};
    r.weight = {0.0f};
    for (float v : r.sum()) EXPECT_TRUE(std::isnan(v));
    // n = 0 and a negative n leave the output alone.
    r.e_kin = {1.0f};
    r.grid.n = 0;
    EXPECT_EQ(r.sum()[0], 7.0f);
    r.grid.n = -4;
    EXPECT_EQ(r.sum()[0], 7.0f);
}

TEST(MomentumMapSum, RowLengthCountsEveryShell) {
    // Orbital 1's row starts after all of orbital 0's components, inactive and
    // out-of-model shells included.
    Request r;
    r.molecule.atom(0.4f, 0, 0).shell(1, {0.8f}, {1.0f}).shell(5, {1.0f}, {1.0f});
    r.molecule.atom(0, -0.5f, 0.2f).shell(2, {1.1f}, {0.7f});
    std::vector<float> zero(3 + 11 + 5, 1e-7f), orbital(3 + 11 + 5, 0.0f);
    for (size_t c = 0; c < orbital.size(); ++c) orbital[c] = 0.1f * float(c % 7) - 0.3f;
    r.mo_coeff = zero;
    r.mo_coeff.insert(r.mo_coeff.end(), orbital.begin(), orbital.end());
    r.e_kin = {1.0f, 1.0f};
    expect_same_bits(r.sum(), map_of(r.molecule, orbital, 1.0f, r.grid, r.angles));
}

TEST(MomentumMapSum, EveryFailedAllocationLeavesADefinedMap) {
    Request r = three_orbitals(7);
    r.symmetry_mode = 2;
    r.use_polarisation = 1;
    const int total = kernels_test::count_allocations([&] { r.sum(); });
    const int per_composition = kernels_test::count_allocations([&] { r.composed(); });
    ASSERT_EQ(total, per_composition + 1);  // the sum's own scratch map first
    for (int index = 0; index < total; ++index) {
        std::vector<float> got, expected;
        kernels_test::with_failing_allocation(index, [&] { got = r.sum(); });
        if (index == 0) {
            for (float v : got) EXPECT_EQ(bits(v), 0u);
            continue;
        }
        // The same failure inside the called functions has the same effect when
        // they are called one at a time.
        kernels_test::with_failing_allocation(index - 1, [&] { expected = r.composed(); });
        expect_same_bits(got, expected);
    }
}
