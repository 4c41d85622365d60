// Internal entry of the real-space orbital evaluation, shared by scalar_field
// and charge_density_sum.
#pragma once

#include <cstdint>

#include "basis/basis_model.h"
#include "dispatch/dispatch.h"

namespace kernels {

// A regular real-space grid: point (i, j, k) at x = i*step + x_min (float32,
// likewise y and z), stored at element (k*ny + j)*nx + i.
struct RealGrid {
    int32_t nx, ny, nz;
    float x_min, y_min, z_min;
    float step;

    // Number of elements; 0 when any dimension is zero or negative.
    int64_t points() const {
        if (nx <= 0 || ny <= 0 || nz <= 0) return 0;
        return static_cast<int64_t>(nx) * ny * nz;
    }
};

// Clears out_grid and adds the orbital of one coefficient row at every point,
// on the instruction-set path of `run` (every path gives the same bits).  On
// allocation failure out_grid is left cleared, errno is ENOMEM and the result
// false; with no points nothing is written.
bool evaluate_orbital_on_grid(const simd::Dispatch &run, const RealGrid &grid,
                              const BasisArrays &basis, const float *orbital_row, float *out_grid);

}  // namespace kernels
