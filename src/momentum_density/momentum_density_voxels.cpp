// Momentum density of one or several orbitals on a regular 3D grid of momenta:
// per voxel d(k) = sum_o w_o |psi_o(k)|^2, with psi_o the plane-wave transform
// of orbital o (momentum_density_voxels.h).
//
// One call screens the shells of every orbital (per-orbital flags and their
// union), tabulates the radial factor of every shell in the union over
// 0..k_max, then sweeps the voxels, kz slowest and kx fastest.  Per voxel: one
// square root, one set of harmonics up to the largest degree in use, one joint
// sine and cosine per atom; per orbital and flagged shell the angular sum
// sum_m c_m Y_m, one table interpolation and the (-i)^l rule.  The sweep runs
// on the instruction-set path the call was given (voxel_sweep.h), a row's
// voxels side by side in the lanes of a vector.
#include "momentum_density/momentum_density_voxels.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "basis/basis_model.h"
#include "common/allocation.h"
#include "momentum_density/radial_table.h"
#include "momentum_density/voxel_sweep.h"

namespace kernels {
namespace {

// Number of voxels, or 0 when a dimension is not positive (nothing to clear or
// write) or the grid could not be held in memory at all.
uint64_t voxel_count(int32_t nx, int32_t ny, int32_t nz) {
    if (nx <= 0 || ny <= 0 || nz <= 0) return 0;
    uint64_t count = static_cast<uint64_t>(nx) * static_cast<uint64_t>(ny);
    if (__builtin_mul_overflow(count, static_cast<uint64_t>(nz), &count)) return 0;
    if (count > std::numeric_limits<size_t>::max() / sizeof(float)) return 0;
    return count;
}

// Block sizes come from non-negative 32-bit counts and are formed in 64 bits:
// (n_orbitals + 1) * n_shells < 2^62, 8 * n_atoms * lanes < 2^39 and
// n_shells * 1024 < 2^41 cannot overflow.  Where size_t is narrower, a size beyond it is asked
// for as the largest size_t, which the allocator refuses.
size_t block_size(uint64_t size) {
    if constexpr (sizeof(size_t) < sizeof(uint64_t)) {
        if (size > std::numeric_limits<size_t>::max()) return std::numeric_limits<size_t>::max();
    }
    return static_cast<size_t>(size);
}

// Scratch blocks of one call.
struct Scratch {
    uint8_t *shell_flags;  // n_orbitals + 1 rows of n_shells bytes; the last row is the union
    float *atom_phases;    // cos of every atom, then sin of every atom, on every lane
    float *radial_table;   // n_shells rows of RADIAL_SAMPLES samples, zero where unused
};

// Flags each shell of each orbital row (row n_orbitals: the union) and returns the
// largest degree in the union.  The walk runs over the shell index alone; a shell
// outside the data model (l outside 0..4, coefficients or primitives outside the
// arrays the counts describe) is never flagged.
int32_t screen_shells(int32_t n_orbitals, const float *mo_coeff, const BasisArrays &basis,
                      const BasisCounts &counts, uint8_t *shell_flags) {
    const int64_t n_shells = counts.n_shells > 0 ? counts.n_shells : 0;
    const int64_t row_length = counts.n_components > 0 ? counts.n_components : 0;
    uint8_t *union_row = shell_flags + static_cast<int64_t>(n_orbitals) * n_shells;
    if (n_shells > 0) std::memset(union_row, 0, static_cast<size_t>(n_shells));
    int32_t l_max = 0;
    for (int32_t o = 0; o < n_orbitals; ++o) {
        const float *row = mo_coeff + static_cast<int64_t>(o) * row_length;
        uint8_t *flags = shell_flags + static_cast<int64_t>(o) * n_shells;
        ShellCursor at;
        for (int32_t s = 0; s < counts.n_shells; ++s) {
            const int32_t l = basis.shell_l[s];
            const int32_t n_prim = basis.shell_n_prim[s];
            const bool active = shell_takes_part(at, l, n_prim, counts, row);
            flags[s] = active ? 1 : 0;
            if (active) {
                union_row[s] = 1;
                if (l > l_max) l_max = l;
            }
            at.advance(l, n_prim);
        }
    }
    return l_max;
}

// Fills the table rows of the shells in the union row; the others stay zero.
void fill_radial_table(const BasisArrays &basis, const BasisCounts &counts, const uint8_t *union_row,
                       float radial_step, float *radial_table) {
    ShellCursor at;
    for (int32_t s = 0; s < counts.n_shells; ++s) {
        const int32_t l = basis.shell_l[s];
        const int32_t n_prim = basis.shell_n_prim[s];
        if (union_row[s]) {
            // A flagged shell's primitives lie inside the arrays (screen_shells).
            const int32_t first = at.primitive_offset(n_prim);
            tabulate_shell_radial(l, basis.prim_exponent + first, basis.prim_coeff + first, n_prim,
                                  radial_step,
                                  radial_table + static_cast<int64_t>(s) * RADIAL_SAMPLES);
        }
        at.advance(l, n_prim);
    }
}

}  // namespace

void momentum_density_voxels(const simd::Dispatch &run, int32_t nx, int32_t ny, int32_t nz,
                             int32_t n_orbitals, const float *orbital_weight, const float *mo_coeff,
                             float kx_min, float ky_min, float kz_min, float k_step,
                             const BasisSet &basis, float *out_density) {
    const uint64_t n_voxels = voxel_count(nx, ny, nz);
    if (n_voxels != 0) std::memset(out_density, 0, static_cast<size_t>(n_voxels) * sizeof(float));
    if (n_orbitals <= 0) return;

    const BasisCounts &counts = basis.counts;
    const uint64_t n_shells = counts.n_shells > 0 ? static_cast<uint64_t>(counts.n_shells) : 0;
    const uint64_t n_atoms = basis.arrays.n_atoms > 0 ? static_cast<uint64_t>(basis.arrays.n_atoms) : 0;
    const uint64_t flag_rows = static_cast<uint64_t>(n_orbitals) + 1;

    Scratch scratch;
    scratch.shell_flags = static_cast<uint8_t *>(allocate(block_size(flag_rows * n_shells)));
    const uint64_t lanes = static_cast<uint64_t>(run.kernels->lanes);
    scratch.atom_phases = static_cast<float *>(allocate(block_size(8 * n_atoms * lanes)));
    scratch.radial_table = static_cast<float *>(
        allocate_zeroed(block_size(n_shells * RADIAL_SAMPLES), sizeof(float)));

    const bool have_scratch = scratch.shell_flags && scratch.atom_phases && scratch.radial_table;
    if (have_scratch) {
        const int32_t l_max =
            screen_shells(n_orbitals, mo_coeff, basis.arrays, counts, scratch.shell_flags);
        const float k_max = largest_grid_momentum(nx, ny, nz, kx_min, ky_min, kz_min, k_step);
        const float radial_step = radial_sample_step(k_max);
        fill_radial_table(basis.arrays, counts, scratch.shell_flags + n_orbitals * n_shells, radial_step,
                          scratch.radial_table);
        if (n_voxels != 0) {
            float *atom_sin = scratch.atom_phases + n_atoms * lanes;
            const VoxelSweep sweep{nx,       ny,     nz,     n_orbitals, orbital_weight,
                                   mo_coeff, kx_min, ky_min, kz_min,     k_step,
                                   &basis,   counts, scratch.shell_flags, scratch.atom_phases,
                                   atom_sin, scratch.radial_table,       l_max,
                                   radial_step,      out_density};
            run.kernels->sweep_voxels(sweep, run.vector_libm);
        }
    }

    std::free(scratch.radial_table);
    std::free(scratch.atom_phases);
    std::free(scratch.shell_flags);
    // Set again after the other blocks' allocation and release.
    if (!have_scratch) errno = ENOMEM;
}

}  // namespace kernels
