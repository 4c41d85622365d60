// One table of entry points per instruction-set target.
//
// Every vectorised loop of the library is a template over a lane target
// (simd/lanes.h).  kernel_table_lanes.h instantiates all of them for one
// target into a KernelTable; kernel_table_<target>.cpp does that once per
// target, in a file built with that target's instruction-set flags.  The
// exported functions run their loops through the table of their Dispatch
// (dispatch/dispatch.h), so adding a loop means adding one entry here
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

}  // namespace simd
}  // namespace kernels
