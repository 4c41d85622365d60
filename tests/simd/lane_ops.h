// A small kernel written once over the lane abstraction, instantiated per
// target in lane_ops_<target>.cpp: every lane operation a kernel uses, over
// arrays of any length (full vectors, then one partial vector).
#pragma once

#include <cstddef>
#include <cstdint>

#include "simd/targets.h"

namespace simd_test {

struct LaneOpsOutput {
    float *sum, *select_min, *fused, *root, *negated_abs;
    float *double_product;  // (float)((double)a * (double)b)
    float *double_select;   // a >= b in double ? a : b, then exact back to float
    float *truncated;       // trunc((double)a), floor((double)b) summed
    float *table;           // (float)LANE_OPS_TABLE[trunc(|b|) mod 8]
    float *nonzero_index;   // trunc(|b|) mod 8 != 0 ? a : -1
    float *integer_mix;     // (float)(double)(int64)(a < b ? p - q : q - p), with
                            // p = bits(a) * bits(b), q = (bits(a) | 1) << (bits(b) & 31)
    float *float_table;     // LANE_OPS_FLOAT_TABLE[|b| < 8 ? (int32)|b| : 7]
    float *truncated_i32;   // (float)(int32)(|b| < 8 ? b : -7.75), a pass through int32
    uint32_t *masks;        // mask_bits of (a < b) per vector
};

struct LaneOpsRun {
    void (*run)(const float *a, const float *b, size_t n, const LaneOpsOutput &out);
    int lanes;
};

// lane_ops_<target>() for every target (lane_ops_<target>.cpp).
#define LANE_OPS_DECLARE(target, runs_here) LaneOpsRun lane_ops_##target();
KERNELS_SIMD_TARGETS(LANE_OPS_DECLARE)
#undef LANE_OPS_DECLARE

// The run of a path.
inline LaneOpsRun lane_ops_on(kernels::simd::SimdPath path) {
#define LANE_OPS_ENTRY(target, runs_here) &lane_ops_##target,
    constexpr LaneOpsRun (*RUNS[])() = {KERNELS_SIMD_TARGETS(LANE_OPS_ENTRY)};
#undef LANE_OPS_ENTRY
    return RUNS[static_cast<int>(path)]();
}

// Bit patterns of 1, 2, -3.5, 0.25, 1e300, -0, 3, 1e-300 (doubles).
constexpr uint64_t LANE_OPS_TABLE[8] = {0x3ff0000000000000, 0x4000000000000000, 0xc00c000000000000,
                                        0x3fd0000000000000, 0x7e37e43c8800759c, 0x8000000000000000,
                                        0x4008000000000000, 0x01a56e1fc2f8f359};

constexpr float LANE_OPS_FLOAT_TABLE[8] = {1.5f, -2.0f, 0.0f, -0.0f, 3e38f, 1e-40f, 7.25f, -9.0f};

#ifdef LANE_OPS_TARGET

template <class T>
void lane_ops(const float *a, const float *b, size_t n, const LaneOpsOutput &out) {
    using F32 = typename T::F32;
    using F64 = typename T::F64;
    using U64 = typename T::U64;
    using I32 = typename T::I32;
    size_t vector = 0;
    for (size_t i = 0; i < n; i += T::lanes, ++vector) {
        const int count = n - i < static_cast<size_t>(T::lanes) ? static_cast<int>(n - i) : T::lanes;
        const F32 x = count == T::lanes ? F32::load(a + i) : F32::load_first(a + i, count);
        const F32 y = count == T::lanes ? F32::load(b + i) : F32::load_first(b + i, count);
        const auto less = x < y;
        store_first(x + y, out.sum + i, count);
        store_first(select(less, x, y), out.select_min + i, count);
        store_first(fused_mul_add(x, y, x), out.fused + i, count);
        store_first(sqrt(abs(x)), out.root + i, count);
        store_first(-abs(x - y), out.negated_abs + i, count);
        const F64 xd = to_f64(x);
        const F64 yd = to_f64(y);
        store_first(to_f32(xd * yd), out.double_product + i, count);
        store_first(to_f32(select(xd >= yd, xd, yd)), out.double_select + i, count);
        store_first(to_f32(round_toward_zero(xd) + round_down(yd)), out.truncated + i, count);
        // index = trunc(|b|) mod 8, read from the low bits of trunc(|b|) + 1.5 * 2^52.
        const U64 index = as_u64(round_toward_zero(abs(yd)) + F64::splat(0x1.8p52)) & U64::splat(7);
        const U64 scaled = shift_left(shift_right(index, 1), 1) ^ (index & U64::splat(1));  // == index
        store_first(to_f32(as_f64(gather(LANE_OPS_TABLE, scaled + U64::splat(0)))), out.table + i, count);
        store_first(to_f32(select(nonzero(index), xd, F64::splat(-1.0))), out.nonzero_index + i, count);
        const U64 u = bits_u64(x);
        const U64 v = bits_u64(y);
        const U64 p = mul_u32(u, v);
        const U64 q = shift_left(u | U64::splat(1), v & U64::splat(31));
        store_first(to_f32(to_f64_signed(select(less, p - q, q - p))), out.integer_mix + i, count);
        const auto small = abs(y) < F32::splat(8.0f);
        const I32 slot = select(small, to_i32_toward_zero(select(small, abs(y), F32::splat(0.0f))), I32::splat(7));
        store_first(gather(LANE_OPS_FLOAT_TABLE, slot), out.float_table + i, count);
        store_first(to_f32(to_i32_toward_zero(select(small, y, F32::splat(-7.75f)))), out.truncated_i32 + i, count);
        out.masks[vector] = mask_bits(less & T::Mask::first(count));
        if (all(less & T::Mask::first(count)) != (mask_bits(less & T::Mask::first(count)) ==
                                                  mask_bits(T::Mask::first(count))) &&
            count == T::lanes)
            out.masks[vector] |= 0x80000000u;  // all() disagrees with the mask bits
        if (any(less) != (mask_bits(less) != 0))
            out.masks[vector] |= 0x40000000u;
        if (mask_bits(~less | less) != mask_bits(T::Mask::first(T::lanes)))
            out.masks[vector] |= 0x20000000u;
    }
}
#endif

}  // namespace simd_test
