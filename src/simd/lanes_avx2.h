// The AVX2+FMA target: eight float lanes in one 256-bit register; the eight
// double lanes they widen to are two registers (lanes 0-3, lanes 4-7).
// Include only from source files compiled with -mavx2 -mfma.
#pragma once

#if !defined(__AVX2__) || !defined(__FMA__)
#error "lanes_avx2.h needs a source file compiled with -mavx2 -mfma"
#endif

#include <immintrin.h>

#include <cstdint>

#include "simd/lanes.h"

namespace kernels::simd::avx2 {

// A true lane is all ones in its 32 bits (the form compares produce).
struct Mask {
    __m256 v;
    static Mask first(int n) {
        const __m256i index = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
        return {_mm256_castsi256_ps(_mm256_cmpgt_epi32(_mm256_set1_epi32(n), index))};
    }
};
struct F32 {
    __m256 v;
    static F32 splat(float a) { return {_mm256_set1_ps(a)}; }
    static F32 load(const float *p) { return {_mm256_loadu_ps(p)}; }
    // Lanes n..7 are not read (no fault past the end of an array).
    static F32 load_first(const float *p, int n) {
        return {_mm256_maskload_ps(p, _mm256_castps_si256(Mask::first(n).v))};
    }
};
struct F64 {
    __m256d lo, hi;
    static F64 splat(double a) { return {_mm256_set1_pd(a), _mm256_set1_pd(a)}; }
};
struct U64 {
    __m256i lo, hi;
    static U64 splat(uint64_t a) {
        const __m256i v = _mm256_set1_epi64x(static_cast<long long>(a));
        return {v, v};
    }
};

struct I32 {
    __m256i v;
    static I32 splat(int32_t a) { return {_mm256_set1_epi32(a)}; }
};

struct Target {
    static constexpr int lanes = 8;
    using F32 = avx2::F32;
    using F64 = avx2::F64;
    using U64 = avx2::U64;
    using I32 = avx2::I32;
    using Mask = avx2::Mask;
};

namespace detail {
// Two 4-lane double masks (64-bit lanes) -> one 8-lane mask (32-bit lanes).
inline Mask narrow(__m256d lo, __m256d hi) {
    const __m256i even = _mm256_setr_epi32(0, 2, 4, 6, 0, 2, 4, 6);
    const __m256 l = _mm256_permutevar8x32_ps(_mm256_castpd_ps(lo), even);
    const __m256 h = _mm256_permutevar8x32_ps(_mm256_castpd_ps(hi), even);
    return {_mm256_blend_ps(l, h, 0xF0)};
}
inline __m256d widen_lo(Mask m) {
    return _mm256_castsi256_pd(_mm256_cvtepi32_epi64(_mm256_castsi256_si128(_mm256_castps_si256(m.v))));
}
inline __m256d widen_hi(Mask m) {
    return _mm256_castsi256_pd(_mm256_cvtepi32_epi64(_mm256_extracti128_si256(_mm256_castps_si256(m.v), 1)));
}
}  // namespace detail

inline Mask operator&(Mask a, Mask b) { return {_mm256_and_ps(a.v, b.v)}; }
inline Mask operator|(Mask a, Mask b) { return {_mm256_or_ps(a.v, b.v)}; }
inline Mask operator~(Mask a) {
    return {_mm256_xor_ps(a.v, _mm256_castsi256_ps(_mm256_set1_epi32(-1)))};
}
inline uint32_t mask_bits(Mask a) { return static_cast<uint32_t>(_mm256_movemask_ps(a.v)); }
inline bool any(Mask a) { return mask_bits(a) != 0; }
inline bool all(Mask a) { return mask_bits(a) == 0xFFu; }

inline void store(F32 a, float *p) { _mm256_storeu_ps(p, a.v); }
inline void store_first(F32 a, float *p, int n) {
    _mm256_maskstore_ps(p, _mm256_castps_si256(Mask::first(n).v), a.v);
}

inline F32 operator+(F32 a, F32 b) { return {_mm256_add_ps(a.v, b.v)}; }
inline F32 operator-(F32 a, F32 b) { return {_mm256_sub_ps(a.v, b.v)}; }
inline F32 operator*(F32 a, F32 b) { return {_mm256_mul_ps(a.v, b.v)}; }
inline F32 operator/(F32 a, F32 b) { return {_mm256_div_ps(a.v, b.v)}; }
inline F32 operator-(F32 a) { return {_mm256_xor_ps(a.v, _mm256_set1_ps(-0.0f))}; }
inline F32 abs(F32 a) { return {_mm256_andnot_ps(_mm256_set1_ps(-0.0f), a.v)}; }
inline F32 sqrt(F32 a) { return {_mm256_sqrt_ps(a.v)}; }
inline F32 fused_mul_add(F32 a, F32 b, F32 c) { return {_mm256_fmadd_ps(a.v, b.v, c.v)}; }
inline Mask operator<(F32 a, F32 b) { return {_mm256_cmp_ps(a.v, b.v, _CMP_LT_OQ)}; }
inline Mask operator<=(F32 a, F32 b) { return {_mm256_cmp_ps(a.v, b.v, _CMP_LE_OQ)}; }
inline Mask operator>(F32 a, F32 b) { return {_mm256_cmp_ps(a.v, b.v, _CMP_GT_OQ)}; }
inline Mask operator>=(F32 a, F32 b) { return {_mm256_cmp_ps(a.v, b.v, _CMP_GE_OQ)}; }
inline Mask operator==(F32 a, F32 b) { return {_mm256_cmp_ps(a.v, b.v, _CMP_EQ_OQ)}; }
inline F32 select(Mask m, F32 yes, F32 no) { return {_mm256_blendv_ps(no.v, yes.v, m.v)}; }

#define KERNELS_AVX2_F64_BINARY(op, intrinsic)                                           \
    inline F64 operator op(F64 a, F64 b) { return {intrinsic(a.lo, b.lo), intrinsic(a.hi, b.hi)}; }
KERNELS_AVX2_F64_BINARY(+, _mm256_add_pd)
KERNELS_AVX2_F64_BINARY(-, _mm256_sub_pd)
KERNELS_AVX2_F64_BINARY(*, _mm256_mul_pd)
KERNELS_AVX2_F64_BINARY(/, _mm256_div_pd)
#undef KERNELS_AVX2_F64_BINARY
inline F64 operator-(F64 a) {
    const __m256d sign = _mm256_set1_pd(-0.0);
    return {_mm256_xor_pd(a.lo, sign), _mm256_xor_pd(a.hi, sign)};
}
inline F64 abs(F64 a) {
    const __m256d sign = _mm256_set1_pd(-0.0);
    return {_mm256_andnot_pd(sign, a.lo), _mm256_andnot_pd(sign, a.hi)};
}
inline F64 sqrt(F64 a) { return {_mm256_sqrt_pd(a.lo), _mm256_sqrt_pd(a.hi)}; }
inline F64 fused_mul_add(F64 a, F64 b, F64 c) {
    return {_mm256_fmadd_pd(a.lo, b.lo, c.lo), _mm256_fmadd_pd(a.hi, b.hi, c.hi)};
}
#define KERNELS_AVX2_F64_COMPARE(op, predicate)                                          \
    inline Mask operator op(F64 a, F64 b) {                                              \
        return detail::narrow(_mm256_cmp_pd(a.lo, b.lo, predicate), _mm256_cmp_pd(a.hi, b.hi, predicate)); \
    }
KERNELS_AVX2_F64_COMPARE(<, _CMP_LT_OQ)
KERNELS_AVX2_F64_COMPARE(<=, _CMP_LE_OQ)
KERNELS_AVX2_F64_COMPARE(>, _CMP_GT_OQ)
KERNELS_AVX2_F64_COMPARE(>=, _CMP_GE_OQ)
KERNELS_AVX2_F64_COMPARE(==, _CMP_EQ_OQ)
#undef KERNELS_AVX2_F64_COMPARE
inline F64 select(Mask m, F64 yes, F64 no) {
    return {_mm256_blendv_pd(no.lo, yes.lo, detail::widen_lo(m)),
            _mm256_blendv_pd(no.hi, yes.hi, detail::widen_hi(m))};
}

inline F64 to_f64(F32 a) {
    return {_mm256_cvtps_pd(_mm256_castps256_ps128(a.v)), _mm256_cvtps_pd(_mm256_extractf128_ps(a.v, 1))};
}
inline F32 to_f32(F64 a) { return {_mm256_set_m128(_mm256_cvtpd_ps(a.hi), _mm256_cvtpd_ps(a.lo))}; }
inline F64 round_toward_zero(F64 a) {
    constexpr int mode = _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC;
    return {_mm256_round_pd(a.lo, mode), _mm256_round_pd(a.hi, mode)};
}
inline F64 round_down(F64 a) {
    constexpr int mode = _MM_FROUND_TO_NEG_INF | _MM_FROUND_NO_EXC;
    return {_mm256_round_pd(a.lo, mode), _mm256_round_pd(a.hi, mode)};
}
inline U64 as_u64(F64 a) { return {_mm256_castpd_si256(a.lo), _mm256_castpd_si256(a.hi)}; }
inline F64 as_f64(U64 a) { return {_mm256_castsi256_pd(a.lo), _mm256_castsi256_pd(a.hi)}; }

inline U64 bits_u64(F32 a) {
    const __m256i pattern = _mm256_castps_si256(a.v);
    return {_mm256_cvtepu32_epi64(_mm256_castsi256_si128(pattern)),
            _mm256_cvtepu32_epi64(_mm256_extracti128_si256(pattern, 1))};
}
namespace detail {
// int64 -> double rounded once (AVX2 has no such conversion): the high half
// as int32 times 2^32 and the low half as uint32 are exact, their sum rounds.
inline __m256d int64_to_double(__m256i v) {
    const __m256i odd = _mm256_setr_epi32(1, 3, 5, 7, 1, 3, 5, 7);
    const __m256d high = _mm256_cvtepi32_pd(_mm256_castsi256_si128(_mm256_permutevar8x32_epi32(v, odd)));
    const __m256i two52 = _mm256_set1_epi64x(0x4330000000000000);
    const __m256i low_bits = _mm256_blend_epi32(v, two52, 0xAA);
    const __m256d low = _mm256_sub_pd(_mm256_castsi256_pd(low_bits), _mm256_castsi256_pd(two52));
    return _mm256_add_pd(_mm256_mul_pd(high, _mm256_set1_pd(0x1p32)), low);
}
}  // namespace detail
inline F64 to_f64_signed(U64 a) { return {detail::int64_to_double(a.lo), detail::int64_to_double(a.hi)}; }
inline U64 operator+(U64 a, U64 b) { return {_mm256_add_epi64(a.lo, b.lo), _mm256_add_epi64(a.hi, b.hi)}; }
inline U64 operator-(U64 a, U64 b) { return {_mm256_sub_epi64(a.lo, b.lo), _mm256_sub_epi64(a.hi, b.hi)}; }
inline U64 operator|(U64 a, U64 b) { return {_mm256_or_si256(a.lo, b.lo), _mm256_or_si256(a.hi, b.hi)}; }
inline U64 mul_u32(U64 a, U64 b) { return {_mm256_mul_epu32(a.lo, b.lo), _mm256_mul_epu32(a.hi, b.hi)}; }
inline U64 shift_left(U64 a, U64 counts) {
    return {_mm256_sllv_epi64(a.lo, counts.lo), _mm256_sllv_epi64(a.hi, counts.hi)};
}
inline U64 select(Mask m, U64 yes, U64 no) {
    const auto pick = [](__m256i n, __m256i y, __m256d mask) {
        return _mm256_castpd_si256(_mm256_blendv_pd(_mm256_castsi256_pd(n), _mm256_castsi256_pd(y), mask));
    };
    return {pick(no.lo, yes.lo, detail::widen_lo(m)), pick(no.hi, yes.hi, detail::widen_hi(m))};
}
inline U64 operator&(U64 a, U64 b) { return {_mm256_and_si256(a.lo, b.lo), _mm256_and_si256(a.hi, b.hi)}; }
inline U64 operator^(U64 a, U64 b) { return {_mm256_xor_si256(a.lo, b.lo), _mm256_xor_si256(a.hi, b.hi)}; }
inline U64 shift_left(U64 a, int n) { return {_mm256_slli_epi64(a.lo, n), _mm256_slli_epi64(a.hi, n)}; }
inline U64 shift_right(U64 a, int n) { return {_mm256_srli_epi64(a.lo, n), _mm256_srli_epi64(a.hi, n)}; }
inline Mask nonzero(U64 a) {
    const __m256i zero = _mm256_setzero_si256();
    return ~detail::narrow(_mm256_castsi256_pd(_mm256_cmpeq_epi64(a.lo, zero)),
                           _mm256_castsi256_pd(_mm256_cmpeq_epi64(a.hi, zero)));
}
// index lanes must lie inside the table.
inline U64 gather(const uint64_t *table, U64 index) {
    const auto *base = reinterpret_cast<const long long *>(table);
    return {_mm256_i64gather_epi64(base, index.lo, 8), _mm256_i64gather_epi64(base, index.hi, 8)};
}
// table.word[index mod 32] without a gather.  The eight lanes' indices are
// packed into one register of 32-bit lanes, in the order [0 1 4 5 | 2 3 6 7]
// that makes the final unpacks give lanes 0-3 and 4-7; the low and the high
// halves of the words are then each picked from four registers of eight
// (vpermd uses the index's bits 0-2) and blended by bits 3 and 4.
inline U64 lookup32(const Table32 &table, U64 index) {
    const __m256i packed = _mm256_castps_si256(_mm256_shuffle_ps(
        _mm256_castsi256_ps(index.lo), _mm256_castsi256_ps(index.hi), _MM_SHUFFLE(2, 0, 2, 0)));
    const __m256 bit3 = _mm256_castsi256_ps(_mm256_slli_epi32(packed, 28));
    const __m256 bit4 = _mm256_castsi256_ps(_mm256_slli_epi32(packed, 27));
    const auto pick = [&](const uint32_t *half) {
        const auto part = [&](int k) {
            const __m256i words = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(half + 8 * k));
            return _mm256_castsi256_ps(_mm256_permutevar8x32_epi32(words, packed));
        };
        const __m256 low16 = _mm256_blendv_ps(part(0), part(1), bit3);
        const __m256 high16 = _mm256_blendv_ps(part(2), part(3), bit3);
        return _mm256_castps_si256(_mm256_blendv_ps(low16, high16, bit4));
    };
    const __m256i low = pick(table.low);
    const __m256i high = pick(table.high);
    return {_mm256_unpacklo_epi32(low, high), _mm256_unpackhi_epi32(low, high)};
}
// base[index] and base[index + 1], as one 64-bit gather per pair; index + 1
// must lie inside the array.
inline void gather_pairs(const float *base, U64 index, F32 *first, F32 *second) {
    const auto *words = reinterpret_cast<const long long *>(base);
    const __m256i split = _mm256_setr_epi32(0, 2, 4, 6, 1, 3, 5, 7);
    const __m256 lo = _mm256_permutevar8x32_ps(_mm256_castsi256_ps(_mm256_i64gather_epi64(words, index.lo, 4)), split);
    const __m256 hi = _mm256_permutevar8x32_ps(_mm256_castsi256_ps(_mm256_i64gather_epi64(words, index.hi, 4)), split);
    *first = {_mm256_permute2f128_ps(lo, hi, 0x20)};
    *second = {_mm256_permute2f128_ps(lo, hi, 0x31)};
}

inline I32 to_i32_toward_zero(F32 a) { return {_mm256_cvttps_epi32(a.v)}; }
inline F32 to_f32(I32 a) { return {_mm256_cvtepi32_ps(a.v)}; }
inline I32 select(Mask m, I32 yes, I32 no) {
    return {_mm256_castps_si256(_mm256_blendv_ps(_mm256_castsi256_ps(no.v), _mm256_castsi256_ps(yes.v), m.v))};
}
// index lanes must lie inside the table.
inline F32 gather(const float *table, I32 index) { return {_mm256_i32gather_ps(table, index.v, 4)}; }

}  // namespace kernels::simd::avx2
