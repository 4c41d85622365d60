// Every exported function run from many threads at once on shared input arrays
// and private outputs: each result must equal the single-threaded one bit for
// bit, and the choice of instruction-set path is made once however many
// threads make their first calls together.  Built also under ThreadSanitizer
// (-DKERNELS_SANITIZE_THREAD=ON), where a data race inside the library fails
// the run.  Allocation failures injected on some threads stay on those threads.  Linked with a build of the choice that counts its probes and reads
// (KERNELS_COUNT_PROBES, see CMakeLists.txt).
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "dispatch/dispatch.h"
#include "support/kernel_calls.h"

using namespace kernels_test;

namespace {

constexpr int kThreads = 6, kCallsPerThread = 4, N = 24;

struct Inputs {
    Molecule m;
    std::vector<float> orbitals, map;  // three rows; an N x N map
    std::vector<float> e_kin{0.9f, 1.1f, 1.3f}, weights{2.0f, 1.0f, 0.5f}, kz_imaginary{0.1f, 0.0f, -0.2f};
};

Inputs make_inputs() {
    std::mt19937 rng(2024);
    Inputs in;
    in.m = random_molecule(rng, 4, 3, 4, 2.5f);
    in.orbitals = random_orbitals(rng, in.m, 3);
    std::uniform_real_distribution<float> value(-1.0f, 5.0f);
    for (int e = 0; e < N * N; ++e) in.map.push_back(value(rng));
    return in;
}

// The returned map, or nothing when the function returned null.
std::vector<float> returned(float *block) {
    if (block == nullptr) return {};
    std::vector<float> out(block, block + N * N);
    std::free(block);
    return out;
}

template <typename Change>
std::vector<float> changed(std::vector<float> map, Change change) {
    change(map.data());
    return map;
}

bool same_bits(const std::vector<float> &a, const std::vector<float> &b) {
    return a.size() == b.size() &&
           (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0);
}

// One job: computes into a fresh output and returns it.
using Job = std::function<std::vector<float>(const Inputs &)>;

std::vector<std::pair<const char *, Job>> jobs() {
    const Grid real{10, 10, 10, -4.0f, -4.0f, -4.0f, 0.8f}, momentum{10, 10, 10, -2.0f, -2.0f, -2.0f, 0.4f};
    return {
        {"momentum_map",
         [](const Inputs &in) {
             return momentum_map_of(in.m, in.orbitals, 1.2f, N, -1.5f, 0.13f, {30, 45, 60});
         }},
        {"momentum_map_sum",
         [](const Inputs &in) {
             const Molecule &m = in.m;
             std::vector<float> out(N * N);
             momentum_map_sum(3, in.e_kin.data(), in.weights.data(), in.orbitals.data(), N, 0, -1.5f, 0.13f,
                              10.0f, 20.0f, 30.0f, 65.0f, 15.0f, 20.0f, 1, 1, 2, in.kz_imaginary.data(),
                              m.n_atoms(), m.shells_per_atom.data(), m.atom_x.data(), m.atom_y.data(),
                              m.atom_z.data(), m.shell_l.data(), m.shell_n_prim.data(),
                              m.prim_exponent.data(), m.prim_coeff.data(), out.data());
             return out;
         }},
        {"polarisation_factor",
         [](const Inputs &in) {
             return changed(in.map, [](float *map) {
                 polarisation_factor(N, 0, 0, map, 1.2f, -1.5f, 0.13f, 65.0f, 15.0f, 30.0f, 0.1f);
             });
         }},
        {"scalar_field", [=](const Inputs &in) { return field(real, in.m, in.orbitals); }},
        {"charge_density_sum",
         [=](const Inputs &in) { return charge(real, in.m, in.orbitals, 3, in.weights.data()); }},
        {"momentum_density", [=](const Inputs &in) { return density(momentum, in.m, in.orbitals); }},
        {"momentum_density_sum",
         [=](const Inputs &in) { return density_sum(momentum, in.m, in.orbitals, 3); }},
        {"rotation", [](const Inputs &in) { return returned(rotation(N, in.map.data(), 33.0f)); }},
        {"flip_over_x", [](const Inputs &in) { return returned(flip_over_x(N, in.map.data())); }},
        {"flip_over_y", [](const Inputs &in) { return returned(flip_over_y(N, in.map.data())); }},
        {"symmetrisation",
         [](const Inputs &in) { return changed(in.map, [](float *map) { symmetrisation(N, 2, map); }); }},
        {"normalisation",
         [](const Inputs &in) { return changed(in.map, [](float *map) { normalisation(N, map); }); }},
    };
}

// The exported functions without vector loops, which never read the choice.
const std::set<std::string> WITHOUT_VECTOR_LOOPS = {"flip_over_x", "flip_over_y", "normalisation"};

}  // namespace

