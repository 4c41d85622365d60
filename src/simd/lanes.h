// The lane abstraction the vectorised kernels are written over.
//
// A kernel is a template over a target T (<target>::Target in the header
// lanes_<target>.h of each target that simd/targets.h lists) and sees T::lanes float lanes at a time through these types:
//   T::F32   T::lanes float lanes        T::F64   T::lanes double lanes
//   T::U64   T::lanes 64-bit integers    T::Mask  one bit of truth per lane
//   T::I32   T::lanes 32-bit integers (table indices)
// so a float lane and the double it widens to sit at the same lane index.
// The tests also build the kernels on emulated targets of 4 and 16 lanes
// (tests/support/lanes_emulated.h), so every operation below is also written
// there.
// Every target header gives the same operations (found by argument-dependent
// lookup, since the types live in the target's namespace):
//   F32::splat(v), F32::load(p), F32::load_first(p, n), store(a, p),
//   store_first(a, p, n)   -- n = 1..lanes; lanes >= n read as zero
//   + - * /, unary -, abs, sqrt, fused_mul_add(a, b, c) = a*b + c rounded once
//   (written out only where a libm sequence needs it: plain * and + never fuse,
//   the whole project builds with -ffp-contract=off)
//   < <= > >= == (ordered compares, false on NaN) -> Mask
//   select(m, yes, no), Mask & | ~, any(m), all(m), mask_bits(m), Mask::first(n)
//   to_f64(F32), to_f32(F64) (rounded in the caller's MXCSR mode),
//   F64::splat, round_toward_zero, round_down, as_u64, as_f64,
//   U64 + - & | ^, shift_left(u, n), shift_right(u, n) (logical),
//   shift_left(u, U64 counts), mul_u32 (low 32 bits times low 32 bits, 64-bit
//   product), select(m, U64, U64), nonzero(U64) -> Mask, bits_u64(F32) (the
//   float's bit pattern, zero-extended), to_f64_signed(U64) (as int64, rounded
//   in the caller's mode), gather(const uint64_t *table, U64 index),
//   I32::splat(v), to_i32_toward_zero(F32) (lanes must lie in int32 range),
//   to_f32(I32) (rounded in the caller's mode), select(m, I32, I32),
//   gather(const float *table, I32 index) -> F32,
//   gather_pairs(const float *base, U64 index, F32 *first, F32 *second):
//   base[index] and base[index + 1] (index + 1 inside the array),
//   lookup32(const Table32 &table, U64 index) -> U64: table.word[index mod 32],
//   taken from registers with permutes (no memory gather).
// Each target header is included only by source files compiled with that
// target's instruction-set flags (named *_<target>.cpp and added with
// kernels_per_target_sources() in CMake), and defines everything inline in its
// own namespace.  Code such a file instantiates must likewise be a template
// over T or have internal linkage: an ordinary inline function compiled there
// could be the copy the linker keeps for the scalar path too (the test
// simd_target_objects_keep_to_their_target reads the objects for this).
#pragma once

#include <cstdint>

namespace kernels::simd {

// A table of 32 64-bit words in the layouts the targets' register lookups
// (lookup32) load: the words themselves, and their low and high 32-bit halves
// as two arrays of 32.
struct Table32 {
    uint64_t word[32];
    uint32_t low[32];
    uint32_t high[32];
};

constexpr Table32 make_table32(const uint64_t (&words)[32]) {
    Table32 table{};
    for (int i = 0; i < 32; ++i) {
        table.word[i] = words[i];
        table.low[i] = static_cast<uint32_t>(words[i]);
        table.high[i] = static_cast<uint32_t>(words[i] >> 32);
    }
    return table;
}

// Lane i's offset from the first element of a vector, as a float: a column
// j0 + i of a row is float(j0) + LANE_OFFSETS[i] exactly while columns stay
// below 2^24.  Covers targets of up to 16 lanes.
constexpr float LANE_OFFSETS[16] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};

}  // namespace kernels::simd
