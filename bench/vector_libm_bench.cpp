// Throughput of expf and sincosf (ns per element, CPU time; sincosf_wide has
// arguments up to 1000, mostly in the large reduction) on each instruction-set
// path this CPU has, over 2048 L1-resident inputs, with the ratio of each
// vector path to the scalar libm measured in the same run; and what an
// exported call pays to read the path the process chose.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "simd/targets.h"
#include "dev/libm_arrays.h"
#include "dispatch/dispatch.h"
#include "ratio_reporter.h"

using namespace kernels::simd;

namespace {

constexpr size_t COUNT = 2048;

std::vector<float> uniform_inputs(float low, float high) {
    std::mt19937 generator(12345);
    std::uniform_real_distribution<float> distribution(low, high);
    std::vector<float> x(COUNT);
    for (float &v : x)
        v = distribution(generator);
    return x;
}

void bench_expf(benchmark::State &state, SimdPath path) {
    const std::vector<float> x = uniform_inputs(-30.0f, 0.0f);  // as the radial Gaussians see it
    std::vector<float> y(COUNT);
    for (auto _ : state) {
        expf_array(path, x.data(), y.data(), COUNT);
        benchmark::DoNotOptimize(y.data());
        benchmark::ClobberMemory();
    }
    state.counters["elements"] = static_cast<double>(COUNT);
}

// limit: inputs uniform in [-limit, limit]; above 120 the large reduction runs.
void bench_sincosf(benchmark::State &state, SimdPath path, float limit) {
    const std::vector<float> x = uniform_inputs(-limit, limit);
    std::vector<float> s(COUNT), c(COUNT);
    for (auto _ : state) {
        sincosf_array(path, x.data(), s.data(), c.data(), COUNT);
        benchmark::DoNotOptimize(s.data());
        benchmark::DoNotOptimize(c.data());
        benchmark::ClobberMemory();
    }
    state.counters["elements"] = static_cast<double>(COUNT);
}

// What an exported call pays to read the process's choice of path (the CPU
// query and the libm variant check ran once, on the first call).
void bench_dispatch_choice(benchmark::State &state) {
    for (auto _ : state) {
        const Dispatch choice = kernels::simd::current_dispatch();
        benchmark::DoNotOptimize(choice);
    }
}

}  // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    const std::vector<std::string> order = {"expf", "sincosf", "sincosf_wide", "reading the choice of path"};
    for (SimdPath path : SIMD_PATHS) {
        if (!simd_path_supported(path))
            continue;
        const std::string suffix = std::string("/") + simd_path_name(path);
        benchmark::RegisterBenchmark(("expf" + suffix).c_str(), bench_expf, path)->Unit(benchmark::kMicrosecond);
        benchmark::RegisterBenchmark(("sincosf" + suffix).c_str(), bench_sincosf, path, 60.0f)
            ->Unit(benchmark::kMicrosecond);
        benchmark::RegisterBenchmark(("sincosf_wide" + suffix).c_str(), bench_sincosf, path, 1000.0f)
            ->Unit(benchmark::kMicrosecond);
    }
    benchmark::RegisterBenchmark("reading the choice of path/exported", bench_dispatch_choice);
    std::printf("platform libm is the FMA variant (vector code in use): %s\n",
                libm_runs_fma_variant() ? "yes" : "no");
    RatioReporter reporter("'exported': kernels::simd::current_dispatch(), which every exported call reads once.");
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.print_ratios(order);
    benchmark::Shutdown();
    return 0;
}
