// Builds momentum_map's prefactor table.  For each shell that takes part the
// radial value R_l(k) is computed once; component c of the shell then enters
// the table as (-i)^l * (C_c * R_l), paired with harmonic l*l + c.  Every
// component of such a shell enters, small coefficients included.
#include "momentum_map/prefactor_table.h"

#include "basis/real_harmonics.h"
#include "basis/shell_radial_momentum.h"

namespace kernels {

int64_t count_table_components(const BasisArrays &basis, const BasisCounts &counts,
                               const float *orbital_row) {
    int64_t n_entries = 0;
    for_each_shell_taking_part(
        basis, counts, orbital_row,
        [&](int32_t, const ShellCursor &, int32_t l, int32_t) { n_entries += 2 * l + 1; });
    return n_entries;
}

std::size_t prefactor_block_bytes(int32_t n_atoms, int64_t n_entries) {
    const std::size_t atoms = n_atoms > 0 ? static_cast<std::size_t>(n_atoms) : 0;
    return (atoms + 3 * static_cast<std::size_t>(n_entries)) * sizeof(int32_t);
}

PrefactorTable fill_prefactor_table(void *block, const BasisArrays &basis,
                                    const BasisCounts &counts, const float *orbital_row,
                                    int64_t n_entries, float k) {
    const std::size_t atoms = basis.n_atoms > 0 ? static_cast<std::size_t>(basis.n_atoms) : 0;
    PrefactorTable table;
    table.active_count = static_cast<int32_t *>(block);
    table.pref_re = reinterpret_cast<float *>(table.active_count + atoms);
    table.pref_im = table.pref_re + n_entries;
    table.harm_index = reinterpret_cast<int32_t *>(table.pref_im + n_entries);
    table.l_max = 0;
    for (std::size_t a = 0; a < atoms; ++a) table.active_count[a] = 0;

    int64_t entry = 0;
    for_each_shell_taking_part(
        basis, counts, orbital_row,
        [&](int32_t atom, const ShellCursor &at, int32_t l, int32_t n_prim) {
            if (l > table.l_max) table.l_max = l;
            const int32_t first = at.primitive_offset(n_prim);
            const float radial = shell_radial_momentum(l, k, basis.prim_exponent + first,
                                                       basis.prim_coeff + first, n_prim);
            const int32_t size = 2 * l + 1;
            for (int32_t c = 0; c < size; ++c, ++entry) {
                const Complex32 pref = times_minus_i_power(l, orbital_row[at.comp + c] * radial);
                table.pref_re[entry] = pref.re;
                table.pref_im[entry] = pref.im;
                table.harm_index[entry] = SHELL_START[l] + c;
            }
            table.active_count[atom] += size;
        });
    return table;
}

}  // namespace kernels
