// flip_over_y: a new map with every row of the source reversed (the second
// momentum coordinate reflected about the middle of its grid).
#include "libkernels.h"
#include "maps/map_mirror.h"
#include "maps/map_storage.h"

extern "C" float *flip_over_y(int32_t n, const float *map) {
    float *image = kernels::allocate_map(n);
    if (image == nullptr) return nullptr;
    kernels::write_row_mirror(n, map, image);
    return image;
}
