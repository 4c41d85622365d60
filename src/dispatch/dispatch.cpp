// The choice of a kernel table, made once per process: the widest
// instruction-set path this CPU runs, and whether the vector expf/sincosf may
// run on it (the platform's libm is the variant they reproduce).  Each fact is
// computed by its first reader and kept (ComputedOnce below), so concurrent
// first calls probe once.
#include "dispatch/dispatch.h"

#include <math.h>
#include <sched.h>
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

// A value computed by the first thread that asks for it and kept for the
// process; threads that ask while it is being computed wait until it is there.
// This is what a function-local static with a dynamic initialiser does, but a
// function-local static calls the C++ runtime's guard (__cxa_guard_acquire and,
// for the exception path, the personality routine and the unwinder).  Nothing
// else in the library needs the C++ runtime, and that guard is what would tie
// a library linked with a static libstdc++ (the Python wheel's) to the build
// machine's glibc: GCC 12's guard reads __libc_single_threaded (glibc 2.32) and
// its unwinder asks for _dl_find_object (2.35).  Plain atomics need neither.
// The objects are constant-initialised (no constructor runs at load time), so
// a first call from another library's constructor finds them ready.
template <typename T>
class ComputedOnce {
  public:
    template <typename Compute>
    T get(Compute compute) {
        if (state_.load(std::memory_order_acquire) != READY) settle(compute);
        return value_;
    }

  private:
    enum : int { EMPTY, COMPUTING, READY };

    template <typename Compute>
    void settle(Compute compute) {
        int expected = EMPTY;
        if (state_.compare_exchange_strong(expected, COMPUTING, std::memory_order_acquire)) {
            value_ = compute();
            state_.store(READY, std::memory_order_release);
            return;
        }
        // Another thread is computing: the probes take nanoseconds.
        while (state_.load(std::memory_order_acquire) != READY) sched_yield();
    }

    std::atomic<int> state_{EMPTY};
    T value_{};
};

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
// for the two calls.  The vector functions reproduce glibc's: another C
// library's libm (Apple's, the Windows CRT's, musl's) is never taken for it,
// whatever it returns on the two inputs, and its functions run per element.
bool probe_libm() {
    KERNELS_COUNT(libm);
#if !defined(KERNELS_SIMD_X86) || !defined(__GLIBC__)
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

ComputedOnce<uint32_t> cpu_paths;      // one bit per path this CPU runs
ComputedOnce<bool> libm_fma_variant;   // probe_libm()
ComputedOnce<Dispatch> process_dispatch;

}  // namespace

bool simd_path_supported(SimdPath path) {
    const uint32_t runs = cpu_paths.get(probe_cpu);
    return (runs >> static_cast<int>(path) & 1u) != 0;
}

SimdPath best_simd_path() {
    for (int i = SIMD_PATH_COUNT - 1; i > 0; --i)
        if (simd_path_supported(SIMD_PATHS[i])) return SIMD_PATHS[i];
    return SimdPath::scalar;
}

bool libm_runs_fma_variant() {
    return libm_fma_variant.get(probe_libm);
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
    return process_dispatch.get([] { return dispatch_for(best_simd_path()); });
}

}  // namespace kernels::simd
