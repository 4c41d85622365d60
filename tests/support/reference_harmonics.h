// Real solid harmonics of degree 0..4 in double, written out from their
// polynomials with no code shared with the library: the reference for the
// kernels' component order, signs and constants.
#pragma once

namespace kernels_test {

// Component c (0..2l) of degree l at the offset (x, y, z).
inline double solid_harmonic(int l, int c, double x, double y, double z) {
    const double x2 = x * x, y2 = y * y, z2 = z * z, r2 = x2 + y2 + z2;
    switch (l * l + c) {
        case 0: return 0.2820948f;
        case 1: return 0.48860251190291992 * z;
        case 2: return 0.48860251190291992 * x;
        case 3: return 0.48860251190291992 * y;
        case 4: return 0.31539155959179921 * (3 * z2 - r2);
        case 5: return 1.0925484305920792 * x * z;
        case 6: return 1.0925484305920792 * y * z;
        case 7: return 0.54627421529603959 * (x2 - y2);
        case 8: return 1.0925484305920792 * x * y;
        case 9: return 0.37317632877825935 * z * (5 * z2 - 3 * r2);
        case 10: return 0.45704579639229809 * x * (5 * z2 - r2);
        case 11: return 0.45704579639229809 * y * (5 * z2 - r2);
        case 12: return 1.4453057213202769 * z * (x2 - y2);
        case 13: return 2.8906114426405538 * x * y * z;
        case 14: return -0.59004361139937245 * x * (x2 - 3 * y2);
        case 15: return -0.59004361139937245 * y * (3 * x2 - y2);
        case 16: return 0.10578554329759174 * (35 * z2 * z2 - 30 * z2 * r2 + 3 * r2 * r2);
        case 17: return 0.6690465310246213 * x * z * (7 * z2 - 3 * r2);
        case 18: return 0.6690465310246213 * y * z * (7 * z2 - 3 * r2);
        case 19: return 0.47308734011966758 * (x2 - y2) * (7 * z2 - r2);
        case 20: return 0.94617468023933515 * x * y * (7 * z2 - r2);
        case 21: return -1.7701307394854329 * x * z * (x2 - 3 * y2);
        case 22: return -1.7701307394854329 * y * z * (3 * x2 - y2);
        case 23: return -0.62583573544917614 * (x2 * x2 - 6 * x2 * y2 + y2 * y2);
        case 24: return -2.5033429417967046 * x * y * (x2 - y2);
    }
    return 0;
}

}  // namespace kernels_test
