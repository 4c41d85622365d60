// The per-call choice a vectorised kernel makes: the widest instruction-set
// path this CPU runs, and whether the vector expf/sincosf may be used on it
// (the platform's libm is the variant they reproduce).  Nothing is cached:
// the library keeps no state, and the choice costs tens of nanoseconds.
#pragma once

#include "simd/lanes.h"

namespace kernels::simd {

struct SimdChoice {
    SimdPath path;
    bool vector_libm;  // pass to VectorLibm<T>; false: scalar expf/sincosf per lane
};

SimdChoice choose_simd();

// The choice for a requested path (tests and benchmarks compare paths): the
// path itself when this CPU runs it, otherwise the scalar path.
SimdChoice choose_simd_for(SimdPath requested);

}  // namespace kernels::simd
