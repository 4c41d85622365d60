// expf and sincosf over arrays on the one-lane target: the scalar functions.
#include "simd/lanes_scalar.h"
#include "dev/libm_arrays_lanes.h"

namespace kernels::simd {

constexpr LibmArrays scalar_libm_arrays = make_libm_arrays<scalar::Target>();

}  // namespace kernels::simd
