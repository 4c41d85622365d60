// charge_density_sum: weighted squares of scalar_field's orbitals, and the
// output of both functions when an allocation fails.
#include <gtest/gtest.h>

#include <random>

#include "real_space/real_space_calls.h"
#include "support/allocation_failure.h"

using namespace kernels_test;

namespace {

const Grid GRID{7, 6, 5, -1.5f, -1.25f, -1.0f, 0.5f};

// Two atoms whose first shell is inactive in every orbital, and two orbitals.
struct TwoOrbitals {
    Molecule m;
    std::vector<float> matrix;  // 2 rows of m.n_components()
    std::vector<float> row(int o) const {
        const size_t n = static_cast<size_t>(m.n_components());
        return std::vector<float>(matrix.begin() + o * n, matrix.begin() + (o + 1) * n);
    }
};

TwoOrbitals two_orbitals() {
    TwoOrbitals t;
    t.m.atom(0, 0, 0.3f)
        .shell(2, {0.6f}, {1.0f})
        .shell(1, {1.2f, 0.4f}, {0.5f, 0.5f})
        .atom(0.4f, -0.6f, 0)
        .shell(0, {0.9f}, {1.1f});
    // Row layout: d (5, inactive), p (3), s (1).
    t.matrix = {0, 0, 0, 0, 0, 0.7f, -0.3f, 0.2f, 0.5f,
                0, 0, 0, 0, 0, -0.1f, 0.6f, 0.4f, -0.9f};
    return t;
}

std::vector<float> density(const TwoOrbitals &t, int n_orbitals, const float *weights) {
    std::vector<float> out(GRID.size(), -7.0f);
    call_charge_density(GRID, t.m, n_orbitals, weights, t.matrix.data(), out.data());
    return out;
}

}  // namespace

TEST(ChargeDensity, SumsWeightedSquaresInOrbitalOrder) {
    const TwoOrbitals t = two_orbitals();
    const std::vector<float> psi0 = field(GRID, t.m, t.row(0)), psi1 = field(GRID, t.m, t.row(1));

    // Null weights: psi0^2 + psi1^2 accumulated in that order; row 1 starts after
    // the 9 entries of row 0, the inactive d shell's included.
    const std::vector<float> unit = density(t, 2, nullptr);
    const float weights[] = {2.0f, 0.0f};
    const std::vector<float> weighted = density(t, 2, weights);
    const std::vector<float> first = density(t, 1, nullptr);
    int nonzero = 0;
    for (size_t e = 0; e < unit.size(); ++e) {
        ASSERT_EQ(bits(unit[e]), bits((psi1[e] * psi1[e]) + ((psi0[e] * psi0[e]) + 0.0f))) << e;
        ASSERT_EQ(bits(weighted[e]), bits((2.0f * psi0[e]) * psi0[e])) << e;
        ASSERT_EQ(bits(first[e]), bits(psi0[e] * psi0[e])) << e;
        nonzero += psi0[e] != 0 && psi1[e] != 0;
    }
    EXPECT_GT(nonzero, 100);
}

TEST(ChargeDensity, NoOrbitalsNoAtomsOrNoPoints) {
    const TwoOrbitals t = two_orbitals();
    for (float v : density(t, 0, nullptr)) EXPECT_EQ(bits(v), bits(0.0f));
    for (float v : density(t, -2, nullptr)) EXPECT_EQ(bits(v), bits(0.0f));

    std::vector<float> out(GRID.size(), -7.0f);
    const Molecule none;
    call_charge_density(GRID, none, 2, nullptr, t.matrix.data(), out.data());
    for (float v : out) EXPECT_EQ(bits(v), bits(0.0f));

    for (const Grid &g : {Grid{7, 0, 5, 0, 0, 0, 0.5f}, Grid{-7, 6, -5, 0, 0, 0, 0.5f}}) {
        std::vector<float> untouched(GRID.size(), -7.0f);
        call_charge_density(g, t.m, 2, nullptr, t.matrix.data(), untouched.data());
        for (float v : untouched) EXPECT_EQ(v, -7.0f);
    }
}

TEST(AllocationFailure, ScalarFieldLeavesTheGridCleared) {
    const TwoOrbitals t = two_orbitals();
    const std::vector<float> row = t.row(0);
    std::vector<float> out(GRID.size(), -7.0f);
    const auto call = [&] { call_scalar_field(GRID, t.m, row.data(), out.data()); };
    const int n = count_allocations(call);
    EXPECT_EQ(n, 1);
    for (int fail = 0; fail < n; ++fail) {
        std::fill(out.begin(), out.end(), -7.0f);
        with_failing_allocation(fail, call);
        for (float v : out) ASSERT_EQ(bits(v), bits(0.0f));
    }
}

TEST(AllocationFailure, ChargeDensityClearsOrDropsTheOrbital) {
    // Allocation 0 is the scratch grid: the output stays cleared.  Allocation
    // 1 + o is orbital o's screening tables: that orbital adds nothing, as if
    // its weight were 0.
    const TwoOrbitals t = two_orbitals();
    std::vector<float> out(GRID.size(), -7.0f);
    const auto call = [&] {
        call_charge_density(GRID, t.m, 2, nullptr, t.matrix.data(), out.data());
    };
    const int n = count_allocations(call);
    EXPECT_EQ(n, 3);
    for (int fail = 0; fail < n; ++fail) {
        std::fill(out.begin(), out.end(), -7.0f);
        with_failing_allocation(fail, call);
        if (fail == 0) {
            for (float v : out) ASSERT_EQ(bits(v), bits(0.0f));
            continue;
        }
        float weights[] = {1.0f, 1.0f};
        weights[fail - 1] = 0.0f;
        EXPECT_SAME_BITS(out, density(t, 2, weights));
    }
}
