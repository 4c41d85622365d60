// Every exported function run from many threads at once on shared input arrays
// and private outputs: each result must equal the single-threaded one bit for
// bit.  Built also under ThreadSanitizer (-DKERNELS_SANITIZE_THREAD=ON), where a
// data race inside the library fails the run.
#include <gtest/gtest.h>
#include <libkernels.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <random>
#include <thread>
#include <vector>

#include "support/test_molecule.h"

namespace {

using kernels_test::Molecule;

constexpr int kThreads = 6;
constexpr int kCallsPerThread = 4;

struct Inputs {
    Molecule molecule;
    std::vector<float> orbitals;  // three rows
    std::vector<float> e_kin{0.9f, 1.1f, 1.3f};
    std::vector<float> weights{2.0f, 1.0f, 0.5f};
    std::vector<float> kz_imaginary{0.1f, 0.0f, -0.2f};
    std::vector<float> map;
};

Inputs make_inputs() {
    std::mt19937 rng(2024);
    Inputs in;
    in.molecule = kernels_test::random_molecule(rng, 4, 3, 4, 2.5f);
    for (int o = 0; o < 3; ++o) {
        auto row = kernels_test::random_orbital(rng, in.molecule);
        in.orbitals.insert(in.orbitals.end(), row.begin(), row.end());
    }
    std::uniform_real_distribution<float> value(-1.0f, 5.0f);
    in.map.resize(24 * 24);
    for (float &v : in.map) v = value(rng);
    return in;
}

// One job: computes into a fresh output and returns it.
using Job = std::function<std::vector<float>(const Inputs &)>;

std::vector<std::pair<const char *, Job>> jobs() {
    const int32_t n = 24, g = 10;
    auto mol = [](const Inputs &in) -> const Molecule & { return in.molecule; };
    return {
        {"momentum_map", [=](const Inputs &in) {
             const Molecule &m = mol(in);
             std::vector<float> out(n * n);
             momentum_map(n, m.n_atoms(), m.shells_per_atom.data(), m.atom_x.data(), m.atom_y.data(),
                          m.atom_z.data(), 1.2f, -1.5f, 0.13f, 30.0f, 45.0f, 60.0f, m.shell_l.data(),
                          m.shell_n_prim.data(), m.prim_exponent.data(), m.prim_coeff.data(),
                          in.orbitals.data(), out.data());
             return out;
         }},
        {"momentum_map_sum", [=](const Inputs &in) {
             const Molecule &m = mol(in);
             std::vector<float> out(n * n);
             momentum_map_sum(3, in.e_kin.data(), in.weights.data(), in.orbitals.data(), n, 0, -1.5f,
                              0.13f, 10.0f, 20.0f, 30.0f, 65.0f, 15.0f, 20.0f, 1, 1, 2,
                              in.kz_imaginary.data(), m.n_atoms(), m.shells_per_atom.data(),
                              m.atom_x.data(), m.atom_y.data(), m.atom_z.data(), m.shell_l.data(),
                              m.shell_n_prim.data(), m.prim_exponent.data(), m.prim_coeff.data(),
                              out.data());
             return out;
         }},
        {"polarisation_factor", [=](const Inputs &in) {
             std::vector<float> out = in.map;
             polarisation_factor(n, 0, 0, out.data(), 1.2f, -1.5f, 0.13f, 65.0f, 15.0f, 30.0f, 0.1f);
             return out;
         }},
        {"scalar_field", [=](const Inputs &in) {
             const Molecule &m = mol(in);
             std::vector<float> out(g * g * g);
             scalar_field(g, g, g, m.n_atoms(), m.shells_per_atom.data(), m.atom_x.data(), -4.0f, -4.0f,
                          -4.0f, 0.8f, m.atom_y.data(), m.atom_z.data(), m.shell_l.data(),
                          m.shell_n_prim.data(), m.prim_exponent.data(), m.prim_coeff.data(),
                          in.orbitals.data(), out.data());
             return out;
         }},
        {"charge_density_sum", [=](const Inputs &in) {
             const Molecule &m = mol(in);
             std::vector<float> out(g * g * g);
             charge_density_sum(g, g, g, 3, in.weights.data(), in.orbitals.data(), -4.0f, -4.0f, -4.0f,
                                0.8f, m.n_atoms(), m.shells_per_atom.data(), m.atom_x.data(),
                                m.atom_y.data(), m.atom_z.data(), m.shell_l.data(),
                                m.shell_n_prim.data(), m.prim_exponent.data(), m.prim_coeff.data(),
                                out.data());
             return out;
         }},
        {"momentum_density", [=](const Inputs &in) {
             const Molecule &m = mol(in);
             std::vector<float> out(g * g * g);
             momentum_density(g, g, g, m.n_atoms(), m.shells_per_atom.data(), m.atom_x.data(), -2.0f,
                              -2.0f, -2.0f, 0.4f, m.atom_y.data(), m.atom_z.data(), m.shell_l.data(),
                              m.shell_n_prim.data(), m.prim_exponent.data(), m.prim_coeff.data(),
                              in.orbitals.data(), out.data());
             return out;
         }},
        {"momentum_density_sum", [=](const Inputs &in) {
             const Molecule &m = mol(in);
             std::vector<float> out(g * g * g);
             momentum_density_sum(g, g, g, 3, nullptr, in.orbitals.data(), -2.0f, -2.0f, -2.0f, 0.4f,
                                  m.n_atoms(), m.shells_per_atom.data(), m.atom_x.data(),
                                  m.atom_y.data(), m.atom_z.data(), m.shell_l.data(),
                                  m.shell_n_prim.data(), m.prim_exponent.data(),
                                  m.prim_coeff.data(), out.data());
             return out;
         }},
        {"rotation", [=](const Inputs &in) {
             float *r = rotation(n, in.map.data(), 33.0f);
             std::vector<float> out(r, r + n * n);
             std::free(r);
             return out;
         }},
        {"flip_over_x", [=](const Inputs &in) {
             float *r = flip_over_x(n, in.map.data());
             std::vector<float> out(r, r + n * n);
             std::free(r);
             return out;
         }},
        {"flip_over_y", [=](const Inputs &in) {
             float *r = flip_over_y(n, in.map.data());
             std::vector<float> out(r, r + n * n);
             std::free(r);
             return out;
         }},
        {"symmetrisation", [=](const Inputs &in) {
             std::vector<float> out = in.map;
             symmetrisation(n, 2, out.data());
             return out;
         }},
        {"normalisation", [=](const Inputs &in) {
             std::vector<float> out = in.map;
             normalisation(n, out.data());
             return out;
         }},
    };
}

}  // namespace

TEST(Concurrency, EveryFunctionFromManyThreadsMatchesTheSingleThreadedResult) {
    const Inputs inputs = make_inputs();
    const auto all = jobs();
    std::vector<std::vector<float>> expected;
    for (const auto &job : all) expected.push_back(job.second(inputs));

    // Each thread runs every job several times, starting at a different job so
    // that different functions overlap in time.
    std::vector<std::vector<int>> mismatches(kThreads, std::vector<int>(all.size(), 0));
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int call = 0; call < kCallsPerThread; ++call)
                for (size_t k = 0; k < all.size(); ++k) {
                    const size_t j = (k + size_t(t)) % all.size();
                    const std::vector<float> got = all[j].second(inputs);
                    if (got.size() != expected[j].size() ||
                        std::memcmp(got.data(), expected[j].data(), got.size() * sizeof(float)) != 0)
                        ++mismatches[t][j];
                }
        });
    }
    for (auto &thread : threads) thread.join();
    for (int t = 0; t < kThreads; ++t)
        for (size_t j = 0; j < all.size(); ++j)
            EXPECT_EQ(mismatches[t][j], 0) << all[j].first << " on thread " << t;
}
