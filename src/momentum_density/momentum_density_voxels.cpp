// Momentum density of one or several orbitals on a regular 3D grid of momenta:
// per voxel d(k) = sum_o w_o |psi_o(k)|^2, with psi_o the plane-wave transform
// of orbital o (momentum_density_voxels.h).
//
// One call screens the shells of every orbital (per-orbital flags and their
// union), tabulates the radial factor of every shell in the union over
// 0..k_max, then sweeps the voxels, kz slowest and kx fastest.  Per voxel: one
// square root, one set of harmonics up to the largest degree in use, one joint
// sine and cosine per atom; per orbital and flagged shell the angular sum
// sum_m c_m Y_m, one table interpolation and the (-i)^l rule.
#include "momentum_density/momentum_density_voxels.h"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "basis/basis_model.h"
#include "basis/real_harmonics.h"
#include "momentum_density/radial_table.h"

namespace kernels {
namespace {

// A k^2 at or below this is treated as k = 0: the direction is the zero vector.
constexpr float ZERO_MOMENTUM_SQUARED = 1e-12f;

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
// (n_orbitals + 1) * n_shells < 2^62, 8 * n_atoms < 2^35 and n_shells * 1024
// < 2^41 cannot overflow.  Where size_t is narrower, a size beyond it is asked
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
    float *atom_phases;    // cos of every atom, then sin of every atom, at the current voxel
    float *radial_table;   // n_shells rows of RADIAL_SAMPLES samples, zero where unused
};

// Flags each shell of each orbital row (row n_orbitals: the union) and returns the
// largest degree in the union.  The walk runs over the shell index alone; a shell
// outside the data model (l outside 0..4, coefficients or primitives outside the
// arrays the counts describe) is never flagged.
int32_t screen_shells(int32_t n_orbitals, const float *mo_coeff, const BasisSet &basis,
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
void fill_radial_table(const BasisSet &basis, const BasisCounts &counts, const uint8_t *union_row,
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

// Complex amplitude psi_o(k) = a + i b of one orbital at the current voxel.
struct Amplitude {
    float re;
    float im;
};

// Walks the atoms with a running shell index and component offset; an atom with
// no shells adds nothing and moves neither.  Each flagged shell adds
// (-i)^l rho S, with S the angular sum of its coefficients, to the atom's sum,
// which is then turned by the atom's plane-wave factor e^{-i k.R}.
Amplitude orbital_amplitude(const BasisSet &basis, const BasisCounts &counts,
                            const BasisArrays &arrays, const uint8_t *flags, const float *row,
                            const float *ylm, const float *radial_table, TablePosition at_k,
                            const float *cos_phase, const float *sin_phase) {
    float a = 0.0f;
    float b = 0.0f;
    ShellCursor at;
    for (int32_t atom = 0; atom < basis.n_atoms; ++atom) {
        if (basis.shells_per_atom[atom] <= 0) continue;
        const int32_t n_atom_shells = shells_of_atom(arrays, counts, atom, at);
        float re = 0.0f;
        float im = 0.0f;
        for (int32_t j = 0; j < n_atom_shells; ++j) {
            const int32_t s = at.shell;
            const int32_t l = basis.shell_l[s];
            if (flags[s]) {
                const float *coeffs = row + at.comp;
                const float *harmonics = ylm + SHELL_START[l];
                float angular = 0.0f;
                for (int32_t m = 0; m <= 2 * l; ++m) angular = angular + coeffs[m] * harmonics[m];
                const float rho = interpolate_radial(
                    radial_table + static_cast<int64_t>(s) * RADIAL_SAMPLES, at_k);
                const float v = rho * angular;
                // (-i)^l applied to the accumulators directly: subtracting v,
                // not adding the pair of times_minus_i_power, keeps a NaN's sign
                // bit and leaves the other part untouched.
                switch (l & 3) {
                    case 0: re = re + v; break;
                    case 1: im = im - v; break;
                    case 2: re = re - v; break;
                    default: im = im + v; break;
                }
            }
            at.advance(l, basis.shell_n_prim[s]);
        }
        const float c = cos_phase[atom];
        const float sn = sin_phase[atom];
        a = a + (c * re + im * sn);
        b = b + (c * im - sn * re);
    }
    return {a, b};
}

void compute_voxels(int32_t nx, int32_t ny, int32_t nz, int32_t n_orbitals,
                    const float *orbital_weight, const float *mo_coeff, float kx_min, float ky_min,
                    float kz_min, float k_step, const BasisSet &basis, const BasisCounts &counts,
                    const Scratch &scratch, int32_t l_max, float radial_step, float *out_density) {
    const BasisArrays arrays{basis.n_atoms,      basis.shells_per_atom, basis.atom_x,
                             basis.atom_y,       basis.atom_z,          basis.shell_l,
                             basis.shell_n_prim, basis.prim_exponent,   basis.prim_coeff};
    const int64_t n_shells = counts.n_shells > 0 ? counts.n_shells : 0;
    const int64_t row_length = counts.n_components > 0 ? counts.n_components : 0;
    const int32_t n_atoms = basis.n_atoms > 0 ? basis.n_atoms : 0;
    float *cos_phase = scratch.atom_phases;
    float *sin_phase = scratch.atom_phases + n_atoms;
    float ylm[HARMONIC_COUNT] = {};

    for (int32_t iz = 0; iz < nz; ++iz) {
        const float kz = static_cast<float>(iz) * k_step + kz_min;
        for (int32_t iy = 0; iy < ny; ++iy) {
            const float ky = static_cast<float>(iy) * k_step + ky_min;
            for (int32_t ix = 0; ix < nx; ++ix) {
                const float kx = static_cast<float>(ix) * k_step + kx_min;
                const float k2 = (kx * kx + ky * ky) + kz * kz;
                const float kn = std::sqrt(k2);
                float ux = 0.0f, uy = 0.0f, uz = 0.0f;
                if (k2 > ZERO_MOMENTUM_SQUARED) {
                    const float inv = 1.0f / kn;
                    ux = kx * inv;
                    uy = ky * inv;
                    uz = kz * inv;
                }
                const TablePosition at_k = table_position(kn, radial_step);

                ylm[0] = Y00;
                if (l_max >= 1) real_harmonics(ux, uy, uz, l_max, ylm);

                for (int32_t atom = 0; atom < n_atoms; ++atom) {
                    const float phase = basis.atom_z[atom] * kz +
                                        (basis.atom_x[atom] * kx + basis.atom_y[atom] * ky);
                    ::sincosf(phase, &sin_phase[atom], &cos_phase[atom]);
                }

                float density = 0.0f;
                for (int32_t o = 0; o < n_orbitals; ++o) {
                    const Amplitude psi = orbital_amplitude(
                        basis, counts, arrays, scratch.shell_flags + static_cast<int64_t>(o) * n_shells,
                        mo_coeff + static_cast<int64_t>(o) * row_length, ylm, scratch.radial_table,
                        at_k, cos_phase, sin_phase);
                    const float weight = orbital_weight ? orbital_weight[o] : 1.0f;
                    density = density + (psi.re * psi.re + psi.im * psi.im) * weight;
                }
                out_density[(static_cast<int64_t>(iz) * ny + iy) * nx + ix] = density;
            }
        }
    }
}

}  // namespace

void momentum_density_voxels(int32_t nx, int32_t ny, int32_t nz, int32_t n_orbitals,
                             const float *orbital_weight, const float *mo_coeff, float kx_min,
                             float ky_min, float kz_min, float k_step, const BasisSet &basis,
                             float *out_density) {
    const uint64_t n_voxels = voxel_count(nx, ny, nz);
    if (n_voxels != 0) std::memset(out_density, 0, static_cast<size_t>(n_voxels) * sizeof(float));
    if (n_orbitals <= 0) return;

    const BasisCounts counts{basis.n_shells, basis.n_components,
                             count_primitives(basis.n_shells, basis.shell_n_prim)};
    const uint64_t n_shells = counts.n_shells > 0 ? static_cast<uint64_t>(counts.n_shells) : 0;
    const uint64_t n_atoms = basis.n_atoms > 0 ? static_cast<uint64_t>(basis.n_atoms) : 0;
    const uint64_t flag_rows = static_cast<uint64_t>(n_orbitals) + 1;

    Scratch scratch;
    scratch.shell_flags = static_cast<uint8_t *>(std::malloc(block_size(flag_rows * n_shells)));
    scratch.atom_phases = static_cast<float *>(std::malloc(block_size(8 * n_atoms)));
    scratch.radial_table = static_cast<float *>(
        std::calloc(block_size(n_shells * RADIAL_SAMPLES), sizeof(float)));

    if (scratch.shell_flags && scratch.atom_phases && scratch.radial_table) {
        const int32_t l_max =
            screen_shells(n_orbitals, mo_coeff, basis, counts, scratch.shell_flags);
        const float k_max = largest_grid_momentum(nx, ny, nz, kx_min, ky_min, kz_min, k_step);
        const float radial_step = radial_sample_step(k_max);
        fill_radial_table(basis, counts, scratch.shell_flags + n_orbitals * n_shells, radial_step,
                          scratch.radial_table);
        if (n_voxels != 0)
            compute_voxels(nx, ny, nz, n_orbitals, orbital_weight, mo_coeff, kx_min, ky_min,
                           kz_min, k_step, basis, counts, scratch, l_max, radial_step,
                           out_density);
    }

    std::free(scratch.radial_table);
    std::free(scratch.atom_phases);
    std::free(scratch.shell_flags);
}

}  // namespace kernels
