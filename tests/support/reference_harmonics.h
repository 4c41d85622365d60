// Real solid harmonics of degree 0..4 written out from their polynomials with
// no code shared with the library: the reference for the kernels' component
// order, signs, constants and roundings.
#pragma once

namespace kernels_test {

// Component c (0..2l) of degree l at the offset (x, y, z) with squared length
// r2: the squares and the polynomial bracket are formed in Real, the constant
// times the coordinate factors times the bracket in double, left to right.
// Real = float with the result rounded to float is the library's float32
// rounding; Real = double is the plain double value.
template <class Real>
double solid_harmonic_in(int l, int c, Real x, Real y, Real z, Real r2) {
    const Real x2 = x * x, y2 = y * y, z2 = z * z;
    const auto d = [](Real v) { return static_cast<double>(v); };
    switch (l * l + c) {
        case 0: return 0.2820948f;
        case 1: return 0.48860251190291992 * d(z);
        case 2: return 0.48860251190291992 * d(x);
        case 3: return 0.48860251190291992 * d(y);
        case 4: return 0.31539155959179921 * d(Real(3) * z2 - r2);
        case 5: return 1.0925484305920792 * d(x) * d(z);
        case 6: return 1.0925484305920792 * d(y) * d(z);
        case 7: return 0.54627421529603959 * d(x2 - y2);
        case 8: return 1.0925484305920792 * d(x) * d(y);
        case 9: return 0.37317632877825935 * d(z) * d(Real(5) * z2 - Real(3) * r2);
        case 10: return 0.45704579639229809 * d(x) * d(Real(5) * z2 - r2);
        case 11: return 0.45704579639229809 * d(y) * d(Real(5) * z2 - r2);
        case 12: return 1.4453057213202769 * d(z) * d(x2 - y2);
        case 13: return 2.8906114426405538 * d(x) * d(y) * d(z);
        case 14: return -0.59004361139937245 * d(x) * d(x2 - Real(3) * y2);
        case 15: return -0.59004361139937245 * d(y) * d(Real(3) * x2 - y2);
        case 16: return 0.10578554329759174 * d(((Real(35) * z2) * z2 - (Real(30) * z2) * r2) + Real(3) * (r2 * r2));
        case 17: return 0.6690465310246213 * d(x) * d(z) * d(Real(7) * z2 - Real(3) * r2);
        case 18: return 0.6690465310246213 * d(y) * d(z) * d(Real(7) * z2 - Real(3) * r2);
        case 19: return 0.47308734011966758 * d(x2 - y2) * d(Real(7) * z2 - r2);
        case 20: return 0.94617468023933515 * d(x) * d(y) * d(Real(7) * z2 - r2);
        case 21: return -1.7701307394854329 * d(x) * d(z) * d(x2 - Real(3) * y2);
        case 22: return -1.7701307394854329 * d(y) * d(z) * d(Real(3) * x2 - y2);
        case 23: return -0.62583573544917614 * d(((x2 * x2) - (Real(6) * x2) * y2) + y2 * y2);
        case 24: return -2.5033429417967046 * d(x) * d(y) * d(x2 - y2);
    }
    return 0;
}

// The double value at the offset (x, y, z).
inline double solid_harmonic(int l, int c, double x, double y, double z) {
    return solid_harmonic_in<double>(l, c, x, y, z, x * x + y * y + z * z);
}

// The float32 value the library's rounding gives, r2 as the caller formed it.
inline float solid_harmonic_f32(int l, int c, float x, float y, float z, float r2) {
    return static_cast<float>(solid_harmonic_in<float>(l, c, x, y, z, r2));
}

}  // namespace kernels_test
