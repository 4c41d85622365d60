// The two mirror images of an n x n map, written into a caller's block.  Both
// the exported flips and the symmetrisation's mirror terms are formed here, so
// that they agree bit for bit.
#pragma once

#include <cstdint>

namespace kernels {

// image(i, j) = map(n - 1 - i, j): the rows in reverse order, each row copied as
// one block.  Elements are copied as bit patterns.  Nothing is done for n <= 0.
void write_row_order_mirror(int32_t n, const float *map, float *image);

// image(i, j) = map(i, n - 1 - j): every row reversed, the rows in their order.
// Elements are copied as bit patterns.  Nothing is done for n <= 0.
void write_row_mirror(int32_t n, const float *map, float *image);

}  // namespace kernels
