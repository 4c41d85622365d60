// polarisation_factor's pixel loop over SIMD lanes: the one definition of the
// per-pixel factor, instantiated for every instruction-set target (the scalar
// path is its one-lane instance).  T::lanes neighbouring pixels of a row are
// computed together, each lane with exactly the operations of one pixel, float32
// step by step and the circular helicities' one sum in double.  Pixels outside
// the hemisphere (kz^2 < 0) become 0; their lanes take kz^2 = 0, whose results
// are discarded.
#pragma once

#include <cstddef>
#include <cstdint>

#include "simd/lanes.h"

namespace kernels {

// Everything that is the same for every pixel.
struct Light {
    float sin_t, cos_t, sin_f, cos_f;
    float s_share, p_share;  // P and R = 1 - P
    float k2;
    float c;  // gamma sin t, the imaginary part of e_p.k~
    float c2;
};

enum class PolarisationMode { linear, circular_plus, circular_minus, dichroism, radial };

// One call's map and grid (n > 0 rows of n pixels).
struct PolarisationSweep {
    int32_t n;
    float *map;
    Light light;
    float k_min;
    float k_step;
};

// Factor at the pixels (u, v) = (kx, ky) with kz^2 = w >= 0 (or NaN).
template <class T, PolarisationMode mode>
typename T::F32 polarisation_lanes(const Light &light, float u, typename T::F32 v, typename T::F32 w) {
    using F32 = typename T::F32;
    using F64 = typename T::F64;
    const auto k = [](float a) { return F32::splat(a); };
    const F32 kz = sqrt(w);
    if constexpr (mode == PolarisationMode::radial) {
        const F32 k_par = sqrt(k(light.k2) - w);
        const F32 f = k_par * k(light.cos_t) + kz * k(light.sin_t);
        return f * f;
    } else if constexpr (mode == PolarisationMode::dichroism) {
        const F32 s = k(light.sin_f * u) + v * k(-light.cos_f);
        return (s + s) * k(light.c);
    } else {
        const F32 q = kz * k(light.sin_t) + (k((u * light.cos_t) * light.cos_f) + (v * k(light.cos_t)) * k(light.sin_f));
        const F32 b = k((-u) * light.sin_f) + v * k(light.cos_f);
        const F32 e = q * q + k(light.c2);
        if constexpr (mode == PolarisationMode::linear) {
            return (k(light.s_share) * b) * b + e * k(light.p_share);
        } else {
            // (E + B^2) / 2 in double, then -+ G with G = -B C up to rounding.
            const F32 g = (k(light.sin_f * u) - v * k(light.cos_f)) * k(light.c);
            const F64 half = F64::splat(0.5);
            const F64 bd = to_f64(b);
            const F64 h = to_f64(e) * half + (bd * half) * bd;
            if constexpr (mode == PolarisationMode::circular_plus)
                return to_f32(h - to_f64(g));
            else
                return to_f32(to_f64(g) + h);
        }
    }
}

template <class T, PolarisationMode mode>
void apply_polarisation_lanes(const PolarisationSweep &sweep) {
    static_assert(T::lanes <= 16, "LANE_OFFSETS covers 16 lanes");
    using F32 = typename T::F32;
    using Mask = typename T::Mask;
    const int32_t n = sweep.n;
    const F32 zero = F32::splat(0.0f);
    const F32 lane_offset = F32::load(simd::LANE_OFFSETS);
    const F32 k_step = F32::splat(sweep.k_step);
    const F32 k_min = F32::splat(sweep.k_min);
    for (int32_t i = 0; i < n; ++i) {
        const float u = static_cast<float>(i) * sweep.k_step + sweep.k_min;
        const F32 r = F32::splat(sweep.light.k2 - u * u);
        float *row = sweep.map + static_cast<std::size_t>(i) * static_cast<std::size_t>(n);
        for (int32_t j = 0; j < n; j += T::lanes) {
            const int32_t rest = n - j;
            const F32 v = (F32::splat(static_cast<float>(j)) + lane_offset) * k_step + k_min;
            const F32 w = r - v * v;  // kz^2
            Mask inside = ~(w < zero);
            if (rest < T::lanes) inside = inside & Mask::first(rest);
            if (!any(inside)) {  // wholly outside: nothing to read or form
                if (rest < T::lanes)
                    store_first(zero, row + j, rest);
                else
                    store(zero, row + j);
                continue;
            }
            if (rest < T::lanes) {
                const F32 pixel = F32::load_first(row + j, rest);
                const F32 factor = polarisation_lanes<T, mode>(sweep.light, u, v, select(inside, w, zero));
                store_first(select(inside, factor * pixel, zero), row + j, rest);
            } else {
                const F32 pixel = F32::load(row + j);
                const F32 factor = polarisation_lanes<T, mode>(sweep.light, u, v, select(inside, w, zero));
                store(select(inside, factor * pixel, zero), row + j);
            }
        }
    }
}

// The loop for a mode chosen at run time (indexed in PolarisationMode's order).
template <class T>
void apply_polarisation_mode(PolarisationMode mode, const PolarisationSweep &sweep) {
    using Loop = void (*)(const PolarisationSweep &);
    static constexpr Loop LOOPS[] = {
        &apply_polarisation_lanes<T, PolarisationMode::linear>,
        &apply_polarisation_lanes<T, PolarisationMode::circular_plus>,
        &apply_polarisation_lanes<T, PolarisationMode::circular_minus>,
        &apply_polarisation_lanes<T, PolarisationMode::dichroism>,
        &apply_polarisation_lanes<T, PolarisationMode::radial>,
    };
    LOOPS[static_cast<int>(mode)](sweep);
}

}  // namespace kernels
