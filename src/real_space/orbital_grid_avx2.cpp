// The real-space point loops on the AVX2+FMA target (this file alone is built
// with that instruction set).
#include "simd/lanes_avx2.h"
#include "real_space/orbital_grid_lanes.h"

namespace kernels {

void add_orbital_avx2(const RealGrid &grid, const BasisArrays &basis, const ScreeningTables &tables,
                      const float *orbital_row, bool vector_libm, float *out_grid) {
    add_orbital_lanes<simd::avx2::Target>(grid, basis, tables, orbital_row, vector_libm, out_grid);
}

void add_weighted_square_avx2(float weight, const float *orbital, float *out, int64_t n) {
    add_weighted_square_lanes<simd::avx2::Target>(weight, orbital, out, n);
}

}  // namespace kernels
