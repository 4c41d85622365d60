// momentum_map's pixel sweep on the AVX-512 target (this file alone is built
// with that instruction set).
#include "simd/lanes_avx512.h"
#include "momentum_map/pixel_sweep_lanes.h"

namespace kernels {

void sweep_pixels_avx512(const PixelSweep &sweep, bool vector_libm) {
    sweep_pixels_lanes(sweep, simd::VectorLibm<simd::avx512::Target>(vector_libm));
}

}  // namespace kernels
