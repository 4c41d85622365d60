// Which instruction-set paths this CPU runs, asked per call of the
// compiler runtime's CPUID record (which also checks that the operating system
// saves the wider registers): the checks of the list in simd/targets.h.  The
// AVX-512 path counts only in builds with KERNELS_ENABLE_AVX512 (see the root
// CMakeLists.txt).
#include "simd/targets.h"

namespace kernels::simd {

namespace {

#ifdef KERNELS_ENABLE_AVX512
constexpr bool AVX512_CHOSEN = true;
#else
constexpr bool AVX512_CHOSEN = false;  // built, but switched off (KERNELS_ENABLE_AVX512=OFF)
#endif

}  // namespace

#define KERNELS_CPU_HAS(feature) __builtin_cpu_supports(#feature)

bool simd_path_supported(SimdPath path) {
    switch (path) {
#define KERNELS_PATH_CHECK(target, runs_here) \
    case SimdPath::target:                    \
        return runs_here;
        KERNELS_SIMD_TARGETS(KERNELS_PATH_CHECK)
#undef KERNELS_PATH_CHECK
    }
    return false;
}

SimdPath best_simd_path() {
    for (int i = SIMD_PATH_COUNT - 1; i > 0; --i)
        if (simd_path_supported(SIMD_PATHS[i])) return SIMD_PATHS[i];
    return SimdPath::scalar;
}

}  // namespace kernels::simd
