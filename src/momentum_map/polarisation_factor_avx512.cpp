// polarisation_factor's pixel loop on the AVX-512 target (this file alone is
// built with that instruction set).
#include "simd/lanes_avx512.h"
#include "momentum_map/polarisation_lanes.h"

namespace kernels {

void apply_polarisation_avx512(PolarisationMode mode, const PolarisationSweep &sweep) {
    apply_polarisation_mode<simd::avx512::Target>(mode, sweep);
}

}  // namespace kernels
