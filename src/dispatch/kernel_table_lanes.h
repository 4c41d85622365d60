// The KernelTable of a lane target T: every vectorised loop of the library
// instantiated for T.  Included only by kernel_table_<target>.cpp, each built
// with its target's instruction-set flags (and including that target's lane
// header first).  The adaptors are templates over T, so everything compiled
// here carries T's name and stays with its target (see simd/lanes.h).
#pragma once

#include "dispatch/kernel_table.h"
#include "maps/rotation_lanes.h"
#include "momentum_density/voxel_sweep_lanes.h"
#include "momentum_map/pixel_sweep_lanes.h"
#include "momentum_map/polarisation_lanes.h"
#include "real_space/orbital_grid_lanes.h"
#include "simd/vector_libm.h"

namespace kernels::simd {

template <class T>
void sweep_pixels_on(const PixelSweep &sweep, bool vector_libm) {
    sweep_pixels_lanes(sweep, VectorLibm<T>(vector_libm));
}

template <class T>
void sweep_voxels_on(const VoxelSweep &sweep, bool vector_libm) {
    sweep_voxels(sweep, VectorLibm<T>(vector_libm));
}

// Constant: the table is laid down by the compiler, so no code of the target
// runs before a call has checked that the CPU has it.
template <class T>
constexpr KernelTable make_kernel_table(const char *name) {
    return {name,
            T::lanes,
            &sweep_pixels_on<T>,
            &apply_polarisation_mode<T>,
            &rotate_by_interpolation_lanes<T>,
            &add_orbital_lanes<T>,
            &add_weighted_square_lanes<T>,
            &sweep_voxels_on<T>};
}

}  // namespace kernels::simd
