// The lane abstraction and the vector libm on every target this CPU runs:
// lane operations against scalar arithmetic (partial vectors included), the
// libm constants against the platform's library, and identity with the scalar
// functions in every rounding mode and with flush-to-zero.
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <fenv.h>
#include <math.h>
#include <xmmintrin.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "lane_ops.h"
#include "simd/targets.h"
#include "dev/libm_arrays.h"
#include "simd/libm_fma_constants.h"
#include "dispatch/dispatch.h"
#include "support/path_test.h"
#include "support/test_molecule.h"

using kernels_test::bits;
using kernels_test::from_bits;
using namespace kernels::simd;

namespace {

constexpr float GUARD = -12345.0f;

class OnPath : public kernels_test::PathTest {};

// Equal bit patterns, except that any NaN matches any NaN (x86 and C++
// disagree on which payload a NaN operand passes on).
bool same(float expected, float got) {
    if (std::isnan(expected) && std::isnan(got))
        return true;
    return bits(expected) == bits(got);
}

struct OutputArrays {
    std::vector<std::vector<float>> floats;
    std::vector<uint32_t> masks;
    simd_test::LaneOpsOutput out{};

    explicit OutputArrays(size_t n) : floats(13, std::vector<float>(n + 32, GUARD)), masks(n + 1, 0) {
        float **fields[] = {&out.sum, &out.select_min, &out.fused, &out.root, &out.negated_abs,
                            &out.double_product, &out.double_select, &out.truncated, &out.table,
                            &out.nonzero_index, &out.integer_mix, &out.float_table, &out.truncated_i32};
        for (size_t f = 0; f < 13; ++f)
            *fields[f] = floats[f].data();
        out.masks = masks.data();
    }
};

}  // namespace

TEST_P(OnPath, LaneOperationsMatchScalarArithmeticOnEveryLength) {
    const simd_test::LaneOpsRun ops = simd_test::lane_ops_on(GetParam());
    std::mt19937 generator(7);
    std::uniform_real_distribution<float> value(-40.0f, 40.0f);
    for (size_t n = 1; n <= static_cast<size_t>(3 * ops.lanes + 1); ++n) {
        std::vector<float> a(n), b(n);
        for (size_t i = 0; i < n; ++i) {
            a[i] = value(generator);
            b[i] = i % 5 == 3 ? a[i] : value(generator);
        }
        if (n > 4) {
            a[1] = from_bits(0x7fc01234u);  // NaN: compares false, selects the other operand
            b[2] = -0.0f;
            a[4] = 0.0f;
        }
        OutputArrays arrays(n);
        ops.run(a.data(), b.data(), n, arrays.out);
        for (size_t i = 0; i < n; ++i) {
            const double ad = a[i], bd = b[i];
            const auto index = static_cast<int64_t>(std::trunc(std::fabs(bd))) & 7;
            double table_value;
            std::memcpy(&table_value, &simd_test::LANE_OPS_TABLE[index], sizeof table_value);
            SCOPED_TRACE("n = " + std::to_string(n) + ", lane " + std::to_string(i));
            EXPECT_TRUE(same(a[i] + b[i], arrays.out.sum[i]));
            EXPECT_TRUE(same(a[i] < b[i] ? a[i] : b[i], arrays.out.select_min[i]));
            EXPECT_TRUE(same(std::fma(a[i], b[i], a[i]), arrays.out.fused[i]));
            EXPECT_TRUE(same(std::sqrt(std::fabs(a[i])), arrays.out.root[i]));
            EXPECT_TRUE(same(-std::fabs(a[i] - b[i]), arrays.out.negated_abs[i]));
            EXPECT_TRUE(same(static_cast<float>(ad * bd), arrays.out.double_product[i]));
            EXPECT_TRUE(same(static_cast<float>(ad >= bd ? ad : bd), arrays.out.double_select[i]));
            EXPECT_TRUE(same(static_cast<float>(std::trunc(ad) + std::floor(bd)), arrays.out.truncated[i]));
            EXPECT_TRUE(same(static_cast<float>(table_value), arrays.out.table[i]));
            EXPECT_TRUE(same(index != 0 ? a[i] : -1.0f, arrays.out.nonzero_index[i]));
            const uint64_t u = bits(a[i]), v = bits(b[i]);
            const uint64_t p = u * v, q = (u | 1) << (v & 31);
            const auto mix = static_cast<int64_t>(a[i] < b[i] ? p - q : q - p);
            EXPECT_TRUE(same(static_cast<float>(static_cast<double>(mix)), arrays.out.integer_mix[i]));
            const bool small = std::fabs(b[i]) < 8.0f;
            const int32_t slot = small ? static_cast<int32_t>(std::fabs(b[i])) : 7;
            EXPECT_EQ(bits(simd_test::LANE_OPS_FLOAT_TABLE[slot]), bits(arrays.out.float_table[i]));
            EXPECT_EQ(bits(static_cast<float>(static_cast<int32_t>(small ? b[i] : -7.75f))),
                      bits(arrays.out.truncated_i32[i]));
        }
        for (size_t v = 0; v * ops.lanes < n; ++v) {
            uint32_t expected = 0;
            for (size_t lane = 0; lane < static_cast<size_t>(ops.lanes) && v * ops.lanes + lane < n; ++lane)
                expected |= (a[v * ops.lanes + lane] < b[v * ops.lanes + lane] ? 1u : 0u) << lane;
            EXPECT_EQ(arrays.out.masks[v], expected) << "n = " << n << ", vector " << v;
        }
        for (const auto &array : arrays.floats)
            for (size_t i = n; i < array.size(); ++i)
                ASSERT_EQ(bits(array[i]), bits(GUARD)) << "written past the end, n = " << n;
    }
}

