// Dispatch of the array forms of expf and sincosf to a path's instantiation,
// with the per-call check of the platform's libm variant.
#include "simd/libm_arrays.h"

#include "simd/libm_variant_probe.h"

namespace kernels::simd {

void expf_array(SimdPath path, const float *x, float *y, size_t n) {
    switch (path) {
#ifdef KERNELS_SIMD_X86
    case SimdPath::avx512:
        expf_array_avx512(x, y, n, libm_runs_fma_variant());
        return;
    case SimdPath::avx2:
        expf_array_avx2(x, y, n, libm_runs_fma_variant());
        return;
#endif
    default:
        expf_array_scalar(x, y, n);
        return;
    }
}

void sincosf_array(SimdPath path, const float *x, float *sin_x, float *cos_x, size_t n) {
    switch (path) {
#ifdef KERNELS_SIMD_X86
    case SimdPath::avx512:
        sincosf_array_avx512(x, sin_x, cos_x, n, libm_runs_fma_variant());
        return;
    case SimdPath::avx2:
        sincosf_array_avx2(x, sin_x, cos_x, n, libm_runs_fma_variant());
        return;
#endif
    default:
        sincosf_array_scalar(x, sin_x, cos_x, n);
        return;
    }
}

}  // namespace kernels::simd
