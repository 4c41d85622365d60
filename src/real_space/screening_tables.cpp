// Building the screening tables of one orbital row: a walk over atoms and
// shells carrying the shell index, primitive offset and component offset, which
// records where each atom and shell starts, which shells are active, and the cut-off
// radius^2 = EXP_CUTOFF / (smallest exponent) of each shell and each atom.
#include "real_space/screening_tables.h"

#include <cstdlib>

#include "common/allocation.h"

namespace kernels {
namespace {

// Smallest exponents start here, so a shell without primitives (or an atom
// without active shells) gets the tiny radius^2 EXP_CUTOFF / 1e30.
constexpr float NO_EXPONENT = 1e30f;

std::size_t non_negative(int32_t count) { return count > 0 ? static_cast<std::size_t>(count) : 0; }

// Smallest exponent of a shell's primitives; a NaN exponent is never taken.
float smallest_exponent(const float *exponents, int32_t n_prim) {
    float smallest = NO_EXPONENT;
    for (int32_t q = 0; q < n_prim; ++q)
        if (exponents[q] < smallest) smallest = exponents[q];
    return smallest;
}

}  // namespace

std::size_t screening_tables_size(int32_t n_atoms, int32_t n_shells) {
    return non_negative(n_atoms) * (4 * sizeof(int32_t) + sizeof(float)) +
           non_negative(n_shells) * (3 * sizeof(int32_t) + sizeof(float));
}

bool allocate_screening_tables(int32_t n_atoms, int32_t n_shells, ScreeningTables &tables) {
    void *block = allocate(screening_tables_size(n_atoms, n_shells));
    if (block == nullptr) return false;
    const std::size_t atoms = non_negative(n_atoms);
    const std::size_t shells = non_negative(n_shells);
    int32_t *ints = static_cast<int32_t *>(block);
    tables.atom_first_shell = ints;
    tables.atom_shell_count = ints + atoms;
    tables.atom_l_max = ints + 2 * atoms;
    tables.atom_active = ints + 3 * atoms;
    tables.shell_active = ints + 4 * atoms;
    tables.shell_first_prim = ints + 4 * atoms + shells;
    tables.shell_first_comp = ints + 4 * atoms + 2 * shells;
    float *floats = reinterpret_cast<float *>(ints + 4 * atoms + 3 * shells);
    tables.atom_r2_max = floats;
    tables.shell_r2_max = floats + atoms;
    tables.block = block;
    return true;
}

void free_screening_tables(ScreeningTables &tables) {
    std::free(tables.block);
    tables.block = nullptr;
}

void build_screening_tables(const BasisArrays &basis, const BasisCounts &counts,
                            const float *orbital_row, ScreeningTables &tables) {
    ShellCursor at;
    for (int32_t a = 0; a < basis.n_atoms; ++a) {
        const int32_t n_atom_shells = shells_of_atom(basis, counts, a, at);
        tables.atom_first_shell[a] = at.shell;
        tables.atom_shell_count[a] = n_atom_shells;
        tables.atom_l_max[a] = 0;
        tables.atom_active[a] = 0;
        float atom_smallest = NO_EXPONENT;

        for (int32_t k = 0; k < n_atom_shells; ++k) {
            const int32_t s = at.shell;
            const int32_t l = basis.shell_l[s];
            const int32_t n_prim = basis.shell_n_prim[s];
            const bool in_bounds = shell_in_bounds(at, l, n_prim, counts);
            const bool active = shell_takes_part(at, l, n_prim, counts, orbital_row);
            // Out-of-bounds primitives are never read; such a shell is inactive,
            // so its radius is never used.
            const float shell_smallest =
                in_bounds ? smallest_exponent(basis.prim_exponent + at.primitive_offset(n_prim), n_prim) : NO_EXPONENT;
            tables.shell_active[s] = active ? 1 : 0;
            tables.shell_first_prim[s] = at.primitive_offset(n_prim);
            tables.shell_first_comp[s] = at.comp;
            tables.shell_r2_max[s] = EXP_CUTOFF / shell_smallest;
            if (active) {
                tables.atom_active[a] = 1;
                if (l > tables.atom_l_max[a]) tables.atom_l_max[a] = l;
                if (shell_smallest < atom_smallest) atom_smallest = shell_smallest;
            }
            at.advance(l, n_prim);
        }
        tables.atom_r2_max[a] = EXP_CUTOFF / atom_smallest;
    }
}

}  // namespace kernels
