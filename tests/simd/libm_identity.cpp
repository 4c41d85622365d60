// Proof that the vector expf and sincosf return the platform's bits: for one
// function on one instruction-set path, compares the vector code with the
// scalar libm on every float bit pattern (mode "all": 2^32 inputs, NaN
// payloads and signed zeros included) or on a sample (mode "sampled": every
// 4099th pattern plus the inputs where rounding is known to be delicate).
//
// usage: simd_libm_identity expf|sincosf <path> all|sampled   (path: scalar, avx2, ...)
//        simd_libm_identity dispatch any|other-variant
// "dispatch" checks what callers get: the array functions with their per-call
// libm check, on every path the CPU has, on the sample (including the inputs
// where the libm variants differ); "other-variant" also requires the check to
// report a libm other than the FMA variant (run under a tunable that makes the
// libm choose another variant).
// Exit status 0: identical; 1: mismatches (listed); 77: skipped, because the
// CPU lacks the path or the platform's libm is not the variant the vector code
// reproduces (then callers never use it), which the output states.
//
// Built with -fno-builtin-expf/-sincosf: the oracle must be the libm called at run time.
#include <math.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "simd/targets.h"
#include "dev/libm_arrays.h"
#include "dispatch/dispatch.h"
#include "support/float_bits.h"

using namespace kernels::simd;

namespace {

constexpr int SKIPPED = 77;
constexpr size_t BLOCK = 4096;

using kernels_test::from_bits;
constexpr auto bits_of = kernels_test::bits;

// The vector code itself (use_vector = true), not the dispatcher's choice.
void vector_expf_array(SimdPath path, const float *x, float *y, size_t n) {
    libm_arrays_of(path).expf(x, y, n, true);
}

void vector_sincosf_array(SimdPath path, const float *x, float *s, float *c, size_t n) {
    libm_arrays_of(path).sincosf(x, s, c, n, true);
}

struct Tally {
    std::atomic<uint64_t> compared{0};
    std::atomic<uint64_t> mismatches{0};
    std::mutex report;
    int listed = 0;

    void mismatch(const char *what, float x, float expected, float got) {
        ++mismatches;
        std::lock_guard<std::mutex> lock(report);
        if (listed++ < 20)
            std::printf("  mismatch %s(%a) [0x%08x]: libm 0x%08x, vector 0x%08x\n", what, x, bits_of(x),
                        bits_of(expected), bits_of(got));
    }
};

// Compares one block of inputs.
void check_block(bool is_expf, SimdPath path, const float *x, size_t n, Tally &tally) {
    float want_a[BLOCK], want_b[BLOCK], got_a[BLOCK], got_b[BLOCK];
    if (is_expf) {
        for (size_t i = 0; i < n; ++i)
            want_a[i] = ::expf(x[i]);
        vector_expf_array(path, x, got_a, n);
        for (size_t i = 0; i < n; ++i)
            if (bits_of(want_a[i]) != bits_of(got_a[i]))
                tally.mismatch("expf", x[i], want_a[i], got_a[i]);
    } else {
        for (size_t i = 0; i < n; ++i)
            ::sincosf(x[i], &want_a[i], &want_b[i]);
        vector_sincosf_array(path, x, got_a, got_b, n);
        for (size_t i = 0; i < n; ++i) {
            if (bits_of(want_a[i]) != bits_of(got_a[i]))
                tally.mismatch("sin", x[i], want_a[i], got_a[i]);
            if (bits_of(want_b[i]) != bits_of(got_b[i]))
                tally.mismatch("cos", x[i], want_b[i], got_b[i]);
        }
    }
    tally.compared += n;
}

// Inputs near the fast-path limits and the ones known to round delicately.
std::vector<float> delicate_inputs() {
    const uint32_t patterns[] = {
        0x00000000, 0x80000000, 0x00000001, 0x80000001, 0x007fffff, 0x807fffff, 0x00800000,  // zeros, subnormals
        0x7f800000, 0xff800000, 0x7fc00000, 0xffc00000, 0x7f800001, 0xff812345, 0x7fc01234,  // inf, NaN payloads
        0x7f7fffff, 0xff7fffff,
    };
    const float values[] = {
        0x1.04845ep+5f, 0x1.0e1c8p+6f, 0x1.0024a4p+0f,  // variant probes; a constant GCC would fold differently
        88.0f, -88.0f, 0x1.62e42ep6f, -0x1.9fe368p6f, -0x1.9d1d9ep6f, 0x1p-12f, -0x1p-12f,
        0.75f, -0.75f, 0x1.921fb6p-1f, 120.0f, -120.0f, 128.0f, -128.0f, 0x1.921fb6p+0f, 0x1.921fb6p+1f,
    };
    std::vector<float> inputs;
    for (uint32_t p : patterns)
        inputs.push_back(from_bits(p));
    for (float v : values)
        for (int step = -2; step <= 2; ++step)
            inputs.push_back(from_bits(bits_of(v) + static_cast<uint32_t>(step)));
    return inputs;
}

void run_range(bool is_expf, SimdPath path, uint64_t begin, uint64_t end, uint64_t stride, Tally &tally) {
    float x[BLOCK];
    size_t n = 0;
    for (uint64_t p = begin; p < end; p += stride) {
        x[n++] = from_bits(static_cast<uint32_t>(p));
        if (n == BLOCK) {
            check_block(is_expf, path, x, n, tally);
            n = 0;
        }
    }
    if (n > 0)
        check_block(is_expf, path, x, n, tally);
}

}  // namespace

