// The AVX-512 target: sixteen float lanes in one 512-bit register; the sixteen
// double lanes they widen to are two registers (lanes 0-7, lanes 8-15); masks
// are mask registers, one bit per lane.
// Include only from source files compiled with -mavx512f -mavx512dq -mavx2 -mfma.
#pragma once

#if !defined(__AVX512F__) || !defined(__AVX512DQ__)
#error "lanes_avx512.h needs a source file compiled with -mavx512f -mavx512dq"
#endif

// GCC 12's AVX-512 header initialises some undefined-value registers from
// themselves, which -Wuninitialized reports at every use.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#if !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <immintrin.h>
#pragma GCC diagnostic pop

#include <cstdint>

#include "simd/lanes.h"

namespace kernels::simd::avx512 {

struct Mask {
    __mmask16 v;
    static Mask first(int n) { return {static_cast<__mmask16>((1u << n) - 1u)}; }
};
struct F32 {
    __m512 v;
    static F32 splat(float a) { return {_mm512_set1_ps(a)}; }
    static F32 load(const float *p) { return {_mm512_loadu_ps(p)}; }
    // Lanes n..15 are not read (no fault past the end of an array).
    static F32 load_first(const float *p, int n) { return {_mm512_maskz_loadu_ps(Mask::first(n).v, p)}; }
};
struct F64 {
    __m512d lo, hi;
    static F64 splat(double a) { return {_mm512_set1_pd(a), _mm512_set1_pd(a)}; }
};
struct U64 {
    __m512i lo, hi;
    static U64 splat(uint64_t a) {
        const __m512i v = _mm512_set1_epi64(static_cast<long long>(a));
        return {v, v};
    }
};

struct I32 {
    __m512i v;
    static I32 splat(int32_t a) { return {_mm512_set1_epi32(a)}; }
};

struct Target {
    static constexpr int lanes = 16;
    using F32 = avx512::F32;
    using F64 = avx512::F64;
    using U64 = avx512::U64;
    using I32 = avx512::I32;
    using Mask = avx512::Mask;
};

namespace detail {
inline Mask join(__mmask8 lo, __mmask8 hi) {
    return {static_cast<__mmask16>(static_cast<unsigned>(lo) | (static_cast<unsigned>(hi) << 8))};
}
inline __mmask8 low(Mask m) { return static_cast<__mmask8>(m.v & 0xFFu); }
inline __mmask8 high(Mask m) { return static_cast<__mmask8>(m.v >> 8); }
}  // namespace detail

inline Mask operator&(Mask a, Mask b) { return {static_cast<__mmask16>(a.v & b.v)}; }
inline Mask operator|(Mask a, Mask b) { return {static_cast<__mmask16>(a.v | b.v)}; }
inline Mask operator~(Mask a) { return {static_cast<__mmask16>(~a.v)}; }
inline uint32_t mask_bits(Mask a) { return a.v; }
inline bool any(Mask a) { return a.v != 0; }
inline bool all(Mask a) { return a.v == 0xFFFFu; }

inline void store(F32 a, float *p) { _mm512_storeu_ps(p, a.v); }
inline void store_first(F32 a, float *p, int n) { _mm512_mask_storeu_ps(p, Mask::first(n).v, a.v); }

inline F32 operator+(F32 a, F32 b) { return {_mm512_add_ps(a.v, b.v)}; }
inline F32 operator-(F32 a, F32 b) { return {_mm512_sub_ps(a.v, b.v)}; }
inline F32 operator*(F32 a, F32 b) { return {_mm512_mul_ps(a.v, b.v)}; }
inline F32 operator/(F32 a, F32 b) { return {_mm512_div_ps(a.v, b.v)}; }
inline F32 operator-(F32 a) { return {_mm512_xor_ps(a.v, _mm512_set1_ps(-0.0f))}; }
inline F32 abs(F32 a) { return {_mm512_andnot_ps(_mm512_set1_ps(-0.0f), a.v)}; }
inline F32 sqrt(F32 a) { return {_mm512_sqrt_ps(a.v)}; }
inline F32 fused_mul_add(F32 a, F32 b, F32 c) { return {_mm512_fmadd_ps(a.v, b.v, c.v)}; }
inline Mask operator<(F32 a, F32 b) { return {_mm512_cmp_ps_mask(a.v, b.v, _CMP_LT_OQ)}; }
inline Mask operator<=(F32 a, F32 b) { return {_mm512_cmp_ps_mask(a.v, b.v, _CMP_LE_OQ)}; }
inline Mask operator>(F32 a, F32 b) { return {_mm512_cmp_ps_mask(a.v, b.v, _CMP_GT_OQ)}; }
inline Mask operator>=(F32 a, F32 b) { return {_mm512_cmp_ps_mask(a.v, b.v, _CMP_GE_OQ)}; }
inline Mask operator==(F32 a, F32 b) { return {_mm512_cmp_ps_mask(a.v, b.v, _CMP_EQ_OQ)}; }
inline F32 select(Mask m, F32 yes, F32 no) { return {_mm512_mask_blend_ps(m.v, no.v, yes.v)}; }

#define KERNELS_AVX512_F64_BINARY(op, intrinsic)                                         \
    inline F64 operator op(F64 a, F64 b) { return {intrinsic(a.lo, b.lo), intrinsic(a.hi, b.hi)}; }
KERNELS_AVX512_F64_BINARY(+, _mm512_add_pd)
KERNELS_AVX512_F64_BINARY(-, _mm512_sub_pd)
KERNELS_AVX512_F64_BINARY(*, _mm512_mul_pd)
KERNELS_AVX512_F64_BINARY(/, _mm512_div_pd)
#undef KERNELS_AVX512_F64_BINARY
inline F64 operator-(F64 a) {
    const __m512d sign = _mm512_set1_pd(-0.0);
    return {_mm512_xor_pd(a.lo, sign), _mm512_xor_pd(a.hi, sign)};
}
inline F64 abs(F64 a) {
    const __m512d sign = _mm512_set1_pd(-0.0);
    return {_mm512_andnot_pd(sign, a.lo), _mm512_andnot_pd(sign, a.hi)};
}
inline F64 sqrt(F64 a) { return {_mm512_sqrt_pd(a.lo), _mm512_sqrt_pd(a.hi)}; }
inline F64 fused_mul_add(F64 a, F64 b, F64 c) {
    return {_mm512_fmadd_pd(a.lo, b.lo, c.lo), _mm512_fmadd_pd(a.hi, b.hi, c.hi)};
}
#define KERNELS_AVX512_F64_COMPARE(op, predicate)                                        \
    inline Mask operator op(F64 a, F64 b) {                                              \
        return detail::join(_mm512_cmp_pd_mask(a.lo, b.lo, predicate), _mm512_cmp_pd_mask(a.hi, b.hi, predicate)); \
    }
KERNELS_AVX512_F64_COMPARE(<, _CMP_LT_OQ)
KERNELS_AVX512_F64_COMPARE(<=, _CMP_LE_OQ)
KERNELS_AVX512_F64_COMPARE(>, _CMP_GT_OQ)
KERNELS_AVX512_F64_COMPARE(>=, _CMP_GE_OQ)
KERNELS_AVX512_F64_COMPARE(==, _CMP_EQ_OQ)
#undef KERNELS_AVX512_F64_COMPARE
inline F64 select(Mask m, F64 yes, F64 no) {
    return {_mm512_mask_blend_pd(detail::low(m), no.lo, yes.lo),
            _mm512_mask_blend_pd(detail::high(m), no.hi, yes.hi)};
}

inline F64 to_f64(F32 a) {
    const __m256 upper = _mm256_castpd_ps(_mm512_extractf64x4_pd(_mm512_castps_pd(a.v), 1));
    return {_mm512_cvtps_pd(_mm512_castps512_ps256(a.v)), _mm512_cvtps_pd(upper)};
}
inline F32 to_f32(F64 a) {
    const __m512 lower = _mm512_castps256_ps512(_mm512_cvtpd_ps(a.lo));
    return {_mm512_insertf32x8(lower, _mm512_cvtpd_ps(a.hi), 1)};
}
inline F64 round_toward_zero(F64 a) {
    constexpr int mode = _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC;
    return {_mm512_roundscale_pd(a.lo, mode), _mm512_roundscale_pd(a.hi, mode)};
}
inline F64 round_down(F64 a) {
    constexpr int mode = _MM_FROUND_TO_NEG_INF | _MM_FROUND_NO_EXC;
    return {_mm512_roundscale_pd(a.lo, mode), _mm512_roundscale_pd(a.hi, mode)};
}
inline U64 as_u64(F64 a) { return {_mm512_castpd_si512(a.lo), _mm512_castpd_si512(a.hi)}; }
inline F64 as_f64(U64 a) { return {_mm512_castsi512_pd(a.lo), _mm512_castsi512_pd(a.hi)}; }

inline U64 bits_u64(F32 a) {
    const __m512i pattern = _mm512_castps_si512(a.v);
    return {_mm512_cvtepu32_epi64(_mm512_castsi512_si256(pattern)),
            _mm512_cvtepu32_epi64(_mm512_extracti64x4_epi64(pattern, 1))};
}
inline F64 to_f64_signed(U64 a) { return {_mm512_cvtepi64_pd(a.lo), _mm512_cvtepi64_pd(a.hi)}; }
inline U64 operator+(U64 a, U64 b) { return {_mm512_add_epi64(a.lo, b.lo), _mm512_add_epi64(a.hi, b.hi)}; }
inline U64 operator-(U64 a, U64 b) { return {_mm512_sub_epi64(a.lo, b.lo), _mm512_sub_epi64(a.hi, b.hi)}; }
inline U64 operator|(U64 a, U64 b) { return {_mm512_or_si512(a.lo, b.lo), _mm512_or_si512(a.hi, b.hi)}; }
inline U64 mul_u32(U64 a, U64 b) { return {_mm512_mul_epu32(a.lo, b.lo), _mm512_mul_epu32(a.hi, b.hi)}; }
inline U64 shift_left(U64 a, U64 counts) {
    return {_mm512_sllv_epi64(a.lo, counts.lo), _mm512_sllv_epi64(a.hi, counts.hi)};
}
inline U64 select(Mask m, U64 yes, U64 no) {
    return {_mm512_mask_blend_epi64(detail::low(m), no.lo, yes.lo),
            _mm512_mask_blend_epi64(detail::high(m), no.hi, yes.hi)};
}
inline U64 operator&(U64 a, U64 b) { return {_mm512_and_si512(a.lo, b.lo), _mm512_and_si512(a.hi, b.hi)}; }
inline U64 operator^(U64 a, U64 b) { return {_mm512_xor_si512(a.lo, b.lo), _mm512_xor_si512(a.hi, b.hi)}; }
inline U64 shift_left(U64 a, int n) { return {_mm512_slli_epi64(a.lo, n), _mm512_slli_epi64(a.hi, n)}; }
inline U64 shift_right(U64 a, int n) { return {_mm512_srli_epi64(a.lo, n), _mm512_srli_epi64(a.hi, n)}; }
inline Mask nonzero(U64 a) {
    return detail::join(_mm512_test_epi64_mask(a.lo, a.lo), _mm512_test_epi64_mask(a.hi, a.hi));
}
// index lanes must lie inside the table.
inline U64 gather(const uint64_t *table, U64 index) {
    return {_mm512_i64gather_epi64(index.lo, table, 8), _mm512_i64gather_epi64(index.hi, table, 8)};
}
// table.word[index mod 32] without a gather: two-register permutes pick
// entries 0-15 and 16-31 by the index's bits 0-3, bit 4 chooses between them.
inline U64 lookup32(const Table32 &table, U64 index) {
    const auto load = [&](int k) { return _mm512_loadu_si512(table.word + 8 * k); };
    const __m512i t0 = load(0), t1 = load(1), t2 = load(2), t3 = load(3);
    const __m512i bit4 = _mm512_set1_epi64(16);
    const auto pick = [&](__m512i i) {
        const __m512i low = _mm512_permutex2var_epi64(t0, i, t1);
        const __m512i high = _mm512_permutex2var_epi64(t2, i, t3);
        return _mm512_mask_blend_epi64(_mm512_test_epi64_mask(i, bit4), low, high);
    };
    return {pick(index.lo), pick(index.hi)};
}
// base[index] and base[index + 1], as one 64-bit gather per pair; index + 1
// must lie inside the array.
inline void gather_pairs(const float *base, U64 index, F32 *first, F32 *second) {
    const __m512 lo = _mm512_castsi512_ps(_mm512_i64gather_epi64(index.lo, base, 4));
    const __m512 hi = _mm512_castsi512_ps(_mm512_i64gather_epi64(index.hi, base, 4));
    const __m512i even = _mm512_setr_epi32(0, 2, 4, 6, 8, 10, 12, 14, 16, 18, 20, 22, 24, 26, 28, 30);
    const __m512i odd = _mm512_setr_epi32(1, 3, 5, 7, 9, 11, 13, 15, 17, 19, 21, 23, 25, 27, 29, 31);
    *first = {_mm512_permutex2var_ps(lo, even, hi)};
    *second = {_mm512_permutex2var_ps(lo, odd, hi)};
}

inline I32 to_i32_toward_zero(F32 a) { return {_mm512_cvttps_epi32(a.v)}; }
inline F32 to_f32(I32 a) { return {_mm512_cvtepi32_ps(a.v)}; }
inline I32 select(Mask m, I32 yes, I32 no) { return {_mm512_mask_blend_epi32(m.v, no.v, yes.v)}; }
// index lanes must lie inside the table.
inline F32 gather(const float *table, I32 index) { return {_mm512_i32gather_ps(index.v, table, 4)}; }

}  // namespace kernels::simd::avx512
