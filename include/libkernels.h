/*
 * libkernels — photoemission momentum maps, real-space orbitals and momentum
 * densities of molecular orbitals given in a contracted Gaussian basis.
 *
 * Units: positions in bohr, Gaussian exponents in bohr^-2, momenta in bohr^-1,
 * kinetic energies in hartree, angles in degrees.  Everything is float32.
 *
 * Arithmetic: float32, each operation rounded on its own in the order the
 * function's comment (and the source) gives, never fused or reordered, with
 * the platform's expf, sincosf, powf and sqrtf; a few documented steps are
 * double (angle conversions, the harmonics' constant products, the circular
 * helicities).  The results are therefore reproducible to the bit.  The
 * kernels that run on vector units (momentum_map, polarisation_factor,
 * scalar_field, charge_density_sum, momentum_density, momentum_density_sum,
 * rotation, symmetrisation) run AVX-512, AVX2+FMA or scalar code (see
 * "Instruction sets") and return the scalar code's bits on each, NaNs
 * included, except that where two NaNs of different payloads meet (rotation's
 * interpolation and the sums of symmetrisation) the payload that survives may
 * differ: such an element is a NaN on every path.  Measured against the same formulas evaluated exactly
 * in double precision, maps and real-space fields agree to about 1e-6 of
 * their largest value; for the momentum densities see momentum_density.
 *
 * Normalisation: psi(k) = integral psi(r) e^{-i k.r} d^3r / pi^{3/2}, so that
 * momentum maps and momentum densities are |psi(k)|^2 without the constant
 * pi^3: a normalised orbital's momentum density integrates to 8 over k (in
 * bohr^-3), and divided by 8 it is the probability density of k.
 *
 * Basis arrays (shared by every orbital function):
 *   n_atoms                      number of atoms
 *   shells_per_atom[n_atoms]     shells on each atom; shells are listed atom by atom
 *   atom_x/y/z[n_atoms]          atom positions
 *   shell_l[n_shells]            angular momentum of each shell, 0..4
 *   shell_n_prim[n_shells]       primitives of each shell
 *   prim_exponent[n_prims]       exponents, listed shell by shell
 *   prim_coeff[n_prims]          contraction coefficients, used unchanged (fold any
 *                                normalisation into them)
 *   mo_coeff                     one orbital row of n_components values, or a row-major
 *                                matrix of n_orbitals such rows
 * where n_shells = sum(shells_per_atom), n_prims = sum(shell_n_prim) and
 * n_components = sum(2*shell_l + 1).  Shell s of degree l owns 2l+1 consecutive
 * coefficients; its component c multiplies the real solid harmonic l*l + c in the
 * order m = 0, +1, -1, +2, -2, ... (cosine-type before sine-type), e.g. for p shells
 * the order is (z, x, y).  The harmonics are real and normalised on the unit
 * sphere (the integral of Y^2 over directions is 1), with these signs and
 * constants (r^2 = x^2 + y^2 + z^2; the constants are used as written, some
 * differing from the closed forms in the eighth digit):
 *   l = 0: 0.2820948
 *   l = 1: C z, C x, C y                                   C = 0.48860251
 *   l = 2: 0.31539156 (3z^2 - r^2), 1.0925484 xz, 1.0925484 yz,
 *          0.54627422 (x^2 - y^2), 1.0925484 xy
 *   l = 3: 0.37317633 z(5z^2 - 3r^2), 0.45704580 x(5z^2 - r^2),
 *          0.45704580 y(5z^2 - r^2), 1.4453057 z(x^2 - y^2), 2.8906114 xyz,
 *          -0.59004361 x(x^2 - 3y^2), -0.59004361 y(3x^2 - y^2)
 *   l = 4: 0.10578554 (35z^4 - 30z^2 r^2 + 3r^4), 0.66904653 xz(7z^2 - 3r^2),
 *          0.66904653 yz(7z^2 - 3r^2), 0.47308734 (x^2 - y^2)(7z^2 - r^2),
 *          0.94617468 xy(7z^2 - r^2), -1.7701307 xz(x^2 - 3y^2),
 *          -1.7701307 yz(3x^2 - y^2), -0.62583574 (x^4 - 6x^2 y^2 + y^4),
 *          -2.5033429 xy(x^2 - y^2)
 * (the components with |m| = 3 and 4 carry a minus sign).  The real-space
 * kernels use these solid forms on the offset from the atom; the momentum
 * kernels use them on the unit vector k/|k| times the radial factor.
 *
 * Layouts: a map is n*n floats, row-major, element (i, j) at i*n + j, with row i at
 * kx = k_min + i*k_step and column j at ky = k_min + j*k_step.  A 3D grid holds
 * nx*ny*nz floats, point (i, j, k) at (k*ny + j)*nx + i (x fastest).
 *
 * Memory: the caller allocates every output array, which each call overwrites.
 * rotation, flip_over_x and flip_over_y return a new n*n map that the caller
 * releases with free(); they return NULL when memory cannot be had.  A kernel
 * that cannot obtain its scratch memory leaves its output cleared to zeros
 * (symmetrisation leaves the map unchanged; the sums go on without the orbital
 * concerned, see each function) and errno is ENOMEM when it returns, as after
 * a NULL from rotation or the flips.  That is the one error reported: set
 * errno to 0 before a call and test it for ENOMEM afterwards (other values,
 * e.g. EDOM from a libm function given an infinite angle, carry no meaning).
 * The library starts no threads and is reentrant: calls may run concurrently
 * as long as no call writes an array that another call reads or writes.  It
 * keeps no state between calls but the instruction-set path, chosen once per
 * process (below), which cannot change a result.
 *
 * Instruction sets: every kernel runs on the widest path of the CPU (AVX-512
 * F+DQ, AVX2+FMA or scalar) and returns the same bits on each; the vector expf
 * and sincosf are used only where the platform's libm is the variant they
 * reproduce.  Both are found out once per process, on the first call of a
 * kernel that runs on vector units (thread-safely), since neither the CPU nor
 * the loaded libm changes while it runs.  The AVX-512 path is on unless the
 * library was built with -DKERNELS_ENABLE_AVX512=OFF; it was checked on
 * AVX-512 hardware over all 2^32 inputs of expf and sincosf, by the path
 * tests, and against an independent implementation of all twelve functions.
 * Re-check a build with `ctest -L exhaustive` and `ctest -R 'Path|avx512'`.
 *
 * Nothing is validated.  Out-of-range input is handled without touching memory
 * outside the arrays the counts describe:
 *   - a shell with l < 0 or l > 4 contributes nothing (its 2l+1 coefficients still
 *     move the offsets of later shells);
 *   - a shell whose coefficients or primitives would lie outside the arrays that
 *     the counts describe (possible only with negative l or negative primitive
 *     counts) contributes nothing;
 *   - shells beyond sum(shells_per_atom) are never read.
 */
