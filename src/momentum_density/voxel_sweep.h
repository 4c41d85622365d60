// The voxel loop of the momentum density engine and its instruction-set
// instances.  The engine prepares one call (shell flags, radial table, range of
// the grid) into a VoxelSweep and hands it to the instance of the path chosen
// for the call; every instance computes the same bits (voxel_sweep_lanes.h).
#pragma once

#include <cstdint>

#include "basis/basis_model.h"
#include "momentum_density/basis_set.h"

namespace kernels {

// A k^2 at or below this is treated as k = 0: the direction is the zero vector.
constexpr float ZERO_MOMENTUM_SQUARED = 1e-12f;

// Everything the voxel loop reads and writes in one call.
struct VoxelSweep {
    int32_t nx, ny, nz;  // all positive
    int32_t n_orbitals;  // positive
    const float *orbital_weight;  // may be null: every weight 1
    const float *mo_coeff;
    float kx_min, ky_min, kz_min, k_step;
    const BasisSet *basis;
    BasisCounts counts;
    // n_orbitals rows of n_shells flags (a row per orbital; the union row after
    // them is not read here).
    const uint8_t *shell_flags;
    // Room for the cos and the sin of every atom on every lane of the
    // instance: atom a's at [a * lanes, (a + 1) * lanes) of each.
    float *atom_cos;
    float *atom_sin;
    const float *radial_table;  // n_shells rows of RADIAL_SAMPLES samples
    int32_t l_max;              // largest degree flagged for any orbital
    float radial_step;
    float *out_density;
};

}  // namespace kernels
