// Real solid harmonics to l = 4.  One routine serves both forms: the unit-vector
// form is the solid form with r^2 = 1, which leaves every bracket unchanged bit
// for bit ((30 z^2) * 1 = 30 z^2, 3 * (1 * 1) = 3).
#include "basis/real_harmonics.h"

namespace kernels {
namespace {

// Constants of the table, used exactly as written (several differ from the
// closed forms in the eighth digit; orbital coefficients expect these).
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

inline float product(double c, float a) { return static_cast<float>(c * a); }
inline float product(double c, float a, float b) {
    return static_cast<float>(c * static_cast<double>(a) * static_cast<double>(b));
}
inline float product(double c, float a, float b, float d) {
    return static_cast<float>(c * static_cast<double>(a) * static_cast<double>(b) *
                              static_cast<double>(d));
}

}  // namespace

void solid_harmonics(float x, float y, float z, float r2, int32_t l_max, float *ylm) {
    ylm[0] = Y00;
    if (l_max < 1) return;

    ylm[1] = product(C_P, z);
    ylm[2] = product(C_P, x);
    ylm[3] = product(C_P, y);
    if (l_max == 1) return;

    const float x2 = x * x;
    const float y2 = y * y;
    const float z2 = z * z;
    const float x2_minus_y2 = x2 - y2;
    ylm[4] = product(C_D0, 3.0f * z2 - r2);
    ylm[5] = product(C_D1, x, z);
    ylm[6] = product(C_D1, y, z);
    ylm[7] = product(C_D2, x2_minus_y2);
    ylm[8] = product(C_D1, x, y);
    if (l_max == 2) return;

    const float x2_minus_3y2 = x2 - 3.0f * y2;
    const float three_x2_minus_y2 = 3.0f * x2 - y2;
    const float five_z2_minus_r2 = 5.0f * z2 - r2;
    ylm[9] = product(C_F0, z, 5.0f * z2 - 3.0f * r2);
    ylm[10] = product(C_F1, x, five_z2_minus_r2);
    ylm[11] = product(C_F1, y, five_z2_minus_r2);
    ylm[12] = product(C_F2, z, x2_minus_y2);
    ylm[13] = product(C_F2S, x, y, z);
    ylm[14] = product(C_F3, x, x2_minus_3y2);
    ylm[15] = product(C_F3, y, three_x2_minus_y2);
    if (l_max < 4) return;

    const float seven_z2_minus_3r2 = 7.0f * z2 - 3.0f * r2;
    const float seven_z2_minus_r2 = 7.0f * z2 - r2;
    ylm[16] = product(C_G0, ((35.0f * z2) * z2 - (30.0f * z2) * r2) + 3.0f * (r2 * r2));
    ylm[17] = product(C_G1, x, z, seven_z2_minus_3r2);
    ylm[18] = product(C_G1, y, z, seven_z2_minus_3r2);
    ylm[19] = product(C_G2, x2_minus_y2, seven_z2_minus_r2);
    ylm[20] = product(C_G2S, x, y, seven_z2_minus_r2);
    ylm[21] = product(C_G3, x, z, x2_minus_3y2);
    ylm[22] = product(C_G3, y, z, three_x2_minus_y2);
    ylm[23] = product(C_G4, ((x2 * x2) - (6.0f * x2) * y2) + y2 * y2);
    ylm[24] = product(C_G4S, x, y, x2_minus_y2);
}

void real_harmonics(float x, float y, float z, int32_t l_max, float *ylm) {
    solid_harmonics(x, y, z, 1.0f, l_max, ylm);
}

}  // namespace kernels
