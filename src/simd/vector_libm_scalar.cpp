// expf and sincosf over arrays on the one-lane target: the scalar functions.
#include "simd/lanes_scalar.h"
#include "simd/libm_arrays.h"
#include "simd/vector_libm.h"

namespace kernels::simd {

void expf_array_scalar(const float *x, float *y, size_t n) {
    expf_lanes(VectorLibm<scalar::Target>(false), x, y, n);
}

void sincosf_array_scalar(const float *x, float *sin_x, float *cos_x, size_t n) {
    sincosf_lanes(VectorLibm<scalar::Target>(false), x, sin_x, cos_x, n);
}

}  // namespace kernels::simd
