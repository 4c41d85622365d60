// The array functions of a lane target T (libm_arrays.h), instantiated by
// vector_libm_<target>.cpp with that target's instruction-set flags.
#pragma once

#include <cstddef>

#include "dev/libm_arrays.h"
#include "simd/vector_libm.h"

namespace kernels::simd {

template <class T>
void expf_array_on(const float *x, float *y, size_t n, bool use_vector) {
    expf_lanes(VectorLibm<T>(use_vector), x, y, n);
}

template <class T>
void sincosf_array_on(const float *x, float *sin_x, float *cos_x, size_t n, bool use_vector) {
    sincosf_lanes(VectorLibm<T>(use_vector), x, sin_x, cos_x, n);
}

template <class T>
constexpr LibmArrays make_libm_arrays() {
    return {&expf_array_on<T>, &sincosf_array_on<T>};
}

}  // namespace kernels::simd
