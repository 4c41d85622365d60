// One orbital on a real-space grid:
//
//   psi(r) = sum over atoms A, active shells s of A, components m of
//            mo[c_s + m] * (sum_p coeff_p exp(-alpha_p |r - A|^2)) * Y_{l m}(r - A),
//
// with Y the solid harmonics.  Each atom visits only the index box around its
// cut-off sphere (radius^2 = EXP_CUTOFF / smallest active exponent), skips rows
// and points outside that sphere, each shell skips points beyond its own
// radius, and each primitive is skipped where alpha r^2 >= EXP_CUTOFF.  The
// screening only removes terms the cut-off makes zero, so the result equals the
// plain sum of the terms that pass the primitive cut-off.
//
// float32 throughout, each operation rounded on its own: coordinates
// i*step + min, offsets d = coordinate - atom, r^2 = (dz^2 + dy^2) + dx^2, and
// value += (mo * radial) * Y in shell and component order.
#include "real_space/orbital_grid.h"

#include <math.h>

#include <cmath>
#include <cstring>

#include "basis/real_harmonics.h"
#include "real_space/index_box.h"
#include "real_space/screening_tables.h"

namespace kernels {
namespace {

void clear_grid(const RealGrid &grid, float *out_grid) {
    const int64_t points = grid.points();
    if (points != 0) std::memset(out_grid, 0, static_cast<std::size_t>(points) * sizeof(float));
}

// Contracted radial factor sum_p coeff_p exp(-alpha_p r^2) over the primitives
// below the cut-off, in primitive order.
float radial_sum(float r2, const float *exponents, const float *coefficients, int32_t n_prim) {
    float radial = 0.0f;
    for (int32_t q = 0; q < n_prim; ++q) {
        const float e = exponents[q] * r2;
        if (e < EXP_CUTOFF) radial = radial + expf(-e) * coefficients[q];
    }
    return radial;
}

// Value of atom a's active shells at one point with offset squared length r2
// and harmonics ylm already filled up to the atom's l_max.
float atom_value_at(const BasisArrays &basis, const BasisCounts &counts,
                    const ScreeningTables &tables, int32_t a, const float *orbital_row, float r2,
                    const float *ylm) {
    ShellCursor at;
    at.shell = tables.atom_first_shell[a];
    at.prim = tables.atom_first_prim[a];
    at.comp = tables.atom_first_comp[a];
    const int32_t n_atom_shells = shells_of_atom(basis, counts, a, at);

    float value = 0.0f;
    for (int32_t k = 0; k < n_atom_shells; ++k) {
        const int32_t s = at.shell;
        const int32_t l = basis.shell_l[s];
        const int32_t n_prim = basis.shell_n_prim[s];
        if (tables.shell_active[s] == 1 && r2 <= tables.shell_r2_max[s]) {
            const int32_t first = at.primitive_offset(n_prim);
            const float radial =
                radial_sum(r2, basis.prim_exponent + first, basis.prim_coeff + first, n_prim);
            const float *mo = orbital_row + at.comp;
            const float *shell_ylm = ylm + SHELL_START[l];
            const int32_t size = 2 * l + 1;
            for (int32_t m = 0; m < size; ++m) value = value + (mo[m] * radial) * shell_ylm[m];
        }
        at.advance(l, n_prim);
    }
    return value;
}

// Adds atom a's contribution at every grid point of its index box that lies
// within its cut-off sphere.
void add_atom(const RealGrid &grid, const BasisArrays &basis, const BasisCounts &counts,
              const ScreeningTables &tables, int32_t a, const float *orbital_row, float *out_grid) {
    const float ax = basis.atom_x[a];
    const float ay = basis.atom_y[a];
    const float az = basis.atom_z[a];
    const float r2_max = tables.atom_r2_max[a];
    const int32_t l_max = tables.atom_l_max[a];
    const float radius = std::sqrt(r2_max);

    const IndexRange box_x = axis_index_range(ax, radius, grid.x_min, grid.step, grid.nx);
    const IndexRange box_y = axis_index_range(ay, radius, grid.y_min, grid.step, grid.ny);
    const IndexRange box_z = axis_index_range(az, radius, grid.z_min, grid.step, grid.nz);
    if (box_x.empty() || box_y.empty() || box_z.empty()) return;

    float ylm[HARMONIC_COUNT];
    for (int32_t k = box_z.lo; k <= box_z.hi; ++k) {
        const float z = static_cast<float>(k) * grid.step + grid.z_min;
        const float dz = z - az;
        const float dz2 = dz * dz;
        for (int32_t j = box_y.lo; j <= box_y.hi; ++j) {
            const float y = static_cast<float>(j) * grid.step + grid.y_min;
            const float dy = y - ay;
            const float rho2 = dz2 + dy * dy;
            if (rho2 > r2_max) continue;
            float *row = out_grid + (static_cast<int64_t>(k) * grid.ny + j) * grid.nx;
            for (int32_t i = box_x.lo; i <= box_x.hi; ++i) {
                const float x = static_cast<float>(i) * grid.step + grid.x_min;
                const float dx = x - ax;
                const float r2 = rho2 + dx * dx;
                if (r2 > r2_max) continue;
                solid_harmonics(dx, dy, dz, r2, l_max, ylm);
                row[i] += atom_value_at(basis, counts, tables, a, orbital_row, r2, ylm);
            }
        }
    }
}

}  // namespace

void evaluate_orbital_on_grid(const RealGrid &grid, const BasisArrays &basis,
                              const float *orbital_row, float *out_grid) {
    const BasisCounts counts = count_basis(basis);
    ScreeningTables tables;
    if (!allocate_screening_tables(basis.n_atoms, counts.n_shells, tables)) {
        clear_grid(grid, out_grid);
        return;
    }
    build_screening_tables(basis, counts, orbital_row, tables);
    clear_grid(grid, out_grid);
    if (grid.points() != 0) {
        for (int32_t a = 0; a < basis.n_atoms; ++a)
            if (tables.atom_active[a] == 1)
                add_atom(grid, basis, counts, tables, a, orbital_row, out_grid);
    }
    free_screening_tables(tables);
}

}  // namespace kernels
