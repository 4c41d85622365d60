// Fuzzes scalar_field and charge_density_sum (FUZZ_CHARGE_DENSITY selects the
// latter): memory safety for any input; for sensible input finite values, and a
// charge density with non-negative weights that is nowhere negative.
#include <libkernels.h>

#include <cstdio>
#include <cstdlib>

#include "fuzz/fuzz_input.h"

using namespace kernels_fuzz;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *bytes, size_t size) {
    FuzzedDataProvider data(bytes, size);
    Draw draw{data};
    Molecule m = Molecule::draw(draw, 5);
    const Grid g = Grid::draw(draw, 14, -8.0f, 0.05f, 1.2f);
    std::vector<float> grid(g.length());
#ifdef FUZZ_CHARGE_DENSITY
    const Orbitals o = Orbitals::draw(draw, m);
    weighted_sum(charge_density_sum, g, o, m, grid);
    if (!draw.in_contract) return 0;
    FUZZ_CHECK(all_finite(grid));
    for (float v : grid) FUZZ_CHECK(v >= 0.0f);
#else
    std::vector<float> mo = m.orbitals(draw, 1);
    scalar_field(g.nx, g.ny, g.nz, m.n_atoms, ptr(m.shells_per_atom), ptr(m.atom_x), g.x_min, g.y_min,
                 g.z_min, g.step, ptr(m.atom_y), ptr(m.atom_z), ptr(m.shell_l), ptr(m.shell_n_prim),
                 ptr(m.prim_exponent), ptr(m.prim_coeff), ptr(mo), ptr(grid));
    if (!draw.in_contract) return 0;
    FUZZ_CHECK(all_finite(grid));
#endif
    return 0;
}
