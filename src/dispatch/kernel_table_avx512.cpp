// The kernel loops on the AVX-512 target (this file alone is built with that instruction set).
#include "simd/lanes_avx512.h"
#include "dispatch/kernel_table_lanes.h"

namespace kernels::simd {

constexpr KernelTable avx512_kernels = make_kernel_table<avx512::Target>("avx512");

}  // namespace kernels::simd
