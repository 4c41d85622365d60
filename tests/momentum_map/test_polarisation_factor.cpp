// polarisation_factor: each mode against the squared modulus of e.k~ formed
// independently with complex double vectors, the hemisphere mask, and the
// limiting cases.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <functional>

#include "map_call.h"

using namespace map_test;
using kernels_test::bits;

namespace {

enum : int32_t { LINEAR = 0, CIRCULAR = 1, RADIAL = 2 };

struct Light {
    int32_t mode = LINEAR;
    int32_t circular = 0;
    float theta = 0, phi = 0, s_share = 0, gamma = 0;
};

const Grid GRID{13, -1.5f, 0.25f};
constexpr float E_KIN = 1.0f;

std::vector<float> factor_map(const Light &light, float fill = 1.0f, const Grid &g = GRID,
                              float e_kin = E_KIN) {
    std::vector<float> map(size_t(g.n > 0 ? g.n * g.n : 1), fill);
    polarisation_factor(g.n, light.mode, light.circular, map.data(), e_kin, g.k_min, g.k_step, light.theta,
                        light.phi, light.s_share, light.gamma);
    return map;
}

using Vec = std::array<std::complex<double>, 3>;

double norm_of_dot(const Vec &e, const Vec &k) { return std::norm(e[0] * k[0] + e[1] * k[1] + e[2] * k[2]); }

// p and s polarisation vectors, and the circular ones (p + sign i s) / sqrt 2.
Vec p_vector(double theta, double phi) {
    const double t = theta * M_PI / 180, f = phi * M_PI / 180;
    return {std::cos(t) * std::cos(f), std::cos(t) * std::sin(f), std::sin(t)};
}
Vec s_vector(double phi) { return {-std::sin(phi * M_PI / 180), std::cos(phi * M_PI / 180), 0.0}; }
Vec circular(double theta, double phi, double sign) {
    const Vec p = p_vector(theta, phi), s = s_vector(phi);
    Vec v;
    for (int c = 0; c < 3; ++c) v[c] = (p[c] + sign * std::complex<double>(0, 1) * s[c]) / std::sqrt(2.0);
    return v;
}

// Compares a factor map with model(k~), k~ = (kx, ky, kz + i gamma), on the
// hemisphere; outside it every pixel must be +0.
void expect_factor(const std::vector<float> &map, double gamma,
                   const std::function<double(const Vec &)> &model, double tolerance) {
    for (int i = 0; i < GRID.n; ++i)
        for (int j = 0; j < GRID.n; ++j) {
            const float value = map[size_t(i) * GRID.n + j];
            if (!inside(GRID, squared_radius(E_KIN), i, j)) {
                EXPECT_EQ(bits(value), 0u) << i << "," << j;
                continue;
            }
            const double kx = GRID.coordinate(i), ky = GRID.coordinate(j);
            const Vec k{kx, ky, std::complex<double>(std::sqrt(2.0 * E_KIN - kx * kx - ky * ky), gamma)};
            const double expected = model(k);  // NaN: a non-finite input stays non-finite
            if (std::isnan(expected)) {
                EXPECT_FALSE(std::isfinite(value)) << i << "," << j;
            } else {
                EXPECT_NEAR(value, expected, tolerance) << i << "," << j;
            }
        }
}

}  // namespace

TEST(PolarisationFactor, EachModeIsTheSquaredModulusOfEDotK) {
    const float t = 35, f = 20, g = 0.3f, ct = 50, cf = -40, cg = 0.45f;
    auto p = [&](const Vec &k) { return norm_of_dot(p_vector(t, f), k); };
    auto s = [&](const Vec &k) { return norm_of_dot(s_vector(f), k); };
    auto plus = [&](const Vec &k) { return norm_of_dot(circular(ct, cf, +1), k); };
    auto minus = [&](const Vec &k) { return norm_of_dot(circular(ct, cf, -1), k); };
    const struct {
        Light light;
        std::function<double(const Vec &)> model;
    } cases[] = {
        {{LINEAR, 0, t, f, 0, g}, p},
        {{LINEAR, 0, t, f, 100, g}, s},
        {{LINEAR, 0, t, f, 30, g}, [&](const Vec &k) { return 0.3 * s(k) + 0.7 * p(k); }},
        {{CIRCULAR, 0, ct, cf, 0, cg}, plus},
        {{CIRCULAR, 1, ct, cf, 0, cg}, minus},
        {{CIRCULAR, 2, ct, cf, 0, cg}, [&](const Vec &k) { return minus(k) - plus(k); }},
        {{CIRCULAR, -7, ct, cf, 0, cg}, [&](const Vec &k) { return minus(k) - plus(k); }},
        // Radial: the plane of incidence along each pixel's own azimuth; phi, s
        // share and gamma are ignored, and every mode other than 0 and 1 is radial.
        {{RADIAL, 0, 60, 123, 40, 0.7f},
         [](const Vec &k) {
             return norm_of_dot(p_vector(60, std::atan2(k[1].real(), k[0].real()) * 180 / M_PI), k);
         }},
    };
    for (const auto &c : cases) {
        const float gamma = c.light.mode == RADIAL ? 0 : c.light.gamma;
        expect_factor(factor_map(c.light), gamma, c.model, 3e-6);
        // The factor multiplies the map: a NaN pixel stays NaN inside, becomes +0 outside.
        expect_factor(
            factor_map(c.light, NAN), gamma, [](const Vec &) { return NAN; }, 0);
    }
    EXPECT_SAME_BITS(factor_map({-3, 1, 60, -10, 0, 0}), factor_map({RADIAL, 0, 60, 123, 40, 0.7f}));
    // At the centre k_par = 0 and the radial factor is (kz sin t)^2.
    const float kz = std::sqrt(E_KIN + E_KIN), sin_t = float(std::sin(60 * 0.01745329252));
    const float centre = 0.0f * float(std::cos(60 * 0.01745329252)) + kz * sin_t;
    EXPECT_EQ(bits(factor_map({RADIAL, 0, 60, 0, 0, 0})[6 * 13 + 6]), bits(centre * centre));
    // Without an imaginary kz the helicities agree to the bit and the dichroism is 0.
    const auto no_gamma_plus = factor_map({CIRCULAR, 0, 50, 75, 0, 0}, 3.0f);
    EXPECT_SAME_BITS(no_gamma_plus, factor_map({CIRCULAR, 1, 50, 75, 0, 0}, 3.0f));
    for (float v : factor_map({CIRCULAR, 5, 50, 75, 0, 0}, 3.0f)) EXPECT_EQ(v, 0.0f);
}

TEST(PolarisationFactor, SizesAndZeroEnergy) {
    const Light light{LINEAR, 0, 30, 10, 50, 0};
    EXPECT_EQ(factor_map(light, 4.0f, Grid{0, 0, 1})[0], 4.0f);
    EXPECT_EQ(factor_map(light, 4.0f, Grid{-1, 0, 1})[0], 4.0f);
    EXPECT_EQ(bits(factor_map(light, 4.0f, Grid{1, -0.5f, 0.25f})[0]),
              bits(factor_map(light, 4.0f, Grid{3, -0.5f, 0.25f})[0]));
    // e_kin = 0: only the kx = ky = 0 pixel lies on the (point) hemisphere, where kz = 0.
    for (float v : factor_map({RADIAL, 0, 30, 0, 0, 0}, 4.0f, Grid{5, -1.0f, 0.5f}, 0.0f))
        EXPECT_EQ(bits(v), 0u);
}
