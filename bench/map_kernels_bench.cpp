// Throughput of momentum_map on each instruction-set path this CPU has, for a
// pentacene-shaped molecule (36 atoms: 22 carbons with 6-31G*-like s, sp and d
// shells, 14 hydrogens with two s shells; 336 components) at n = 128 and 256
// with non-zero angles, and the ratio of each vector path to the scalar path
// measured in the same run.  Also prints the cost per (pixel inside the disc x
// atom) next to the cost of one sincosf per element on the same path; and the
// other vectorised map kernels: polarisation_factor at n = 256 (linear and
// circular light), the interpolating rotation at n = 512, and a tiny map
// (n = 8, one atom) through the exported function against the scalar path.
#include <benchmark/benchmark.h>

#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "maps/rotation_paths.h"
#include "momentum_map/momentum_map_paths.h"
#include "momentum_map/polarisation_factor_paths.h"
#include "libkernels.h"
#include "simd/lanes.h"
#include "simd/libm_arrays.h"
#include "simd/libm_variant_probe.h"

using namespace kernels::simd;

namespace {

struct Molecule {
    std::vector<int32_t> shells_per_atom;
    std::vector<float> x, y, z;
    std::vector<int32_t> shell_l, shell_n_prim;
    std::vector<float> exponent, coeff;
    int32_t components = 0;

