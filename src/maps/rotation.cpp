// Rotation of a map about its centre: exact index permutation at 90, 180 and 270
// degrees, bilinear interpolation at every other angle.
//
// The interpolation is float32 throughout.  The angle is turned into radians in
// double with the constant 0.01745329252 and rounded to float32 before its sine
// and cosine are taken together in float32.  The bilinear sum
//   (1-fr)(1-fc) m00 + fr (1-fc) m10 + (1-fr) fc m01 + fr fc m11
// is evaluated in one fixed grouping (see interpolate below), every product and
// sum rounded on its own.
#include "maps/rotation.h"

#include <math.h>

#include <cstring>

#include "libkernels.h"
#include "maps/map_storage.h"

namespace kernels {

namespace {

// Degrees to radians, as a double product rounded once to float32.
constexpr double RADIANS_PER_DEGREE = 0.01745329252;

// Bilinear value between the four neighbours, fr the fraction along the rows
// and fc along the columns.
inline float interpolate(float m00, float m10, float m01, float m11, float fr, float fc) {
    return (fr * m11) * fc +
           (((1.0f - fr) * m01) * fc + ((1.0f - fc) * (m00 * (1.0f - fr)) + (m10 * fr) * (1.0f - fc)));
}

}  // namespace

void rotate_by_interpolation(int32_t n, const float *map, float sin_a, float cos_a,
                             float *turned) {
    if (n <= 0) return;
    const int64_t side = n;
    const float last = static_cast<float>(n - 1);
    const float centre = 0.5f * last;
    for (int32_t i = 0; i < n; ++i) {
        const float di = static_cast<float>(i) - centre;
        const float p = di * cos_a;
        const float q = (-di) * sin_a;
        float *row = turned + i * side;
        for (int32_t j = 0; j < n; ++j) {
            row[j] = 0.0f;
            const float dj = static_cast<float>(j) - centre;
            const float h = (sin_a * dj + p) + centre;  // source row
            if (!(h >= 0.0f && h < last)) continue;     // NaN fails too
            const float g = (dj * cos_a + q) + centre;  // source column
            if (!(g >= 0.0f && g < last)) continue;
            const int64_t r = static_cast<int32_t>(h);
            const int64_t s = static_cast<int32_t>(g);
            // Only for n above 2^24, where n - 1 itself rounds, could the
            // truncated coordinate reach the last row or column.
            if (r > side - 2 || s > side - 2) continue;
            const float fr = h - static_cast<float>(r);
            const float fc = g - static_cast<float>(s);
            const float *upper = map + r * side + s;
            const float *lower = upper + side;
            row[j] = interpolate(upper[0], lower[0], upper[1], lower[1], fr, fc);
        }
    }
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

void rotate_map(int32_t n, const float *map, float angle, float *turned) {
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
        rotate_by_interpolation(n, map, sin_a, cos_a, turned);
    }
}

float *rotated_copy(int32_t n, const float *map, float angle) {
    float *turned = allocate_map(n);
    if (turned == nullptr) return nullptr;
    rotate_map(n, map, angle, turned);
    return turned;
}

}  // namespace kernels

extern "C" float *rotation(int32_t n, const float *map, float angle) {
    return kernels::rotated_copy(n, map, angle);
}
