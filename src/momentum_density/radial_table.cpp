// Range and samples of the tabulated radial factors of a momentum grid.
#include "momentum_density/radial_table.h"

#include <cmath>

#include "basis/basis_model.h"
#include "basis/shell_radial_momentum.h"
#include "simd/lanes_scalar.h"

namespace kernels {
namespace {

// float32 nearest to sqrt(3): the corner of a cube of half-width e is at sqrt(3) e.
constexpr float SQRT_3 = 1.7320508f;

// Largest |coordinate| along one axis of count points from first.
float axis_extent(int32_t count, float first, float k_step) {
    const float last = static_cast<float>(wrapping_add(count, -1)) * k_step + first;
    return std::fmax(std::fabs(last), std::fabs(first));
}

}  // namespace

float largest_grid_momentum(int32_t nx, int32_t ny, int32_t nz, float kx_min, float ky_min,
                            float kz_min, float k_step) {
    const float ex = axis_extent(nx, kx_min, k_step);
    const float ey = axis_extent(ny, ky_min, k_step);
    const float ez = axis_extent(nz, kz_min, k_step);
    if (ex == ey && ey == ez) return SQRT_3 * ex;
    return std::sqrt((ex * ex + ey * ey) + ez * ez);
}

void tabulate_shell_radial(int32_t l, const float *exponents, const float *coefficients,
                           int32_t n_prim, float radial_step, float *samples) {
    const float scale = std::ldexp(1.0f, l);
    const float power = static_cast<float>(-l) + -1.5f;
    const float degree = static_cast<float>(l);
    for (int32_t q = 0; q < RADIAL_SAMPLES; ++q) {
        const float k = static_cast<float>(q) * radial_step;
        const float sum = radial_primitive_sum(k * k, power, exponents, coefficients, n_prim);
        samples[q] = std::pow(k, degree) / scale * sum;
    }
}

TablePosition table_position(float k, float radial_step) {
    const TablePositionLanes<simd::scalar::Target> at =
        table_position_lanes<simd::scalar::Target>({k}, {radial_step});
    return {at.index.v, at.frac.v};
}

}  // namespace kernels
