// The array forms of expf and sincosf: the table of a path, and the vector
// functions only where the platform's libm is the variant they reproduce.
#include "dev/libm_arrays.h"

#include "dispatch/dispatch.h"

namespace kernels::simd {

const LibmArrays &libm_arrays_of(SimdPath path) {
#define KERNELS_LIBM_ARRAYS_ADDRESS(target, runs_here) &target##_libm_arrays,
    static constexpr const LibmArrays *TABLES[] = {KERNELS_SIMD_TARGETS(KERNELS_LIBM_ARRAYS_ADDRESS)};
#undef KERNELS_LIBM_ARRAYS_ADDRESS
    return *TABLES[static_cast<int>(path)];
}

void expf_array(SimdPath path, const float *x, float *y, size_t n) {
    libm_arrays_of(path).expf(x, y, n, path != SimdPath::scalar && libm_runs_fma_variant());
}

void sincosf_array(SimdPath path, const float *x, float *sin_x, float *cos_x, size_t n) {
    libm_arrays_of(path).sincosf(x, sin_x, cos_x, n, path != SimdPath::scalar && libm_runs_fma_variant());
}

}  // namespace kernels::simd