// The dispatching array functions against libm on every supported path.
int check_dispatch(bool expect_other_variant) {
    const bool fma_variant = libm_runs_fma_variant();
    std::printf("platform libm is the FMA variant: %s\n", fma_variant ? "yes" : "no");
    if (expect_other_variant && fma_variant) {
        std::printf("FAILED: expected the libm check to see another variant\n");
        return 1;
    }
    std::vector<float> x = delicate_inputs();
    for (uint64_t p = 0; p < (uint64_t{1} << 32); p += 65521)
        x.push_back(from_bits(static_cast<uint32_t>(p)));
    const size_t n = x.size();
    std::vector<float> want_y(n), want_s(n), want_c(n), y(n), s(n), c(n);
    for (size_t i = 0; i < n; ++i) {
        want_y[i] = ::expf(x[i]);
        ::sincosf(x[i], &want_s[i], &want_c[i]);
    }
    uint64_t mismatches = 0;
    for (SimdPath path : SIMD_PATHS) {
        if (!simd_path_supported(path)) {
            std::printf("dispatch on %s: skipped, not available here (CPU lacks it, or AVX-512 not enabled in this build)\n", simd_path_name(path));
            continue;
        }
        expf_array(path, x.data(), y.data(), n);
        sincosf_array(path, x.data(), s.data(), c.data(), n);
        uint64_t on_path = 0;
        for (size_t i = 0; i < n; ++i)
            on_path += (bits_of(y[i]) != bits_of(want_y[i])) + (bits_of(s[i]) != bits_of(want_s[i])) +
                       (bits_of(c[i]) != bits_of(want_c[i]));
        std::printf("dispatch on %s: %zu inputs, %llu mismatching results\n", simd_path_name(path), n,
                    static_cast<unsigned long long>(on_path));
        mismatches += on_path;
    }
    return mismatches == 0 ? 0 : 1;
}

int main(int argc, char **argv) {
    if (argc == 3 && std::strcmp(argv[1], "dispatch") == 0)
        return check_dispatch(std::strcmp(argv[2], "other-variant") == 0);
    const SimdPath *named = nullptr;
    for (const SimdPath &path : SIMD_PATHS)
        if (argc == 4 && std::strcmp(argv[2], simd_path_name(path)) == 0) named = &path;
    if (named == nullptr) {
        std::string paths;
        for (SimdPath path : SIMD_PATHS) paths += (paths.empty() ? "" : "|") + std::string(simd_path_name(path));
        std::fprintf(stderr, "usage: %s expf|sincosf %s all|sampled\n"
                             "       %s dispatch any|other-variant\n",
                     argv[0], paths.c_str(), argv[0]);
        return 2;
    }
    const bool is_expf = std::strcmp(argv[1], "expf") == 0;
    const bool exhaustive = std::strcmp(argv[3], "all") == 0;
    const SimdPath path = *named;
    const char *function = is_expf ? "expf" : "sincosf";

    if (!simd_path_supported(path)) {
        std::printf("SKIPPED %s on %s: not available here, the CPU lacks it or AVX-512 is not enabled in this build (nothing was compared)\n", function,
                    simd_path_name(path));
        return SKIPPED;
    }
    if (path != SimdPath::scalar && !libm_runs_fma_variant()) {
        std::printf("SKIPPED %s on %s: the platform's libm is not the FMA variant, so callers use the scalar "
                    "function and the vector code is not in use\n",
                    function, simd_path_name(path));
        return SKIPPED;
    }

    Tally tally;
    const std::vector<float> delicate = delicate_inputs();
    check_block(is_expf, path, delicate.data(), delicate.size(), tally);
    if (exhaustive) {
        // Two threads, each over half of the bit patterns.
        const uint64_t half = uint64_t{1} << 31;
        std::thread upper(run_range, is_expf, path, half, 2 * half, uint64_t{1}, std::ref(tally));
        run_range(is_expf, path, 0, half, 1, tally);
        upper.join();
    } else {
        run_range(is_expf, path, 0, uint64_t{1} << 32, 4099, tally);
    }
    std::printf("%s %s on %s: %llu inputs compared, %llu mismatching results\n", exhaustive ? "exhaustive" : "sampled",
                function, simd_path_name(path), static_cast<unsigned long long>(tally.compared.load()),
                static_cast<unsigned long long>(tally.mismatches.load()));
    return tally.mismatches == 0 ? 0 : 1;
}