#ifndef LIBKERNELS_H
#define LIBKERNELS_H

#include <stdint.h>

/* Version of this interface (the build reads it from here). */
#define LIBKERNELS_VERSION_MAJOR 0
#define LIBKERNELS_VERSION_MINOR 1
#define LIBKERNELS_VERSION_PATCH 0

/* Mode arguments (int32_t parameters).  polarisation_mode of
 * polarisation_factor and momentum_map_sum; any value other than LINEAR and
 * CIRCULAR selects RADIAL. */
#define LIBKERNELS_POLARISATION_LINEAR 0
#define LIBKERNELS_POLARISATION_CIRCULAR 1
#define LIBKERNELS_POLARISATION_RADIAL 2
/* circular_mode, read with LIBKERNELS_POLARISATION_CIRCULAR: the helicities
 * (e_p + i e_s)/sqrt2 and (e_p - i e_s)/sqrt2, or (any other value) the
 * dichroism, MINUS less PLUS. */
#define LIBKERNELS_CIRCULAR_PLUS 0
#define LIBKERNELS_CIRCULAR_MINUS 1
#define LIBKERNELS_CIRCULAR_DICHROISM 2
/* symmetry_mode of symmetrisation and momentum_map_sum; any value other than
 * NONE, FOURFOLD and TWOFOLD selects THREEFOLD. */
#define LIBKERNELS_SYMMETRY_NONE (-1)
#define LIBKERNELS_SYMMETRY_FOURFOLD 0
#define LIBKERNELS_SYMMETRY_TWOFOLD 1
#define LIBKERNELS_SYMMETRY_THREEFOLD 2

