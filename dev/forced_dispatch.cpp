// The forced dispatch of each thread (see forced_dispatch.h).
#include "dev/forced_dispatch.h"

namespace kernels::simd {

namespace {

thread_local const Dispatch *forced = nullptr;

const Dispatch *forced_on_this_thread() { return forced; }

}  // namespace

ForcedDispatch::ForcedDispatch(Dispatch dispatch) : previous_(forced), dispatch_(dispatch) {
    // The library asks this program's threads from now on.
    dispatch_override.store(&forced_on_this_thread, std::memory_order_relaxed);
    forced = &dispatch_;
}

ForcedDispatch::ForcedDispatch(SimdPath path) : ForcedDispatch(dispatch_for(path)) {}

ForcedDispatch::~ForcedDispatch() { forced = previous_; }

}  // namespace kernels::simd
