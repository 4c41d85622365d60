// The momentum density and the photoemission map are two views of the same
// |psi(k)|^2: on the sphere |k| = sqrt(2E) a voxel's density and the map's
// intensity at the same momentum (orientation angles 0) differ only by the
// interpolation of the density's radial table and by rounding.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <random>
#include <vector>

#include "libkernels.h"
#include "support/test_molecule.h"

TEST(MomentumDensityAndMap, AgreeOnTheSphereToTheTableError) {
    std::mt19937 rng(17);
    const kernels_test::Molecule m = kernels_test::random_molecule(rng, 3, 3, 4, 1.2f);
    const std::vector<float> mo = kernels_test::random_orbital(rng, m);
    // One grid for both: map row i and column j are the voxel's kx and ky.
    const int32_t n = 15;
    const float k_min = -2.1f, k_step = 0.3f;
    std::vector<float> volume(size_t(n) * n * n), map(size_t(n) * n);
    momentum_density(n, n, n, m.n_atoms(), m.shells_per_atom.data(), m.atom_x.data(), k_min, k_min,
                     k_min, k_step, m.atom_y.data(), m.atom_z.data(), m.shell_l.data(),
                     m.shell_n_prim.data(), m.prim_exponent.data(), m.prim_coeff.data(), mo.data(),
                     volume.data());
    double worst = 0.0, largest = 0.0;
    for (int iz = n / 2 + 1; iz < n; ++iz)  // kz > 0: the map's upper hemisphere
        for (int iy = 0; iy < n; ++iy)
            for (int ix = 0; ix < n; ++ix) {
                const float kx = ix * k_step + k_min, ky = iy * k_step + k_min, kz = iz * k_step + k_min;
                const float e_kin = 0.5f * ((kx * kx + ky * ky) + kz * kz);
                momentum_map(n, m.n_atoms(), m.shells_per_atom.data(), m.atom_x.data(), m.atom_y.data(),
                             m.atom_z.data(), e_kin, k_min, k_step, 0.0f, 0.0f, 0.0f, m.shell_l.data(),
                             m.shell_n_prim.data(), m.prim_exponent.data(), m.prim_coeff.data(),
                             mo.data(), map.data());
                const float voxel = volume[(size_t(iz) * n + iy) * n + ix], pixel = map[size_t(ix) * n + iy];
                worst = std::max(worst, std::fabs(double(voxel) - pixel));
                largest = std::max(largest, double(pixel));
            }
    std::printf("largest density-map difference: %.3g of the largest intensity\n", worst / largest);
    EXPECT_GT(largest, 0.0);
    EXPECT_LT(worst / largest, 1e-4);
}