// The array forms (the dispatcher with its libm check) on every length up to
// a few vectors: each element equals the scalar function, nothing past n is
// written, NaN payloads and signed zeros pass through as libm passes them.
TEST_P(OnPath, ArrayFunctionsEqualLibmOnEveryLength) {
    const float specials[] = {from_bits(0x7fc01234u), from_bits(0xff812345u), -0.0f, 0.0f,
                              INFINITY, -INFINITY, 89.0f, -104.0f, 0x1.04845ep+5f, 0x1.0e1c8p+6f,
                              1e-40f, -3e38f, 121.0f, 0x1p-13f};
    std::mt19937 generator(11);
    std::uniform_real_distribution<float> value(-100.0f, 100.0f);
    for (size_t n = 0; n <= 40; ++n) {
        std::vector<float> x(n);
        for (size_t i = 0; i < n; ++i)
            x[i] = i % 3 == 0 ? specials[(i / 3 + n) % std::size(specials)] : value(generator);
        std::vector<float> y(n + 20, GUARD), s(n + 20, GUARD), c(n + 20, GUARD);
        expf_array(GetParam(), x.data(), y.data(), n);
        sincosf_array(GetParam(), x.data(), s.data(), c.data(), n);
        for (size_t i = 0; i < n; ++i) {
            float want_s, want_c;
            sincosf(x[i], &want_s, &want_c);
            EXPECT_EQ(bits(y[i]), bits(expf(x[i]))) << "expf(" << x[i] << "), n = " << n;
            EXPECT_EQ(bits(s[i]), bits(want_s)) << "sin(" << x[i] << "), n = " << n;
            EXPECT_EQ(bits(c[i]), bits(want_c)) << "cos(" << x[i] << "), n = " << n;
        }
        for (size_t i = n; i < n + 20; ++i) {
            ASSERT_EQ(bits(y[i]), bits(GUARD));
            ASSERT_EQ(bits(s[i]), bits(GUARD));
            ASSERT_EQ(bits(c[i]), bits(GUARD));
        }
    }
}

