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
    const int32_t nx = draw.count(0, 10, 10), ny = draw.count(0, 10, 10), nz = draw.count(0, 10, 10);
    const float kx_min = draw.real(-4, 0), ky_min = draw.real(-4, 0), kz_min = draw.real(-4, 0);
    const float step = draw.real(0.0f, 0.8f);
    const int32_t n_orbitals = draw.count(0, 3, 3);
    std::vector<float> mo = m.orbitals(draw, n_orbitals);
    std::vector<float> weights(size_t(length_of(n_orbitals)));
    for (float &w : weights) w = draw.real(0.0f, 2.0f);
    const bool use_weights = data.ConsumeBool();
    std::vector<float> sum(grid_length(nx, ny, nz));
    momentum_density_sum(nx, ny, nz, n_orbitals, use_weights ? ptr(weights) : nullptr, ptr(mo),
                         kx_min, ky_min, kz_min, step, m.n_atoms, ptr(m.shells_per_atom),
                         ptr(m.atom_x), ptr(m.atom_y), ptr(m.atom_z), ptr(m.shell_l),
                         ptr(m.shell_n_prim), ptr(m.prim_exponent), ptr(m.prim_coeff), ptr(sum));
    // The single-orbital entry point reads one row: that of the sum when there
    // is exactly one, otherwise a row of its own.
    std::vector<float> own_row = n_orbitals == 1 ? mo : m.orbitals(draw, 1);
    std::vector<float> single(sum.size());
    momentum_density(nx, ny, nz, m.n_atoms, ptr(m.shells_per_atom), ptr(m.atom_x), kx_min, ky_min,
                     kz_min, step, ptr(m.atom_y), ptr(m.atom_z), ptr(m.shell_l),
                     ptr(m.shell_n_prim), ptr(m.prim_exponent), ptr(m.prim_coeff), ptr(own_row),
                     ptr(single));
    if (!draw.in_contract) return 0;
    FUZZ_CHECK(all_finite(sum));
    for (float v : sum) FUZZ_CHECK(v >= 0.0f);
    if (n_orbitals == 1 && !use_weights)
        FUZZ_CHECK(sum.empty() || std::memcmp(sum.data(), single.data(), sum.size() * 4) == 0);
    return 0;
}
