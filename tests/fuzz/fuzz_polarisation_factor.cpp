// Fuzzes polarisation_factor: every mode and selector; for sensible input a
// finite result that is exactly 0 outside the emission hemisphere.
#include <libkernels.h>

#include <cstdio>
#include <cstdlib>

#include "fuzz/fuzz_input.h"

using namespace kernels_fuzz;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *bytes, size_t size) {
    FuzzedDataProvider data(bytes, size);
    Draw draw{data};
    const int32_t n = draw.count(1, 24, 24);
    const int32_t mode = draw.selector(), circular = draw.selector();
    std::vector<float> map(map_length(n));
    for (float &v : map) v = draw.real(-10.0f, 10.0f);
    const float e_kin = draw.real(0.05f, 4.0f);
    const float k_min = draw.real(-3.0f, 0.0f), k_step = draw.real(0.01f, 0.5f);
    const float theta = draw.real(-90, 90), phi = draw.real(-360, 360);
    const float s_share = draw.real(0, 100), gamma = draw.real(-2, 2);
    polarisation_factor(n, mode, circular, ptr(map), e_kin, k_min, k_step, theta, phi, s_share, gamma);
    if (!draw.in_contract) return 0;
    FUZZ_CHECK(all_finite(map));
    const float k = std::sqrt(e_kin + e_kin), k2 = k * k;
    for (int32_t i = 0; i < n; ++i) {
        const float u = float(i) * k_step + k_min;
        const float r = k2 - u * u;
        for (int32_t j = 0; j < n; ++j) {
            const float v = float(j) * k_step + k_min;
            if (r - v * v < 0.0f) FUZZ_CHECK(map[size_t(i) * n + j] == 0.0f);
        }
    }
    return 0;
}
