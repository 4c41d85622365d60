// flip_over_x: a new map with the rows of the source in reverse order (the
// first momentum coordinate reflected about the middle of its grid).
#include "libkernels.h"
#include "maps/map_mirror.h"
#include "maps/map_storage.h"

extern "C" float *flip_over_x(int32_t n, const float *map) {
    float *image = kernels::allocate_map(n);
    if (image == nullptr) return nullptr;
    kernels::write_row_order_mirror(n, map, image);
    return image;
}
