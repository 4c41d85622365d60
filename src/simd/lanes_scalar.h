// The one-lane target: the lane operations as plain C++ scalar arithmetic.
// Kernels instantiated on it compute exactly what a hand-written scalar loop
// computes, and it needs no instruction-set flags.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>

#include "simd/lanes.h"

namespace kernels::simd::scalar {

struct Mask {
    bool v;
    static Mask first(int) { return {true}; }
};
struct F32 {
    float v;
    static F32 splat(float a) { return {a}; }
    static F32 load(const float *p) { return {*p}; }
    static F32 load_first(const float *p, int) { return {*p}; }
};
struct F64 {
    double v;
    static F64 splat(double a) { return {a}; }
};
struct U64 {
    uint64_t v;
    static U64 splat(uint64_t a) { return {a}; }
};
struct I32 {
    int32_t v;
    static I32 splat(int32_t a) { return {a}; }
};

struct Target {
    static constexpr int lanes = 1;
    using F32 = scalar::F32;
    using F64 = scalar::F64;
    using U64 = scalar::U64;
    using I32 = scalar::I32;
    using Mask = scalar::Mask;
};

inline Mask operator&(Mask a, Mask b) { return {a.v && b.v}; }
inline Mask operator|(Mask a, Mask b) { return {a.v || b.v}; }
inline Mask operator~(Mask a) { return {!a.v}; }
inline bool any(Mask a) { return a.v; }
inline bool all(Mask a) { return a.v; }
inline uint32_t mask_bits(Mask a) { return a.v ? 1u : 0u; }

inline void store(F32 a, float *p) { *p = a.v; }
inline void store_first(F32 a, float *p, int) { *p = a.v; }

#define KERNELS_SIMD_SCALAR_OPS(V)                                                        \
    inline V operator+(V a, V b) { return {a.v + b.v}; }                                  \
    inline V operator-(V a, V b) { return {a.v - b.v}; }                                  \
    inline V operator*(V a, V b) { return {a.v * b.v}; }                                  \
    inline V operator/(V a, V b) { return {a.v / b.v}; }                                  \
    inline V operator-(V a) { return {-a.v}; }                                            \
    inline V abs(V a) { return {std::fabs(a.v)}; }                                        \
    inline V sqrt(V a) { return {std::sqrt(a.v)}; }                                       \
    inline V fused_mul_add(V a, V b, V c) { return {std::fma(a.v, b.v, c.v)}; }           \
    inline Mask operator<(V a, V b) { return {a.v < b.v}; }                               \
    inline Mask operator<=(V a, V b) { return {a.v <= b.v}; }                             \
    inline Mask operator>(V a, V b) { return {a.v > b.v}; }                               \
    inline Mask operator>=(V a, V b) { return {a.v >= b.v}; }                             \
    inline Mask operator==(V a, V b) { return {a.v == b.v}; }                             \
    inline V select(Mask m, V yes, V no) { return m.v ? yes : no; }
KERNELS_SIMD_SCALAR_OPS(F32)
KERNELS_SIMD_SCALAR_OPS(F64)
#undef KERNELS_SIMD_SCALAR_OPS

inline F64 to_f64(F32 a) { return {static_cast<double>(a.v)}; }
inline F32 to_f32(F64 a) { return {static_cast<float>(a.v)}; }
inline F64 round_toward_zero(F64 a) { return {std::trunc(a.v)}; }
inline F64 round_down(F64 a) { return {std::floor(a.v)}; }
inline U64 as_u64(F64 a) {
    U64 u;
    std::memcpy(&u.v, &a.v, sizeof u.v);
    return u;
}
inline F64 as_f64(U64 a) {
    F64 d;
    std::memcpy(&d.v, &a.v, sizeof d.v);
    return d;
}

inline U64 bits_u64(F32 a) {
    uint32_t pattern;
    std::memcpy(&pattern, &a.v, sizeof pattern);
    return {pattern};
}
inline F64 to_f64_signed(U64 a) { return {static_cast<double>(static_cast<int64_t>(a.v))}; }
inline U64 operator+(U64 a, U64 b) { return {a.v + b.v}; }
inline U64 operator-(U64 a, U64 b) { return {a.v - b.v}; }
inline U64 operator|(U64 a, U64 b) { return {a.v | b.v}; }
inline U64 mul_u32(U64 a, U64 b) { return {(a.v & 0xFFFFFFFFu) * (b.v & 0xFFFFFFFFu)}; }
inline U64 shift_left(U64 a, U64 counts) { return {a.v << counts.v}; }
inline U64 select(Mask m, U64 yes, U64 no) { return m.v ? yes : no; }
inline U64 operator&(U64 a, U64 b) { return {a.v & b.v}; }
inline U64 operator^(U64 a, U64 b) { return {a.v ^ b.v}; }
inline U64 shift_left(U64 a, int n) { return {a.v << n}; }
inline U64 shift_right(U64 a, int n) { return {a.v >> n}; }
inline Mask nonzero(U64 a) { return {a.v != 0}; }
inline U64 gather(const uint64_t *table, U64 index) { return {table[index.v]}; }
inline U64 lookup32(const Table32 &table, U64 index) { return {table.word[index.v & 31u]}; }
inline void gather_pairs(const float *base, U64 index, F32 *first, F32 *second) {
    *first = {base[index.v]};
    *second = {base[index.v + 1]};
}

inline I32 to_i32_toward_zero(F32 a) { return {static_cast<int32_t>(a.v)}; }
inline F32 to_f32(I32 a) { return {static_cast<float>(a.v)}; }
inline I32 select(Mask m, I32 yes, I32 no) { return m.v ? yes : no; }
inline F32 gather(const float *table, I32 index) { return {table[index.v]}; }

}  // namespace kernels::simd::scalar
