// The kernel loops on the AVX2+FMA target (this file alone is built with that instruction set).
#include "simd/lanes_avx2.h"
#include "dispatch/kernel_table_lanes.h"

namespace kernels::simd {

constexpr KernelTable avx2_kernels = make_kernel_table<avx2::Target>("avx2");

}  // namespace kernels::simd
