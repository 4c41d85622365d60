// Momentum-space radial factor of a contracted Gaussian shell.
//
// The Fourier transform (kernel e^{-i k.r}) of a shell whose real-space
// components are sum_p c_p exp(-a_p r^2) times a solid harmonic of degree l is
// (-i)^l R_l(|k|) Y(k/|k|), up to the constant pi^{3/2}, with
//
//   R_l(k) = (k/2)^l  sum_p c_p a_p^{-(l + 3/2)} exp(-k^2 / (4 a_p)).
#pragma once

#include <cstdint>

namespace kernels {

// sum_p exp(-k2 / (4 a_p)) * (a_p^power * c_p) over the primitives whose
// exponent k2 / (4 a_p) lies below EXP_CUTOFF; power is -l - 1.5.
float radial_primitive_sum(float k2, float power, const float *exponents, const float *coefficients,
                           int32_t n_prim);

// R_l(k) in float32: (k^l / 2^l) * sum.  n_prim <= 0 gives 0.
float shell_radial_momentum(int32_t l, float k, const float *exponents, const float *coefficients,
                            int32_t n_prim);

// (-i)^l v as a (real, imaginary) pair, chosen by l mod 4.
struct Complex32 {
    float re;
    float im;
};

inline Complex32 times_minus_i_power(int32_t l, float v) {
    switch (l & 3) {
        case 0: return {v, 0.0f};
        case 1: return {0.0f, -v};
        case 2: return {-v, 0.0f};
        default: return {0.0f, v};
    }
}

}  // namespace kernels
