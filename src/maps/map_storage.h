// Size and allocation of the library's n x n float32 maps.
//
// The element count is the 64-bit product of the sign-extended side, so a side
// above 46340 does not wrap in 32 bits.  A side whose byte count n*n*4 does not
// fit in size_t (only n = INT32_MIN on a 64-bit system) is refused rather than
// wrapped into a small block.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kernels {

// n*n formed in 64 bits; positive for a negative side, as the product is.
inline int64_t map_element_count(int32_t n) {
    return static_cast<int64_t>(n) * static_cast<int64_t>(n);
}

// Bytes of an n x n float32 map; false when the count does not fit in size_t.
bool map_byte_count(int32_t n, std::size_t *bytes);

// A new, uninitialised block of n*n floats (common/allocation.h), or null
// (errno ENOMEM) when the size cannot be represented or the allocation fails.
// The caller releases it with free.
float *allocate_map(int32_t n);

}  // namespace kernels
