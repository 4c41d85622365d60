// Runs the exported functions on a chosen path, for tests and benchmarks that
// compare or time the paths in one program.  Part of the development objects
// (kernels_dev), never of the shipped library: linking kernels_dev replaces
// kernels_choose_dispatch (-Wl,--wrap) with a version that answers with the
// forced dispatch while a ForcedDispatch lives on the calling thread.
#pragma once

#include "dispatch/kernel_table.h"

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
