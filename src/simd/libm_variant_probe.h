// Whether the platform's expf and sincosf are the variant the vector
// versions reproduce bit for bit.
#pragma once

namespace kernels::simd {

// True when the platform's expf and sincosf give the FMA variant's results
// on inputs where the variants round differently (asked per call, costs a few
// tens of nanoseconds; the libm chooses its variant at load time from the CPU
// and run-time tunables, so CPUID alone cannot tell).  When false, kernels call
// the scalar functions.
bool libm_runs_fma_variant();

}  // namespace kernels::simd
