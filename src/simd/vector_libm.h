// expf and sincosf on every lane of a target, returning exactly the bits the
// platform's scalar functions return.
//
// The fast paths replay, in double lanes, the operation sequence of the libm
// variant the platform runs on FMA+AVX2 CPUs, with its fused multiply-adds in
// the same places (written out: nothing else fuses); lanes outside the fast
// path (expf: |x| >= 88, infinities, NaN; sincosf: infinities, NaN) call
// the scalar function.  Rounding follows the caller's MXCSR, as the
// scalar functions' does.  Valid only where libm_runs_fma_variant()
// (dispatch/dispatch.h) holds; VectorLibm makes that choice for a kernel.
#pragma once

#include <math.h>

#include <cstddef>
#include <cstdint>

#include "simd/lanes.h"
#include "simd/libm_fma_constants.h"

namespace kernels::simd {

namespace detail {

// Calls f(input) on the lanes of m; other lanes keep `result`.  Kept out of
// line: the lanes it serves are rare, and the hot code stays free of the
// stack arrays it needs.
template <class T, class F>
__attribute__((noinline, cold)) typename T::F32 per_lane(typename T::F32 x, typename T::F32 result, typename T::Mask m, F f) {
    float in[T::lanes];
    float out[T::lanes];
    store(x, in);
    store(result, out);
    for (uint32_t lanes = mask_bits(m); lanes != 0; lanes &= lanes - 1) {
        const int i = __builtin_ctz(lanes);
        out[i] = f(in[i]);
    }
    return T::F32::load(out);
}

// sincosf on the lanes of m; other lanes keep *sin_x and *cos_x.
template <class T>
__attribute__((noinline, cold)) void per_lane_sincosf(typename T::F32 x, typename T::Mask m, typename T::F32 *sin_x, typename T::F32 *cos_x) {
    float in[T::lanes];
    float s[T::lanes];
    float c[T::lanes];
    store(x, in);
    store(*sin_x, s);
    store(*cos_x, c);
    for (uint32_t lanes = mask_bits(m); lanes != 0; lanes &= lanes - 1) {
        const int i = __builtin_ctz(lanes);
        ::sincosf(in[i], &s[i], &c[i]);
    }
    *sin_x = T::F32::load(s);
    *cos_x = T::F32::load(c);
}

}  // namespace detail

template <class T>
__attribute__((always_inline)) inline typename T::F32 vector_expf(typename T::F32 x) {
    using namespace libm_fma;
    using F32 = typename T::F32;
    using F64 = typename T::F64;
    using U64 = typename T::U64;
    const F64 xd = to_f64(x);
    const F64 inv_ln2_n = F64::splat(EXP_INV_LN2_N);
    F64 kd = fused_mul_add(inv_ln2_n, xd, F64::splat(EXP_SHIFT));
    const U64 ki = as_u64(kd);
    kd = kd - F64::splat(EXP_SHIFT);
    const F64 r = fused_mul_add(inv_ln2_n, xd, -kd);
    const F64 s = as_f64(lookup32(EXP2_LOOKUP, ki) + shift_left(ki, 52 - EXP2_TABLE_BITS));
    const F64 z = fused_mul_add(F64::splat(EXP_C0), r, F64::splat(EXP_C1));
    const F64 r2 = r * r;
    F64 y = fused_mul_add(F64::splat(EXP_C2), r, F64::splat(1.0));
    y = fused_mul_add(z, r2, y);
    y = y * s;
    const F32 result = to_f32(y);
    const auto outside = ~(abs(x) < F32::splat(EXP_FAST_LIMIT));
    if (!any(outside))
        return result;
    return detail::per_lane<T>(x, result, outside, [](float v) { return ::expf(v); });
}

template <class T>
__attribute__((always_inline)) inline void vector_sincosf(typename T::F32 x, typename T::F32 *sin_out, typename T::F32 *cos_out) {
    using namespace libm_fma;
    using F32 = typename T::F32;
    using F64 = typename T::F64;
    using U64 = typename T::U64;
    const F32 ax = abs(x);
    const F64 xd = to_f64(x);
    // Fast reduction, |x| < 120: n = ((int32)(x * 2/pi * 2^24) + 2^23) >> 24,
    // done exactly in double, and x - n * pi/2 with one rounding.
    const F64 scaled = round_toward_zero(xd * F64::splat(HALF_PI_INV_2P24));
    const F64 n = round_down((scaled + F64::splat(0x1p23)) * F64::splat(0x1p-24));
    F64 xr = fused_mul_add(-n, F64::splat(HALF_PI), xd);
    // The low bits of n + 1.5 * 2^52 are n in two's complement.
    U64 quadrant = as_u64(n + F64::splat(0x1.8p52));
    U64 swap_parity = quadrant;
    const auto large = ~(ax < F32::splat(SINCOS_FAST_LIMIT));
    if (any(large)) {
        // Large reduction, in 64-bit integer lanes: the mantissa (shifted by
        // the low exponent bits) times 96 bits of 4/pi chosen by the high ones.
        const U64 xi = bits_u64(x);
        const U64 word = shift_right(xi, 26) & U64::splat(15);
        const U64 mantissa = shift_left((xi & U64::splat(0xffffff)) | U64::splat(0x800000),
                                        shift_right(xi, 23) & U64::splat(7));
        const U64 high = shift_left(mul_u32(mantissa, gather(INV_PIO4, word)), 32);  // low 32 bits only
        const U64 middle = mul_u32(mantissa, gather(INV_PIO4, word + U64::splat(4)));
        const U64 low = mul_u32(mantissa, gather(INV_PIO4, word + U64::splat(8)));
        U64 fixed = (shift_right(low, 32) | high) + middle;
        const U64 n_large = shift_right(fixed + U64::splat(uint64_t{1} << 61), 62);
        fixed = fixed - shift_left(n_large, 62);
        const F64 xr_large = to_f64_signed(fixed) * F64::splat(HALF_PI_2M62);
        xr = select(large, xr_large, xr);
        // Signs and coefficients follow n plus the sign of x; the swap, n alone.
        quadrant = select(large, n_large + shift_right(xi, 31), quadrant);
        swap_parity = select(large, n_large, swap_parity);
    }
    // Quadrants 1 and 2 negate the reduced argument, 2 and 3 the cosine
    // coefficients; odd quadrants swap sine and cosine.
    const U64 one = U64::splat(1);
    const U64 negate_x = shift_left((quadrant ^ shift_right(quadrant, 1)) & one, 63);
    const U64 negate_c = shift_left(quadrant & U64::splat(2), 62);
    const auto swap = nonzero(swap_parity & one);
    const auto coefficient = [&](double c) { return as_f64(as_u64(F64::splat(c)) ^ negate_c); };

    const F64 xs = as_f64(as_u64(xr) ^ negate_x);
    const F64 x2 = xr * xr;
    const F64 x3 = x2 * xs;
    const F64 x4 = x2 * x2;
    const F64 x5 = x3 * x2;
    const F64 x6 = x4 * x2;
    const F64 s_high = fused_mul_add(x2, F64::splat(SIN_S3), F64::splat(SIN_S2));
    const F64 s_low = fused_mul_add(x3, F64::splat(SIN_S1), xs);
    const F64 sin_poly = fused_mul_add(s_high, x5, s_low);
    const F64 c_high = fused_mul_add(x2, coefficient(COS_C4), coefficient(COS_C3));
    const F64 c_low = fused_mul_add(x4, coefficient(COS_C2), fused_mul_add(x2, coefficient(COS_C1), coefficient(COS_C0)));
    const F64 cos_poly = fused_mul_add(c_high, x6, c_low);
    const F32 sin_f = to_f32(sin_poly);
    const F32 cos_f = to_f32(cos_poly);
    F32 sin_x = select(swap, cos_f, sin_f);
    F32 cos_x = select(swap, sin_f, cos_f);

    const auto tiny = ax < F32::splat(SINCOS_TINY_LIMIT);
    sin_x = select(tiny, x, sin_x);
    cos_x = select(tiny, F32::splat(1.0f), cos_x);
    const auto outside = ~(ax < F32::splat(INFINITY));
    if (any(outside))
        detail::per_lane_sincosf<T>(x, outside, &sin_x, &cos_x);
    *sin_out = sin_x;
    *cos_out = cos_x;
}

// The libm a kernel instantiated on T calls: the vector functions above when
// the platform runs the variant they reproduce, else the scalar functions lane
// by lane.  On the one-lane target it is always the scalar functions.
// A kernel builds one per call from its Dispatch's vector_libm.  Lanes the
// scalar code would not evaluate (a failed cut-off test, a row's tail) should
// get a harmless argument, e.g. select(pass, -e, F32::splat(0.0f)): an
// argument outside the fast path costs a scalar call, and one that overflows
// or underflows would set errno where the scalar code makes no call at all.
template <class T>
class VectorLibm {
  public:
    using F32 = typename T::F32;

