// expf and sincosf over float arrays on a chosen instruction-set path, with
// the platform's bits: each call checks that the platform's libm is the
// variant the vector code reproduces and otherwise calls the scalar functions
// (still on the chosen path's lanes).  Used by tests and benchmarks; kernels
// call VectorLibm<T> inside their own per-target loops instead.
#pragma once

#include <cstddef>

#include "simd/lanes.h"

namespace kernels::simd {

// path must be supported by this CPU (simd_path_supported).
void expf_array(SimdPath path, const float *x, float *y, size_t n);
void sincosf_array(SimdPath path, const float *x, float *sin_x, float *cos_x, size_t n);

// The per-target instantiations, each in a source file built for its target.
// use_vector: run the vector functions (else the scalar ones lane by lane).
void expf_array_scalar(const float *x, float *y, size_t n);
void sincosf_array_scalar(const float *x, float *sin_x, float *cos_x, size_t n);
void expf_array_avx2(const float *x, float *y, size_t n, bool use_vector);
void sincosf_array_avx2(const float *x, float *sin_x, float *cos_x, size_t n, bool use_vector);
void expf_array_avx512(const float *x, float *y, size_t n, bool use_vector);
void sincosf_array_avx512(const float *x, float *sin_x, float *cos_x, size_t n, bool use_vector);

}  // namespace kernels::simd
