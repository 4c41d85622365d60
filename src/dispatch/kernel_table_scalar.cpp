// The kernel loops on the one-lane target (the scalar path), built without instruction-set flags.
#include "simd/lanes_scalar.h"
#include "dispatch/kernel_table_lanes.h"

namespace kernels::simd {

constexpr KernelTable scalar_kernels = make_kernel_table<scalar::Target>("scalar");

}  // namespace kernels::simd
