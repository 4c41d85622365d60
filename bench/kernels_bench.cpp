// Times the library's kernels on real molecules (bench/data/*.txt) and prints
// a table with the ratio of each instruction-set path to the scalar path
// measured in the same run.
//
// Every case runs its exported function once per path the CPU has, the path
// forced for the benchmark's thread (dev/forced_dispatch.h).
//
//   kernels_bench [--smoke] [--data DIR] [google benchmark flags]
// --smoke: small sizes and few iterations (a check that every case runs).
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <unistd.h>

#include "libkernels.h"
#include "simd/targets.h"
#include "dev/libm_arrays.h"
#include "dispatch/dispatch.h"
#include "dev/forced_dispatch.h"

#include "bench_molecule.h"
#include "ratio_reporter.h"

using kernels::simd::SimdPath;

namespace {

constexpr double HARTREE_IN_EV = 27.211386245988;
// Photoemission at 35 eV photon energy with a 4.5 eV work function: the HOMO
// leaves with 30.5 eV less its binding energy; deeper orbitals with less.
constexpr double HOMO_KINETIC_EV = 30.0;

// How a case is run: through the exported function on the path the process
// chose, or with one path forced.
struct Variant {
    bool on_path;
    SimdPath path;
    std::string name() const { return on_path ? kernels::simd::simd_path_name(path) : "exported"; }
};

// Forces the variant's path on this thread while it lives.
class OnVariant {
  public:
    explicit OnVariant(Variant v) {
        if (v.on_path)
            forced_.emplace(v.path);
    }

