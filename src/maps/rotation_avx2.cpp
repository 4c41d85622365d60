// The interpolating rotation on the AVX2+FMA target (this file alone is built
// with that instruction set).
#include "simd/lanes_avx2.h"
#include "maps/rotation_lanes.h"

namespace kernels {

void rotate_lanes_avx2(const RotationSweep &sweep) {
    rotate_by_interpolation_lanes<simd::avx2::Target>(sweep);
}

}  // namespace kernels
