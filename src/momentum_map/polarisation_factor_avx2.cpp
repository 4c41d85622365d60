// polarisation_factor's pixel loop on the AVX2+FMA target (this file alone is
// built with that instruction set).
#include "simd/lanes_avx2.h"
#include "momentum_map/polarisation_lanes.h"

namespace kernels {

void apply_polarisation_avx2(PolarisationMode mode, const PolarisationSweep &sweep) {
    apply_polarisation_mode<simd::avx2::Target>(mode, sweep);
}

}  // namespace kernels
