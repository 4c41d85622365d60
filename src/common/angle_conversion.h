// Degrees to radians and to sine and cosine, as the map kernels take their
// angles: the angle times the library's factor 0.01745329252 (deliberately not
// pi/180 in full) in double.  sine_cosine_of_degrees takes sine and cosine
// jointly in double and rounds each to float32 (the orientation and the light
// of momentum maps); the map rotation rounds the radians to float32 first
// (maps/rotation.cpp).  Used by momentum_map/ and maps/ alike and owned by
// neither, so it sits in common/.
#pragma once

#include <cmath>

namespace kernels {

constexpr double RADIANS_PER_DEGREE = 0.01745329252;

struct SineCosine {
    float s;
    float c;
};

inline SineCosine sine_cosine_of_degrees(float degrees) {
    double s, c;
    ::sincos(static_cast<double>(degrees) * RADIANS_PER_DEGREE, &s, &c);
    return {static_cast<float>(s), static_cast<float>(c)};
}

}  // namespace kernels
