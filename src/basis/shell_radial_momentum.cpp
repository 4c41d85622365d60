// Radial factor of a shell's Fourier transform, float32 throughout, each step
// rounded in the order written.  Primitives past the Gaussian cut-off (and NaN
// exponents) are skipped before powf and expf are called.
#include "basis/shell_radial_momentum.h"

#include <cmath>

#include "basis/basis_model.h"

namespace kernels {

float radial_primitive_sum(float k2, float power, const float *exponents, const float *coefficients,
                           int32_t n_prim) {
    float sum = 0.0f;
    for (int32_t p = 0; p < n_prim; ++p) {
        const float alpha = exponents[p];
        const float t = k2 / (alpha * 4.0f);
        if (t < EXP_CUTOFF) sum = sum + std::exp(-t) * (std::pow(alpha, power) * coefficients[p]);
    }
    return sum;
}

float shell_radial_momentum(int32_t l, float k, const float *exponents, const float *coefficients,
                            int32_t n_prim) {
    const float k2 = k * k;
    float sum = 0.0f;
    if (n_prim >= 1) {
        const float power = static_cast<float>(-l) + -1.5f;
        sum = radial_primitive_sum(k2, power, exponents, coefficients, n_prim);
    }
    return (std::pow(k, static_cast<float>(l)) / std::ldexp(1.0f, l)) * sum;
}

}  // namespace kernels
