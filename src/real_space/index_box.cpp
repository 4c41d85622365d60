// Index range of an atom's cut-off sphere along one grid axis (see index_box.h).
#include "real_space/index_box.h"

#include <cmath>

namespace kernels {
namespace {

// trunc(q) as a 64-bit integer, with q limited to [-2^31, 2^31] first so that
// every float converts.  NaN is left to the caller.
int64_t truncate_limited(float q) {
    constexpr float LIMIT = 2147483648.0f;  // 2^31
    if (q >= LIMIT) return static_cast<int64_t>(LIMIT);
    if (q <= -LIMIT) return -static_cast<int64_t>(LIMIT);
    return static_cast<int64_t>(q);
}

}  // namespace

IndexRange axis_index_range(float centre, float radius, float first, float step, int32_t n) {
    float low_edge = centre - radius;
    float high_edge = centre + radius;
    if (step < 0.0f) {
        low_edge = centre + radius;
        high_edge = centre - radius;
    }
    const float lo_quotient = (low_edge - first) / step;
    const float hi_quotient = (high_edge - first) / step;

    int64_t lo = std::isnan(lo_quotient) ? 0 : truncate_limited(lo_quotient);
    if (lo <= 0) lo = 0;

    const int64_t last = static_cast<int64_t>(n) - 1;
    int64_t hi = last;
    if (!std::isnan(hi_quotient)) {
        const int64_t t = truncate_limited(hi_quotient);
        hi = t < last ? t + 1 : last;
    }

    if (lo > hi) return IndexRange{1, 0};
    return IndexRange{static_cast<int32_t>(lo), static_cast<int32_t>(hi)};
}

}  // namespace kernels
