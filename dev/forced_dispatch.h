// Runs the exported functions on a chosen path, for tests and benchmarks that
// compare or time the paths in one program.  Part of the development objects
// (kernels_dev), never of the shipped library: while a ForcedDispatch lives,
// every exported call of the calling thread runs on it instead of the
// process's choice (through dispatch_override, dispatch/dispatch.h); other
// threads keep their own.
#pragma once

#include "dispatch/dispatch.h"

namespace kernels::simd {

class ForcedDispatch {
  public:
    // Every library call of this thread runs on `dispatch` until destruction.
    explicit ForcedDispatch(Dispatch dispatch);
    // ... on the path (or on the scalar path where this CPU lacks it), with
    // the vector libm where it may run: dispatch_for(path).
    explicit ForcedDispatch(SimdPath path);
    ~ForcedDispatch();
    ForcedDispatch(const ForcedDispatch &) = delete;
    ForcedDispatch &operator=(const ForcedDispatch &) = delete;

  private:
    const Dispatch *previous_;
    Dispatch dispatch_;
};

// call() with every library call it makes on `on` (a Dispatch or a SimdPath).
template <class On, class Call>
auto run_on(On on, Call call) {
    const ForcedDispatch forced(on);
    return call();
}

}  // namespace kernels::simd
