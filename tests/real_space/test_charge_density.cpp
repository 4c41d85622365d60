// charge_density_sum: weighted squares of scalar_field's orbitals, and the
// output of both functions when an allocation fails.
#include <gtest/gtest.h>

#include "real_space/real_space_calls.h"

using namespace kernels_test;

namespace {

const Grid GRID{7, 6, 5, -1.5f, -1.25f, -1.0f, 0.5f};

// Two atoms whose first shell (d) is inactive in both orbitals.
Molecule two_atoms() {
    Molecule m;
    m.atom(0, 0, 0.3f).shell(2, {0.6f}, {1.0f}).shell(1, {1.2f, 0.4f}, {0.5f, 0.5f});
    m.atom(0.4f, -0.6f, 0).shell(0, {0.9f}, {1.1f});
    return m;
}
const std::vector<float> ROWS = {0, 0, 0, 0, 0, 0.7f,  -0.3f, 0.2f, 0.5f,
                                 0, 0, 0, 0, 0, -0.1f, 0.6f,  0.4f, -0.9f};

}  // namespace

TEST(ChargeDensity, SumsWeightedSquaresInOrbitalOrder) {
    // Row 1 starts after the 9 entries of row 0, the inactive d shell's included.
    const Molecule m = two_atoms();
    const std::vector<float> psi0 = field(GRID, m, {ROWS.begin(), ROWS.begin() + 9}),
                             psi1 = field(GRID, m, {ROWS.begin() + 9, ROWS.end()});
    const float weights[] = {2.0f, 0.0f};
    const std::vector<float> unit = charge(GRID, m, ROWS, 2), weighted = charge(GRID, m, ROWS, 2, weights),
                             first = charge(GRID, m, ROWS, 1);
    int nonzero = 0;
    for (size_t e = 0; e < unit.size(); ++e) {
        ASSERT_EQ(bits(unit[e]), bits((psi1[e] * psi1[e]) + ((psi0[e] * psi0[e]) + 0.0f))) << e;
        ASSERT_EQ(bits(weighted[e]), bits((2.0f * psi0[e]) * psi0[e])) << e;
        ASSERT_EQ(bits(first[e]), bits(psi0[e] * psi0[e])) << e;
        nonzero += psi0[e] != 0 && psi1[e] != 0;
    }
    EXPECT_GT(nonzero, 100);
    // No orbitals or no atoms: zeros; no points: nothing written.
    for (const std::vector<float> &zero :
         {charge(GRID, m, ROWS, 0), charge(GRID, m, ROWS, -2), charge(GRID, Molecule(), ROWS, 2)})
        EXPECT_SAME_BITS(zero, std::vector<float>(GRID.size(), 0.0f));
    for (const Grid &g : {Grid{7, 0, 5, 0, 0, 0, 0.5f}, Grid{-7, 6, -5, 0, 0, 0, 0.5f}}) {
        std::vector<float> untouched(GRID.size(), -7.0f);
        call_charge_density(g, m, 2, nullptr, ROWS.data(), untouched.data());
        EXPECT_SAME_BITS(untouched, std::vector<float>(GRID.size(), -7.0f));
    }
}

TEST(AllocationFailure, ScalarFieldLeavesTheGridCleared) {
    const Molecule m = two_atoms();
    std::vector<float> out(GRID.size());
    each_failing_allocation(
        1,
        [&] {
            std::fill(out.begin(), out.end(), -7.0f), call_scalar_field(GRID, m, ROWS.data(), out.data());
        },
        [&](int) { EXPECT_SAME_BITS(out, std::vector<float>(GRID.size(), 0.0f)); });
}

TEST(AllocationFailure, ChargeDensityClearsOrDropsTheOrbital) {
    // Allocation 0 is the scratch grid: the output stays cleared.  Allocation
    // 1 + o is orbital o's screening tables: that orbital adds nothing.
    const Molecule m = two_atoms();
    std::vector<float> out(GRID.size());
    each_failing_allocation(
        3,
        [&] {
            std::fill(out.begin(), out.end(), -7.0f),
                call_charge_density(GRID, m, 2, nullptr, ROWS.data(), out.data());
        },
        [&](int fail) {
            float weights[] = {1.0f, 1.0f};
            if (fail > 0) weights[fail - 1] = 0.0f;
            EXPECT_SAME_BITS(
                out, fail == 0 ? std::vector<float>(GRID.size(), 0.0f) : charge(GRID, m, ROWS, 2, weights));
        });
}
