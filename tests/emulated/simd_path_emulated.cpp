// The path queries of the emulated-lane build: every path "runs" (the AVX2
// and AVX-512 slots hold the 4- and 16-lane emulations, which need no
// instruction set), and the names say what runs.
#include "simd/lanes.h"

namespace kernels::simd {

const char *simd_path_name(SimdPath path) {
    switch (path) {
    case SimdPath::avx512:
        return "emulated16";
    case SimdPath::avx2:
        return "emulated4";
    default:
        return "scalar";
    }
}

bool simd_path_supported(SimdPath) { return true; }

SimdPath best_simd_path() { return SimdPath::avx512; }

}  // namespace kernels::simd