#if defined(LIBKERNELS_BUILDING)
#define LIBKERNELS_API __attribute__((visibility("default")))
#else
#define LIBKERNELS_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Photoemission momentum maps ---------------------------------------- */

/* Momentum map of one orbital: out_map[i*n + j] = |psi(k')|^2 at the point of the
 * hemisphere |k| = sqrt(2 e_kin) above (kx, ky), with k' the lab momentum turned
 * into the molecule's frame by Rz(orient_alpha) Rx(orient_beta) Rz(orient_gamma).
 * Pixels outside the disc kx^2 + ky^2 <= 2 e_kin are 0.  e_kin <= 0 gives an
 * all-zero map (there is no hemisphere); a NaN e_kin gives a NaN map (all zero when
 * no shell is active).  out_map holds n*n floats.  psi(k') is the orbital's
 * transform without pi^{3/2} (see Normalisation above); the map is float32 to
 * about 1e-6 of its largest value.  Scratch: one block per call; without it
 * the map is cleared (errno ENOMEM). */
LIBKERNELS_API void momentum_map(int32_t n, int32_t n_atoms, const int32_t *shells_per_atom,
                                 const float *atom_x, const float *atom_y, const float *atom_z,
                                 float e_kin, float k_min, float k_step, float orient_alpha,
                                 float orient_beta, float orient_gamma, const int32_t *shell_l,
                                 const int32_t *shell_n_prim, const float *prim_exponent,
                                 const float *prim_coeff, const float *mo_coeff, float *out_map);

/* Multiplies a momentum map in place by the light-polarisation factor on the same
 * grid.  polarisation_mode: LIBKERNELS_POLARISATION_LINEAR (s share in percent),
 * LIBKERNELS_POLARISATION_CIRCULAR (circular_mode: LIBKERNELS_CIRCULAR_PLUS,
 * _MINUS or _DICHROISM) or, any other value, LIBKERNELS_POLARISATION_RADIAL.
 * Pixels outside the hemisphere become 0.  Angles in degrees: incidence from
 * the surface normal, azimuth of the plane of incidence from kx.  float32
 * throughout except the circular helicities' final sum (double).  Allocates
 * nothing. */
LIBKERNELS_API void polarisation_factor(int32_t n, int32_t polarisation_mode, int32_t circular_mode,
                                        float *map, float e_kin, float k_min, float k_step,
                                        float incidence_angle, float azimuth_angle,
                                        float s_share_percent, float kz_imaginary);

/* Weighted sum over orbitals of symmetrised (and optionally polarisation-weighted)
 * momentum maps.  Row o of mo_coeff (n_components floats) is orbital o with kinetic
 * energy orbital_e_kin[o]; orbitals with e_kin <= 0 are skipped.  orbital_weight may
 * be NULL (all weights 1); orbital_kz_imaginary is read only when use_polarisation
 * is non-zero.  symmetry_mode and the polarisation modes as for symmetrisation
 * and polarisation_factor (LIBKERNELS_SYMMETRY_*, LIBKERNELS_POLARISATION_*,
 * LIBKERNELS_CIRCULAR_*).  n <= 0 leaves out_map untouched; when the scratch map
 * cannot be had out_map is left cleared.  When a called function runs out of
 * memory the sum goes on (that orbital's map is zero, or unsymmetrised); either
 * way errno is ENOMEM on return. */
LIBKERNELS_API void momentum_map_sum(
    int32_t n_orbitals, const float *orbital_e_kin, const float *orbital_weight,
    const float *mo_coeff, int32_t n, int32_t symmetry_mode, float k_min, float k_step,
    float orient_alpha, float orient_beta, float orient_gamma, float incidence_angle,
    float azimuth_angle, float s_share_percent, int32_t use_polarisation, int32_t polarisation_mode,
    int32_t circular_mode, const float *orbital_kz_imaginary, int32_t n_atoms,
    const int32_t *shells_per_atom, const float *atom_x, const float *atom_y, const float *atom_z,
    const int32_t *shell_l, const int32_t *shell_n_prim, const float *prim_exponent,
    const float *prim_coeff, float *out_map);

/* ---- Real-space fields --------------------------------------------------- */

