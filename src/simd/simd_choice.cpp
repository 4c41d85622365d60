// The per-call choice of instruction-set path and libm use for a kernel.
#include "simd/simd_choice.h"

#include "simd/libm_variant_probe.h"

namespace kernels::simd {

SimdChoice choose_simd() {
    const SimdPath path = best_simd_path();
    return {path, path != SimdPath::scalar && libm_runs_fma_variant()};
}

SimdChoice choose_simd_for(SimdPath requested) {
    const SimdPath path = simd_path_supported(requested) ? requested : SimdPath::scalar;
    return {path, path != SimdPath::scalar && libm_runs_fma_variant()};
}

}  // namespace kernels::simd
