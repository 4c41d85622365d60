// Orientation matrix of momentum_map from its three angles.
//
// With (s, c) the sine and cosine of the negated angles, Rz(t) has rows
// (c, s, 0), (-s, c, 0), (0, 0, 1) and Rx(t) has rows (1, 0, 0), (0, c, s),
// (0, -s, c); their product is written out below, every float32 product rounded
// left to right.
#include "momentum_map/orientation_matrix.h"

#include "common/angle_conversion.h"

namespace kernels {

OrientationMatrix orientation_matrix(float alpha, float beta, float gamma) {
    // The rotations are written with the sines of the negated angles.
    const SineCosine a = sine_cosine_of_degrees(-alpha);
    const SineCosine b = sine_cosine_of_degrees(-beta);
    const SineCosine g = sine_cosine_of_degrees(-gamma);
    const float sa = a.s, ca = a.c, sb = b.s, cb = b.c, sc = g.s, cc = g.c;

    OrientationMatrix M;
    M.m[0][0] = cc * ca - cb * sc * sa;
    M.m[0][1] = ca * sc + cb * cc * sa;
    M.m[0][2] = sa * sb;
    M.m[1][0] = -cc * sa - ca * cb * sc;
    M.m[1][1] = cb * cc * ca - sa * sc;
    M.m[1][2] = ca * sb;
    M.m[2][0] = sc * sb;
    M.m[2][1] = -cc * sb;
    M.m[2][2] = cb;
    return M;
}

}  // namespace kernels
