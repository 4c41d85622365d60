// The per-call choice of a kernel table: the widest instruction-set path this
// CPU runs, and whether the vector expf/sincosf may run on it (the platform's
// libm is the variant they reproduce).
#include "dispatch/kernel_table.h"
#include "simd/libm_variant_probe.h"

namespace kernels::simd {

Dispatch dispatch_for(SimdPath path) {
    if (!simd_path_supported(path)) path = SimdPath::scalar;
    return {&kernel_table_of(path), path != SimdPath::scalar && libm_runs_fma_variant()};
}

}  // namespace kernels::simd

extern "C" kernels::simd::Dispatch kernels_choose_dispatch() {
    return kernels::simd::dispatch_for(kernels::simd::best_simd_path());
}
