// Per-call screening tables of the real-space orbital: which shells of one
// orbital row take part, how far each shell and each atom can reach, and where
// each shell's primitives and coefficients start.
//
// All tables live in one heap block (common/allocation.h): four int32 values and one float per atom
// followed by three int32 values and one float per shell.
#pragma once

#include <cstddef>
#include <cstdint>

#include "basis/basis_model.h"

namespace kernels {

struct ScreeningTables {
    // Per atom.
    int32_t *atom_first_shell;  // index of the atom's first shell
    int32_t *atom_shell_count;  // shells of the atom a walk visits (shells_of_atom)
    int32_t *atom_l_max;        // largest l among the atom's active shells, 0 if none
    int32_t *atom_active;       // 1 when one of the atom's shells is active
    float *atom_r2_max;         // EXP_CUTOFF / smallest exponent of its active shells
    // Per shell.
    int32_t *shell_active;      // active-shell test on this orbital row (and in bounds)
    int32_t *shell_first_prim;  // offset of the shell's primitives (0 when it has none)
    int32_t *shell_first_comp;  // offset of the shell's coefficients in the orbital row
    float *shell_r2_max;        // EXP_CUTOFF / smallest exponent of the shell

    void *block;  // the one allocation holding all of the above
};

// Bytes of the block for n_atoms atoms and n_shells shells (counts <= 0 take none).
std::size_t screening_tables_size(int32_t n_atoms, int32_t n_shells);

// Allocates the block; false (and nothing allocated) when the allocation fails.
bool allocate_screening_tables(int32_t n_atoms, int32_t n_shells, ScreeningTables &tables);

void free_screening_tables(ScreeningTables &tables);

// Fills the tables for one orbital row.  A shell takes part only when it is
// active and lies inside the arrays the counts describe (shell_takes_part).
void build_screening_tables(const BasisArrays &basis, const BasisCounts &counts,
                            const float *orbital_row, ScreeningTables &tables);

}  // namespace kernels
