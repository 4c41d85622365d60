// The voxel loop on the AVX2+FMA target, eight voxels of a kx row at a time
// (this file alone is built with that instruction set).
#include "simd/lanes_avx2.h"
#include "momentum_density/voxel_sweep_lanes.h"

namespace kernels {

void sweep_voxels_avx2(const VoxelSweep &sweep, bool vector_libm) {
    sweep_voxels(sweep, simd::VectorLibm<simd::avx2::Target>(vector_libm));
}

}  // namespace kernels
