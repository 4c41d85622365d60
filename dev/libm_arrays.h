// expf and sincosf over float arrays on a chosen instruction-set path, with
// the platform's bits.  Used by tests and benchmarks only (kernels_dev);
// kernels call VectorLibm<T> inside their own per-target loops instead.
#pragma once

#include <cstddef>

#include "simd/targets.h"

namespace kernels::simd {

// One target's array functions.  use_vector: run the vector functions (valid
// only where libm_runs_fma_variant()), else the scalar ones lane by lane.
struct LibmArrays {
    void (*expf)(const float *x, float *y, size_t n, bool use_vector);
    void (*sincosf)(const float *x, float *sin_x, float *cos_x, size_t n, bool use_vector);
};

// The tables, one per target built (vector_libm_<target>.cpp).
#define KERNELS_DECLARE_LIBM_ARRAYS(target, runs_here) extern const LibmArrays target##_libm_arrays;
KERNELS_SIMD_TARGETS(KERNELS_DECLARE_LIBM_ARRAYS)
#undef KERNELS_DECLARE_LIBM_ARRAYS

// The table of a path.
const LibmArrays &libm_arrays_of(SimdPath path);

// On a path this CPU runs (simd_path_supported), with the vector functions
// where the platform's libm is the variant they reproduce
// (libm_runs_fma_variant).
void expf_array(SimdPath path, const float *x, float *y, size_t n);
void sincosf_array(SimdPath path, const float *x, float *sin_x, float *cos_x, size_t n);

}  // namespace kernels::simd
