// expf and sincosf over arrays on the AVX2+FMA target (this file alone is built
// with that instruction set).
#include "simd/lanes_avx2.h"
#include "dev/libm_arrays_lanes.h"

namespace kernels::simd {

constexpr LibmArrays avx2_libm_arrays = make_libm_arrays<avx2::Target>();

}  // namespace kernels::simd
