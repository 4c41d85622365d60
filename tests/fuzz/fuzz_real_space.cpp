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
    const int32_t nx = draw.count(0, 14, 14), ny = draw.count(0, 14, 14), nz = draw.count(0, 14, 14);
    const float x_min = draw.real(-8, 0), y_min = draw.real(-8, 0), z_min = draw.real(-8, 0);
    const float step = draw.real(0.05f, 1.2f);
    std::vector<float> grid(grid_length(nx, ny, nz));
#ifdef FUZZ_CHARGE_DENSITY
    const int32_t n_orbitals = draw.count(0, 3, 3);
    std::vector<float> mo = m.orbitals(draw, n_orbitals);
    std::vector<float> weights(size_t(length_of(n_orbitals)));
    for (float &w : weights) w = draw.real(0.0f, 2.0f);
    const bool use_weights = data.ConsumeBool();
    charge_density_sum(nx, ny, nz, n_orbitals, use_weights ? ptr(weights) : nullptr, ptr(mo), x_min,
                       y_min, z_min, step, m.n_atoms, ptr(m.shells_per_atom), ptr(m.atom_x),
                       ptr(m.atom_y), ptr(m.atom_z), ptr(m.shell_l), ptr(m.shell_n_prim),
                       ptr(m.prim_exponent), ptr(m.prim_coeff), ptr(grid));
    if (!draw.in_contract) return 0;
    FUZZ_CHECK(all_finite(grid));
    for (float v : grid) FUZZ_CHECK(v >= 0.0f);
#else
    std::vector<float> mo = m.orbitals(draw, 1);
    scalar_field(nx, ny, nz, m.n_atoms, ptr(m.shells_per_atom), ptr(m.atom_x), x_min, y_min, z_min,
                 step, ptr(m.atom_y), ptr(m.atom_z), ptr(m.shell_l), ptr(m.shell_n_prim),
                 ptr(m.prim_exponent), ptr(m.prim_coeff), ptr(mo), ptr(grid));
    if (!draw.in_contract) return 0;
    FUZZ_CHECK(all_finite(grid));
#endif
    return 0;
}
