// The voxel loop on the one-lane target: the scalar path, one voxel at a time,
// with the platform's sincosf.
#include "simd/lanes_scalar.h"
#include "momentum_density/voxel_sweep_lanes.h"

namespace kernels {

void sweep_voxels_scalar(const VoxelSweep &sweep) {
    sweep_voxels(sweep, simd::VectorLibm<simd::scalar::Target>(false));
}

}  // namespace kernels
