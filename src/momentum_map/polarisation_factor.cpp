// Light-polarisation factor of a photoemission map, applied in place.
//
// On the hemisphere |k| = sqrt(2 e_kin) above pixel (kx, ky) the photoelectron
// momentum is k~ = (kx, ky, kz + i gamma).  With the p and s polarisation vectors
//   e_p = (cos t cos f, cos t sin f, sin t),   e_s = (-sin f, cos f, 0)
// (t the incidence angle from the surface normal, f the azimuth of the plane of
// incidence) and Q = e_p.k, C = gamma sin t, E = Q^2 + C^2 = |e_p.k~|^2,
// B = e_s.k, the factor is
//   linear:   P B^2 + (1 - P) E                          (P the s share)
//   circular: |(e_p +- i e_s)/sqrt2 . k~|^2 = (E + B^2)/2 +- B C, or their
//             difference -2 B C (dichroism)
//   radial:   (k_par cos t + kz sin t)^2, the p factor with the plane of
//             incidence turned onto each pixel's own parallel momentum.
// Pixels outside the hemisphere become 0.  Only the circular helicities sum in
// double; everything else is float32, rounded step by step.
#include <cmath>

#include "libkernels.h"
#include "momentum_map/angle_conversion.h"

namespace kernels {
namespace {

// Everything that is the same for every pixel.
struct Light {
    float sin_t, cos_t, sin_f, cos_f;
    float s_share, p_share;  // P and R = 1 - P
    float k2;
    float c;  // gamma sin t, the imaginary part of e_p.k~
    float c2;
};

enum class Mode { linear, circular_plus, circular_minus, dichroism, radial };

Mode mode_of(int32_t polarisation_mode, int32_t circular_mode) {
    if (polarisation_mode == 0) return Mode::linear;
    if (polarisation_mode != 1) return Mode::radial;
    if (circular_mode == 0) return Mode::circular_plus;
    if (circular_mode == 1) return Mode::circular_minus;
    return Mode::dichroism;
}

// Factor at the pixel (u, v) = (kx, ky) with kz^2 = w >= 0 (or NaN).
template <Mode mode>
inline float factor(const Light &light, float u, float v, float w) {
    const float kz = std::sqrt(w);
    if (mode == Mode::radial) {
        const float k_par = std::sqrt(light.k2 - w);
        const float f = k_par * light.cos_t + kz * light.sin_t;
        return f * f;
    }
    if (mode == Mode::dichroism) {
        const float s = (light.sin_f * u) + (v * -light.cos_f);
        return (s + s) * light.c;
    }
    const float q =
        kz * light.sin_t + ((u * light.cos_t) * light.cos_f + (v * light.cos_t) * light.sin_f);
    const float b = (-u) * light.sin_f + v * light.cos_f;
    const float e = q * q + light.c2;
    if (mode == Mode::linear) return (light.s_share * b) * b + e * light.p_share;

    // (E + B^2) / 2 in double, then -+ G with G = -B C up to rounding.
    const float g = ((light.sin_f * u) - (v * light.cos_f)) * light.c;
    const double h =
        static_cast<double>(e) * 0.5 + (static_cast<double>(b) * 0.5) * static_cast<double>(b);
    if (mode == Mode::circular_plus) return static_cast<float>(h - static_cast<double>(g));
    return static_cast<float>(static_cast<double>(g) + h);
}

template <Mode mode>
void apply(int32_t n, float *map, const Light &light, float k_min, float k_step) {
    for (int32_t i = 0; i < n; ++i) {
        const float u = static_cast<float>(i) * k_step + k_min;
        const float r = light.k2 - u * u;
        float *row = map + static_cast<std::size_t>(i) * static_cast<std::size_t>(n);
        for (int32_t j = 0; j < n; ++j) {
            const float v = static_cast<float>(j) * k_step + k_min;
            const float w = r - v * v;  // kz^2
            if (w < 0.0f) {
                row[j] = 0.0f;
                continue;
            }
            row[j] = factor<mode>(light, u, v, w) * row[j];
        }
    }
}

}  // namespace
}  // namespace kernels

extern "C" void polarisation_factor(int32_t n, int32_t polarisation_mode, int32_t circular_mode,
                                    float *map, float e_kin, float k_min, float k_step,
                                    float incidence_angle, float azimuth_angle,
                                    float s_share_percent, float kz_imaginary) {
    using namespace kernels;
    const SineCosine incidence = sine_cosine_of_degrees(incidence_angle);
    const SineCosine azimuth = sine_cosine_of_degrees(azimuth_angle);
    if (n <= 0) return;

    Light light;
    light.sin_t = incidence.s;
    light.cos_t = incidence.c;
    light.sin_f = azimuth.s;
    light.cos_f = azimuth.c;
    light.s_share = s_share_percent / 100.0f;
    light.p_share = 1.0f - light.s_share;
    const float k = std::sqrt(e_kin + e_kin);
    light.k2 = k * k;
    light.c = kz_imaginary * light.sin_t;
    light.c2 = light.c * light.c;

    switch (mode_of(polarisation_mode, circular_mode)) {
        case Mode::linear:
            apply<Mode::linear>(n, map, light, k_min, k_step);
            break;
        case Mode::circular_plus:
            apply<Mode::circular_plus>(n, map, light, k_min, k_step);
            break;
        case Mode::circular_minus:
            apply<Mode::circular_minus>(n, map, light, k_min, k_step);
            break;
        case Mode::dichroism:
            apply<Mode::dichroism>(n, map, light, k_min, k_step);
            break;
        case Mode::radial:
            apply<Mode::radial>(n, map, light, k_min, k_step);
            break;
    }
}
