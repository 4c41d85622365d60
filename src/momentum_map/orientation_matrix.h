// Orientation of the molecule under the photoemission experiment: the float32
// matrix M that turns a lab-frame momentum into the molecule's frame,
//
//   M = Rz(alpha) Rx(beta) Rz(gamma),
//
// with Rz and Rx counter-clockwise rotations.  Each row of M is one of the
// molecule's axes seen from the lab.
#pragma once

namespace kernels {

struct OrientationMatrix {
    float m[3][3];  // m[r][c]: molecule component r from lab component c
};

// Angles in degrees.  Sines and cosines are taken in double of the negated angle
// times 0.01745329252 and rounded to float32; the entries are float32 products.
OrientationMatrix orientation_matrix(float alpha, float beta, float gamma);

}  // namespace kernels
