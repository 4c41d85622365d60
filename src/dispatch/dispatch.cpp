// The choice of a kernel table, made once per process: the widest
// instruction-set path this CPU runs, and whether the vector expf/sincosf may
// run on it (the platform's libm is the variant they reproduce).  Each fact is
// a function-local constant, initialised on first use; C++ makes that
// initialisation thread-safe, so concurrent first calls probe once.
#include "dispatch/dispatch.h"

#include <math.h>
#ifdef KERNELS_SIMD_X86
#include <xmmintrin.h>
#endif

#include <cstdint>
#include <cstring>

#ifdef KERNELS_COUNT_PROBES
#define KERNELS_COUNT(what) ++probe_counts.what
#else
#define KERNELS_COUNT(what) static_cast<void>(0)
#endif

namespace kernels::simd {

#ifdef KERNELS_COUNT_PROBES
ProbeCounts probe_counts;
#endif

std::atomic<DispatchOverride> dispatch_override{nullptr};

namespace {

#ifdef KERNELS_ENABLE_AVX512
constexpr bool AVX512_CHOSEN = true;
#else
constexpr bool AVX512_CHOSEN = false;  // built, but switched off (KERNELS_ENABLE_AVX512=OFF)
#endif

// The targets' checks (simd/targets.h) ask the compiler runtime's CPUID
// record, which also tells whether the operating system saves the wider
// registers.
#define KERNELS_CPU_HAS(feature) __builtin_cpu_supports(#feature)

// One bit per path this CPU runs.
uint32_t probe_cpu() {
    KERNELS_COUNT(cpu);
#ifdef KERNELS_SIMD_X86
    // Fills the record should the first call come before the runtime's own
    // constructor has run (a call from another library's constructor).
    __builtin_cpu_init();
#endif
    uint32_t runs = 0;
#define KERNELS_CHECK_TARGET(target, runs_here) \
    if (runs_here) runs |= 1u << static_cast<int>(SimdPath::target);
    KERNELS_SIMD_TARGETS(KERNELS_CHECK_TARGET)
#undef KERNELS_CHECK_TARGET
    return runs;
}

uint32_t bits_of(float value) {
    uint32_t pattern;
    std::memcpy(&pattern, &value, sizeof pattern);
    return pattern;
}

// Whether the platform's expf and sincosf are the FMA variant.  The libm picks
// its variant at load time from the CPU and from run-time tunables, so CPUID
// cannot tell; inputs on which the variants round differently can.  The inputs
// are volatile so that the compiler cannot fold the calls (it would round
// correctly, which the libm does not), and the rounding mode is set to nearest
// for the two calls.
bool probe_libm() {
    KERNELS_COUNT(libm);
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

}  // namespace

bool simd_path_supported(SimdPath path) {
    static const uint32_t runs = probe_cpu();
    return (runs >> static_cast<int>(path) & 1u) != 0;
}

SimdPath best_simd_path() {
    for (int i = SIMD_PATH_COUNT - 1; i > 0; --i)
        if (simd_path_supported(SIMD_PATHS[i])) return SIMD_PATHS[i];
    return SimdPath::scalar;
}

bool libm_runs_fma_variant() {
    static const bool fma_variant = probe_libm();
    return fma_variant;
}

Dispatch dispatch_for(SimdPath path) {
    if (!simd_path_supported(path)) path = SimdPath::scalar;
    return {&kernel_table_of(path), path != SimdPath::scalar && libm_runs_fma_variant()};
}

Dispatch current_dispatch() {
    KERNELS_COUNT(reads);
    if (const DispatchOverride forced_of_thread = dispatch_override.load(std::memory_order_relaxed)) {
        if (const Dispatch *forced = forced_of_thread()) return *forced;
    }
    static const Dispatch chosen = dispatch_for(best_simd_path());
    return chosen;
}

}  // namespace kernels::simd
