// Fuzzes the map operations: rotation, flip_over_x, flip_over_y, symmetrisation
// and normalisation on one drawn map.  Memory safety for any side; for finite
// maps finite results, flips that undo themselves, and a normalised maximum of
// 255 to within the rounding of the scale factor.
#include <libkernels.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "fuzz/fuzz_input.h"

using namespace kernels_fuzz;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *bytes, size_t size) {
    FuzzedDataProvider data(bytes, size);
    Draw draw{data};
    const int32_t n = draw.count(1, 20, 20);
    std::vector<float> map(map_length(n));
    for (float &v : map) v = draw.real(-100.0f, 100.0f);
    static const float exact[] = {90.0f, 180.0f, 270.0f, 0.0f, 120.0f, 240.0f};
    const float angle = data.ConsumeBool() ? exact[data.ConsumeIntegralInRange<int>(0, 5)]
                                           : draw.real(-720.0f, 720.0f);
    const int32_t mode = draw.selector();
    const bool finite = draw.in_contract;

    float *turned = rotation(n, ptr(map), angle);
    float *fx = flip_over_x(n, ptr(map));
    float *fy = flip_over_y(n, ptr(map));
    if (n > 0) {
        FUZZ_CHECK(turned && fx && fy);
        const size_t bytes_n = map.size() * sizeof(float);
        std::vector<float> turned_copy(turned, turned + map.size());
        if (finite) FUZZ_CHECK(all_finite(turned_copy));
        float *back_x = flip_over_x(n, fx);
        float *back_y = flip_over_y(n, fy);
        FUZZ_CHECK(back_x && back_y);
        FUZZ_CHECK(std::memcmp(back_x, map.data(), bytes_n) == 0);
        FUZZ_CHECK(std::memcmp(back_y, map.data(), bytes_n) == 0);
        std::free(back_x);
        std::free(back_y);
    }
    std::free(turned);
    std::free(fx);
    std::free(fy);

    std::vector<float> symmetric = map;
    symmetrisation(n, mode, ptr(symmetric));
    if (finite) FUZZ_CHECK(all_finite(symmetric));

    // A negative side scales as many elements as its absolute value.
    std::vector<float> scaled = map;
    if (n < 0) scaled.assign(size_t(-int64_t(n)) * size_t(-int64_t(n)), 1.0f);
    normalisation(n, ptr(scaled));
    if (finite) {
        FUZZ_CHECK(all_finite(scaled));
        float top = 0.0f;
        for (float v : scaled) top = v > top ? v : top;
        FUZZ_CHECK(top == 0.0f || (top > 254.99f && top < 255.01f));
    }
    return 0;
}
