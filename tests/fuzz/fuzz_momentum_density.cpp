// Fuzzes momentum_density and momentum_density_sum: memory safety for any input;
// for sensible input a finite, non-negative density, and the single-orbital
// entry point equal to the sum over that one orbital, bit for bit.
#include <libkernels.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "fuzz/fuzz_input.h"

using namespace kernels_fuzz;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *bytes, size_t size) {
    FuzzedDataProvider data(bytes, size);
    Draw draw{data};
    Molecule m = Molecule::draw(draw, 4);
    const Grid g = Grid::draw(draw, 10, -4.0f, 0.0f, 0.8f);
    const Orbitals o = Orbitals::draw(draw, m);
    std::vector<float> sum(g.length());
    weighted_sum(momentum_density_sum, g, o, m, sum);
    // The single-orbital entry point reads one row: that of the sum when there
    // is exactly one, otherwise a row of its own.
    std::vector<float> own_row = o.count == 1 ? o.rows : m.orbitals(draw, 1);
    std::vector<float> single(sum.size());
    momentum_density(g.nx, g.ny, g.nz, m.n_atoms, ptr(m.shells_per_atom), ptr(m.atom_x), g.x_min, g.y_min,
                     g.z_min, g.step, ptr(m.atom_y), ptr(m.atom_z), ptr(m.shell_l), ptr(m.shell_n_prim),
                     ptr(m.prim_exponent), ptr(m.prim_coeff), ptr(own_row), ptr(single));
    if (!draw.in_contract) return 0;
    FUZZ_CHECK(all_finite(sum));
    for (float v : sum) FUZZ_CHECK(v >= 0.0f);
    if (o.count == 1 && !o.use_weights)
        FUZZ_CHECK(sum.empty() || std::memcmp(sum.data(), single.data(), sum.size() * 4) == 0);
    return 0;
}
