"""What a fit's numbers are worth, on simulated maps with known truth: the stated
errors cover the truth as often as they claim, the instrument's effects are
modelled away, a wrong model is called a misfit, three angles are found, and
the fits are fast enough.

Coverage runs on 61 x 61 maps (0.08 / Å) to keep 240 fits within a minute;
the speed cases use the 201 x 201 map of the README.  Times are CPU seconds of
this process on one thread (the machine is shared)."""

import pathlib
import time
import warnings

import numpy as np
import pytest
from numpy.testing import assert_allclose

import libkernels as lk
from conftest import requires
from noise import gaussian_noise, poisson_counts

DEG = {"units": "deg"}  # the angle axes say their unit, as files must
E_KIN = 30.0
ORBITALS = ["HOMO", "HOMO-1"]
RATIO = 0.6  # weight of the HOMO over that of the HOMO-1
GAMMA = 37.0
DRAWS = 150
README_MAP = str(pathlib.Path(__file__).resolve().parents[2] / "examples" / "measured"
                 / "pentacene_map.npz")


@pytest.fixture(autouse=True)
def _library():
    requires("momentum_map_sum", "rotation", "polarisation_factor")


def orbital_maps(molecule, orbitals, orientation, k_min, k_step, n, **options):
    return np.stack([lk.momentum_map_sum(molecule, [o], orientation=orientation,
                                         kinetic_energy=E_KIN, k_min=k_min, k_step=k_step,
                                         n=n, **options).data.astype(np.float64)
                     for o in orbitals])


def quiet_fit(*args, **options):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", lk.LibkernelsWarning)
        return lk.fit_momentum_map(*args, progress=False, threads=1, **options)


@pytest.fixture(scope="module")
def small_case(pentacene):
    """A 61 x 61 map of 0.6 HOMO + 1 HOMO-1 at gamma 37 deg, its peak 1, plus 0.1."""
    step, n = 0.08, 61
    axis = -2.4 + step * np.arange(n)
    maps = orbital_maps(pentacene, ORBITALS, (0, 0, GAMMA), -2.4, step, n)
    shape = np.tensordot([RATIO, 1.0], maps, 1)
    return axis, shape / shape.max() + 0.1


def _draw(case, model, axis, seed):
    if case == "sigma":  # read-out noise of known, pixel-dependent size
        clean = 100.0 * model
        sigma = 2.0 + 0.05 * clean
        return lk.load_measured(gaussian_noise(clean, sigma, seed=seed), kx=axis, ky=axis,
                                sigma=sigma)
    peak = {"poisson-200": 200, "poisson-20": 20}[case]
    return lk.load_measured(poisson_counts(model, peak, seed=seed), kx=axis, ky=axis)


@pytest.mark.parametrize("case, errors", [("sigma", "sigma"), ("poisson-200", "poisson"),
                                          ("poisson-20", "poisson")])
def test_stated_errors_of_ratio_and_angle_cover_the_truth(pentacene, small_case, case, errors):
    axis, model = small_case
    pulls = []
    for draw in range(DRAWS):
        result = quiet_fit(_draw(case, model, axis, 100 * draw + 7), pentacene, ORBITALS,
                           kinetic_energy=E_KIN, fit_angles="gamma")
        assert result.errors == errors  # what `auto` chose
        ratio, ratio_error = result.ratio("HOMO", "HOMO-1")
        pulls.append(((ratio - RATIO) / ratio_error,
                      (result.orientation[2] - GAMMA) / result.orientation_errors[2]))
    pulls = np.abs(np.array(pulls))
    within_one, within_two = np.mean(pulls <= 1, axis=0), np.mean(pulls <= 2, axis=0)
    print(f"{case}: within 1 sigma {within_one}, within 2 sigma {within_two} "
          "(ratio, gamma)")
    assert np.all((0.55 <= within_one) & (within_one <= 0.80)), within_one
    assert np.all(within_two >= 0.90), within_two


