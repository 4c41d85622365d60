// Structured fuzz input: a molecule, grids and parameters drawn from the fuzzer's
// bytes.  Every array is a heap block of exactly the length its counts describe
// (nothing for a count <= 0), so AddressSanitizer reports any access outside
// what the counts allow.  Values come mostly from physically sensible ranges;
// some draws pick a hostile value (NaN, infinities, denormals, zero, huge) or an
// out-of-model count, and then `in_contract` is cleared so that the harnesses
// check only memory safety for that input, not its results.
#pragma once

#include <fuzzer/FuzzedDataProvider.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

namespace kernels_fuzz {

struct Draw {
    FuzzedDataProvider &data;
    bool in_contract = true;

    // A float in [lo, hi], or now and then a hostile value.
    float real(float lo, float hi) {
        if (data.ConsumeIntegralInRange<int>(0, 15) == 0) {
            in_contract = false;
            static const float hostile[] = {std::numeric_limits<float>::quiet_NaN(),
                                            std::numeric_limits<float>::infinity(),
                                            -std::numeric_limits<float>::infinity(),
                                            std::numeric_limits<float>::denorm_min(),
                                            -1e-40f, 0.0f, -0.0f, 3e38f, -3e38f, 1e-30f};
            return hostile[data.ConsumeIntegralInRange<int>(0, 9)];
        }
        return lo + (hi - lo) * data.ConsumeFloatingPointInRange<float>(0.0f, 1.0f);
    }

    // A count in [lo, hi], or now and then one outside [0, model_max].
    int32_t count(int32_t lo, int32_t hi, int32_t model_max) {
        if (data.ConsumeIntegralInRange<int>(0, 15) == 0) {
            in_contract = false;
            return data.ConsumeIntegralInRange<int32_t>(-3, model_max + 3);
        }
        return data.ConsumeIntegralInRange<int32_t>(lo, hi);
    }

    int32_t selector() { return data.ConsumeIntegralInRange<int32_t>(-3, 3); }
};

inline int64_t length_of(int64_t count) { return count > 0 ? count : 0; }

struct Molecule {
    int32_t n_atoms = 0;
    std::vector<int32_t> shells_per_atom;
    std::vector<float> atom_x, atom_y, atom_z;
    std::vector<int32_t> shell_l, shell_n_prim;
    std::vector<float> prim_exponent, prim_coeff;
    int32_t n_components = 0;  // row length, as the library counts it

    static Molecule draw(Draw &draw, int max_atoms) {
        Molecule m;
        m.n_atoms = draw.count(0, max_atoms, max_atoms);
        const int64_t atoms = length_of(m.n_atoms);
        int64_t n_shells = 0;
        for (int64_t a = 0; a < atoms; ++a) {
            m.shells_per_atom.push_back(draw.count(0, 3, 3));
            m.atom_x.push_back(draw.real(-6.0f, 6.0f));
            m.atom_y.push_back(draw.real(-6.0f, 6.0f));
            m.atom_z.push_back(draw.real(-6.0f, 6.0f));
            n_shells += m.shells_per_atom.back();
        }
        int64_t n_prims = 0, n_components = 0;
        for (int64_t s = 0; s < length_of(n_shells); ++s) {
            m.shell_l.push_back(draw.count(0, 4, 4));
            m.shell_n_prim.push_back(draw.count(1, 3, 3));
            n_prims += m.shell_n_prim.back();
            n_components += 2 * m.shell_l.back() + 1;
        }
        for (int64_t p = 0; p < length_of(n_prims); ++p) {
            m.prim_exponent.push_back(draw.real(0.05f, 20.0f));
            m.prim_coeff.push_back(draw.real(-2.0f, 2.0f));
        }
        m.n_components = static_cast<int32_t>(atoms > 0 && n_shells > 0 ? n_components : 0);
        return m;
    }

    // n_rows orbital rows of n_components coefficients each.
    std::vector<float> orbitals(Draw &draw, int32_t n_rows) const {
        std::vector<float> rows(static_cast<size_t>(length_of(int64_t(n_rows) * length_of(n_components))));
        for (float &c : rows) c = draw.data.ConsumeBool() ? draw.real(-1.0f, 1.0f) : 0.0f;
        return rows;
    }
};

// Pointer to a vector's storage, or nullptr for an empty one.
template <class T>
const T *ptr(const std::vector<T> &v) { return v.empty() ? nullptr : v.data(); }
template <class T>
T *ptr(std::vector<T> &v) { return v.empty() ? nullptr : v.data(); }

inline bool all_finite(const std::vector<float> &v) {
    for (float x : v)
        if (!std::isfinite(x)) return false;
    return true;
}

// Element count of an n x n map, or 0 for a negative side.
inline size_t map_length(int32_t n) { return n > 0 ? size_t(n) * size_t(n) : 0; }

// Element count of a grid, or 0 when any dimension is not positive.
inline size_t grid_length(int32_t nx, int32_t ny, int32_t nz) {
    return nx > 0 && ny > 0 && nz > 0 ? size_t(nx) * size_t(ny) * size_t(nz) : 0;
}

// A regular 3D grid: the three counts (0 to `most`), the three minima (low
// to 0) and the step, drawn in that order.
struct Grid {
    int32_t nx, ny, nz;
    float x_min, y_min, z_min, step;

    static Grid draw(Draw &draw, int32_t most, float low, float step_low, float step_high) {
        Grid g;
        g.nx = draw.count(0, most, most);
        g.ny = draw.count(0, most, most);
        g.nz = draw.count(0, most, most);
        g.x_min = draw.real(low, 0);
        g.y_min = draw.real(low, 0);
        g.z_min = draw.real(low, 0);
        g.step = draw.real(step_low, step_high);
        return g;
    }
    size_t length() const { return grid_length(nx, ny, nz); }
};

// Up to three orbitals of a molecule with their weights, and whether the
// weights are passed (else a null pointer), drawn in that order.
struct Orbitals {
    int32_t count;
    std::vector<float> rows, weights;
    bool use_weights;

    static Orbitals draw(Draw &draw, const Molecule &m) {
        Orbitals o;
        o.count = draw.count(0, 3, 3);
        o.rows = m.orbitals(draw, o.count);
        o.weights.resize(size_t(length_of(o.count)));
        for (float &w : o.weights) w = draw.real(0.0f, 2.0f);
        o.use_weights = draw.data.ConsumeBool();
        return o;
    }
    const float *weight_pointer() const { return use_weights ? ptr(weights) : nullptr; }
};

// charge_density_sum or momentum_density_sum (the same parameter list) of the
// orbitals on the grid.
template <class WeightedSum>
void weighted_sum(WeightedSum function, const Grid &g, const Orbitals &o, const Molecule &m,
                  std::vector<float> &out) {
    function(g.nx, g.ny, g.nz, o.count, o.weight_pointer(), ptr(o.rows), g.x_min, g.y_min, g.z_min, g.step,
             m.n_atoms, ptr(m.shells_per_atom), ptr(m.atom_x), ptr(m.atom_y), ptr(m.atom_z), ptr(m.shell_l),
             ptr(m.shell_n_prim), ptr(m.prim_exponent), ptr(m.prim_coeff), ptr(out));
}

}  // namespace kernels_fuzz

#define FUZZ_CHECK(condition)                                                     \
    do {                                                                           \
        if (!(condition)) {                                                        \
            std::fprintf(stderr, "fuzz property failed: %s (%s:%d)\n", #condition, \
                         __FILE__, __LINE__);                                      \
            std::abort();                                                          \
        }                                                                          \
    } while (0)
