// The interpolating rotation on the AVX-512 target (this file alone is built
// with that instruction set).
#include "simd/lanes_avx512.h"
#include "maps/rotation_lanes.h"

namespace kernels {

void rotate_lanes_avx512(const RotationSweep &sweep) {
    rotate_by_interpolation_lanes<simd::avx512::Target>(sweep);
}

}  // namespace kernels
