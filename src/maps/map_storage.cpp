// Allocation of n x n float32 maps with an overflow-checked 64-bit size.
#include "maps/map_storage.h"

#include <cerrno>
#include <cstdint>

#include "common/allocation.h"

namespace kernels {

bool map_byte_count(int32_t n, std::size_t *bytes) {
    const uint64_t count = static_cast<uint64_t>(map_element_count(n));
    if (count > SIZE_MAX / sizeof(float)) return false;
    *bytes = static_cast<std::size_t>(count) * sizeof(float);
    return true;
}

float *allocate_map(int32_t n) {
    std::size_t bytes = 0;
    if (!map_byte_count(n, &bytes)) {
        errno = ENOMEM;  // as malloc would for a size beyond any memory
        return nullptr;
    }
    return static_cast<float *>(allocate(bytes));
}

}  // namespace kernels