@pytest.fixture(scope="module")
def instrument_case(pentacene):
    """0.6 HOMO + 1 HOMO-1 as an instrument sees it: blurred by 0.05 / Å, its k axes
    off by (0.03, -0.02) / Å and a detector response of up to 15 %.  Made on a
    0.01 / Å grid, blurred there and sampled every fifth pixel, away from the
    fit's own Fourier-space blur and shift."""
    gaussian_filter = pytest.importorskip("scipy.ndimage").gaussian_filter
    fine, low, n = 0.01, -3.3, 661
    maps = orbital_maps(pentacene, ORBITALS, (0, 0, GAMMA), low, fine, n)
    maps = np.stack([gaussian_filter(m, 0.05 / fine, mode="constant") for m in maps])
    offset = (0.03, -0.02)
    axis = np.round(np.arange(-2.9, 2.9001, 0.05), 6)
    rows = np.round((axis - offset[0] - low) / fine).astype(int)
    cols = np.round((axis - offset[1] - low) / fine).astype(int)
    maps = maps[:, rows][:, :, cols]
    x, y = axis[:, None] / 3.0, axis[None, :] / 3.0
    response = 1 + 0.10 * x - 0.05 * y - 0.15 * (x * x + y * y)
    weights = np.array([RATIO, 1.0]) * 600 / np.tensordot([RATIO, 1.0], maps, 1).max()
    clean = response * (np.tensordot(weights, maps, 1) + 10.0)
    counts = np.random.default_rng(11).poisson(clean).astype(float)
    return (counts, axis, axis), offset


def test_instrument_effects_are_modelled_away(pentacene, instrument_case):
    data, offset = instrument_case
    options = dict(kinetic_energy=E_KIN, fit_angles="gamma", k_range=(0.2, 2.75))
    plain = quiet_fit(data, pentacene, ORBITALS, **options)
    # without the instrument the fit is wrong, and says so
    assert "misfit" in [w["code"] for w in plain.warnings]
    ratio, error = plain.ratio("HOMO", "HOMO-1")
    assert abs(ratio - RATIO) > 5 * error
    result = quiet_fit(data, pentacene, ORBITALS, fit_k_offset=True, fit_k_resolution=True,
                       k_resolution=0.03, fit_transmission="radial2", **options)
    codes = [w["code"] for w in result.warnings]
    assert "misfit" not in codes, result.report()
    ratio, error = result.ratio("HOMO", "HOMO-1")
    instrument = result.instrument
    pulls = [(ratio - RATIO) / error,
             (result.orientation[2] - GAMMA) / result.orientation_errors[2],
             *((np.array(instrument["k_offset"]) - offset) / instrument["k_offset_errors"]),
             (instrument["k_resolution"] - 0.05) / instrument["k_resolution_error"]]
    print("instrument pulls (ratio, gamma, kx0, ky0, resolution):", np.round(pulls, 2))
    assert np.all(np.abs(pulls) < 3), pulls
    names = result.parameter_names
    assert names[-7:] == ["gamma", "kx0", "ky0", "k_resolution^2", "transmission x",
                          "transmission y", "transmission r2"]
    assert result.covariance.shape == (len(names), len(names))


