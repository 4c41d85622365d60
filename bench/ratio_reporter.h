// The benchmarks' report: Google Benchmark's table as the runs finish, then
// one row per case and path (benchmarks named "<case>/<path>", path one of
// simd/targets.h or exported) with the CPU time per call, per element (the
// counter "elements", when a case sets it) and the ratio to the scalar path
// measured in the same run (the median where repetitions are asked for).
#pragma once

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "simd/targets.h"

class RatioReporter : public benchmark::ConsoleReporter {
  public:
    // Colours only on a terminal.  The note is printed below the ratios.
    explicit RatioReporter(std::string note = "")
        : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_ColorTabular : OO_Tabular), note_(std::move(note)) {}

    void ReportRuns(const std::vector<Run> &runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run &run : runs) {
            if (run.error_occurred)
                continue;
            if (run.run_type == Run::RT_Aggregate && run.aggregate_name != "median")
                continue;
            const std::string name = run.run_name.function_name;
            const size_t slash = name.rfind('/');
            const std::string key = name.substr(0, slash), variant = name.substr(slash + 1);
            // seconds per call (CPU time of this thread)
            times_[key][variant] = run.GetAdjustedCPUTime() / benchmark::GetTimeUnitMultiplier(run.time_unit);
            const auto elements = run.counters.find("elements");
            if (elements != run.counters.end())
                elements_[key] = elements->second.value;
        }
    }

    // Prints the cases in the order given (that of registration: runs may be interleaved).
    void print_ratios(const std::vector<std::string> &order) const {
        std::printf("\n%-44s %-9s %12s %12s %10s\n", "case", "path", "ms/call", "ns/element", "vs scalar");
        for (const std::string &key : order) {
            if (times_.count(key) == 0)
                continue;
            const auto &by_variant = times_.at(key);
            const auto scalar = by_variant.find("scalar");
            std::vector<std::string> variants;
            for (kernels::simd::SimdPath path : kernels::simd::SIMD_PATHS)
                variants.push_back(kernels::simd::simd_path_name(path));
            variants.push_back("exported");
            for (const std::string &variant : variants) {
                const auto it = by_variant.find(variant);
                if (it == by_variant.end()) {
                    if (scalar != by_variant.end() && variant != "exported")
                        std::printf("%-44s %-9s %12s %12s %10s\n", key.c_str(), variant.c_str(), "skipped", "",
                                    "(not available here)");
                    continue;
                }
                char ratio[32] = "-";
                if (scalar != by_variant.end() && it != scalar)
                    std::snprintf(ratio, sizeof ratio, "%.2fx", scalar->second / it->second);
                char per_element[32] = "";
                if (elements_.count(key))
                    std::snprintf(per_element, sizeof per_element, "%.2f", it->second * 1e9 / elements_.at(key));
                std::printf("%-44s %-9s %12.5g %12s %10s\n", key.c_str(), variant.c_str(), it->second * 1e3, per_element,
                            ratio);
            }
            // The tiny case compares the exported function with the path it chooses.
            const auto exported = by_variant.find("exported");
            if (scalar == by_variant.end() && exported != by_variant.end() && by_variant.size() == 2)
                for (const auto &[variant, seconds] : by_variant)
                    if (variant != "exported")
                        std::printf("%-44s exported/%s = %.3f (reading the choice of path)\n", key.c_str(),
                                    variant.c_str(), exported->second / seconds);
        }
        if (!note_.empty())
            std::printf("\n%s\n", note_.c_str());
    }

  private:
    std::string note_;
    std::map<std::string, std::map<std::string, double>> times_;
    std::map<std::string, double> elements_;
};