/* One orbital (one row of mo_coeff) on the real-space grid x = x_min + i*grid_step
 * (likewise y, z).  out_grid holds nx*ny*nz floats, point (i, j, k) at
 * (k*ny + j)*nx + i; it is overwritten.  Each atom visits only the box of grid
 * indices around its cut-off sphere (r^2 <= 29.933607 / smallest exponent of its
 * active shells).  When a bound of that box cannot be formed as an int32 (NaN,
 * infinite or beyond 2^31 steps, as from a zero exponent, a zero grid_step or a
 * huge radius) the box is clamped to the grid: a NaN or too-small lower bound
 * becomes 0, a NaN or too-large upper bound n-1, and the distance tests decide
 * point by point, so a zero exponent or a zero grid_step still gives the field
 * the formula gives.  A negative grid_step runs the grid backwards and the box
 * follows it.  An atom whose smallest active exponent is negative has no cut-off
 * sphere and contributes nothing.  A dimension <= 0 means nothing is written.
 * When memory cannot be had, out_grid is cleared (errno ENOMEM).  float32 to
 * about 1e-6 of the field's largest value. */
LIBKERNELS_API void scalar_field(int32_t nx, int32_t ny, int32_t nz, int32_t n_atoms,
                                 const int32_t *shells_per_atom, const float *atom_x, float x_min,
                                 float y_min, float z_min, float grid_step, const float *atom_y,
                                 const float *atom_z, const int32_t *shell_l,
                                 const int32_t *shell_n_prim, const float *prim_exponent,
                                 const float *prim_coeff, const float *mo_coeff, float *out_grid);

/* Weighted charge density sum_o w_o psi_o^2 on the grid of scalar_field, summed
 * in orbital order.  Row o of mo_coeff starts at o*n_components.  orbital_weight
 * may be NULL (all weights 1).  When the scratch grid cannot be had, out_grid is
 * left cleared; an orbital whose own evaluation cannot get memory adds nothing
 * and the sum goes on.  Either way errno is ENOMEM on return. */
LIBKERNELS_API void charge_density_sum(int32_t nx, int32_t ny, int32_t nz, int32_t n_orbitals,
                                       const float *orbital_weight, const float *mo_coeff,
                                       float x_min, float y_min, float z_min, float grid_step,
                                       int32_t n_atoms, const int32_t *shells_per_atom,
                                       const float *atom_x, const float *atom_y,
                                       const float *atom_z, const int32_t *shell_l,
                                       const int32_t *shell_n_prim, const float *prim_exponent,
                                       const float *prim_coeff, float *out_grid);

/* ---- Momentum densities -------------------------------------------------- */

/* |psi(k)|^2 of one orbital on the momentum grid kx = kx_min + i*k_step (likewise
 * ky, kz); out_density holds nx*ny*nz floats, (i, j, k) at (k*ny + j)*nx + i.
 * The radial factor of each shell is tabulated at 1024 points from |k| = 0 to the
 * grid's largest |k| and interpolated linearly.  The interpolation dominates
 * the error, which therefore grows with the grid's largest |k| (k_max), not
 * with the grid's own step: measured against the exact double-precision
 * density, about 5e-6 of the largest value for a grid reaching 3 A^-1
 * (1.6 bohr^-1), 1e-4 at 12 bohr^-1 and 3e-4 at 24 bohr^-1.  As a rule of
 * thumb the error stays below 1.3e-5 * k_max (k_max in bohr^-1): let the grid
 * reach no further than the density matters.  Values are |psi(k)|^2 without
 * pi^3 (they integrate to 8 for a normalised orbital).  Outside the contract:
 * a grid whose every voxel is at k = 0 (one voxel per axis or k_step = 0,
 * minima 0) gets the radial values at k = 0; a dimension <= 0 writes nothing;
 * non-finite grid coordinates are not rejected and give non-finite values,
 * never an access outside the arrays.  Scratch: three blocks per call; without
 * them the output is cleared (errno ENOMEM). */
LIBKERNELS_API void momentum_density(int32_t nx, int32_t ny, int32_t nz, int32_t n_atoms,
                                     const int32_t *shells_per_atom, const float *atom_x,
                                     float kx_min, float ky_min, float kz_min, float k_step,
                                     const float *atom_y, const float *atom_z,
                                     const int32_t *shell_l, const int32_t *shell_n_prim,
                                     const float *prim_exponent, const float *prim_coeff,
                                     const float *mo_coeff, float *out_density);

