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
// double; everything else is float32, rounded step by step.  The loop runs on
// the instruction-set path the call was given (the widest vector unit of the
// CPU, chosen once per process), a row's pixels side by side in the lanes;
// every path gives the same bits (polarisation_lanes.h).
#include <cmath>

#include "common/angle_conversion.h"
#include "libkernels.h"
#include "momentum_map/momentum_map.h"
#include "momentum_map/polarisation_lanes.h"

namespace {

using kernels::PolarisationMode;

PolarisationMode mode_of(int32_t polarisation_mode, int32_t circular_mode) {
    if (polarisation_mode == 0) return PolarisationMode::linear;
    if (polarisation_mode != 1) return PolarisationMode::radial;
    if (circular_mode == 0) return PolarisationMode::circular_plus;
    if (circular_mode == 1) return PolarisationMode::circular_minus;
    return PolarisationMode::dichroism;
}

}  // namespace

namespace kernels {

void polarisation_factor_on(const simd::Dispatch &run, int32_t n, int32_t polarisation_mode,
                            int32_t circular_mode, float *map, float e_kin, float k_min, float k_step,
                            float incidence_angle, float azimuth_angle, float s_share_percent,
                            float kz_imaginary) {
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

    run.kernels->apply_polarisation(mode_of(polarisation_mode, circular_mode),
                                    PolarisationSweep{n, map, light, k_min, k_step});
}

}  // namespace kernels

extern "C" void polarisation_factor(int32_t n, int32_t polarisation_mode, int32_t circular_mode,
                                    float *map, float e_kin, float k_min, float k_step,
                                    float incidence_angle, float azimuth_angle,
                                    float s_share_percent, float kz_imaginary) {
    kernels::polarisation_factor_on(kernels::simd::current_dispatch(), n, polarisation_mode, circular_mode, map,
                                    e_kin, k_min, k_step, incidence_angle, azimuth_angle, s_share_percent,
                                    kz_imaginary);
}
