// The lane-operation kernel on the avx512 target (built with its flags).
#define LANE_OPS_TARGET
#include "lane_ops.h"
#include "simd/lanes_avx512.h"

namespace simd_test {

LaneOpsRun lane_ops_avx512() { return {lane_ops<kernels::simd::avx512::Target>, kernels::simd::avx512::Target::lanes}; }

}  // namespace simd_test
