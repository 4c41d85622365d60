// Which instruction-set paths this CPU runs, asked per call of the
// compiler runtime's CPUID record (which also checks that the operating system
// saves the wider registers).  The AVX-512 path counts only in builds with
// KERNELS_ENABLE_AVX512 (see the root CMakeLists.txt).
#include "simd/lanes.h"

namespace kernels::simd {

const char *simd_path_name(SimdPath path) {
    switch (path) {
    case SimdPath::avx512:
        return "avx512";
    case SimdPath::avx2:
        return "avx2";
    default:
        return "scalar";
    }
}

bool simd_path_supported(SimdPath path) {
    switch (path) {
#ifdef KERNELS_SIMD_X86
    case SimdPath::avx512:
#ifdef KERNELS_ENABLE_AVX512
        return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq") &&
               __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
#else
        return false;  // built, but switched off (KERNELS_ENABLE_AVX512=OFF)
#endif
    case SimdPath::avx2:
        return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
#endif
    case SimdPath::scalar:
        return true;
    default:
        return false;
    }
}

SimdPath best_simd_path() {
    if (simd_path_supported(SimdPath::avx512))
        return SimdPath::avx512;
    if (simd_path_supported(SimdPath::avx2))
        return SimdPath::avx2;
    return SimdPath::scalar;
}

}  // namespace kernels::simd