def test_misfit_is_raised_for_the_wrong_orbitals_only(pentacene, small_case):
    axis, _ = small_case
    step = axis[1] - axis[0]
    maps = orbital_maps(pentacene, ["HOMO", "HOMO-2"], (0, 0, GAMMA), axis[0], step, axis.size)
    counts = poisson_counts(np.tensordot([RATIO, 1.0], maps, 1) + 0.05 * maps.max(), 200,
                            seed=3)
    options = dict(kinetic_energy=E_KIN, fit_angles="gamma")
    right = quiet_fit((counts, axis, axis), pentacene, ["HOMO", "HOMO-2"], **options)
    wrong = quiet_fit((counts, axis, axis), pentacene, ["HOMO", "HOMO-1"], **options)
    assert "misfit" not in [w["code"] for w in right.warnings]
    spread = right.goodness["expected_spread"]
    assert abs(right.chi2_reduced - 1) < 5 * spread and right.goodness["p_value"] > 1e-4
    misfit = [w["message"] for w in wrong.warnings if w["code"] == "misfit"]
    assert misfit and "normalised residual" in misfit[0] and "orbitals" in misfit[0]
    assert wrong.goodness["p_value"] < 1e-10
    # under uniform errors chi2_red says nothing of the model: no verdict
    uniform = quiet_fit((counts, axis, axis), pentacene, ["HOMO", "HOMO-1"], errors="uniform",
                        **options)
    assert "misfit" not in [w["code"] for w in uniform.warnings]


def test_three_angles_of_the_readme_example(pentacene):
    clock = time.process_time()
    result = quiet_fit(README_MAP, pentacene, ORBITALS, kinetic_energy=E_KIN,
                       fit_angles="alpha,beta,gamma", poisson=True, k_range=(0.3, 2.9))
    seconds = time.process_time() - clock
    print(f"three-angle fit of the README map: {seconds:.2f} s CPU")
    truth = np.array([3000.0, 1500.0])
    assert np.all(np.abs(result.weights - truth) < 3 * result.weight_errors), result.report()
    assert abs(result.chi2_reduced - 1) < 5 * result.goodness["expected_spread"]
    # flat on the surface: alpha and gamma are one angle, fitted as their sum
    codes = [w["code"] for w in result.warnings]
    assert "degenerate-angles" in codes and "equivalent-solutions" in codes
    assert result.fit_angles == ("beta", "gamma") and result.orientation[0] == 0.0
    assert abs(result.orientation[1]) < 0.05 and abs(result.orientation[2] - 25.0) < 0.05
    assert seconds <= 20.0


def test_a_tilt_is_found_and_reported_in_the_canonical_ranges(pentacene):
    step, n = 0.1, 49
    axis = -2.4 + step * np.arange(n)
    truth = (200.0, 10.0, 250.0)  # reported as (20, 10, 250): pentacene's half turn about z
    clean = 100.0 * orbital_maps(pentacene, ["HOMO"], truth, -2.4, step, n)[0] + 2.0
    data = gaussian_noise(clean, 0.5, seed=5)
    result = quiet_fit(lk.load_measured(data, kx=axis, ky=axis, sigma=np.full(data.shape, 0.5)),
                       pentacene, "HOMO", kinetic_energy=E_KIN, fit_angles="alpha,beta,gamma")
    assert_allclose(result.orientation, [20.0, 10.0, 250.0], atol=0.3)
    assert np.all(np.abs(result.orientation - [20, 10, 250]) < 4 * result.orientation_errors)
    assert np.abs(result.model - clean).max() < 0.01 * clean.max()


def test_fitted_domain_populations(pentacene):
    # Three domains turned by 120 degrees, without mirror images, unequally
    # populated; each domain's map computed at its own orientation.
    step, n = 0.1, 61
    axis = -3.0 + step * np.arange(n)
    shares = np.array([0.5, 0.3, 0.2])
    domains = [orbital_maps(pentacene, ["HOMO"], (0, 0, 20.0 - 120.0 * r), -3.0, step, n)[0]
               for r in range(3)]
    clean = 300.0 * np.tensordot(shares, domains, 1) + 2.0
    counts = poisson_counts(clean, clean.max(), seed=9)
    options = dict(kinetic_energy=E_KIN, symmetry=3, mirrors=False, orientation=(0, 0, 20.0))
    equal = quiet_fit((counts, axis, axis), pentacene, "HOMO", **options)
    assert "misfit" in [w["code"] for w in equal.warnings]
    result = quiet_fit((counts, axis, axis), pentacene, "HOMO", fit_domain_populations=True,
                       **options)
    found = np.array(result.instrument["domain_populations"])
    errors = np.array(result.instrument["domain_population_errors"])
    assert np.all(np.abs(found - shares) < 3 * errors), (found, errors)
    assert abs(result.chi2_reduced - 1) < 5 * result.goodness["expected_spread"]


