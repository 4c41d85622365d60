// The instruction-set targets the kernels are built for: the one list of
// them, and the path enum, names and per-path arrays made from it.
#pragma once

// X(target, runs_here) for each target, narrowest first.  runs_here is the
// target's CPU check, a C++ condition whose KERNELS_CPU_HAS(feature) asks
// whether the CPU has the feature and the operating system saves its
// registers; AVX512_CHOSEN is false in builds with KERNELS_ENABLE_AVX512=OFF
// (both defined in dispatch/dispatch.cpp, the one place the checks run).
//
// Everything that goes by target follows this list: the SimdPath enum and
// the path names below, the kernel tables (kernel_table_<target>.cpp), the
// CPU check, the test and benchmark loops over paths, and the build, which
// reads the list (src/simd/CMakeLists.txt) for the targets and compiles each
// target's files (<name>_<target>.cpp) with -m<feature> for every
// KERNELS_CPU_HAS(feature) of its check.  So keep each entry on one line.
// Adding a target: one line here, its lane header lanes_<target>.h, and its
// kernel_table_<target>.cpp (and for the tests and benchmarks
// dev/vector_libm_<target>.cpp and tests/simd/lane_ops_<target>.cpp, which
// the build then asks for).
#define KERNELS_SIMD_TARGET_LIST(X)                                                                  \
    X(scalar, true)                                                                                   \
    X(avx2, KERNELS_CPU_HAS(avx2) && KERNELS_CPU_HAS(fma))                                            \
    X(avx512, AVX512_CHOSEN && KERNELS_CPU_HAS(avx512f) && KERNELS_CPU_HAS(avx512dq) && KERNELS_CPU_HAS(avx2) && KERNELS_CPU_HAS(fma))

// The targets of this build: on processors other than x86-64 the scalar one.
#ifdef KERNELS_SIMD_X86
#define KERNELS_SIMD_TARGETS(X) KERNELS_SIMD_TARGET_LIST(X)
#else
#define KERNELS_SIMD_TARGETS(X) X(scalar, true)
#endif

namespace kernels::simd {

// The instruction-set paths, one per target built, in the list's order.
#define KERNELS_PATH_ENUMERATOR(target, runs_here) target,
enum class SimdPath { KERNELS_SIMD_TARGETS(KERNELS_PATH_ENUMERATOR) };
#undef KERNELS_PATH_ENUMERATOR

// Every path, narrowest first: what the tests and benchmarks loop over.
#define KERNELS_PATH_VALUE(target, runs_here) SimdPath::target,
constexpr SimdPath SIMD_PATHS[] = {KERNELS_SIMD_TARGETS(KERNELS_PATH_VALUE)};
#undef KERNELS_PATH_VALUE

constexpr int SIMD_PATH_COUNT = static_cast<int>(sizeof SIMD_PATHS / sizeof SIMD_PATHS[0]);

// The target's name as the list writes it ("scalar", "avx2", ...).
constexpr const char *simd_path_name(SimdPath path) {
#define KERNELS_PATH_NAME(target, runs_here) #target,
    constexpr const char *NAMES[] = {KERNELS_SIMD_TARGETS(KERNELS_PATH_NAME)};
#undef KERNELS_PATH_NAME
    return NAMES[static_cast<int>(path)];
}

}  // namespace kernels::simd
