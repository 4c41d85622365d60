// polarisation_factor: the hemisphere mask, the limiting cases of each mode, and
// each mode against the squared modulus of e.k~ formed independently with
// complex double vectors.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>

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

std::vector<float> factor_map(const Grid &g, float e_kin, const Light &light, float fill = 1.0f) {
    std::vector<float> map(size_t(g.n > 0 ? g.n * g.n : 1), fill);
    polarisation_factor(g.n, light.mode, light.circular, map.data(), e_kin, g.k_min, g.k_step,
                        light.theta, light.phi, light.s_share, light.gamma);
    return map;
}

using Vec = std::array<std::complex<double>, 3>;

std::complex<double> dot(const Vec &e, const Vec &k) {
    return e[0] * k[0] + e[1] * k[1] + e[2] * k[2];
}

// Pixel momentum k~ = (kx, ky, kz + i gamma) on the hemisphere of e_kin.
Vec momentum(const Grid &g, float e_kin, int i, int j, double gamma) {
    const double kx = g.coordinate(i), ky = g.coordinate(j);
    const double kz = std::sqrt(2.0 * e_kin - kx * kx - ky * ky);
    return {kx, ky, std::complex<double>(kz, gamma)};
}

struct Polarisation {
    Vec p, s;
};

Polarisation vectors(double theta_deg, double phi_deg) {
    const double t = theta_deg * M_PI / 180, f = phi_deg * M_PI / 180;
    return {{std::cos(t) * std::cos(f), std::cos(t) * std::sin(f), std::sin(t)},
            {-std::sin(f), std::cos(f), 0.0}};
}

const Grid GRID{13, -1.5f, 0.25f};
constexpr float E_KIN = 1.0f;

bool inside(const Grid &g, float e_kin, int i, int j) {
    const float k = std::sqrt(e_kin + e_kin), u = g.coordinate(i), v = g.coordinate(j);
    return (k * k - u * u) - v * v >= 0.0f;
}

// Compares a factor map with model(k~) at every pixel of the hemisphere.
template <typename Model>
void expect_factor(const std::vector<float> &map, float gamma, Model model, double tolerance) {
    for (int i = 0; i < GRID.n; ++i)
        for (int j = 0; j < GRID.n; ++j) {
            const float value = map[size_t(i) * GRID.n + j];
            if (!inside(GRID, E_KIN, i, j)) {
                EXPECT_EQ(bits(value), 0u) << i << "," << j;
                continue;
            }
            const Vec k = momentum(GRID, E_KIN, i, j, gamma);
            EXPECT_NEAR(value, model(k), tolerance) << i << "," << j;
        }
}

}  // namespace

TEST(PolarisationFactor, LinearModeMixesSAndP) {
    const float theta = 35, phi = 20, gamma = 0.3f;
    const Polarisation e = vectors(theta, phi);
    auto p_factor = [&](const Vec &k) { return std::norm(dot(e.p, k)); };
    auto s_factor = [&](const Vec &k) { return std::norm(dot(e.s, k)); };
    expect_factor(factor_map(GRID, E_KIN, {LINEAR, 0, theta, phi, 0, gamma}), gamma, p_factor,
                  2e-6);
    expect_factor(factor_map(GRID, E_KIN, {LINEAR, 0, theta, phi, 100, gamma}), gamma, s_factor,
                  2e-6);
    expect_factor(
        factor_map(GRID, E_KIN, {LINEAR, 0, theta, phi, 30, gamma}), gamma,
        [&](const Vec &k) { return 0.3 * s_factor(k) + 0.7 * p_factor(k); }, 2e-6);
}

TEST(PolarisationFactor, CircularModeHelicitiesAndDichroism) {
    const float theta = 50, phi = -40, gamma = 0.45f;
    const Polarisation e = vectors(theta, phi);
    const std::complex<double> i_unit(0, 1);
    auto helicity = [&](double sign) {
        return [&, sign](const Vec &k) {
            Vec v;
            for (int c = 0; c < 3; ++c) v[c] = (e.p[c] + sign * i_unit * e.s[c]) / std::sqrt(2.0);
            return std::norm(dot(v, k));
        };
    };
    const auto plus = factor_map(GRID, E_KIN, {CIRCULAR, 0, theta, phi, 0, gamma});
    const auto minus = factor_map(GRID, E_KIN, {CIRCULAR, 1, theta, phi, 0, gamma});
    const auto dichroism = factor_map(GRID, E_KIN, {CIRCULAR, 2, theta, phi, 0, gamma});
    expect_factor(plus, gamma, helicity(+1), 2e-6);
    expect_factor(minus, gamma, helicity(-1), 2e-6);
    expect_factor(
        dichroism, gamma, [&](const Vec &k) { return helicity(-1)(k) - helicity(+1)(k); }, 2e-6);
    // Every circular_mode other than 0 and 1 selects the dichroism.
    const auto other = factor_map(GRID, E_KIN, {CIRCULAR, -7, theta, phi, 0, gamma});
    for (size_t x = 0; x < other.size(); ++x) EXPECT_EQ(bits(other[x]), bits(dichroism[x]));
}

