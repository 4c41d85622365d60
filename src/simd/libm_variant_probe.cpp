// The check that the platform's expf and sincosf are the FMA variant the
// vector functions reproduce.  The libm picks its variant at load time from
// the CPU and from run-time tunables, so CPUID cannot tell; inputs on which
// the variants round differently can.  The inputs are volatile so that the
// compiler cannot fold the calls (it would round correctly, which the libm
// does not), and the rounding mode is set to nearest for the two calls.
#include <math.h>
#ifdef KERNELS_SIMD_X86
#include <xmmintrin.h>
#endif

#include <cstdint>
#include <cstring>

#include "simd/libm_variant_probe.h"

namespace kernels::simd {

namespace {

uint32_t bits_of(float value) {
    uint32_t pattern;
    std::memcpy(&pattern, &value, sizeof pattern);
    return pattern;
}

}  // namespace

bool libm_runs_fma_variant() {
#ifndef KERNELS_SIMD_X86
    return false;
#else
    volatile float exp_input = 0x1.04845ep+5f;     // expf: 0x56fc9f1c (other variant ...1b)
    volatile float sincos_input = 0x1.0e1c8p+6f;  // cos: -0x1.0cd988p-6 (other ...986p-6)
    const unsigned int csr = _mm_getcsr();
    _mm_setcsr(csr & ~static_cast<unsigned int>(_MM_ROUND_MASK));
    const float e = ::expf(exp_input);
    float s;
    float c;
    ::sincosf(sincos_input, &s, &c);
    _mm_setcsr(csr);
    return bits_of(e) == 0x56fc9f1cu && bits_of(c) == bits_of(-0x1.0cd988p-6f);
#endif
}

}  // namespace kernels::simd
