// The voxel loop on the AVX-512 target, sixteen voxels of a kx row at a time
// (this file alone is built with that instruction set).
#include "simd/lanes_avx512.h"
#include "momentum_density/voxel_sweep_lanes.h"

namespace kernels {

void sweep_voxels_avx512(const VoxelSweep &sweep, bool vector_libm) {
    sweep_voxels(sweep, simd::VectorLibm<simd::avx512::Target>(vector_libm));
}

}  // namespace kernels