// The vector code runs under the caller's MXCSR as the scalar functions do:
// identical in all four rounding modes, and with flush-to-zero and
// denormals-are-zero set.  Sampled: every 65521st bit pattern.
TEST_P(OnPath, VectorCodeEqualsLibmInEveryRoundingModeAndWithFlushToZero) {
    if (GetParam() == SimdPath::scalar)
        GTEST_SKIP() << "the scalar path is the libm itself";
    if (!libm_runs_fma_variant())
        GTEST_SKIP() << "the platform's libm is not the variant the vector code reproduces";
    std::vector<float> x;
    for (uint64_t p = 0; p < (uint64_t{1} << 32); p += 65521)
        x.push_back(from_bits(static_cast<uint32_t>(p)));
    for (uint32_t p = 0; p < 64; ++p)
        x.push_back(from_bits(p));  // subnormals, flushed under DAZ
    const size_t n = x.size();
    std::vector<float> y(n), s(n), c(n), want_y(n), want_s(n), want_c(n);
    const int modes[] = {FE_TONEAREST, FE_UPWARD, FE_DOWNWARD, FE_TOWARDZERO};
    const unsigned int saved = _mm_getcsr();
    for (bool flush : {false, true}) {
        for (int mode : modes) {
            _mm_setcsr(flush ? (saved | 0x8040u) : (saved & ~0x8040u));
            fesetround(mode);
            for (size_t i = 0; i < n; ++i) {
                want_y[i] = expf(x[i]);
                sincosf(x[i], &want_s[i], &want_c[i]);
            }
            libm_arrays_of(GetParam()).expf(x.data(), y.data(), n, true);
            libm_arrays_of(GetParam()).sincosf(x.data(), s.data(), c.data(), n, true);
            _mm_setcsr(saved);
            int mismatches = 0;
            for (size_t i = 0; i < n; ++i)
                if (bits(y[i]) != bits(want_y[i]) || bits(s[i]) != bits(want_s[i]) ||
                    bits(c[i]) != bits(want_c[i]))
                    if (++mismatches <= 5)
                        ADD_FAILURE() << "mode " << mode << (flush ? " with FTZ/DAZ" : "") << ", x = " << std::hexfloat
                                      << x[i] << ": expf " << y[i] << " vs " << want_y[i] << ", sin " << s[i]
                                      << " vs " << want_s[i] << ", cos " << c[i] << " vs " << want_c[i];
            EXPECT_EQ(mismatches, 0) << "mode " << mode << (flush ? " with FTZ/DAZ" : "");
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Paths, OnPath, testing::ValuesIn(SIMD_PATHS), kernels_test::path_name);

namespace {

// The bytes of the libm file that defines expf.
std::string libm_file_bytes() {
    Dl_info info{};
    float (*function)(float) = expf;
    if (dladdr(reinterpret_cast<void *>(function), &info) == 0 || info.dli_fname == nullptr)
        return {};
    std::ifstream file(info.dli_fname, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

template <class T, size_t N>
bool library_contains(const std::string &library, const T (&values)[N]) {
    return library.find(std::string(reinterpret_cast<const char *>(values), sizeof values)) != std::string::npos;
}

}  // namespace

// Each entry is 2^(i/32) rounded to double, less i << 47 in its bits.
TEST(VectorLibmConstants, Exp2TableIsTwoToTheIOver32) {
    using namespace kernels::simd::libm_fma;
    for (int i = 0; i < 32; ++i) {
        const double value = static_cast<double>(exp2l(static_cast<long double>(i) / 32));
        uint64_t pattern;
        std::memcpy(&pattern, &value, sizeof pattern);
        EXPECT_EQ(EXP2_TABLE[i], pattern - (static_cast<uint64_t>(i) << 47)) << "entry " << i;
    }
}

// The constants are the platform's own: the exp2 table, the expf constants
// and both sincosf coefficient sets occur in the libm file as they are laid
// out there.  Only meaningful where the libm is the variant they reproduce.
TEST(VectorLibmConstants, OccurInThePlatformLibm) {
    if (!libm_runs_fma_variant())
        GTEST_SKIP() << "the platform's libm is not the variant the vector code reproduces";
    const std::string library = libm_file_bytes();
    if (library.empty())
        GTEST_SKIP() << "the libm file cannot be read";
    using namespace kernels::simd::libm_fma;
    EXPECT_TRUE(library_contains(library, EXP2_TABLE));
    const double exp_constants[] = {EXP_INV_LN2_N, EXP_C0, EXP_C1, EXP_C2, EXP_SHIFT};
    EXPECT_TRUE(library_contains(library, exp_constants));
    const double sincos_sets[] = {
        1.0, -1.0, -1.0, 1.0, HALF_PI_INV_2P24, HALF_PI,  COS_C0,  COS_C1, SIN_S1, COS_C2,  SIN_S2, COS_C3,  SIN_S3, COS_C4,
        1.0, -1.0, -1.0, 1.0, HALF_PI_INV_2P24, HALF_PI, -COS_C0, -COS_C1, SIN_S1, -COS_C2, SIN_S2, -COS_C3, SIN_S3, -COS_C4,
    };
    EXPECT_TRUE(library_contains(library, sincos_sets));
}