    void atom(float ax, float ay, float az) {
        x.push_back(ax);
        y.push_back(ay);
        z.push_back(az);
        shells_per_atom.push_back(0);
    }
    void shell(int32_t l, std::vector<float> e, std::vector<float> c) {
        ++shells_per_atom.back();
        shell_l.push_back(l);
        shell_n_prim.push_back(static_cast<int32_t>(e.size()));
        exponent.insert(exponent.end(), e.begin(), e.end());
        coeff.insert(coeff.end(), c.begin(), c.end());
        components += 2 * l + 1;
    }
    int32_t n_atoms() const { return static_cast<int32_t>(x.size()); }
};

// Five fused hexagons along x (C-C 2.65 bohr), hydrogens 2.04 bohr out from
// every carbon with two carbon neighbours.
Molecule pentacene_shaped() {
    const double bond = 2.65, pi = 3.14159265358979;
    std::vector<std::array<double, 2>> carbons;
    std::vector<std::array<double, 2>> centres;
    for (int ring = 0; ring < 5; ++ring) {
        const double cx = (ring - 2) * bond * std::sqrt(3.0);
        centres.push_back({cx, 0.0});
        for (int v = 0; v < 6; ++v) {
            const double t = pi / 6 + v * pi / 3;
            const std::array<double, 2> p{cx + bond * std::cos(t), bond * std::sin(t)};
            bool seen = false;
            for (const auto &q : carbons) seen = seen || std::hypot(p[0] - q[0], p[1] - q[1]) < 0.1;
            if (!seen) carbons.push_back(p);
        }
    }
    Molecule m;
    for (const auto &c : carbons) {
        m.atom(static_cast<float>(c[0]), static_cast<float>(c[1]), 0.0f);
        m.shell(0, {3047.5f, 457.37f, 103.95f, 29.21f, 9.287f, 3.164f},
                {0.0018347f, 0.014037f, 0.068843f, 0.23218f, 0.46794f, 0.36231f});
        m.shell(0, {7.8683f, 1.8813f, 0.5442f}, {-0.1193f, -0.1609f, 1.1435f});
        m.shell(1, {7.8683f, 1.8813f, 0.5442f}, {0.0690f, 0.3164f, 0.7443f});
        m.shell(0, {0.1687f}, {1.0f});
        m.shell(1, {0.1687f}, {1.0f});
        m.shell(2, {0.8f}, {1.0f});
    }
    for (const auto &c : carbons) {
        int neighbours = 0;
        for (const auto &q : carbons) neighbours += std::hypot(c[0] - q[0], c[1] - q[1]) < bond * 1.1 ? 1 : 0;
        if (neighbours - 1 != 2) continue;
        std::array<double, 2> centre = centres[0];
        for (const auto &q : centres)
            if (std::hypot(c[0] - q[0], c[1] - q[1]) < std::hypot(c[0] - centre[0], c[1] - centre[1])) centre = q;
        const double d = std::hypot(c[0] - centre[0], c[1] - centre[1]);
        const double out = 2.04 / d;
        m.atom(static_cast<float>(c[0] + (c[0] - centre[0]) * out), static_cast<float>(c[1] + (c[1] - centre[1]) * out),
               0.0f);
        m.shell(0, {18.731f, 2.8253f, 0.6401f}, {0.0335f, 0.2347f, 0.8138f});
        m.shell(0, {0.1613f}, {1.0f});
    }
    return m;
}

constexpr float E_KIN = 1.25f;  // hartree: |k| up to 1.58 / bohr
const Molecule MOLECULE = pentacene_shaped();

std::vector<float> orbital() {
    std::mt19937 generator(3);
    std::uniform_real_distribution<float> c(-1.0f, 1.0f);
    std::vector<float> row(static_cast<size_t>(MOLECULE.components));
    for (float &v : row) v = c(generator);
    return row;
}

void bench_momentum_map(benchmark::State &state, SimdPath path) {
    const auto n = static_cast<int32_t>(state.range(0));
    const Molecule &m = MOLECULE;
    const std::vector<float> row = orbital();
    std::vector<float> map(static_cast<size_t>(n) * n);
    const float k = std::sqrt(E_KIN + E_KIN);
    const float k_step = 2.0f * k / static_cast<float>(n - 1);
    for (auto _ : state) {
        kernels::momentum_map_on_path(path, n, m.n_atoms(), m.shells_per_atom.data(), m.x.data(), m.y.data(),
                                      m.z.data(), E_KIN, -k, k_step, 10.0f, 20.0f, 30.0f, m.shell_l.data(),
                                      m.shell_n_prim.data(), m.exponent.data(), m.coeff.data(), row.data(),
                                      map.data());
        benchmark::DoNotOptimize(map.data());
        benchmark::ClobberMemory();
    }
    long inside = 0;
    for (float v : map) inside += v != 0.0f ? 1 : 0;
    state.counters["disc_pixels"] = static_cast<double>(inside);
}

std::vector<float> random_map(int32_t n) {
    std::mt19937 generator(5);
    std::uniform_real_distribution<float> value(0.0f, 1.0f);
    std::vector<float> map(static_cast<size_t>(n) * n);
    for (float &v : map) v = value(generator);
    return map;
}

// polarisation_mode 0 (linear, 30 % s) or 1 (circular, + helicity).
void bench_polarisation(benchmark::State &state, SimdPath path, int32_t mode) {
    const int32_t n = 256;
    const std::vector<float> source = random_map(n);
    std::vector<float> map = source;
    const float k = std::sqrt(E_KIN + E_KIN);
    for (auto _ : state) {
        // A fresh map each time: factors applied over and over would reach
        // subnormals or overflow.
        state.PauseTiming();
        map = source;
        state.ResumeTiming();
        kernels::polarisation_factor_on_path(path, n, mode, 0, map.data(), E_KIN, -k, 2.0f * k / (n - 1), 65.0f,
                                             20.0f, 30.0f, 0.1f);
        benchmark::DoNotOptimize(map.data());
        benchmark::ClobberMemory();
    }
}

void bench_rotation(benchmark::State &state, SimdPath path) {
    const int32_t n = 512;
    const std::vector<float> map = random_map(n);
    for (auto _ : state) {
        float *turned = kernels::rotation_on_path(path, n, map.data(), 33.0f);
        benchmark::DoNotOptimize(turned);
        std::free(turned);
    }
}

// A tiny map (n = 8, one carbon atom of the molecule): the per-call costs of
// the exported function (path choice included) against the scalar path.
void bench_tiny(benchmark::State &state, SimdPath path, bool exported) {
    const int32_t n = 8;
    const Molecule &m = MOLECULE;
    const std::vector<float> row = orbital();
    std::vector<float> map(static_cast<size_t>(n) * n);
    const float k = std::sqrt(E_KIN + E_KIN);
    const int32_t one_atom[] = {m.shells_per_atom[0]};
    for (auto _ : state) {
        if (exported)
            momentum_map(n, 1, one_atom, m.x.data(), m.y.data(), m.z.data(), E_KIN, -k, 2.0f * k / (n - 1), 10.0f,
                         20.0f, 30.0f, m.shell_l.data(), m.shell_n_prim.data(), m.exponent.data(), m.coeff.data(),
                         row.data(), map.data());
        else
            kernels::momentum_map_on_path(path, n, 1, one_atom, m.x.data(), m.y.data(), m.z.data(), E_KIN, -k,
                                          2.0f * k / (n - 1), 10.0f, 20.0f, 30.0f, m.shell_l.data(),
                                          m.shell_n_prim.data(), m.exponent.data(), m.coeff.data(), row.data(),
                                          map.data());
        benchmark::DoNotOptimize(map.data());
        benchmark::ClobberMemory();
    }
}

constexpr size_t SINCOS_COUNT = 2048;

void bench_sincosf(benchmark::State &state, SimdPath path) {
    std::mt19937 generator(12345);
    std::uniform_real_distribution<float> phase(-60.0f, 60.0f);
    std::vector<float> x(SINCOS_COUNT), s(SINCOS_COUNT), c(SINCOS_COUNT);
    for (float &v : x) v = phase(generator);
    for (auto _ : state) {
        sincosf_array(path, x.data(), s.data(), c.data(), SINCOS_COUNT);
        benchmark::DoNotOptimize(s.data());
        benchmark::DoNotOptimize(c.data());
        benchmark::ClobberMemory();
    }
}

// Prints the usual table and remembers ns per iteration of each case (the
// median when repetitions are asked for) and the disc's pixel count.
class RatioReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run> &runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run &run : runs) {
            if (run.error_occurred) continue;
            const bool aggregate = run.run_type == Run::RT_Aggregate;
            if (aggregate && run.aggregate_name != "median") continue;
            const std::string name = run.run_name.str();
            if (aggregate || ns.count(name) == 0 || !has_median[name]) ns[name] = run.GetAdjustedCPUTime();
            has_median[name] = has_median[name] || aggregate;
            const auto pixels = run.counters.find("disc_pixels");
            if (pixels != run.counters.end()) disc_pixels[name] = pixels->second.value;
        }
    }

    void print_ratios() const {
        std::printf("\n%-22s %-7s %10s %10s %14s %14s\n", "case", "path", "ms/map", "vs scalar",
                    "ns/(px*atom)", "x sincosf/el");
        for (const char *size : {"/128", "/256"}) {
            for (SimdPath path : {SimdPath::scalar, SimdPath::avx2, SimdPath::avx512}) {
                const std::string name = std::string("momentum_map/") + simd_path_name(path) + size;
                const auto it = ns.find(name);
                const std::string label = std::string("momentum_map n=") + (size + 1);
                if (it == ns.end()) {
                    std::printf("%-22s %-7s %10s\n", label.c_str(), simd_path_name(path), "skipped");
                    continue;
                }
                const auto scalar = ns.find(std::string("momentum_map/scalar") + size);
                const double ratio = scalar == ns.end() ? 0.0 : scalar->second / it->second;
                const double per = it->second / (disc_pixels.at(name) * MOLECULE.n_atoms());
                const auto sincos = ns.find(std::string("sincosf/") + simd_path_name(path));
                const double sincos_per = sincos == ns.end() ? 0.0 : sincos->second / SINCOS_COUNT;
                std::printf("%-22s %-7s %10.3f %9.2fx %14.3f %14.2f\n", label.c_str(), simd_path_name(path),
                            it->second * 1e-6, ratio, per, sincos_per > 0 ? per / sincos_per : 0.0);
            }
        }
        std::printf("\n%-22s %-8s %10s %10s\n", "case", "path", "ms/call", "vs scalar");
        for (const char *name : {"polarisation_linear/256", "polarisation_circular/256", "rotation/512",
                                 "momentum_map_tiny/8"}) {
            const std::string base(name);
            const std::string function = base.substr(0, base.find('/')), size = base.substr(base.find('/'));
            const auto scalar = ns.find(function + "/scalar" + size);
            for (const char *path : {"scalar", "avx2", "avx512", "exported"}) {
                const auto it = ns.find(function + "/" + path + size);
                if (it == ns.end()) {
                    if (std::string(path) != "exported") std::printf("%-22s %-8s %10s\n", name, path, "skipped");
                    continue;
                }
                const double ratio = scalar == ns.end() ? 0.0 : scalar->second / it->second;
                std::printf("%-22s %-8s %10.5f %9.2fx\n", name, path, it->second * 1e-6, ratio);
            }
        }
    }

  private:
    std::map<std::string, double> ns;
    std::map<std::string, bool> has_median;
    std::map<std::string, double> disc_pixels;
};

}  // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    for (SimdPath path : {SimdPath::scalar, SimdPath::avx2, SimdPath::avx512}) {
        if (!simd_path_supported(path)) continue;
        const std::string suffix = std::string("/") + simd_path_name(path);
        benchmark::RegisterBenchmark(("momentum_map" + suffix).c_str(), bench_momentum_map, path)
            ->Arg(128)
            ->Arg(256);
        benchmark::RegisterBenchmark(("sincosf" + suffix).c_str(), bench_sincosf, path);
        benchmark::RegisterBenchmark(("polarisation_linear" + suffix + "/256").c_str(), bench_polarisation, path, 0);
        benchmark::RegisterBenchmark(("polarisation_circular" + suffix + "/256").c_str(), bench_polarisation, path, 1);
        benchmark::RegisterBenchmark(("rotation" + suffix + "/512").c_str(), bench_rotation, path);
        benchmark::RegisterBenchmark(("momentum_map_tiny" + suffix + "/8").c_str(), bench_tiny, path, false);
    }
    benchmark::RegisterBenchmark("momentum_map_tiny/exported/8", bench_tiny, SimdPath::scalar, true);
    std::printf("molecule: %d atoms, %d components; platform libm is the FMA variant: %s\n", MOLECULE.n_atoms(),
                MOLECULE.components, libm_runs_fma_variant() ? "yes" : "no");
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.print_ratios();
    benchmark::Shutdown();
    return 0;
}
