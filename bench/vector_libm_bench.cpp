// Throughput of expf and sincosf (ns per element, CPU time; sincosf_wide has
// arguments up to 1000, mostly in the large reduction) on each instruction-set
// path this CPU has, over 2048 L1-resident inputs, with the ratio of each
// vector path to the scalar libm measured in the same run; and the per-call
// cost of choosing the path.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "simd/lanes.h"
#include "simd/libm_arrays.h"
#include "simd/libm_variant_probe.h"
#include "dispatch/kernel_table.h"

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
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * COUNT));
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
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * COUNT));
}

// What a kernel pays per call to choose its path: the CPU query and the libm
// variant check.
void bench_dispatch_choice(benchmark::State &state) {
    for (auto _ : state) {
        const Dispatch choice = kernels_choose_dispatch();
        benchmark::DoNotOptimize(choice);
    }
}

// Prints the usual table and remembers ns per element of each case (the
// median when repetitions are asked for).
class RatioReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run> &runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run &run : runs) {
            if (run.error_occurred)
                continue;
            const bool aggregate = run.run_type == Run::RT_Aggregate;
            if (aggregate && run.aggregate_name != "median")
                continue;
            const double ns = run.GetAdjustedCPUTime() / static_cast<double>(COUNT);
            const std::string name = run.run_name.function_name;
            if (aggregate || ns_per_element.count(name) == 0 || !has_median[name])
                ns_per_element[name] = ns;
            has_median[name] = has_median[name] || aggregate;
        }
    }

    void print_ratios() const {
        std::printf("\n%-13s %-8s %12s %10s\n", "function", "path", "ns/element", "vs scalar");
        for (const char *function : {"expf", "sincosf", "sincosf_wide"}) {
            const auto scalar = ns_per_element.find(std::string(function) + "/scalar");
            for (SimdPath path : {SimdPath::scalar, SimdPath::avx2, SimdPath::avx512}) {
                const auto it = ns_per_element.find(std::string(function) + "/" + simd_path_name(path));
                if (it == ns_per_element.end()) {
                    std::printf("%-13s %-8s %12s %10s\n", function, simd_path_name(path), "skipped", "(not available here)");
                    continue;
                }
                const double ratio = scalar == ns_per_element.end() ? 0.0 : scalar->second / it->second;
                std::printf("%-13s %-8s %12.3f %9.2fx\n", function, simd_path_name(path), it->second, ratio);
            }
        }
    }

  private:
    std::map<std::string, double> ns_per_element;
    std::map<std::string, bool> has_median;
};

}  // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    for (SimdPath path : {SimdPath::scalar, SimdPath::avx2, SimdPath::avx512}) {
        if (!simd_path_supported(path))
            continue;
        const std::string suffix = std::string("/") + simd_path_name(path);
        benchmark::RegisterBenchmark(("expf" + suffix).c_str(), bench_expf, path);
        benchmark::RegisterBenchmark(("sincosf" + suffix).c_str(), bench_sincosf, path, 60.0f);
        benchmark::RegisterBenchmark(("sincosf_wide" + suffix).c_str(), bench_sincosf, path, 1000.0f);
    }
    benchmark::RegisterBenchmark("dispatch_choice_per_call", bench_dispatch_choice);
    std::printf("platform libm is the FMA variant (vector code in use): %s\n",
                libm_runs_fma_variant() ? "yes" : "no");
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.print_ratios();
    benchmark::Shutdown();
    return 0;
}
