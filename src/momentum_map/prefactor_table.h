// The per-call table of momentum_map: every component of the orbital's active
// shells, grouped by atom, with its complex prefactor (-i)^l * C * R_l(k) and
// the index of the harmonic it multiplies.  Coefficient, radial value and phase
// are folded together once per map, so the pixel sweep is a flat multiply-add
// over the table with no per-shell bookkeeping.
#pragma once

#include <cstddef>
#include <cstdint>

#include "basis/basis_model.h"

namespace kernels {

// Calls visit(atom, cursor, l, n_prim) for every shell of the orbital row that
// takes part (active, inside the data model and inside the arrays), in the order
// atoms -> shells of the atom.  The cursor's offsets advance for every shell.
template <typename Visit>
void for_each_shell_taking_part(const BasisArrays &basis, const BasisCounts &counts,
                                const float *orbital_row, Visit visit) {
    ShellCursor at;
    for (int32_t a = 0; a < basis.n_atoms; ++a) {
        const int32_t n_shells = shells_of_atom(basis, counts, a, at);
        for (int32_t s = 0; s < n_shells; ++s) {
            const int32_t l = basis.shell_l[at.shell];
            const int32_t n_prim = basis.shell_n_prim[at.shell];
            if (shell_takes_part(at, l, n_prim, counts, orbital_row)) visit(a, at, l, n_prim);
            at.advance(l, n_prim);
        }
    }
}

// Number of table entries the orbital row needs.  This can exceed n_components:
// a shell of negative l moves later shells' offsets back, so two shells that take
// part may share coefficients.
int64_t count_table_components(const BasisArrays &basis, const BasisCounts &counts,
                               const float *orbital_row);

struct PrefactorTable {
    int32_t *active_count;  // per atom: number of table entries of its shells
    float *pref_re;         // per entry
    float *pref_im;
    int32_t *harm_index;  // per entry: l*l + c into the harmonic array
    int32_t l_max;        // largest l among the shells that take part, 0 if none
};

// Bytes of the one scratch block that holds a table for n_atoms atoms and
// n_entries entries (all tables are 32-bit).
std::size_t prefactor_block_bytes(int32_t n_atoms, int64_t n_entries);

// Lays the table out in the block and fills it for momentum k.  The block must
// be prefactor_block_bytes(basis.n_atoms, count_table_components(...)) long.
PrefactorTable fill_prefactor_table(void *block, const BasisArrays &basis,
                                    const BasisCounts &counts, const float *orbital_row,
                                    int64_t n_entries, float k);

}  // namespace kernels
