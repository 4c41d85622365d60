// The lane-operation kernel on the avx2 target (built with its flags).
#define LANE_OPS_TARGET
#include "lane_ops.h"
#include "simd/lanes_avx2.h"

namespace simd_test {

LaneOpsRun lane_ops_avx2() { return {lane_ops<kernels::simd::avx2::Target>, kernels::simd::avx2::Target::lanes}; }

}  // namespace simd_test
