// Mirror images of a map: pure copies, no arithmetic, so infinities, NaN
// payloads and signed zeros pass unchanged.
#include "maps/map_mirror.h"

#include <cstring>

namespace kernels {

void write_row_order_mirror(int32_t n, const float *map, float *image) {
    if (n <= 0) return;
    const int64_t side = n;
    const std::size_t row_bytes = static_cast<std::size_t>(side) * sizeof(float);
    for (int64_t d = 0; d < side; ++d)
        std::memcpy(image + d * side, map + (side - 1 - d) * side, row_bytes);
}

void write_row_mirror(int32_t n, const float *map, float *image) {
    if (n <= 0) return;
    const int64_t side = n;
    for (int64_t i = 0; i < side; ++i) {
        const float *source_row = map + i * side;
        float *image_row = image + i * side;
        for (int64_t j = 0; j < side; ++j)
            std::memcpy(&image_row[j], &source_row[side - 1 - j], sizeof(float));
    }
}

}  // namespace kernels
