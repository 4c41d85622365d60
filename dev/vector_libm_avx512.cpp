// expf and sincosf over arrays on the AVX-512 target (this file alone is built
// with that instruction set).
#include "simd/lanes_avx512.h"
#include "dev/libm_arrays_lanes.h"

namespace kernels::simd {

constexpr LibmArrays avx512_libm_arrays = make_libm_arrays<avx512::Target>();

}  // namespace kernels::simd
