// The lane-operation kernel on the scalar target (built with its flags).
#define LANE_OPS_TARGET
#include "lane_ops.h"
#include "simd/lanes_scalar.h"

namespace simd_test {

LaneOpsRun lane_ops_scalar() { return {lane_ops<kernels::simd::scalar::Target>, kernels::simd::scalar::Target::lanes}; }

}  // namespace simd_test
