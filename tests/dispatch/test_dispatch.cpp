// The one dispatch mechanism: each exported function takes its loops from the
// table current_dispatch() gives, the tables match their targets, and a forced
// dispatch reaches the library's own calls (not only the test's).
#include <gtest/gtest.h>

#include <cstdlib>
#include <thread>
#include <vector>

#include "dev/forced_dispatch.h"
#include "libkernels.h"
#include "support/kernel_calls.h"

namespace {

using kernels::simd::Dispatch;
using kernels::simd::KernelTable;
using kernels::simd::SimdPath;

TEST(Dispatch, TablesMatchTheirTargetsAndTheChoiceIsTheWidestPath) {
    EXPECT_EQ(kernels::simd::scalar_kernels.lanes, 1);
#ifdef KERNELS_SIMD_X86
    EXPECT_EQ(kernels::simd::avx2_kernels.lanes, 8);
    EXPECT_EQ(kernels::simd::avx512_kernels.lanes, 16);
#endif
    // Each path's table is the one its target built, wider along the list.
    int lanes = 0;
    for (SimdPath path : kernels::simd::SIMD_PATHS) {
        EXPECT_STREQ(kernels::simd::kernel_table_of(path).name, simd_path_name(path));
        EXPECT_GT(kernels::simd::kernel_table_of(path).lanes, lanes) << simd_path_name(path);
        lanes = kernels::simd::kernel_table_of(path).lanes;
    }
    const Dispatch chosen = kernels::simd::current_dispatch();
    EXPECT_STREQ(chosen.kernels->name, simd_path_name(kernels::simd::best_simd_path()));
    // The vector libm never runs on one lane.
    EXPECT_FALSE(kernels::simd::dispatch_for(SimdPath::scalar).vector_libm);
}

// A table whose loops record that they ran, on top of the scalar loops.
int loops_run = 0;
const KernelTable &scalar = kernels::simd::scalar_kernels;
const KernelTable COUNTING = {
    "counting",
    1,
    [](const kernels::PixelSweep &s, bool v) { ++loops_run, scalar.sweep_pixels(s, v); },
    [](kernels::PolarisationMode m, const kernels::PolarisationSweep &s) { ++loops_run, scalar.apply_polarisation(m, s); },
    [](const kernels::RotationSweep &s) { ++loops_run, scalar.rotate(s); },
    [](const kernels::RealGrid &g, const kernels::BasisArrays &b, const kernels::ScreeningTables &t, const float *row,
       bool v, float *out) { ++loops_run, scalar.add_orbital(g, b, t, row, v, out); },
    [](float w, const float *o, float *out, int64_t n) { ++loops_run, scalar.add_weighted_square(w, o, out, n); },
    [](const kernels::VoxelSweep &s, bool v) { ++loops_run, scalar.sweep_voxels(s, v); },
};

TEST(Dispatch, ForcedTableRunsEveryVectorisedExportedFunction) {
    std::mt19937 rng(4);
    const kernels_test::Molecule m = kernels_test::random_molecule(rng, 2, 2, 2, 1.0f);
    const std::vector<float> row = kernels_test::random_orbital(rng, m);
    const kernels_test::Grid g{5, 4, 3, -1.0f, -1.0f, -1.0f, 0.5f};
    std::vector<float> map(16 * 16, 1.0f);
    const kernels::simd::ForcedDispatch on({&COUNTING, false});
    const auto counted = [](auto call) {
        loops_run = 0;
        call();
        return loops_run;
    };
    EXPECT_EQ(counted([&] { kernels_test::momentum_map_of(m, row, 2.0f, 16, -2.0f, 0.25f); }), 1);
    EXPECT_EQ(counted([&] { polarisation_factor(16, 1, 0, map.data(), 2.0f, -2.0f, 0.25f, 65.0f, 0.0f, 0.0f, 0.0f); }),
              1);
    EXPECT_EQ(counted([&] { std::free(rotation(16, map.data(), 30.0f)); }), 1);
    // Threefold: two interpolated rotations.
    EXPECT_EQ(counted([&] { symmetrisation(16, 2, map.data()); }), 2);
    // Per orbital its map, the two rotations of its symmetrisation and its
    // polarisation factor, all on the table the call was given.
    const std::vector<float> e_kin{2.0f, 3.0f}, kz_imaginary{0.0f, 0.1f};
    const std::vector<float> rows = kernels_test::random_orbitals(rng, m, 2);
    EXPECT_EQ(counted([&] {
                  momentum_map_sum(2, e_kin.data(), nullptr, rows.data(), 16, 2, -2.0f, 0.25f, 0.0f, 0.0f, 0.0f, 65.0f,
                                   0.0f, 0.0f, 1, 0, 0, kz_imaginary.data(), m.n_atoms(), m.shells_per_atom.data(),
                                   m.atom_x.data(), m.atom_y.data(), m.atom_z.data(), m.shell_l.data(),
                                   m.shell_n_prim.data(), m.prim_exponent.data(), m.prim_coeff.data(), map.data());
              }),
              8);
    EXPECT_EQ(counted([&] { kernels_test::field(g, m, row); }), 1);
    EXPECT_EQ(counted([&] { kernels_test::charge(g, m, row, 1); }), 2);
    EXPECT_EQ(counted([&] { kernels_test::density(g, m, row); }), 1);
}

// A forced dispatch holds for its own thread and its own scope only.
TEST(Dispatch, ForcedDispatchStaysOnItsThreadAndScope) {
    std::mt19937 rng(5);
    const kernels_test::Molecule m = kernels_test::random_molecule(rng, 2, 2, 2, 1.0f);
    const std::vector<float> row = kernels_test::random_orbital(rng, m);
    const auto map = [&] { kernels_test::momentum_map_of(m, row, 2.0f, 8, -2.0f, 0.5f); };
    loops_run = 0;
    {
        const kernels::simd::ForcedDispatch on({&COUNTING, false});
        std::thread(map).join();
        EXPECT_EQ(loops_run, 0) << "another thread ran on this thread's forced table";
        {
            const kernels::simd::ForcedDispatch inner(SimdPath::scalar);
            map();
            EXPECT_EQ(loops_run, 0);
        }
        map();
        EXPECT_EQ(loops_run, 1) << "the outer forced table is back after the inner one";
    }
    map();
    EXPECT_EQ(loops_run, 1);
    EXPECT_STREQ(kernels::simd::current_dispatch().kernels->name, simd_path_name(kernels::simd::best_simd_path()));
}

}  // namespace