    explicit VectorLibm(bool use_vector) : use_vector_(use_vector) {}

    // Whether the vector functions run (false: the scalar ones, lane by lane).
    bool vector() const { return T::lanes > 1 && use_vector_; }

    F32 expf(F32 x) const {
        if constexpr (T::lanes == 1) {
            return {::expf(x.v)};  // the scalar path: a plain call, nothing around it
        } else {
            if (use_vector_)
                return vector_expf<T>(x);
        }
        return detail::per_lane<T>(x, x, T::Mask::first(T::lanes), [](float v) { return ::expf(v); });
    }

    void sincosf(F32 x, F32 *sin_x, F32 *cos_x) const {
        if constexpr (T::lanes == 1) {
            ::sincosf(x.v, &sin_x->v, &cos_x->v);
            return;
        } else {
            if (use_vector_) {
                vector_sincosf<T>(x, sin_x, cos_x);
                return;
            }
        }
        *sin_x = x;
        *cos_x = x;
        detail::per_lane_sincosf<T>(x, T::Mask::first(T::lanes), sin_x, cos_x);
    }

  private:
    bool use_vector_;
};

// The functions over arrays of n floats, T::lanes at a time, the last
// vector partly filled (as a kernel walks a row).
template <class T>
void expf_lanes(const VectorLibm<T> &libm, const float *x, float *y, size_t n) {
    using F32 = typename T::F32;
    size_t i = 0;
    for (; i + T::lanes <= n; i += T::lanes)
        store(libm.expf(F32::load(x + i)), y + i);
    if (i < n) {
        const int rest = static_cast<int>(n - i);
        store_first(libm.expf(F32::load_first(x + i, rest)), y + i, rest);
    }
}

template <class T>
void sincosf_lanes(const VectorLibm<T> &libm, const float *x, float *sin_x, float *cos_x, size_t n) {
    using F32 = typename T::F32;
    F32 s;
    F32 c;
    size_t i = 0;
    for (; i + T::lanes <= n; i += T::lanes) {
        libm.sincosf(F32::load(x + i), &s, &c);
        store(s, sin_x + i);
        store(c, cos_x + i);
    }
    if (i < n) {
        const int rest = static_cast<int>(n - i);
        libm.sincosf(F32::load_first(x + i, rest), &s, &c);
        store_first(s, sin_x + i, rest);
        store_first(c, cos_x + i, rest);
    }
}

}  // namespace kernels::simd