/* sum_o w_o |psi_o(k)|^2 on the grid of momentum_density; orbital_weight may be
 * NULL (all weights 1).  Note the parameter order differs from momentum_density:
 * the orbital data come right after the grid dimensions.  n_orbitals <= 0 leaves
 * the output all zero; accuracy, memory and out-of-contract grids as for
 * momentum_density. */
LIBKERNELS_API void momentum_density_sum(int32_t nx, int32_t ny, int32_t nz, int32_t n_orbitals,
                                         const float *orbital_weight, const float *mo_coeff,
                                         float kx_min, float ky_min, float kz_min, float k_step,
                                         int32_t n_atoms, const int32_t *shells_per_atom,
                                         const float *atom_x, const float *atom_y,
                                         const float *atom_z, const int32_t *shell_l,
                                         const int32_t *shell_n_prim, const float *prim_exponent,
                                         const float *prim_coeff, float *out_density);

/* ---- Map post-processing ------------------------------------------------- */

/* Maps below are n*n floats, row-major; n*n is formed in 64 bits.  The three
 * functions that return a map allocate n*n*4 bytes with malloc (the caller
 * releases the block with free) and return NULL when it cannot be had; a side
 * whose n*n*4 bytes do not fit in size_t (n = INT32_MIN) returns NULL without
 * allocating.  For n <= 0 they read and write no element and return the block
 * as malloc gave it (n*n*4 bytes: for a negative n as many as for -n, left
 * uninitialised). */

/* New n*n map: the map turned by angle degrees about its centre, the content
 * moving from the row axis towards the column axis (at 90 degrees source (r, s)
 * lands at (n-1-s, r)).  Exactly 90, 180 and 270 copy pixels bit for bit; every
 * other angle (0, 360, -90, NaN, ...) interpolates bilinearly in float32, with
 * the angle converted to radians in double and its sine and cosine taken in
 * float32.  Pixels whose source lies in the last row or column, or outside the
 * map, are 0 (so n = 1 and a NaN angle give zeros).  Release with free(); NULL
 * (errno ENOMEM) on failure. */
LIBKERNELS_API float *rotation(int32_t n, const float *map, float angle);

/* New n*n map with the rows in reverse order (bit copies: NaNs, infinities and
 * signed zeros pass unchanged).  Release with free(); NULL on failure. */
LIBKERNELS_API float *flip_over_x(int32_t n, const float *map);

/* New n*n map with every row reversed (bit copies).  Release with free(); NULL
 * on failure. */
LIBKERNELS_API float *flip_over_y(int32_t n, const float *map);

/* Replaces the map in place by its average over a rotation-and-mirror group:
 * symmetry_mode LIBKERNELS_SYMMETRY_NONE, _FOURFOLD with mirrors (16 terms),
 * _TWOFOLD with a mirror (4 terms) or, any other value, _THREEFOLD with a
 * mirror (6 terms).  The rotations are those of rotation(), edge rule
 * included, so edge pixels move towards 0.  Holds at most two scratch maps at
 * a time and leaves the map unchanged (errno ENOMEM) when any of them cannot
 * be had.  A negative n describes no map: the
 * call returns at once, allocating nothing and leaving the array untouched. */
LIBKERNELS_API void symmetrisation(int32_t n, int32_t symmetry_mode, float *map);

/* Scales the map in place by the float32 factor 255 / max, so that its largest
 * element becomes 255 up to the rounding of the factor.  The maximum is taken
 * over elements greater than 0 (negative elements and NaNs never become it); a
 * map with no positive element is left unchanged.  A maximum below 255 / FLT_MAX
 * (about 7.5e-37), for which that factor would overflow, is handled by scaling
 * every element by 2^64 first (exact), then by 255 / (2^64 max), so the map
 * never turns into inf and NaN.  The map is the flat run of
 * n*n elements (64-bit count), so a negative n scales as many elements as -n,
 * the length rotation() and the flips give a map of that side; n = INT32_MIN,
 * whose n*n floats cannot exist in memory, touches nothing. */
LIBKERNELS_API void normalisation(int32_t n, float *map);

#ifdef __cplusplus
}
#endif

#endif /* LIBKERNELS_H */
