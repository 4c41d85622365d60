// Constants of the platform's single-precision expf and sincosf (the variant
// its libm selects on CPUs with FMA and AVX2), as the vector versions need
// them to reproduce that libm bit for bit.
//
// expf: exp(x) = 2^(k/32) * 2^(r/32) with k = round(x * 32/ln 2) and a cubic in
// r; EXP2_TABLE[i] holds bits(2^(i/32)) - (i << 47), so that adding k << 47
// (which carries k / 32 into the exponent) gives the bits of 2^(k/32).
// sincosf: a reduction by multiples of pi/2 and one polynomial pair per
// quadrant parity; in the odd-half quadrants (n & 2) the cosine coefficients
// change sign.
#pragma once

#include <cstdint>

#include "simd/lanes.h"

namespace kernels::simd::libm_fma {

// expf
constexpr int EXP2_TABLE_BITS = 5;
constexpr uint64_t EXP2_TABLE[1 << EXP2_TABLE_BITS] = {
    0x3ff0000000000000, 0x3fefd9b0d3158574, 0x3fefb5586cf9890f, 0x3fef9301d0125b51,
    0x3fef72b83c7d517b, 0x3fef54873168b9aa, 0x3fef387a6e756238, 0x3fef1e9df51fdee1,
    0x3fef06fe0a31b715, 0x3feef1a7373aa9cb, 0x3feedea64c123422, 0x3feece086061892d,
    0x3feebfdad5362a27, 0x3feeb42b569d4f82, 0x3feeab07dd485429, 0x3feea47eb03a5585,
    0x3feea09e667f3bcd, 0x3fee9f75e8ec5f74, 0x3feea11473eb0187, 0x3feea589994cce13,
    0x3feeace5422aa0db, 0x3feeb737b0cdc5e5, 0x3feec49182a3f090, 0x3feed503b23e255d,
    0x3feee89f995ad3ad, 0x3feeff76f2fb5e47, 0x3fef199bdd85529c, 0x3fef3720dcef9069,
    0x3fef5818dcfba487, 0x3fef7c97337b9b5f, 0x3fefa4afa2a490da, 0x3fefd0765b6e4540,
};
// The same table in the layouts of the register lookup (lookup32).
constexpr Table32 EXP2_LOOKUP = make_table32(EXP2_TABLE);
constexpr double EXP_INV_LN2_N = 0x1.71547652b82fep+0 * 32;  // 32 / ln 2
constexpr double EXP_SHIFT = 0x1.8p+52;                      // rounds to an integer in the low bits
constexpr double EXP_C0 = 0x1.c6af84b912394p-5 / (32.0 * 32.0 * 32.0);
constexpr double EXP_C1 = 0x1.ebfce50fac4f3p-3 / (32.0 * 32.0);
constexpr double EXP_C2 = 0x1.62e42ff0c52d6p-1 / 32;
// |x| below this (and not NaN) takes the table path; the rest is overflow,
// underflow, infinity or NaN, left to the scalar function.
constexpr float EXP_FAST_LIMIT = 88.0f;

// sincosf
constexpr double HALF_PI_INV_2P24 = 0x1.45F306DC9C883p+23;  // 2/pi * 2^24
constexpr double HALF_PI = 0x1.921FB54442D18p0;
constexpr float SINCOS_TINY_LIMIT = 0x1p-12f;  // below: sin x = x, cos x = 1
constexpr float SINCOS_FAST_LIMIT = 120.0f;    // below: the fast reduction, above: the large one
// Large arguments: the bits of 4/pi, word i holding bits 8i-24..8i+7 of the
// fraction (zero-extended to 64 bits for gathers).  The mantissa times the
// three words its exponent selects is x * 2/pi in 64-bit fixed point: the
// quadrant in the top two bits, the signed remainder below them, so that
// x mod pi/2 = remainder * pi/2 * 2^-62.
constexpr uint64_t INV_PIO4[24] = {
    0xa2,       0xa2f9,     0xa2f983,   0xa2f9836e, 0xf9836e4e, 0x836e4e44, 0x6e4e4415, 0x4e441529,
    0x441529fc, 0x1529fc27, 0x29fc2757, 0xfc2757d1, 0x2757d1f5, 0x57d1f534, 0xd1f534dd, 0xf534ddc0,
    0x34ddc0db, 0xddc0db62, 0xc0db6295, 0xdb629599, 0x6295993c, 0x95993c43, 0x993c4390, 0x3c439041,
};
constexpr double HALF_PI_2M62 = 0x1.921FB54442D18p-62;  // pi/2 * 2^-62
constexpr double SIN_S1 = -0x1.555545995a603p-3;
constexpr double SIN_S2 = 0x1.1107605230bc4p-7;
constexpr double SIN_S3 = -0x1.994eb3774cf24p-13;
constexpr double COS_C0 = 0x1p0;
constexpr double COS_C1 = -0x1.ffffffd0c621cp-2;
constexpr double COS_C2 = 0x1.55553e1068f19p-5;
constexpr double COS_C3 = -0x1.6c087e89a359dp-10;
constexpr double COS_C4 = 0x1.99343027bf8c3p-16;

}  // namespace kernels::simd::libm_fma