def test_speed_of_a_201_pixel_fit_with_the_instrument(pentacene):
    measured = lk.load_measured(README_MAP)
    quiet_fit(measured, pentacene, ["HOMO"], kinetic_energy=E_KIN)  # warm the caches
    clock = time.process_time()
    result = quiet_fit(measured, pentacene, ORBITALS, kinetic_energy=E_KIN, fit_angles="gamma",
                       fit_k_offset=True, fit_k_resolution=True)
    seconds = time.process_time() - clock
    print(f"201 x 201, 2 orbitals, gamma, k offset and resolution: {seconds:.2f} s CPU")
    assert result.measured.shape == (201, 201)
    assert np.all(np.abs(result.weights - [3000, 1500]) < 3 * result.weight_errors)
    # 2.5-3.8 s CPU on a shared two-core machine, about 1.4 times less on a quiet one:
    # the bound catches a fit grown half as slow again, not the machine's noise
    assert seconds <= 4.0



# ---- counts converted from angles --------------------------------------------------------

K_PER_SQRT_EV = 0.51231675  # 1/Å per sqrt(eV): sqrt(2 m_e eV) / hbar


def _deflector_counts(molecule, orbitals, weights, background, energy, step=0.5, half=30.0):
    """(phi = psi axis in degrees, expected counts) of a deflector map at `step` degree
    steps over +-half: weights . maps + background (an intensity per solid angle) at
    each pixel's own momentum, by cubic interpolation of a 0.015 / Å grid (never the
    converter's inverse), times the pixel's solid angle over one at normal emission."""
    interpolate = pytest.importorskip("scipy.interpolate")
    fine = np.stack([lk.momentum_map_sum(molecule, [o], orientation=(0, 0, GAMMA),
                                         kinetic_energy=energy, k_min=-3.0, k_step=0.015,
                                         n=401).data.astype(np.float64) for o in orbitals])
    axis = -3.0 + 0.015 * np.arange(401)
    total = interpolate.RegularGridInterpolator((axis, axis), np.tensordot(weights, fine, 1),
                                                method="cubic")
    phi = np.arange(-half, half + step / 2, step)
    a, b = np.meshgrid(np.radians(phi), np.radians(phi), indexing="ij")
    eta = np.hypot(a, b)
    sinc = np.where(eta > 0, np.sin(eta) / np.where(eta > 0, eta, 1), 1.0)
    k = K_PER_SQRT_EV * np.sqrt(energy)
    return phi, (total(np.stack([k * b * sinc, k * a * sinc], axis=-1)) + background) * sinc


def _peak_weights(molecule, orbitals, shares, energy, peak):
    """Weights giving the map shares . maps (at GAMMA) the peak `peak`."""
    maps = orbital_maps(molecule, orbitals, (0, 0, GAMMA), -3.0, 0.05, 121) if \
        energy == E_KIN else np.stack([lk.momentum_map_sum(
            molecule, [o], orientation=(0, 0, GAMMA), kinetic_energy=energy, k_min=-3.0,
            k_step=0.05, n=121).data.astype(np.float64) for o in orbitals])
    return np.asarray(shares) * peak / np.tensordot(shares, maps, 1).max()


