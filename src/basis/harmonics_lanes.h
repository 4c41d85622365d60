// Real solid harmonics to l = 4 over SIMD lanes: the one definition of the
// harmonic table's arithmetic, instantiated for every instruction-set target
// (the scalar solid_harmonics/real_harmonics are its one-lane instance).
//
// Entry l*l + c holds component c of degree l (m = 0, then +m before -m).  The
// squares and the polynomial brackets are float32, each step rounded; the
// constant, the coordinate factors and the brackets are then multiplied in
// double, left to right, and rounded once to float32.  With r2 = 1 the
// brackets are those of the unit-vector form bit for bit.
#pragma once

#include <cstdint>

namespace kernels {

namespace harmonic_constants {
// Used exactly as written; several differ from the closed forms in the eighth
// digit, and orbital coefficients prepared for this library expect these.
constexpr float Y00 = 0.2820948f;                 // 1, float32 nearest 1/(2 sqrt(pi))
constexpr double C_P = 0.48860251190291992;      // z, x, y
constexpr double C_D0 = 0.31539155959179921;     // 3z^2 - r^2
constexpr double C_D1 = 1.0925484305920792;      // xz, yz, xy
constexpr double C_D2 = 0.54627421529603959;     // x^2 - y^2
constexpr double C_F0 = 0.37317632877825935;     // z (5z^2 - 3r^2)
constexpr double C_F1 = 0.45704579639229809;     // x (5z^2 - r^2), y (5z^2 - r^2)
constexpr double C_F2 = 1.4453057213202769;      // z (x^2 - y^2)
constexpr double C_F2S = 2.8906114426405538;     // xyz
constexpr double C_F3 = -0.59004361139937245;    // x (x^2 - 3y^2), y (3x^2 - y^2)
constexpr double C_G0 = 0.10578554329759174;     // 35z^4 - 30z^2 r^2 + 3r^4
constexpr double C_G1 = 0.6690465310246213;      // xz (7z^2 - 3r^2), yz (7z^2 - 3r^2)
constexpr double C_G2 = 0.47308734011966758;     // (x^2 - y^2)(7z^2 - r^2)
constexpr double C_G2S = 0.94617468023933515;    // xy (7z^2 - r^2)
constexpr double C_G3 = -1.7701307394854329;     // xz (x^2 - 3y^2), yz (3x^2 - y^2)
constexpr double C_G4 = -0.62583573544917614;    // x^4 - 6x^2 y^2 + y^4
constexpr double C_G4S = -2.5033429417967046;    // xy (x^2 - y^2)
}  // namespace harmonic_constants

// Fills ylm[0] and the entries of degrees 1..min(l_max, 4) from the offset
// (x, y, z) with squared length r2; other entries are left as they were.
template <class T>
void solid_harmonics_lanes(typename T::F32 x, typename T::F32 y, typename T::F32 z,
                           typename T::F32 r2, int32_t l_max, typename T::F32 *ylm) {
    using F32 = typename T::F32;
    using F64 = typename T::F64;
    using namespace harmonic_constants;
    // constant * a [* b [* d]] in double, rounded once.
    auto product = [](double c, F32 a) { return to_f32(F64::splat(c) * to_f64(a)); };
    auto product2 = [](double c, F32 a, F32 b) {
        return to_f32(F64::splat(c) * to_f64(a) * to_f64(b));
    };
    auto product3 = [](double c, F32 a, F32 b, F32 d) {
        return to_f32(F64::splat(c) * to_f64(a) * to_f64(b) * to_f64(d));
    };
    auto k = [](float v) { return F32::splat(v); };

    ylm[0] = k(Y00);
    if (l_max < 1) return;

    ylm[1] = product(C_P, z);
    ylm[2] = product(C_P, x);
    ylm[3] = product(C_P, y);
    if (l_max == 1) return;

    const F32 x2 = x * x;
    const F32 y2 = y * y;
    const F32 z2 = z * z;
    const F32 x2_minus_y2 = x2 - y2;
    ylm[4] = product(C_D0, k(3.0f) * z2 - r2);
    ylm[5] = product2(C_D1, x, z);
    ylm[6] = product2(C_D1, y, z);
    ylm[7] = product(C_D2, x2_minus_y2);
    ylm[8] = product2(C_D1, x, y);
    if (l_max == 2) return;

    const F32 x2_minus_3y2 = x2 - k(3.0f) * y2;
    const F32 three_x2_minus_y2 = k(3.0f) * x2 - y2;
    const F32 five_z2_minus_r2 = k(5.0f) * z2 - r2;
    ylm[9] = product2(C_F0, z, k(5.0f) * z2 - k(3.0f) * r2);
    ylm[10] = product2(C_F1, x, five_z2_minus_r2);
    ylm[11] = product2(C_F1, y, five_z2_minus_r2);
    ylm[12] = product2(C_F2, z, x2_minus_y2);
    ylm[13] = product3(C_F2S, x, y, z);
    ylm[14] = product2(C_F3, x, x2_minus_3y2);
    ylm[15] = product2(C_F3, y, three_x2_minus_y2);
    if (l_max < 4) return;

    const F32 seven_z2_minus_3r2 = k(7.0f) * z2 - k(3.0f) * r2;
    const F32 seven_z2_minus_r2 = k(7.0f) * z2 - r2;
    ylm[16] = product(C_G0, ((k(35.0f) * z2) * z2 - (k(30.0f) * z2) * r2) + k(3.0f) * (r2 * r2));
    ylm[17] = product3(C_G1, x, z, seven_z2_minus_3r2);
    ylm[18] = product3(C_G1, y, z, seven_z2_minus_3r2);
    ylm[19] = product2(C_G2, x2_minus_y2, seven_z2_minus_r2);
    ylm[20] = product3(C_G2S, x, y, seven_z2_minus_r2);
    ylm[21] = product3(C_G3, x, z, x2_minus_3y2);
    ylm[22] = product3(C_G3, y, z, three_x2_minus_y2);
    ylm[23] = product(C_G4, ((x2 * x2) - (k(6.0f) * x2) * y2) + y2 * y2);
    ylm[24] = product3(C_G4S, x, y, x2_minus_y2);
}

}  // namespace kernels
