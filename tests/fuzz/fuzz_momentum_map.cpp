// Fuzzes momentum_map: memory safety for any input; for sensible input a finite
// map that is exactly 0 outside the disc of the photoelectron's momentum.
#include <libkernels.h>

#include <cstdio>
#include <cstdlib>

#include "fuzz/fuzz_input.h"

using namespace kernels_fuzz;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *bytes, size_t size) {
    FuzzedDataProvider data(bytes, size);
    Draw draw{data};
    Molecule m = Molecule::draw(draw, 5);
    std::vector<float> mo = m.orbitals(draw, 1);
    const int32_t n = draw.count(1, 24, 24);
    const float e_kin = draw.real(0.05f, 4.0f);
    const float k_min = draw.real(-3.0f, 0.0f), k_step = draw.real(0.01f, 0.5f);
    const float alpha = draw.real(-360, 360), beta = draw.real(-360, 360), gamma = draw.real(-360, 360);
    std::vector<float> map(map_length(n));
    momentum_map(n, m.n_atoms, ptr(m.shells_per_atom), ptr(m.atom_x), ptr(m.atom_y), ptr(m.atom_z),
                 e_kin, k_min, k_step, alpha, beta, gamma, ptr(m.shell_l), ptr(m.shell_n_prim),
                 ptr(m.prim_exponent), ptr(m.prim_coeff), ptr(mo), ptr(map));
    if (!draw.in_contract) return 0;
    FUZZ_CHECK(all_finite(map));
    const float k = std::sqrt(e_kin + e_kin), k2 = k * k;
    for (int32_t i = 0; i < n; ++i) {
        const float kx = float(i) * k_step + k_min;
        for (int32_t j = 0; j < n; ++j) {
            const float ky = float(j) * k_step + k_min;
            if ((k2 - kx * kx) - ky * ky < 0.0f) FUZZ_CHECK(map[size_t(i) * n + j] == 0.0f);
        }
    }
    return 0;
}