TEST(PolarisationFactor, CircularDichroismVanishesWithoutImaginaryKz) {
    const float theta = 50, phi = 75;
    const auto plus = factor_map(GRID, E_KIN, {CIRCULAR, 0, theta, phi, 0, 0}, 3.0f);
    const auto minus = factor_map(GRID, E_KIN, {CIRCULAR, 1, theta, phi, 0, 0}, 3.0f);
    const auto dichroism = factor_map(GRID, E_KIN, {CIRCULAR, 5, theta, phi, 0, 0}, 3.0f);
    for (size_t x = 0; x < plus.size(); ++x) {
        EXPECT_EQ(bits(plus[x]), bits(minus[x])) << x;
        EXPECT_EQ(dichroism[x], 0.0f) << x;
    }
}

TEST(PolarisationFactor, RadialModeTurnsThePlaneOntoEachPixel) {
    const float theta = 60;
    const auto radial = factor_map(GRID, E_KIN, {RADIAL, 0, theta, 123, 40, 0.7f});
    // The p factor with the plane of incidence along the pixel's own azimuth.
    expect_factor(
        radial, 0.0f,
        [&](const Vec &k) {
            const double azimuth = std::atan2(k[1].real(), k[0].real()) * 180 / M_PI;
            return std::norm(dot(vectors(theta, azimuth).p, k));
        },
        3e-6);
    // Any mode other than 0 and 1 is radial; azimuth, s share and gamma are ignored.
    const auto other = factor_map(GRID, E_KIN, {-3, 1, theta, -10, 0, 0});
    for (size_t x = 0; x < other.size(); ++x) EXPECT_EQ(bits(other[x]), bits(radial[x]));
    // At the centre k_par = 0 and F = (kz sin t)^2.
    const float kz = std::sqrt(E_KIN + E_KIN), sin_t = float(std::sin(theta * 0.01745329252));
    const float f = 0.0f * float(std::cos(theta * 0.01745329252)) + kz * sin_t;
    EXPECT_EQ(bits(radial[6 * 13 + 6]), bits(f * f));
}

TEST(PolarisationFactor, PixelsOutsideTheHemisphereBecomeZero) {
    for (const Light light :
         {Light{LINEAR, 0, 30, 10, 50, 0.2f}, Light{CIRCULAR, 0, 30, 10, 0, 0.2f},
          Light{CIRCULAR, 1, 30, 10, 0, 0.2f}, Light{CIRCULAR, 9, 30, 10, 0, 0.2f},
          Light{RADIAL, 0, 30, 10, 0, 0}}) {
        for (float fill : {INFINITY, NAN, -2.0f}) {
            const auto map = factor_map(GRID, E_KIN, light, fill);
            for (int i = 0; i < GRID.n; ++i)
                for (int j = 0; j < GRID.n; ++j) {
                    const float value = map[size_t(i) * GRID.n + j];
                    if (!inside(GRID, E_KIN, i, j)) {
                        EXPECT_EQ(bits(value), 0u) << light.mode << " " << i << "," << j;
                    } else if (fill != -2.0f) {
                        EXPECT_FALSE(std::isfinite(value)) << light.mode << " " << i << "," << j;
                    }
                }
        }
    }
}

TEST(PolarisationFactor, SizesAndZeroEnergy) {
    const Light light{LINEAR, 0, 30, 10, 50, 0};
    // n <= 0 leaves the map alone.
    EXPECT_EQ(factor_map(Grid{0, 0, 1}, 1.0f, light, 4.0f)[0], 4.0f);
    EXPECT_EQ(factor_map(Grid{-1, 0, 1}, 1.0f, light, 4.0f)[0], 4.0f);
    // n = 1: the pixel at (k_min, k_min).
    EXPECT_EQ(bits(factor_map(Grid{1, -0.5f, 0.25f}, 1.0f, light, 4.0f)[0]),
              bits(factor_map(Grid{3, -0.5f, 0.25f}, 1.0f, light, 4.0f)[0]));
    // e_kin = 0: only an exact kx = ky = 0 pixel lies on the (point) hemisphere.
    const auto map = factor_map(Grid{5, -1.0f, 0.5f}, 0.0f, Light{RADIAL, 0, 30, 0, 0, 0}, 4.0f);
    for (size_t x = 0; x < map.size(); ++x)
        if (x != 12) {
            EXPECT_EQ(bits(map[x]), 0u) << x;
        }
    EXPECT_EQ(map[12], 0.0f);  // kz = 0 and k_par = 0
}