def test_converted_counts_are_fitted_as_the_conversion_made_them(pentacene):
    """Bilinear resampling flattens what curves within a measured pixel: a model taken at
    the lattice pixels read absolute weights low and the background high, by about one
    standard error at 0.5 degree steps and 500 counts (coverage 6-7 in 20).  The fit
    models each pixel as the conversion made it: the noiseless map's fit is within 0.3
    errors of the truth, and 40 Poisson draws are covered as stated."""
    xr = pytest.importorskip("xarray")
    weights = _peak_weights(pentacene, ORBITALS, [RATIO, 1.0], E_KIN, 500.0)
    background = 25.0
    phi, rate = _deflector_counts(pentacene, ORBITALS, weights, background, E_KIN)

    def fitted(counts):
        data = xr.DataArray(counts.astype(np.float32), dims=("phi", "psi"),
                            coords={"phi": ("phi", phi, DEG), "psi": ("psi", phi, DEG)},
                            name="intensity")
        converted = lk.to_momentum(data, "deflector", kinetic_energy=E_KIN)
        fit = quiet_fit(converted, pentacene, ORBITALS, kinetic_energy=E_KIN,
                        orientation=(0, 0, GAMMA), k_range=(0.1, 2.2))
        return fit, np.concatenate([(fit.weights - weights) / fit.weight_errors,
                                    (fit.background - background) / fit.background_errors])

    fit, bias = fitted(rate)
    assert fit.model_grid == "resampled" and fit.errors == "poisson"
    print("noiseless bias in errors (weights, background):", np.round(bias, 3))
    assert np.all(np.abs(bias) < 0.3), bias
    rng = np.random.default_rng(31)
    pulls = np.array([fitted(rng.poisson(rate))[1] for _ in range(40)])
    within = np.mean(np.abs(pulls) <= 1, axis=0)
    print(f"within 1 sigma over 40 draws (weights, background): {within}, mean pulls "
          f"{np.round(pulls.mean(axis=0), 2)}")
    assert np.all((0.55 <= within) & (within <= 0.80)), within


def test_deconvolved_backgrounds_of_converted_counts_cover_the_truth(pentacene):
    """A cube of counts converted from angles: its sigma, estimated from neighbourhoods
    of the counts, made the weights follow the data, and the slices' fitted backgrounds
    came out 1.7-2 errors low (about 20 % within 1 sigma).  The converted file says its
    sigma came from counts, and the deconvolution weighs each slice by the model's
    expected counts."""
    xr = pytest.importorskip("xarray")
    photon, work = 35.0, 4.5
    binding = np.linspace(1.0, 1.6, 6)
    rates = []
    for s, energy in enumerate(photon - work - binding):
        shares = [1.0 - 0.15 * s]
        weights = _peak_weights(pentacene, ["HOMO"], shares, energy, 20.0)
        rates.append(_deflector_counts(pentacene, ["HOMO"], weights, 1.0, energy,
                                       half=20.0)[1])
    phi = np.arange(-20.0, 20.25, 0.5)
    rng = np.random.default_rng(5)
    pulls = []
    for _ in range(30):
        cube = xr.DataArray(rng.poisson(np.array(rates)).astype(np.float32),
                            dims=("binding_energy", "phi", "psi"),
                            coords={"binding_energy": binding, "phi": ("phi", phi, DEG),
                                    "psi": ("psi", phi, DEG)},
                            name="intensity")
        converted = lk.to_momentum(cube, "deflector", photon_energy=photon,
                                   work_function=work)
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", lk.LibkernelsWarning)
            result = lk.deconvolve(converted, pentacene, ["HOMO"], orientation=(0, 0, GAMMA),
                                   progress=False, threads=1)
        assert result.model_grid == "resampled"
        pulls.append((result.background[:, 0] - 1.0) / result.background_errors[:, 0])
    pulls = np.concatenate(pulls)
    within = np.mean(np.abs(pulls) <= 1)
    print(f"background pulls of {pulls.size} slices: mean {pulls.mean():+.2f}, "
          f"{within:.0%} within 1 sigma")
    assert abs(pulls.mean()) <= 0.3 and 0.60 <= within <= 0.76, (pulls.mean(), within)