// First in this file, so that the library's first calls in this program are
// the threads' below, released together.  The CPU and the libm are probed once
// per process, and each call of a function with vector loops reads the choice
// exactly once (the sums hand it to what they call rather than asking again
// per orbital); the other functions never read it.
TEST(Concurrency, ThePathIsChosenOncePerProcessAndReadOncePerCall) {
    using kernels::simd::probe_counts;
    const Inputs inputs = make_inputs();
    const auto all = jobs();
    const long reads_before = probe_counts.reads.load();
    std::atomic<int> not_started{kThreads};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            --not_started;
            while (not_started.load() > 0) std::this_thread::yield();
            for (int call = 0; call < kCallsPerThread; ++call)
                for (size_t k = 0; k < all.size(); ++k) all[(k + size_t(t)) % all.size()].second(inputs);
        });
    for (auto &thread : threads) thread.join();
    EXPECT_EQ(probe_counts.cpu.load(), 1);
    EXPECT_EQ(probe_counts.libm.load(), 1);
    const long vector_functions = static_cast<long>(all.size() - WITHOUT_VECTOR_LOOPS.size());
    EXPECT_EQ(probe_counts.reads.load() - reads_before, kThreads * kCallsPerThread * vector_functions);

    for (const auto &job : all) {
        const long before = probe_counts.reads.load();
        job.second(inputs);
        EXPECT_EQ(probe_counts.reads.load() - before, WITHOUT_VECTOR_LOOPS.count(job.first) != 0 ? 0 : 1)
            << job.first;
    }
    EXPECT_EQ(probe_counts.cpu.load(), 1);
    EXPECT_EQ(probe_counts.libm.load(), 1);
}

TEST(Concurrency, EveryFunctionFromManyThreadsMatchesTheSingleThreadedResult) {
    const Inputs inputs = make_inputs();
    const auto all = jobs();
    std::vector<std::vector<float>> expected;
    for (const auto &job : all) expected.push_back(job.second(inputs));

    // Each thread runs every job several times, starting at a different job so
    // that different functions overlap in time.
    std::vector<std::vector<int>> mismatches(kThreads, std::vector<int>(all.size(), 0));
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            for (int call = 0; call < kCallsPerThread; ++call)
                for (size_t k = 0; k < all.size(); ++k) {
                    const size_t j = (k + size_t(t)) % all.size();
                    const std::vector<float> got = all[j].second(inputs);
                    mismatches[t][j] += !same_bits(got, expected[j]);
                }
        });
    for (auto &thread : threads) thread.join();
    for (int t = 0; t < kThreads; ++t)
        for (size_t j = 0; j < all.size(); ++j)
            EXPECT_EQ(mismatches[t][j], 0) << all[j].first << " on thread " << t;
}

// The allocation hook counts and fails the allocations of the thread that asked,
// while other threads allocate at the same time: counting threads see the
// single-threaded count and result, failing threads the single-threaded
// result and errno of a failed first allocation, and the others never fail.
TEST(Concurrency, InjectedAllocationFailuresStayOnTheirThread) {
    const Inputs inputs = make_inputs();
    const auto all = jobs();
    std::vector<std::vector<float>> expected, failed;
    std::vector<int> count, failed_errno;
    for (const auto &job : all) {
        std::vector<float> got;
        count.push_back(count_allocations([&] { got = job.second(inputs); }));
        expected.push_back(got);
        failed_errno.push_back(with_failing_allocation(0, [&] { got = job.second(inputs); }));
        failed.push_back(got);
    }
    ASSERT_GT(count[0], 0);  // momentum_map allocates

    // Thread t counts (t % 3 == 0), fails the first allocation (t % 3 == 1) or
    // calls plainly.
    std::vector<std::vector<int>> mismatches(kThreads, std::vector<int>(all.size(), 0));
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            for (int call = 0; call < kCallsPerThread; ++call)
                for (size_t k = 0; k < all.size(); ++k) {
                    const size_t j = (k + size_t(t)) % all.size();
                    std::vector<float> got;
                    const auto job = [&] { got = all[j].second(inputs); };
                    bool wrong = false;
                    if (t % 3 == 0) {
                        wrong = count_allocations(job) != count[j] || !same_bits(got, expected[j]);
                    } else if (t % 3 == 1) {
                        wrong = with_failing_allocation(0, job) != failed_errno[j] || !same_bits(got, failed[j]);
                    } else {
                        job();
                        wrong = !same_bits(got, expected[j]);
                    }
                    mismatches[t][j] += wrong;
                }
        });
    for (auto &thread : threads) thread.join();
    for (int t = 0; t < kThreads; ++t)
        for (size_t j = 0; j < all.size(); ++j)
            EXPECT_EQ(mismatches[t][j], 0) << all[j].first << " on thread " << t;
}
