// normalisation: scales a map in place so that its largest element becomes 255.
//
// The maximum starts at 0 and takes an element only when the element is greater,
// so negative elements and NaNs never become it; a map without a positive element
// is left unchanged.  The factor 255 / max is one float32 division and every
// element is multiplied by it (x * factor, so the maximum lands on 255 only up to
// the rounding of the factor, e.g. 254.99998 for a maximum of 7).
//
// A maximum below 255 / FLT_MAX (about 7.5e-37) would make that factor overflow
// to infinity, turning the maximum into inf and every zero into NaN.  Such a map
// is first scaled by 2^64, which is exact for every element that can reach a
// finite result, and then normalised the same way: one rounded factor, one
// multiplication per element.
#include <cmath>
#include <cstddef>

#include "libkernels.h"
#include "maps/map_storage.h"

extern "C" void normalisation(int32_t n, float *map) {
    // The map is the flat run of n*n elements, taken in 64 bits so that a side
    // above 46340 does not wrap; a negative side therefore covers as many
    // elements as its absolute value, the length the library gives the maps it
    // returns for that side.  A side whose n*n floats cannot exist in memory
    // (n = INT32_MIN) describes no array, and nothing is touched.
    std::size_t bytes = 0;
    if (n == 0 || !kernels::map_byte_count(n, &bytes)) return;
    const int64_t count = kernels::map_element_count(n);

    float maximum = 0.0f;
    for (int64_t e = 0; e < count; ++e)
        if (map[e] > maximum) maximum = map[e];
    if (maximum == 0.0f) return;

    float factor = 255.0f / maximum;
    if (std::isinf(factor)) {
        const float lift = 0x1p64f;
        factor = 255.0f / (maximum * lift);
        for (int64_t e = 0; e < count; ++e) map[e] = (map[e] * lift) * factor;
        return;
    }
    for (int64_t e = 0; e < count; ++e) map[e] = map[e] * factor;
}
