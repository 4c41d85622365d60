// A test-only target of W lanes held in plain arrays, every operation the
// scalar C++ arithmetic applied lane by lane (fused multiply-adds by std::fma,
// conversions in the caller's rounding mode, out-of-range conversions and
// shifts as the x86 instructions define them).  The test programs build the
// library's kernel table on it for 4 and 16 lanes (test_targets.cpp) and run
// the path tests on those tables too: the kernels' wide-lane logic -- masks,
// partial vectors, cut-offs inside a vector, gathers and table lookups -- is
// then checked on any machine, against the scalar path bit for bit.
//
// Each target also counts what its kernels exercised (LaneCoverage), so that
// the tests can show that partial vectors of every length were reached.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>

#include "simd/lanes.h"

namespace kernels::simd::emulated {

struct LaneCoverage {
    uint64_t partial[33];  // load_first/store_first with n lanes (n < lanes)
    uint64_t mixed_select; // selects whose mask was neither all true nor all false
    uint64_t gathers;      // gather and gather_pairs calls
    uint64_t lookups;      // lookup32 calls
};
template <int W>
inline LaneCoverage coverage{};

template <int W>
struct Mask {
    bool v[W];
    static Mask first(int n) {
        Mask m;
        for (int i = 0; i < W; ++i) m.v[i] = i < n;
        return m;
    }
};

template <int W>
void count_partial(int n) {
    if (n < W) ++coverage<W>.partial[n];
}
template <int W>
void count_select(const Mask<W> &m) {
    bool some = false, all_set = true;
    for (int i = 0; i < W; ++i) some = some || m.v[i], all_set = all_set && m.v[i];
    if (some && !all_set) ++coverage<W>.mixed_select;
}

template <int W>
struct F32 {
    float v[W];
    static F32 splat(float a) {
        F32 r;
        for (float &x : r.v) x = a;
        return r;
    }
    static F32 load(const float *p) {
        F32 r;
        std::memcpy(r.v, p, sizeof r.v);
        return r;
    }
    static F32 load_first(const float *p, int n) {
        count_partial<W>(n);
        F32 r = splat(0.0f);
        for (int i = 0; i < n; ++i) r.v[i] = p[i];
        return r;
    }
};
// The double, 64-bit and 32-bit integer lanes: plain arrays of W elements.
template <class Element, int W>
struct Plain {
    Element v[W];
    static Plain splat(Element a) {
        Plain r;
        for (Element &x : r.v) x = a;
        return r;
    }
};
template <int W>
using F64 = Plain<double, W>;
template <int W>
using U64 = Plain<uint64_t, W>;
template <int W>
using I32 = Plain<int32_t, W>;

template <int W>
struct Target {
    static constexpr int lanes = W;
    using F32 = emulated::F32<W>;
    using F64 = emulated::F64<W>;
    using U64 = emulated::U64<W>;
    using I32 = emulated::I32<W>;
    using Mask = emulated::Mask<W>;
};

// r.v[i] = f(i) on every lane.
template <class R, class F>
R each(F f) {
    R r;
    for (int i = 0; i < static_cast<int>(sizeof r.v / sizeof r.v[0]); ++i) r.v[i] = f(i);
    return r;
}

template <int W>
Mask<W> operator&(Mask<W> a, Mask<W> b) { return each<Mask<W>>([&](int i) { return a.v[i] && b.v[i]; }); }
template <int W>
Mask<W> operator|(Mask<W> a, Mask<W> b) { return each<Mask<W>>([&](int i) { return a.v[i] || b.v[i]; }); }
template <int W>
Mask<W> operator~(Mask<W> a) { return each<Mask<W>>([&](int i) { return !a.v[i]; }); }
template <int W>
uint32_t mask_bits(Mask<W> a) {
    uint32_t bits = 0;
    for (int i = 0; i < W; ++i) bits |= static_cast<uint32_t>(a.v[i]) << i;
    return bits;
}
template <int W>
bool any(Mask<W> a) { return mask_bits(a) != 0; }
template <int W>
bool all(Mask<W> a) { return mask_bits(a) == (W == 32 ? ~0u : (1u << W) - 1u); }

template <int W>
void store(F32<W> a, float *p) { std::memcpy(p, a.v, sizeof a.v); }
template <int W>
void store_first(F32<W> a, float *p, int n) {
    count_partial<W>(n);
    for (int i = 0; i < n; ++i) p[i] = a.v[i];
}

// The float and double operations (V<W> is F32<W> or F64<W>).
#define KERNELS_EMULATED_FLOAT_OPS(V)                                                                      \
    template <int W> V<W> operator+(V<W> a, V<W> b) { return each<V<W>>([&](int i) { return a.v[i] + b.v[i]; }); } \
    template <int W> V<W> operator-(V<W> a, V<W> b) { return each<V<W>>([&](int i) { return a.v[i] - b.v[i]; }); } \
    template <int W> V<W> operator*(V<W> a, V<W> b) { return each<V<W>>([&](int i) { return a.v[i] * b.v[i]; }); } \
    template <int W> V<W> operator/(V<W> a, V<W> b) { return each<V<W>>([&](int i) { return a.v[i] / b.v[i]; }); } \
    template <int W> V<W> operator-(V<W> a) { return each<V<W>>([&](int i) { return -a.v[i]; }); }             \
    template <int W> V<W> abs(V<W> a) { return each<V<W>>([&](int i) { return std::fabs(a.v[i]); }); }         \
    template <int W> V<W> sqrt(V<W> a) { return each<V<W>>([&](int i) { return std::sqrt(a.v[i]); }); }        \
    template <int W> V<W> fused_mul_add(V<W> a, V<W> b, V<W> c) {                                           \
        return each<V<W>>([&](int i) { return std::fma(a.v[i], b.v[i], c.v[i]); });                          \
    }                                                                                                        \
    template <int W> Mask<W> operator<(V<W> a, V<W> b) { return each<Mask<W>>([&](int i) { return a.v[i] < b.v[i]; }); }   \
    template <int W> Mask<W> operator<=(V<W> a, V<W> b) { return each<Mask<W>>([&](int i) { return a.v[i] <= b.v[i]; }); } \
    template <int W> Mask<W> operator>(V<W> a, V<W> b) { return each<Mask<W>>([&](int i) { return a.v[i] > b.v[i]; }); }   \
    template <int W> Mask<W> operator>=(V<W> a, V<W> b) { return each<Mask<W>>([&](int i) { return a.v[i] >= b.v[i]; }); } \
    template <int W> Mask<W> operator==(V<W> a, V<W> b) { return each<Mask<W>>([&](int i) { return a.v[i] == b.v[i]; }); }
KERNELS_EMULATED_FLOAT_OPS(F32)
KERNELS_EMULATED_FLOAT_OPS(F64)
#undef KERNELS_EMULATED_FLOAT_OPS

// select on every lane type.
template <int W, class V>
V select(Mask<W> m, V yes, V no) {
    count_select(m);
    return each<V>([&](int i) { return m.v[i] ? yes.v[i] : no.v[i]; });
}

template <int W>
F64<W> to_f64(F32<W> a) { return each<F64<W>>([&](int i) { return static_cast<double>(a.v[i]); }); }
template <int W>
F32<W> to_f32(F64<W> a) { return each<F32<W>>([&](int i) { return static_cast<float>(a.v[i]); }); }
template <int W>
F64<W> round_toward_zero(F64<W> a) { return each<F64<W>>([&](int i) { return std::trunc(a.v[i]); }); }
template <int W>
F64<W> round_down(F64<W> a) { return each<F64<W>>([&](int i) { return std::floor(a.v[i]); }); }
template <int W>
U64<W> as_u64(F64<W> a) {
    U64<W> r;
    std::memcpy(r.v, a.v, sizeof r.v);
    return r;
}
template <int W>
F64<W> as_f64(U64<W> a) {
    F64<W> r;
    std::memcpy(r.v, a.v, sizeof r.v);
    return r;
}

template <int W>
U64<W> bits_u64(F32<W> a) {
    return each<U64<W>>([&](int i) {
        uint32_t pattern;
        std::memcpy(&pattern, &a.v[i], sizeof pattern);
        return uint64_t{pattern};
    });
}
template <int W>
F64<W> to_f64_signed(U64<W> a) {
    return each<F64<W>>([&](int i) { return static_cast<double>(static_cast<int64_t>(a.v[i])); });
}
template <int W>
U64<W> operator+(U64<W> a, U64<W> b) { return each<U64<W>>([&](int i) { return a.v[i] + b.v[i]; }); }
template <int W>
U64<W> operator-(U64<W> a, U64<W> b) { return each<U64<W>>([&](int i) { return a.v[i] - b.v[i]; }); }
template <int W>
U64<W> operator|(U64<W> a, U64<W> b) { return each<U64<W>>([&](int i) { return a.v[i] | b.v[i]; }); }
template <int W>
U64<W> operator&(U64<W> a, U64<W> b) { return each<U64<W>>([&](int i) { return a.v[i] & b.v[i]; }); }
template <int W>
U64<W> operator^(U64<W> a, U64<W> b) { return each<U64<W>>([&](int i) { return a.v[i] ^ b.v[i]; }); }
template <int W>
U64<W> mul_u32(U64<W> a, U64<W> b) {
    return each<U64<W>>([&](int i) { return (a.v[i] & 0xFFFFFFFFu) * (b.v[i] & 0xFFFFFFFFu); });
}
// Counts of 64 or more give 0, as the variable shifts of the vector units do.
template <int W>
U64<W> shift_left(U64<W> a, U64<W> counts) {
    return each<U64<W>>([&](int i) { return counts.v[i] < 64 ? a.v[i] << counts.v[i] : 0; });
}
template <int W>
U64<W> shift_left(U64<W> a, int n) { return each<U64<W>>([&](int i) { return a.v[i] << n; }); }
template <int W>
U64<W> shift_right(U64<W> a, int n) { return each<U64<W>>([&](int i) { return a.v[i] >> n; }); }
template <int W>
Mask<W> nonzero(U64<W> a) { return each<Mask<W>>([&](int i) { return a.v[i] != 0; }); }
template <int W>
U64<W> gather(const uint64_t *table, U64<W> index) {
    ++coverage<W>.gathers;
    return each<U64<W>>([&](int i) { return table[index.v[i]]; });
}
template <int W>
U64<W> lookup32(const Table32 &table, U64<W> index) {
    ++coverage<W>.lookups;
    return each<U64<W>>([&](int i) { return table.word[index.v[i] & 31u]; });
}
template <int W>
void gather_pairs(const float *base, U64<W> index, F32<W> *first, F32<W> *second) {
    ++coverage<W>.gathers;
    *first = each<F32<W>>([&](int i) { return base[index.v[i]]; });
    *second = each<F32<W>>([&](int i) { return base[index.v[i] + 1]; });
}

// Out of int32 range (and NaN) gives INT32_MIN, as the truncating conversion
// of the vector units does.
template <int W>
I32<W> to_i32_toward_zero(F32<W> a) {
    return each<I32<W>>([&](int i) {
        const float x = a.v[i];
        return x >= -0x1p31f && x < 0x1p31f ? static_cast<int32_t>(x) : INT32_MIN;
    });
}
template <int W>
F32<W> to_f32(I32<W> a) { return each<F32<W>>([&](int i) { return static_cast<float>(a.v[i]); }); }
template <int W>
F32<W> gather(const float *table, I32<W> index) {
    ++coverage<W>.gathers;
    return each<F32<W>>([&](int i) { return table[index.v[i]]; });
}

}  // namespace kernels::simd::emulated
