// One table of entry points per instruction-set target, and the per-call
// choice of the table a kernel runs on.
//
// Every vectorised loop of the library is a template over a lane target
// (simd/lanes.h).  kernel_table_lanes.h instantiates all of them for one
// target into a KernelTable; kernel_table_<target>.cpp does that once per
// target, in a file built with that target's instruction-set flags.  The
// exported functions ask choose_dispatch() once per call and run their loops
// through the table it returns, so adding a loop means adding one entry here
// and one line in kernel_table_lanes.h, and adding a target means adding it
// to the list in simd/targets.h with its kernel_table_<target>.cpp.
#pragma once

#include <cstdint>

#include "simd/targets.h"

namespace kernels {

struct PixelSweep;
struct PolarisationSweep;
enum class PolarisationMode;
struct RotationSweep;
struct RealGrid;
struct BasisArrays;
struct ScreeningTables;
struct VoxelSweep;

namespace simd {

// The loops of one target.  vector_libm: use the vector expf/sincosf (valid
// only where the platform's libm is the variant they reproduce); otherwise the
// scalar functions lane by lane.
struct KernelTable {
    const char *name;
    int32_t lanes;
    // momentum_map: the pixels of one map.
    void (*sweep_pixels)(const PixelSweep &sweep, bool vector_libm);
    // polarisation_factor: the factor applied to every pixel.
    void (*apply_polarisation)(PolarisationMode mode, const PolarisationSweep &sweep);
    // rotation: the bilinear interpolation of a turned map.
    void (*rotate)(const RotationSweep &sweep);
    // scalar_field, charge_density_sum: one orbital added onto a grid, and
    // out = (weight * orbital) * orbital + out.
    void (*add_orbital)(const RealGrid &grid, const BasisArrays &basis, const ScreeningTables &tables,
                        const float *orbital_row, bool vector_libm, float *out_grid);
    void (*add_weighted_square)(float weight, const float *orbital, float *out, int64_t n);
    // momentum_density, momentum_density_sum: the voxels of one grid.
    void (*sweep_voxels)(const VoxelSweep &sweep, bool vector_libm);
};

// The tables, one per target built (defined in kernel_table_<target>.cpp).
#define KERNELS_DECLARE_TABLE(target, runs_here) extern const KernelTable target##_kernels;
KERNELS_SIMD_TARGETS(KERNELS_DECLARE_TABLE)
#undef KERNELS_DECLARE_TABLE

// The table of a path.
inline const KernelTable &kernel_table_of(SimdPath path) {
#define KERNELS_TABLE_ADDRESS(target, runs_here) &target##_kernels,
    static constexpr const KernelTable *TABLES[] = {KERNELS_SIMD_TARGETS(KERNELS_TABLE_ADDRESS)};
#undef KERNELS_TABLE_ADDRESS
    return *TABLES[static_cast<int>(path)];
}

// What one call runs on.
struct Dispatch {
    const KernelTable *kernels;
    bool vector_libm;
};

// The table of a path this CPU runs (simd_path_supported), else the scalar
// one, with the vector libm wherever it may run.
Dispatch dispatch_for(SimdPath path);

}  // namespace simd
}  // namespace kernels

// The widest path this CPU runs: dispatch_for(best_simd_path()).  Asked once
// per exported call; nothing is cached (the choice costs tens of
// nanoseconds).  Test and benchmark programs, which link the library's
// objects, replace it at link time (-Wl,--wrap=kernels_choose_dispatch) to run
// the exported functions on a path of their choosing; nothing in the shipped
// library changes its answer.  Callers must be in other source files than its
// definition, or the replacement would not reach them.
extern "C" kernels::simd::Dispatch kernels_choose_dispatch();
