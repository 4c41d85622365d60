// The link-time replacement of kernels_choose_dispatch (see forced_dispatch.h).
#include "dispatch/forced_dispatch.h"

namespace {
thread_local const kernels::simd::Dispatch *forced = nullptr;
}  // namespace

extern "C" kernels::simd::Dispatch __real_kernels_choose_dispatch();

extern "C" kernels::simd::Dispatch __wrap_kernels_choose_dispatch() {
    return forced != nullptr ? *forced : __real_kernels_choose_dispatch();
}

namespace kernels::simd {

ForcedDispatch::ForcedDispatch(Dispatch dispatch) : previous_(forced), dispatch_(dispatch) { forced = &dispatch_; }

ForcedDispatch::ForcedDispatch(SimdPath path) : ForcedDispatch(dispatch_for(path)) {}

ForcedDispatch::~ForcedDispatch() { forced = previous_; }

}  // namespace kernels::simd
