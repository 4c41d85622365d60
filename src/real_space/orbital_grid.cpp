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
// value += (mo * radial) * Y in shell and component order.  The point loops
// (orbital_grid_lanes.h) run on the instruction-set path chosen for the call;
// every path gives the same bits.
#include "real_space/orbital_grid.h"

#include <cerrno>
#include <cmath>
#include <cstring>

#include "real_space/index_box.h"
#include "real_space/orbital_grid_lanes.h"
#include "real_space/screening_tables.h"

namespace kernels {
namespace {

void clear_grid(const RealGrid &grid, float *out_grid) {
    const int64_t points = grid.points();
    if (points != 0) std::memset(out_grid, 0, static_cast<std::size_t>(points) * sizeof(float));
}

// Fills the shared-exponent tables of `atom` when its active shells share
// an exponent and fit the bounds; otherwise leaves n_exponents 0.
void find_shared_exponents(const BasisArrays &basis, const ScreeningTables &tables, AtomSweep &atom) {
    atom.n_exponents = 0;
    int32_t n_distinct = 0;
    int32_t n_primitives = 0;
    const int32_t end = atom.first_shell + atom.n_shells;
    for (int32_t s = atom.first_shell; s < end; ++s) {
        if (tables.shell_active[s] != 1) continue;
        const float *exponents = basis.prim_exponent + tables.shell_first_prim[s];
        for (int32_t q = 0; q < basis.shell_n_prim[s]; ++q) {
            if (n_primitives == ATOM_SHARED_PRIMITIVES) return;
            uint32_t bits;
            std::memcpy(&bits, &exponents[q], sizeof bits);
            int32_t d = 0;
            for (; d < n_distinct; ++d) {
                uint32_t known;
                std::memcpy(&known, &atom.exponent[d], sizeof known);
                if (known == bits) break;
            }
            if (d == n_distinct) {
                if (n_distinct == ATOM_SHARED_EXPONENTS) return;
                atom.exponent[n_distinct++] = exponents[q];
            }
            atom.exponent_of[n_primitives++] = static_cast<uint8_t>(d);
        }
    }
    if (n_distinct < n_primitives) atom.n_exponents = n_distinct;
}

}  // namespace

bool prepare_atom_sweep(const RealGrid &grid, const BasisArrays &basis,
                        const ScreeningTables &tables, int32_t a, AtomSweep &atom) {
    if (tables.atom_active[a] != 1) return false;
    atom.x = basis.atom_x[a];
    atom.y = basis.atom_y[a];
    atom.z = basis.atom_z[a];
    atom.r2_max = tables.atom_r2_max[a];
    atom.l_max = tables.atom_l_max[a];
    const float radius = std::sqrt(atom.r2_max);
    atom.box_x = axis_index_range(atom.x, radius, grid.x_min, grid.step, grid.nx);
    atom.box_y = axis_index_range(atom.y, radius, grid.y_min, grid.step, grid.ny);
    atom.box_z = axis_index_range(atom.z, radius, grid.z_min, grid.step, grid.nz);
    if (atom.box_x.empty() || atom.box_y.empty() || atom.box_z.empty()) return false;
    atom.first_shell = tables.atom_first_shell[a];
    atom.n_shells = tables.atom_shell_count[a];
    find_shared_exponents(basis, tables, atom);
    return true;
}

bool evaluate_orbital_on_grid(const simd::Dispatch &run, const RealGrid &grid,
                              const BasisArrays &basis, const float *orbital_row, float *out_grid) {
    const BasisCounts counts = count_basis(basis);
    ScreeningTables tables;
    if (!allocate_screening_tables(basis.n_atoms, counts.n_shells, tables)) {
        clear_grid(grid, out_grid);
        errno = ENOMEM;
        return false;
    }
    build_screening_tables(basis, counts, orbital_row, tables);
    clear_grid(grid, out_grid);
    if (grid.points() != 0)
        run.kernels->add_orbital(grid, basis, tables, orbital_row, run.vector_libm, out_grid);
    free_screening_tables(tables);
    return true;
}

}  // namespace kernels
