// The scalar harmonics: the one-lane instance of solid_harmonics_lanes.  The
// unit-vector form is the solid form with r^2 = 1, which leaves every bracket
// unchanged bit for bit ((30 z^2) * 1 = 30 z^2, 3 * (1 * 1) = 3).
#include "basis/real_harmonics.h"

#include "basis/basis_model.h"
#include "simd/lanes_scalar.h"

namespace kernels {

void solid_harmonics(float x, float y, float z, float r2, int32_t l_max, float *ylm) {
    using Lane = simd::scalar::F32;
    Lane lanes[HARMONIC_COUNT];
    const int32_t written = l_max < 1 ? 1 : l_max >= MAX_L ? HARMONIC_COUNT : (l_max + 1) * (l_max + 1);
    solid_harmonics_lanes<simd::scalar::Target>({x}, {y}, {z}, {r2}, l_max, lanes);
    for (int32_t e = 0; e < written; ++e) ylm[e] = lanes[e].v;
}

void real_harmonics(float x, float y, float z, int32_t l_max, float *ylm) {
    solid_harmonics(x, y, z, 1.0f, l_max, ylm);
}

}  // namespace kernels
