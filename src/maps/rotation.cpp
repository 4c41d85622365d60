// Rotation of a map about its centre: exact index permutation at 90, 180 and 270
// degrees, bilinear interpolation at every other angle.
//
// The interpolation is float32 throughout.  The angle is turned into radians in
// double with the constant 0.01745329252 and rounded to float32 before its sine
// and cosine are taken together in float32.  The bilinear sum
//   (1-fr)(1-fc) m00 + fr (1-fc) m10 + (1-fr) fc m01 + fr fc m11
// is evaluated in one fixed grouping (interpolate_lanes), every product and sum
// rounded on its own.  The interpolation runs on the instruction-set path the
// call was given (the widest vector unit of the CPU, chosen once per process),
// a row's pixels side by side in the lanes, the four neighbours gathered; every
// path gives the same bits (rotation_lanes.h).
#include "maps/rotation.h"

#include <math.h>

#include <cstring>

#include "common/angle_conversion.h"
#include "libkernels.h"
#include "maps/map_storage.h"
#include "maps/rotation_lanes.h"

namespace kernels {

void rotate_by_interpolation(const simd::Dispatch &run, int32_t n, const float *map, float sin_a,
                             float cos_a, float *turned) {
    // A side above ROTATION_MAX_SIDE would be a map of more than 2^48 bytes.
    if (n <= 0 || n > ROTATION_MAX_SIDE) return;
    run.kernels->rotate(RotationSweep{n, map, sin_a, cos_a, turned});
}

void rotate_by_quarter_turns(int32_t n, const float *map, int quarter_turns, float *turned) {
    if (n <= 0) return;
    const int64_t side = n;
    const int64_t last = side - 1;
    for (int64_t i = 0; i < side; ++i) {
        for (int64_t j = 0; j < side; ++j) {
            float *pixel = turned + i * side + j;
            int64_t r = 0, s = 0;
            bool sampled = false;
            switch (quarter_turns) {
                case 1:
                    sampled = i != 0 && j != last;
                    r = j;
                    s = last - i;
                    break;
                case 2:
                    sampled = i != 0 && j != 0;
                    r = last - i;
                    s = last - j;
                    break;
                default:
                    sampled = i != last && j != 0;
                    r = last - j;
                    s = i;
                    break;
            }
            if (sampled)
                std::memcpy(pixel, map + r * side + s, sizeof(float));
            else
                *pixel = 0.0f;
        }
    }
}

float *rotated_copy(const simd::Dispatch &run, int32_t n, const float *map, float angle) {
    float *turned = allocate_map(n);
    if (turned == nullptr) return nullptr;
    if (angle == 90.0f) {
        rotate_by_quarter_turns(n, map, 1, turned);
    } else if (angle == 180.0f) {
        rotate_by_quarter_turns(n, map, 2, turned);
    } else if (angle == 270.0f) {
        rotate_by_quarter_turns(n, map, 3, turned);
    } else {
        const float radians = static_cast<float>(static_cast<double>(angle) * RADIANS_PER_DEGREE);
        float sin_a = 0.0f, cos_a = 0.0f;
        ::sincosf(radians, &sin_a, &cos_a);
        rotate_by_interpolation(run, n, map, sin_a, cos_a, turned);
    }
    return turned;
}

}  // namespace kernels

extern "C" float *rotation(int32_t n, const float *map, float angle) {
    return kernels::rotated_copy(kernels::simd::current_dispatch(), n, map, angle);
}
