// Fuzzes momentum_map_sum.  For sensible input with one orbital and no weights
// the result must equal momentum_map followed by symmetrisation (and the
// polarisation factor when asked), bit for bit.
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
    const int32_t n_orbitals = draw.count(1, 3, 3);
    std::vector<float> mo = m.orbitals(draw, n_orbitals);
    std::vector<float> e_kin(size_t(length_of(n_orbitals))), kz_imag(e_kin.size()), weights(e_kin.size());
    for (size_t o = 0; o < e_kin.size(); ++o) {
        e_kin[o] = draw.real(-0.5f, 4.0f);
        kz_imag[o] = draw.real(-1.0f, 1.0f);
        weights[o] = draw.real(-1.0f, 2.0f);
    }
    const bool use_weights = data.ConsumeBool();
    const int32_t n = draw.count(1, 16, 16);
    const int32_t symmetry = draw.selector();
    const float k_min = draw.real(-3.0f, 0.0f), k_step = draw.real(0.01f, 0.5f);
    const float a = draw.real(-360, 360), b = draw.real(-360, 360), c = draw.real(-360, 360);
    const float theta = draw.real(-90, 90), phi = draw.real(-360, 360), s_share = draw.real(0, 100);
    const int32_t use_pol = data.ConsumeIntegralInRange<int32_t>(0, 2);
    const int32_t pol_mode = draw.selector(), circular = draw.selector();
    std::vector<float> out(map_length(n));
    momentum_map_sum(n_orbitals, ptr(e_kin), use_weights ? ptr(weights) : nullptr, ptr(mo), n, symmetry,
                     k_min, k_step, a, b, c, theta, phi, s_share, use_pol, pol_mode, circular,
                     ptr(kz_imag), m.n_atoms, ptr(m.shells_per_atom), ptr(m.atom_x), ptr(m.atom_y),
                     ptr(m.atom_z), ptr(m.shell_l), ptr(m.shell_n_prim), ptr(m.prim_exponent),
                     ptr(m.prim_coeff), ptr(out));
    if (!draw.in_contract || n_orbitals != 1 || use_weights || e_kin[0] <= 0.0f) return 0;
    std::vector<float> expected(out.size());
    momentum_map(n, m.n_atoms, ptr(m.shells_per_atom), ptr(m.atom_x), ptr(m.atom_y), ptr(m.atom_z),
                 e_kin[0], k_min, k_step, a, b, c, ptr(m.shell_l), ptr(m.shell_n_prim),
                 ptr(m.prim_exponent), ptr(m.prim_coeff), ptr(mo), ptr(expected));
    symmetrisation(n, symmetry, ptr(expected));
    if (use_pol)
        polarisation_factor(n, pol_mode, circular, ptr(expected), e_kin[0], k_min, k_step, theta, phi,
                            s_share, kz_imag[0]);
    // out = expected * 1 + 0: the same bits, except that -0 becomes +0.
    for (size_t x = 0; x < out.size(); ++x) {
        const float want = expected[x] * 1.0f + 0.0f;
        FUZZ_CHECK(std::memcmp(&out[x], &want, sizeof want) == 0 || (out[x] != out[x] && want != want));
    }
    return 0;
}