  private:
    std::optional<kernels::simd::ForcedDispatch> forced_;
};

std::vector<Variant> variants() {
    std::vector<Variant> list;
    for (SimdPath path : kernels::simd::SIMD_PATHS)
        if (kernels::simd::simd_path_supported(path))
            list.push_back({true, path});
    return list;
}

struct Sizes {
    std::vector<int32_t> map_sides;  // momentum_map
    int32_t sum_side;                // momentum_map_sum
    int32_t real_points;             // scalar_field, charge_density_sum: per axis
    int32_t k_points;                // momentum_density_sum: per axis
    int32_t postprocess_side;        // rotation, symmetrisation
};

float kinetic_energy(const BenchMolecule &m, int32_t orbital) {
    const double e = HOMO_KINETIC_EV / HARTREE_IN_EV + (m.orbital_energy[orbital] - m.orbital_energy[0]);
    return static_cast<float>(e);
}

// The map covers the HOMO's hemisphere: |kx|, |ky| <= sqrt(2 e_kin).
struct MapGrid {
    float k_min, k_step;
};
MapGrid map_grid(float e_kin, int32_t n) {
    const float k_max = std::sqrt(2.0f * e_kin);
    return {-k_max, n > 1 ? 2.0f * k_max / static_cast<float>(n - 1) : 0.0f};
}

// A cube of n^3 points around the molecule with 6 bohr to spare on every side.
struct RealGrid {
    float x_min, y_min, z_min, step;
};
RealGrid real_grid(const BenchMolecule &m, int32_t n) {
    float low[3] = {1e30f, 1e30f, 1e30f}, high[3] = {-1e30f, -1e30f, -1e30f};
    const std::vector<float> *coords[3] = {&m.atom_x, &m.atom_y, &m.atom_z};
    for (int d = 0; d < 3; ++d)
        for (float v : *coords[d]) {
            low[d] = std::fmin(low[d], v);
            high[d] = std::fmax(high[d], v);
        }
    float extent = 0.0f;
    for (int d = 0; d < 3; ++d)
        extent = std::fmax(extent, high[d] - low[d] + 12.0f);
    const float step = extent / static_cast<float>(n - 1);
    float start[3];
    for (int d = 0; d < 3; ++d)
        start[d] = 0.5f * (low[d] + high[d]) - 0.5f * step * static_cast<float>(n - 1);
    return {start[0], start[1], start[2], step};
}

// The number of elements of a call (pixels x atoms, grid points, ...): the
// table divides the time by it.
void set_counters(benchmark::State &state, double elements) { state.counters["elements"] = elements; }

// ---- cases -------------------------------------------------------------

void bench_momentum_map(benchmark::State &state, const BenchMolecule *m, int32_t n, Variant v) {
    const OnVariant on(v);
    const float e_kin = kinetic_energy(*m, 0);
    const MapGrid g = map_grid(e_kin, n);
    std::vector<float> out(static_cast<size_t>(n) * n);
    for (auto _ : state) {
            momentum_map(n, m->n_atoms(), m->shells_per_atom.data(), m->atom_x.data(), m->atom_y.data(),
                         m->atom_z.data(), e_kin, g.k_min, g.k_step, 0.0f, 0.0f, 0.0f, m->shell_l.data(),
                         m->shell_n_prim.data(), m->prim_exponent.data(), m->prim_coeff.data(), m->orbital(0),
                         out.data());
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    // Cost per pixel and atom: the unit of the kernel's inner work.
    set_counters(state, static_cast<double>(n) * n * m->n_atoms());
}

void bench_momentum_map_sum(benchmark::State &state, const BenchMolecule *m, int32_t n, Variant v) {
    const OnVariant on(v);
    const int32_t n_orbitals = m->n_orbitals();
    std::vector<float> e_kin(n_orbitals), kz_imaginary(n_orbitals, 0.0f);
    for (int32_t o = 0; o < n_orbitals; ++o)
        e_kin[o] = kinetic_energy(*m, o);
    const MapGrid g = map_grid(e_kin[0], n);
    std::vector<float> out(static_cast<size_t>(n) * n);
    // Twofold symmetrisation; p-polarised light at 65 degrees incidence in the kx-kz plane.
    for (auto _ : state) {
            momentum_map_sum(n_orbitals, e_kin.data(), nullptr, m->mo_coeff.data(), n, 1, g.k_min, g.k_step, 0.0f,
                             0.0f, 0.0f, 65.0f, 0.0f, 0.0f, 1, 0, 0, kz_imaginary.data(), m->n_atoms(),
                             m->shells_per_atom.data(), m->atom_x.data(), m->atom_y.data(), m->atom_z.data(),
                             m->shell_l.data(), m->shell_n_prim.data(), m->prim_exponent.data(),
                             m->prim_coeff.data(), out.data());
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    set_counters(state, static_cast<double>(n) * n * m->n_atoms() * n_orbitals);
}

void bench_scalar_field(benchmark::State &state, const BenchMolecule *m, int32_t n, Variant v) {
    const OnVariant on(v);
    const RealGrid g = real_grid(*m, n);
    std::vector<float> out(static_cast<size_t>(n) * n * n);
    for (auto _ : state) {
            scalar_field(n, n, n, m->n_atoms(), m->shells_per_atom.data(), m->atom_x.data(), g.x_min, g.y_min,
                         g.z_min, g.step, m->atom_y.data(), m->atom_z.data(), m->shell_l.data(),
                         m->shell_n_prim.data(), m->prim_exponent.data(), m->prim_coeff.data(), m->orbital(0),
                         out.data());
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    set_counters(state, static_cast<double>(n) * n * n);
}

void bench_charge_density_sum(benchmark::State &state, const BenchMolecule *m, int32_t n, Variant v) {
    const OnVariant on(v);
    const RealGrid g = real_grid(*m, n);
    std::vector<float> out(static_cast<size_t>(n) * n * n);
    for (auto _ : state) {
            charge_density_sum(n, n, n, m->n_orbitals(), nullptr, m->mo_coeff.data(), g.x_min, g.y_min, g.z_min,
                               g.step, m->n_atoms(), m->shells_per_atom.data(), m->atom_x.data(),
                               m->atom_y.data(), m->atom_z.data(), m->shell_l.data(), m->shell_n_prim.data(),
                               m->prim_exponent.data(), m->prim_coeff.data(), out.data());
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    set_counters(state, static_cast<double>(n) * n * n * m->n_orbitals());
}

// A cube |kx|, |ky|, |kz| <= 2.5 bohr^-1 (beyond it the valence orbitals have
// next to nothing).
void bench_momentum_density_sum(benchmark::State &state, const BenchMolecule *m, int32_t n, Variant v) {
    const OnVariant on(v);
    const float k_min = -2.5f, k_step = 5.0f / static_cast<float>(n - 1);
    std::vector<float> out(static_cast<size_t>(n) * n * n);
    for (auto _ : state) {
            momentum_density_sum(n, n, n, m->n_orbitals(), nullptr, m->mo_coeff.data(), k_min, k_min, k_min,
                                 k_step, m->n_atoms(), m->shells_per_atom.data(), m->atom_x.data(),
                                 m->atom_y.data(), m->atom_z.data(), m->shell_l.data(), m->shell_n_prim.data(),
                                 m->prim_exponent.data(), m->prim_coeff.data(), out.data());
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    set_counters(state, static_cast<double>(n) * n * n * m->n_orbitals());
}

// The HOMO map of the molecule at side n: the input of the post-processing cases.
std::vector<float> homo_map(const BenchMolecule &m, int32_t n) {
    const float e_kin = kinetic_energy(m, 0);
    const MapGrid g = map_grid(e_kin, n);
    std::vector<float> map(static_cast<size_t>(n) * n);
    momentum_map(n, m.n_atoms(), m.shells_per_atom.data(), m.atom_x.data(), m.atom_y.data(), m.atom_z.data(),
                 e_kin, g.k_min, g.k_step, 0.0f, 0.0f, 0.0f, m.shell_l.data(), m.shell_n_prim.data(),
                 m.prim_exponent.data(), m.prim_coeff.data(), m.orbital(0), map.data());
    return map;
}

// Light at 65 degrees incidence on the HOMO's map: linear p-polarised
// (polarisation_mode 0) or circular (1).  The time includes restoring the
// input map (one copy of n*n floats per call).
void bench_polarisation_factor(benchmark::State &state, const std::vector<float> *map, int32_t n, float e_kin,
                               int32_t mode, Variant v) {
    const OnVariant on(v);
    const MapGrid g = map_grid(e_kin, n);
    std::vector<float> work(map->size());
    for (auto _ : state) {
        std::memcpy(work.data(), map->data(), map->size() * sizeof(float));
            polarisation_factor(n, mode, 0, work.data(), e_kin, g.k_min, g.k_step, 65.0f, 0.0f, 0.0f, 0.0f);
        benchmark::DoNotOptimize(work.data());
        benchmark::ClobberMemory();
    }
    set_counters(state, static_cast<double>(n) * n);
}

// 30 degrees: an angle that interpolates (right angles copy pixels).
void bench_rotation(benchmark::State &state, const std::vector<float> *map, int32_t n, Variant v) {
    const OnVariant on(v);
    for (auto _ : state) {
        float *turned;
            turned = rotation(n, map->data(), 30.0f);
        benchmark::DoNotOptimize(turned);
        std::free(turned);
    }
    set_counters(state, static_cast<double>(n) * n);
}

// Threefold with mirrors: six terms, four of them interpolated rotations.  The
// time includes restoring the input map (one copy of n*n floats per call).
void bench_symmetrisation(benchmark::State &state, const std::vector<float> *map, int32_t n, Variant v) {
    const OnVariant on(v);
    std::vector<float> work(map->size());
    for (auto _ : state) {
        std::memcpy(work.data(), map->data(), map->size() * sizeof(float));
            symmetrisation(n, 2, work.data());
        benchmark::DoNotOptimize(work.data());
        benchmark::ClobberMemory();
    }
    set_counters(state, static_cast<double>(n) * n);
}

// The yardstick of momentum_map's cost per pixel and atom: one sincosf per
// element on the path, over 2048 arguments in [-60, 60] (a phase k.r).
void bench_sincosf(benchmark::State &state, Variant v) {
    constexpr size_t count = 2048;
    std::vector<float> x(count), s(count), c(count);
    for (size_t i = 0; i < count; ++i)
        x[i] = -60.0f + 120.0f * static_cast<float>((i * 7919) % count) / static_cast<float>(count);
    for (auto _ : state) {
        kernels::simd::sincosf_array(v.path, x.data(), s.data(), c.data(), count);
        benchmark::DoNotOptimize(s.data());
        benchmark::DoNotOptimize(c.data());
        benchmark::ClobberMemory();
    }
    set_counters(state, static_cast<double>(count));
}

// Tiny input: one atom with one s shell, n = 8.  The exported function (which
// reads the process's choice of path) against the same path forced: the
// difference is what reading the choice costs.
struct TinyAtom {
    int32_t shells_per_atom[1] = {1};
    float x[1] = {0.0f}, y[1] = {0.0f}, z[1] = {0.0f};
    int32_t l[1] = {0}, n_prim[1] = {1};
    float exponent[1] = {0.8f}, coeff[1] = {1.0f}, mo[1] = {1.0f};
};

void bench_tiny_momentum_map(benchmark::State &state, Variant v) {
    const OnVariant on(v);
    const TinyAtom a;
    float out[64];
    for (auto _ : state) {
            momentum_map(8, 1, a.shells_per_atom, a.x, a.y, a.z, 1.0f, -1.4f, 0.4f, 0.0f, 0.0f, 0.0f, a.l,
                         a.n_prim, a.exponent, a.coeff, a.mo, out);
        benchmark::DoNotOptimize(out);
        benchmark::ClobberMemory();
    }
}

// ---- report ------------------------------------------------------------

std::string cpu_model_and_flags() {
    std::ifstream cpuinfo("/proc/cpuinfo");
    std::string line, model = "unknown", flags;
    while (std::getline(cpuinfo, line)) {
        const size_t colon = line.find(':');
        if (colon == std::string::npos)
            continue;
        const std::string key = line.substr(0, line.find_first_of(" \t"));
        const std::string value = colon + 2 <= line.size() ? line.substr(colon + 2) : "";
        if (key == "model" && line.rfind("model name", 0) == 0 && model == "unknown")
            model = value;
        if (key == "flags" && flags.empty()) {
            std::istringstream words(value);
            std::string w;
            while (words >> w)
                if (w == "sse4_2" || w == "avx" || w == "avx2" || w == "fma" || w.rfind("avx512", 0) == 0)
                    flags += (flags.empty() ? "" : " ") + w;
        }
    }
    return model + "\nCPU vector flags: " + (flags.empty() ? "(none)" : flags);
}

void print_header(bool smoke) {
    const kernels::simd::Dispatch choice = kernels::simd::current_dispatch();
    std::printf("libkernels benchmark suite%s\n", smoke ? " (smoke run: small sizes)" : "");
    std::printf("CPU: %s\n", cpu_model_and_flags().c_str());
    std::printf("paths this CPU runs:");
    for (SimdPath path : kernels::simd::SIMD_PATHS)
        std::printf(" %s%s", kernels::simd::simd_path_name(path),
                    kernels::simd::simd_path_supported(path) ? "" : "(no)");
    std::printf("\nexported functions choose: %s, vector expf/sincosf %s\n", choice.kernels->name,
                choice.vector_libm ? "in use (platform libm is the variant they reproduce)"
                                   : "not in use (scalar libm per lane)");
    std::printf("compiler: %s, %s\n\n", __VERSION__, KERNELS_BENCH_BUILD);
}

// Registers case/<variant> for every variant; runs of a case take at least
// min_time seconds (or `iterations` iterations in a smoke run).
template <typename Function, typename... Args>
void register_case(std::vector<std::string> &order, const std::string &name, bool smoke,
                   Function function, Args... args) {
    order.push_back(name);
    for (const Variant &v : variants()) {
        auto *b = benchmark::RegisterBenchmark((name + "/" + v.name()).c_str(), function, args..., v);
        b->Unit(benchmark::kMillisecond);
        if (smoke)
            b->Iterations(2);
    }
}

}  // namespace

int main(int argc, char **argv) {
    bool smoke = false;
    std::string data_dir = KERNELS_BENCH_DATA_DIR;
    std::vector<char *> rest = {argv[0]};
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--smoke") == 0)
            smoke = true;
        else if (std::strcmp(argv[i], "--data") == 0 && i + 1 < argc)
            data_dir = argv[++i];
        else
            rest.push_back(argv[i]);
    }
    int rest_count = static_cast<int>(rest.size());
    benchmark::Initialize(&rest_count, rest.data());
    if (benchmark::ReportUnrecognizedArguments(rest_count, rest.data()))
        return 1;

    std::map<std::string, BenchMolecule> molecules;
    try {
        for (const char *name : {"benzene", "pentacene", "c96h24"})
            if (!smoke || std::strcmp(name, "c96h24") != 0)
                molecules[name] = read_bench_molecule(data_dir, name);
    } catch (const std::exception &e) {
        std::fprintf(stderr, "kernels_bench: %s\n", e.what());
        return 1;
    }
    const Sizes sizes = smoke ? Sizes{{16, 33}, 16, 20, 12, 64} : Sizes{{128, 256}, 128, 100, 64, 512};

    print_header(smoke);
    for (const auto &[name, m] : molecules)
        std::printf("molecule %-10s %-9s %4d atoms %4zu shells %5d components, orbitals %s..%s\n", name.c_str(),
                    m.basis.c_str(), m.n_atoms(), m.shell_l.size(), m.n_components, m.orbital_label.front().c_str(),
                    m.orbital_label.back().c_str());
    std::printf("\n");

    std::vector<std::string> order;  // of the cases in the final table
    const BenchMolecule *pentacene = &molecules.at("pentacene");
    std::vector<const BenchMolecule *> map_molecules = {&molecules.at("benzene"), pentacene};
    if (!smoke)
        map_molecules.push_back(&molecules.at("c96h24"));
    for (const BenchMolecule *m : map_molecules)
        for (int32_t n : sizes.map_sides)
            register_case(order, "momentum_map " + m->name + " HOMO n=" + std::to_string(n), smoke,
                          bench_momentum_map, m, n);
    register_case(order, "momentum_map_sum " + pentacene->name + " " + std::to_string(pentacene->n_orbitals()) +
                      " orb n=" + std::to_string(sizes.sum_side), smoke, bench_momentum_map_sum, pentacene, sizes.sum_side);

    std::vector<const BenchMolecule *> grid_molecules = {pentacene};
    if (!smoke)
        grid_molecules.push_back(&molecules.at("c96h24"));
    const std::string cube = std::to_string(sizes.real_points) + "^3";
    for (const BenchMolecule *m : grid_molecules)
        register_case(order, "scalar_field " + m->name + " HOMO " + cube, smoke,
                      bench_scalar_field, m, sizes.real_points);
    register_case(order, "charge_density_sum " + pentacene->name + " " + std::to_string(pentacene->n_orbitals()) + " orb " +
                      cube, smoke, bench_charge_density_sum, pentacene, sizes.real_points);
    register_case(order, "momentum_density_sum " + pentacene->name + " " + std::to_string(pentacene->n_orbitals()) +
                      " orb " + std::to_string(sizes.k_points) + "^3", smoke, bench_momentum_density_sum, pentacene, sizes.k_points);

    const int32_t light_side = sizes.map_sides.back();
    const std::vector<float> light_map = homo_map(*pentacene, light_side);
    for (int32_t mode : {0, 1})
        register_case(order, std::string("polarisation_factor ") + (mode == 0 ? "linear" : "circular") +
                          " n=" + std::to_string(light_side),
                      smoke, bench_polarisation_factor, &light_map, light_side, kinetic_energy(*pentacene, 0), mode);

    const std::vector<float> map = homo_map(*pentacene, sizes.postprocess_side);
    const std::string side = " n=" + std::to_string(sizes.postprocess_side);
    register_case(order, "rotation 30deg" + side, smoke, bench_rotation, &map,
                  sizes.postprocess_side);
    register_case(order, "symmetrisation threefold" + side, smoke, bench_symmetrisation, &map,
                  sizes.postprocess_side);

    order.push_back("sincosf one per element (yardstick)");
    for (const Variant &v : variants()) {
        auto *b = benchmark::RegisterBenchmark(("sincosf one per element (yardstick)/" + v.name()).c_str(),
                                               bench_sincosf, v);
        b->Unit(benchmark::kMicrosecond);
        if (smoke)
            b->Iterations(100);
    }

    // Dispatch cost on a tiny input: the exported function against the path it runs.
    order.push_back("momentum_map tiny n=8 1 atom");
    for (const Variant &v : {Variant{false, SimdPath::scalar}, Variant{true, kernels::simd::best_simd_path()}}) {
        auto *b = benchmark::RegisterBenchmark(("momentum_map tiny n=8 1 atom/" + v.name()).c_str(),
                                               bench_tiny_momentum_map, v);
        b->Unit(benchmark::kMicrosecond);
        if (smoke)
            b->Iterations(1000);
    }

    RatioReporter reporter("'exported': the public function on the path the process chose.");
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.print_ratios(order);
    benchmark::Shutdown();
    return 0;
}
