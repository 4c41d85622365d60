// expf and sincosf over arrays on the AVX-512 target (this file alone is built
// with that instruction set).
#include "simd/lanes_avx512.h"
#include "simd/libm_arrays.h"
#include "simd/vector_libm.h"

namespace kernels::simd {

void expf_array_avx512(const float *x, float *y, size_t n, bool use_vector) {
    expf_lanes(VectorLibm<avx512::Target>(use_vector), x, y, n);
}

void sincosf_array_avx512(const float *x, float *sin_x, float *cos_x, size_t n, bool use_vector) {
    sincosf_lanes(VectorLibm<avx512::Target>(use_vector), x, sin_x, cos_x, n);
}

}  // namespace kernels::simd
