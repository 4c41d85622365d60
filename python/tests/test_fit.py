"""Fits of measured maps: recovery of known weights, angles and backgrounds from
synthetic maps made with the library's own maps, the stated errors, the
identifiability warning, stack deconvolution, and every refusal."""

import json
import sys
import warnings

import numpy as np
import pytest

import libkernels as lk
from libkernels.cli import main

from conftest import requires

E_KIN = 30.0  # eV


@pytest.fixture(autouse=True)
def _library():
    requires("momentum_map_sum", "rotation", "polarisation_factor")


def square_maps(molecule, orbitals, orientation, k_min, k_step, n, e_kin=E_KIN, **options):
    """Each orbital's map on the square k_min + i k_step (1/Å), as the truth."""
    return np.stack([lk.momentum_map_sum(molecule, [o], orientation=orientation,
                                         kinetic_energy=e_kin, k_min=k_min, k_step=k_step,
                                         n=n, **options).data.astype(np.float64)
                     for o in orbitals])


def equivalent_gamma(fitted, truth, repeats):
    """Distance in degrees between fitted and the nearest repeat of truth (the
    molecule's map is the same at each angle in `repeats(truth)`)."""
    return min(abs((fitted - r + 180.0) % 360.0 - 180.0) for r in repeats(truth))


def pentacene_repeats(gamma):  # D2h: the map repeats under 180 deg turns and mirrors
    return (gamma, -gamma, 180 + gamma, 180 - gamma)


def test_recovers_weights_azimuth_and_background_on_off_centre_masked_grid(pentacene):
    rng = np.random.default_rng(1)
    step, n = 0.05, 105
    axis = -2.6 + step * np.arange(n)
    truth = square_maps(pentacene, ["HOMO", "HOMO-1"], (0, 0, -35.0), -2.6, step, n)
    rows, cols = slice(8, 100), slice(20, 90)  # 92 x 70 pixels, off centre
    clean = np.tensordot([3000.0, 1200.0], truth, 1)[rows, cols] + 20.0
    counts = rng.poisson(clean).astype(float)
    counts[:6, :] = np.nan  # a detector edge
    counts[40:46, 10:30] = np.nan  # a gap
    result = lk.fit_momentum_map((counts, axis[rows], axis[cols]), pentacene,
                                 ["HOMO", "HOMO-1"], kinetic_energy=E_KIN, fit_angles="gamma",
                                 k_range=(0.2, 2.5), poisson=True, progress=False)
    assert result.model_grid == "exact"
    # gamma and gamma + 180 give the same maps (pentacene's half turn about z)
    assert [w["code"] for w in result.warnings] == ["equivalent-solutions"]
    np.testing.assert_allclose(result.weights, [3000, 1200], rtol=0.01)
    assert np.all(np.abs(result.weights - [3000, 1200]) < 5 * result.weight_errors)
    assert equivalent_gamma(result.orientation[2], -35.0, pentacene_repeats) < 0.05
    # 20 counts of background: weights from the measured counts alone would pull
    # it down by about one count, 15 standard errors.
    assert abs(result.background[0] - 20.0) < 4 * result.background_errors[0]
    assert 0.9 < result.chi2_reduced < 1.2
    radius = np.hypot(axis[rows][:, None], axis[cols][None, :])
    used = np.isfinite(counts) & (radius >= 0.2) & (radius <= 2.5)
    assert np.array_equal(result.mask, used) and result.n_pixels == used.sum()
    assert np.isnan(result.residual[0, 0]) and np.isfinite(result.model).all()
    # the model is the truth on every pixel, fitted or not
    assert np.abs(result.model - clean).max() < 0.01 * clean.max()


def test_second_molecule_with_domains_light_and_linear_background(benzene):
    rng = np.random.default_rng(2)
    # The truth's square holds the whole disc (|k| < 2.81 / Å), so that its turned
    # copies lose nothing at the edges; the measured window is off centre.
    step, n = 0.05, 121
    axis = -3.0 + step * np.arange(n)
    light = dict(symmetry=3, polarisation="p", incidence=65.0, azimuth=30.0)
    truth = square_maps(benzene, ["HOMO", "HOMO-2"], (0, 0, 0), -3.0, step, n, **light)
    rows, cols = slice(48, 103), slice(18, 88)
    kx, ky = axis[rows], axis[cols]
    background = 5.0 + 2.0 * kx[:, None] - 1.0 * ky[None, :]
    clean = np.tensordot([800.0, 300.0], truth, 1)[rows, cols] + background
    noisy = clean + rng.normal(0, 0.5, clean.shape)
    result = lk.fit_momentum_map((noisy, kx, ky), benzene, ["HOMO", "HOMO-2"],
                                 kinetic_energy=E_KIN, background="linear", progress=False,
                                 **light)
    assert result.model_grid == "exact"
    np.testing.assert_allclose(result.weights, [800, 300], rtol=0.01)
    np.testing.assert_allclose(result.background, [5.0, 2.0, -1.0], atol=0.1)
    assert np.all(np.abs(result.background - [5, 2, -1]) < 5 * result.background_errors)
    assert 0.8 < result.chi2_reduced / 0.25 < 1.2  # Gaussian noise of variance 0.25


def test_pixels_on_no_common_lattice_are_interpolated(pentacene):
    # ky's step is 1.5 x kx's: the truth comes from a square at half kx's step
    # that holds every pixel, the model from interpolation at kx's step.
    fine = 0.02
    truth = square_maps(pentacene, ["HOMO"], (0, 0, 15.0), -2.4, fine, 241)
    kx = -2.4 + fine * np.arange(0, 241, 2)
    ky = -2.4 + fine * np.arange(0, 241, 3)
    clean = 1000.0 * truth[0][::2, ::3] + 4.0
    result = lk.fit_momentum_map((clean, kx, ky), pentacene, "HOMO", kinetic_energy=E_KIN,
                                 fit_angles="gamma", progress=False)
    assert result.model_grid == "interpolated"
    assert abs(result.weights[0] - 1000.0) < 10.0
    assert equivalent_gamma(result.orientation[2], 15.0, pentacene_repeats) < 0.2
    assert result.r_factor < 1e-4


def test_domains_without_mirrors_repeat_under_turns_only(pentacene):
    k = np.linspace(-2.4, 2.4, 97)
    data = np.ones((97, 97))
    result = lk.fit_momentum_map((data, k, k), pentacene, ["HOMO"], kinetic_energy=E_KIN,
                                 orientation=(0, 0, 20.0), symmetry=3, mirrors=False,
                                 background="none", progress=False)
    model = result.model.astype(np.float32)
    inside = np.hypot(k[:, None], k[None, :]) < 2.2
    turned = lk.rotation(model, 120.0)
    scale = model.max()
    assert np.abs(turned - model)[inside].max() < 0.02 * scale
    assert np.abs(model[:, ::-1] - model)[inside].max() > 0.2 * scale  # not mirrored
    # At gamma = 0 pentacene's map is its own mirror image: turns alone then give
    # the library's average with mirrors, light included.
    light = dict(kinetic_energy=E_KIN, symmetry=4, polarisation="p", azimuth=20.0,
                 background="none", progress=False)
    turns = lk.fit_momentum_map((data, k, k), pentacene, ["HOMO"], mirrors=False, **light)
    both = lk.fit_momentum_map((data, k, k), pentacene, ["HOMO"], **light)
    assert np.abs(turns.model - both.model).max() < 1e-5 * both.model.max()


def test_domains_on_a_lattice_without_a_pixel_at_k0_stay_exact(benzene):
    # An even number of pixels straddles k = 0 by half a step: the centred square
    # of that lattice needs no interpolation.
    step = 0.1
    k = -2.35 + step * np.arange(48)
    truth = square_maps(benzene, ["HOMO-2"], (0, 0, 0), -2.95, step, 60, symmetry=4)
    clean = 100.0 * truth[0][6:54, 6:54]
    result = lk.fit_momentum_map((clean, k, k), benzene, "HOMO-2", kinetic_energy=E_KIN,
                                 symmetry=4, background="none", progress=False)
    assert result.model_grid == "exact"
    assert abs(result.weights[0] - 100.0) < 1e-3
    assert np.abs(result.model - clean).max() < 1e-5 * clean.max()


def test_tilt_and_azimuth_fitted_together(pentacene):
    rng = np.random.default_rng(6)
    step, n = 0.1, 57
    axis = -2.8 + step * np.arange(n)
    clean = 500.0 * square_maps(pentacene, ["HOMO"], (0, 20.0, 30.0), -2.8, step, n)[0] + 2.0
    noisy = clean + rng.normal(0, 0.2, clean.shape)
    result = lk.fit_momentum_map((noisy, axis, axis), pentacene, "HOMO", kinetic_energy=E_KIN,
                                 fit_angles="beta,gamma", progress=False)
    assert result.fit_angles == ("beta", "gamma") and result.orientation_errors[0] == 0
    assert abs(result.weights[0] - 500.0) < 5.0
    assert np.abs(result.model - clean).max() < 0.01 * clean.max()


def test_stated_errors_cover_the_truth_about_as_often_as_claimed(pentacene):
    rng = np.random.default_rng(3)
    step, n = 0.08, 61
    axis = -2.4 + step * np.arange(n)
    truth = square_maps(pentacene, ["HOMO", "HOMO-1"], (0, 0, 30.0), -2.4, step, n)
    clean = np.tensordot([50.0, 30.0], truth, 1) + 3.0
    true_values = np.array([50.0, 30.0, 3.0, 30.0])
    within_one, within_two, draws = 0, 0, 30
    for _ in range(draws):
        noisy = clean + rng.normal(0, 2.0, clean.shape)
        result = lk.fit_momentum_map((noisy, axis, axis), pentacene, ["HOMO", "HOMO-1"],
                                     kinetic_energy=E_KIN, orientation=(0, 0, 29.0),
                                     fit_angles="gamma", starts=1, progress=False, threads=1)
        fitted = np.concatenate([result.weights, result.background, result.orientation[2:]])
        errors = np.concatenate([result.weight_errors, result.background_errors,
                                 result.orientation_errors[2:]])
        within_one += np.sum(np.abs(fitted - true_values) <= errors)
        within_two += np.sum(np.abs(fitted - true_values) <= 2 * errors)
    samples = draws * true_values.size
    assert 0.5 < within_one / samples < 0.86  # 68 % expected
    assert within_two / samples > 0.85  # 95 % expected


def test_degenerate_pair_is_reported_as_not_identifiable_with_its_sum(benzene, pentacene):
    rng = np.random.default_rng(4)
    step = 0.1
    k = -3.0 + step * np.arange(61)  # the whole disc: turned copies lose nothing
    truth = square_maps(benzene, ["HOMO", "HOMO-1"], (0, 0, 0), -3.0, step, 61, symmetry=3)
    clean = np.tensordot([400.0, 250.0], truth, 1) + 2.0
    noisy = clean + rng.normal(0, 0.3, clean.shape)
    with pytest.warns(lk.IdentifiabilityWarning, match="HOMO, HOMO-1 are not separately"):
        result = lk.fit_momentum_map((noisy, k, k), benzene, ["HOMO", "HOMO-1"],
                                     kinetic_energy=E_KIN, symmetry=3, progress=False)
    (group,) = result.weight_sums
    assert group["orbitals"] == ["HOMO", "HOMO-1"]
    assert abs(group["sum"] - 650.0) < max(5 * group["error"], 1.0)
    # a pair the maps tell apart gives no warning
    with warnings.catch_warnings():
        warnings.simplefilter("error", lk.IdentifiabilityWarning)
        other = square_maps(pentacene, ["HOMO", "HOMO-1"], (0, 0, 0), -3.0, step, 61)
        lk.fit_momentum_map((np.tensordot([1.0, 1.0], other, 1), k, k), pentacene,
                            ["HOMO", "HOMO-1"], kinetic_energy=E_KIN, progress=False)


def test_stack_deconvolution_recovers_weight_profiles(pentacene, tmp_path):
    rng = np.random.default_rng(5)
    photon, work = 35.0, 4.5
    binding = np.linspace(5.0, 8.0, 7)
    profiles = np.stack([2000 * np.exp(-0.5 * ((binding - 5.7) / 0.5) ** 2),
                         1500 * np.exp(-0.5 * ((binding - 7.6) / 0.5) ** 2)], axis=1)
    step, n = 0.1, 49
    axis = -2.4 + step * np.arange(n)
    slices = []
    for e_b, weights in zip(binding, profiles):
        truth = square_maps(pentacene, ["HOMO", "HOMO-1"], (0, 0, 40.0), -2.4, step, n,
                            e_kin=photon - work - e_b)
        slices.append(rng.poisson(np.tensordot(weights, truth, 1) + 5.0))
    path = tmp_path / "stack.npz"
    np.savez(path, intensity=np.array(slices, dtype=float), kx=axis, ky=axis,
             binding_energy=binding)
    result = lk.deconvolve(str(path), pentacene, ["HOMO", "HOMO-1"], photon_energy=photon,
                           work_function=work, fit_angles="gamma", poisson=True,
                           progress=False)
    assert equivalent_gamma(result.orientation[2], 40.0, pentacene_repeats) < 0.3
    assert result.weights.shape == (7, 2)
    assert np.all(np.abs(result.weights - profiles) < 5 * result.weight_errors + 0.01 * 2000)
    np.testing.assert_allclose(result.kinetic_energy_ev, photon - work - binding)


# ---- the command line -------------------------------------------------------------

FIT_KEYS = ["orbitals", "weights", "weight_errors", "orientation", "orientation_errors",
            "background", "r_factor", "chi2_reduced", "kinetic_energy_ev", "n_pixels",
            "model_grid"]


@pytest.fixture(scope="module")
def measured_files(tmp_path_factory, pentacene):
    xr = pytest.importorskip("xarray")
    pytest.importorskip("h5netcdf")
    folder = tmp_path_factory.mktemp("measured")
    step, n = 0.1, 49
    axis = -2.4 + step * np.arange(n)
    truth = square_maps(pentacene, ["HOMO", "HOMO-1"], (0, 0, 25.0), -2.4, step, n)
    data = np.tensordot([100.0, 60.0], truth, 1) + 1.0
    np.savez(folder / "map.npz", intensity=data, kx=axis, ky=axis)
    # NetCDF with ky first and kx given in 1/bohr: both undone on reading
    xr.DataArray(data.T, dims=("ky", "kx"), name="counts", coords={
        "ky": ("ky", axis, {"units": "1/angstrom"}),
        "kx": ("kx", axis * lk.BOHR_IN_ANGSTROM, {"units": "1/bohr"})}).to_netcdf(
        folder / "map.nc", engine="h5netcdf")
    return folder, data


@pytest.mark.parametrize("name, energy", [
    ("map.npz", ["--kinetic-energy", str(E_KIN)]),
    ("map.nc", ["--photon-energy", "35", "--work-function", "4.5", "--binding-energy", "0.5"]),
])
def test_fit_command_writes_the_listed_results(measured_files, name, energy, tmp_path, capsys):
    folder, data = measured_files
    out = tmp_path / "out"
    code = main(["fit", str(folder / name), "pentacene", "-O", "HOMO", "-O", "HOMO-1",
                 *energy, "--fit-angles", "gamma", "--quiet", "-o", str(out)])
    assert code == 0, capsys.readouterr().err
    report = json.loads((out / "fit.json").read_text())
    assert list(report)[:len(FIT_KEYS)] == FIT_KEYS
    assert report["orbitals"] == ["HOMO", "HOMO-1"] and report["model_grid"] == "exact"
    assert report["kinetic_energy_ev"] == pytest.approx(E_KIN)
    np.testing.assert_allclose(report["weights"], [100, 60], rtol=1e-3)
    assert report["orientation_errors"][:2] == [0.0, 0.0]
    assert np.abs(np.load(out / "model.npy") - data).max() < 1e-3 * data.max()
    assert (out / "fit.png").stat().st_size > 10000


def test_instrument_fit_by_command_reproduced_from_its_record(pentacene, tmp_path, capsys):
    step, n = 0.1, 49
    axis = -2.4 + step * np.arange(n)
    clean = np.tensordot([100.0, 60.0], square_maps(pentacene, ["HOMO", "HOMO-1"],
                                                    (0, 0, 25.0), -2.4, step, n), 1) + 1.0
    response = 1.0 + 0.1 * axis[:, None] / 2.4
    sigma = 0.5 + 0.02 * clean
    noisy = response * clean + np.random.default_rng(8).normal(0.0, sigma)
    np.savez(tmp_path / "map.npz", intensity=noisy, sigma=sigma, kx=axis, ky=axis,
             kinetic_energy=E_KIN)
    np.savez(tmp_path / "flat.npz", intensity=np.broadcast_to(response, clean.shape), kx=axis,
             ky=axis)
    out, again = tmp_path / "out", tmp_path / "again"
    assert main(["fit", str(tmp_path / "map.npz"), "pentacene", "-O", "HOMO", "-O", "HOMO-1",
                 "--fit-angles", "gamma", "--flat-field", str(tmp_path / "flat.npz"),
                 "--fit-k-offset", "--k-resolution", "0.02", "--no-mirrors", "--quiet",
                 "-o", str(out)]) == 0
    streams = capsys.readouterr()
    # warnings on stderr, one line each; the report on stdout without them
    assert "libkernels fit: warning: equivalent-solutions:" in streams.err
    assert "warning" not in streams.out and "reduced chi2" in streams.out
    report = json.loads((out / "fit.json").read_text())
    assert report["errors"] == "sigma" and report["kinetic_energy_ev"] == E_KIN
    assert set(report["goodness"]) == {"chi2", "chi2_reduced", "dof", "expected_spread",
                                       "p_value"}
    assert report["parameter_names"] == ["weight HOMO", "weight HOMO-1", "background constant",
                                         "gamma", "kx0", "ky0"]
    covariance = np.array(report["covariance"])
    assert covariance.shape == (6, 6) and np.allclose(covariance, covariance.T)
    assert np.sqrt(covariance[0, 0]) == pytest.approx(report["weight_errors"][0])
    assert report["instrument"]["k_resolution"] == 0.02
    assert report["warnings"][0].keys() == {"code", "message"}
    assert report["flat_field_sha256"] and report["libkernels_version"]
    assert "--flat-field" in report["command"]
    assert report["request"]["mirrors"] is False and report["request"]["fit_k_offset"] is True
    np.testing.assert_allclose(report["weights"], [100, 60], rtol=0.01)
    assert abs(report["goodness"]["chi2_reduced"] - 1) < 5 * report["goodness"]["expected_spread"]
    assert main(["fit", "--from-record", str(out / "fit.json"), "--quiet", "-o", str(again)]) == 0
    made_again = json.loads((again / "fit.json").read_text())
    timings = ("elapsed_seconds", "seconds_per_evaluation", "command")
    assert {k: v for k, v in made_again.items() if k not in timings} == \
        {k: v for k, v in report.items() if k not in timings}
    assert (again / "model.npy").read_bytes() == (out / "model.npy").read_bytes()


def test_a_missing_scipy_is_one_line_naming_the_extra(tmp_path, capsys, monkeypatch):
    path = _npz(tmp_path / "map.npz", intensity=MAP, kx=K, ky=K)
    monkeypatch.setitem(sys.modules, "scipy.optimize", None)
    assert main(["fit", path, "pentacene", "-O", "HOMO", "--kinetic-energy", "30",
                 "-o", str(tmp_path / "out")]) == 2
    error = capsys.readouterr().err
    assert error.count("\n") == 1 and "pip install 'libkernels[fit]'" in error


def test_deconvolve_command_writes_json_csv_and_picture(pentacene, tmp_path, capsys):
    axis = np.linspace(-2.0, 2.0, 41)
    binding = np.array([5.5, 6.0, 6.5])
    slices = [np.tensordot([w, 10.0], square_maps(pentacene, ["HOMO", "HOMO-1"], (0, 0, 0),
                                                  -2.0, 0.1, 41, e_kin=30.5 - e), 1)
              for w, e in zip([10.0, 40.0, 20.0], binding)]
    np.savez(tmp_path / "stack.npz", intensity=np.array(slices), kx=axis, ky=axis,
             binding_energy=binding)
    code = main(["deconvolve", str(tmp_path / "stack.npz"), "pentacene", "-O", "HOMO",
                 "-O", "HOMO-1", "--photon-energy", "35", "--work-function", "4.5",
                 "--background", "none", "--quiet", "-o", str(tmp_path / "out")])
    assert code == 0, capsys.readouterr().err
    report = json.loads((tmp_path / "out" / "deconvolution.json").read_text())
    assert list(report)[:5] == ["orbitals", "binding_energy", "weights", "weight_errors",
                                "orientation"]
    np.testing.assert_allclose(np.array(report["weights"])[:, 0], [10, 40, 20], rtol=1e-4)
    lines = (tmp_path / "out" / "deconvolution.csv").read_text().splitlines()
    assert len(lines) == 4 and lines[0].startswith("binding_energy_ev")
    assert (tmp_path / "out" / "deconvolution.png").exists()


def test_xarray_stacks_in_any_dimension_order_and_unit(pentacene):
    xr = pytest.importorskip("xarray")
    kx, ky = np.linspace(-2.0, 2.0, 41), np.linspace(-1.0, 1.5, 26)
    binding = np.array([500.0, 900.0])  # meV
    stack = np.random.default_rng(7).random((26, 2, 41))  # (ky, binding_energy, kx)
    array = xr.DataArray(stack, dims=("ky", "binding_energy", "kx"), coords={
        "kx": kx, "ky": ky, "binding_energy": ("binding_energy", binding, {"units": "meV"})})
    measured = lk.load_measured(xr.Dataset({"counts": array, "other": array * 2}))
    assert measured.intensity.shape == (2, 41, 26)
    np.testing.assert_array_equal(measured.intensity[1, 5, 3], stack[3, 1, 5])
    np.testing.assert_allclose(measured.binding_energy, [0.5, 0.9])
    # one slice keeps its binding energy, which sets E_kin with the photon energy
    one = lk.load_measured(array.isel(binding_energy=0))
    assert one.binding_energy == pytest.approx(0.5)
    result = lk.fit_momentum_map(one, pentacene, "HOMO", photon_energy=35.0, work_function=4.5,
                                 progress=False)
    assert result.kinetic_energy_ev == pytest.approx(30.0)


def test_the_error_model_auto_chooses_and_says_so(pentacene):
    k = np.linspace(-2.0, 2.0, 41)
    clean = 50.0 * square_maps(pentacene, ["HOMO"], (0, 0, 10.0), -2.0, 0.1, 41)[0] + 5.0
    rng = np.random.default_rng(12)
    counts = rng.poisson(clean).astype(np.float32)  # whole counts, stored as floats
    scaled = clean + rng.normal(0.0, 1.0, clean.shape)
    options = dict(kinetic_energy=E_KIN, orientation=(0, 0, 10.0), progress=False)
    assert lk.fit_momentum_map((counts, k, k), pentacene, "HOMO", **options).errors == "poisson"
    with_sigma = lk.load_measured(scaled, kx=k, ky=k, sigma=np.full(clean.shape, 1.0))
    result = lk.fit_momentum_map(with_sigma, pentacene, "HOMO", **options)
    assert result.errors == "sigma" and not result.warnings
    with pytest.warns(lk.FitWarning, match="scaled-errors: .* gives no sigma"):
        uniform = lk.fit_momentum_map((scaled, k, k), pentacene, "HOMO", **options)
    assert uniform.errors == "uniform"
    # uniform errors are scaled by the scatter; given ones are not
    assert uniform.weight_errors[0] == pytest.approx(
        result.weight_errors[0] * np.sqrt(uniform.chi2_reduced), rel=1e-6)
    # the normalised residual uses the sigma each pixel was weighed with
    assert np.nanstd(result.normalised_residual) == pytest.approx(1.0, abs=0.05)


def test_the_energy_a_measurement_states_is_used_when_none_is_given(pentacene):
    k = np.linspace(-2.0, 2.0, 41)
    data = 50.0 * square_maps(pentacene, ["HOMO"], (0, 0, 0), -2.0, 0.1, 41, e_kin=27.0)[0]
    stated = lk.load_measured(data + 1.0, kx=k, ky=k, photon_energy=35.0, work_function=4.5)
    result = lk.fit_momentum_map(stated, pentacene, "HOMO", binding_energy=3.5, progress=False)
    assert result.kinetic_energy_ev == pytest.approx(27.0)
    assert result.weights[0] == pytest.approx(50.0, rel=1e-4)
    direct = lk.load_measured(data, kx=k, ky=k, kinetic_energy=27.0)
    assert lk.fit_momentum_map(direct, pentacene, "HOMO", background="none",
                               progress=False).kinetic_energy_ev == 27.0


def _stack(pentacene, binding, totals, pixel_nan=None):
    """A stack of HOMO maps at each slice's own kinetic energy, scaled to `totals`."""
    axis = np.linspace(-2.0, 2.0, 41)
    slices = []
    for e_b, total in zip(binding, totals):
        one = square_maps(pentacene, ["HOMO"], (0, 0, 30.0), -2.0, 0.1, 41,
                          e_kin=35.0 - 4.5 - e_b)[0]
        slices.append(total * one / one.sum() + 0.01)
    stack = np.array(slices)
    if pixel_nan is not None:
        stack[pixel_nan] = np.nan
    return stack, axis


def test_stack_orientation_fit_uses_the_intensity_weighted_energy(pentacene):
    binding = np.array([5.0, 6.0, 7.0, 8.0])
    totals = np.array([1e5, 3e4, 1e4, 1e3])  # lopsided: most of it at low binding energy
    stack, axis = _stack(pentacene, binding, totals)
    result = lk.deconvolve((stack, axis, axis, binding), pentacene, ["HOMO"],
                           photon_energy=35.0, work_function=4.5, fit_angles="gamma",
                           progress=False)
    sums = np.nansum(stack, axis=(1, 2))
    expected = np.sum(sums * (30.5 - binding)) / np.sum(sums)
    assert result.orientation_fit.kinetic_energy_ev == pytest.approx(expected, rel=1e-9)
    reversed_weights = np.sum(sums[::-1] * (30.5 - binding)) / np.sum(sums)
    assert abs(expected - reversed_weights) > 1.0  # the test tells the two apart


def test_a_pixel_missing_from_one_slice_stays_out_of_the_orientation_fit(pentacene):
    binding = np.array([5.0, 6.0, 7.0])
    stack, axis = _stack(pentacene, binding, [1e4, 1e4, 1e4], pixel_nan=(1, 12, 17))
    result = lk.deconvolve((stack, axis, axis, binding), pentacene, ["HOMO"],
                           photon_energy=35.0, work_function=4.5, fit_angles="gamma",
                           progress=False)
    summed = result.orientation_fit
    assert not summed.mask[12, 17] and summed.mask.sum() == 41 * 41 - 1
    assert np.isnan(summed.measured[12, 17])
    # the other slices keep the pixel in their own fits
    assert result.n_pixels.tolist() == [41 * 41, 41 * 41 - 1, 41 * 41]


def test_stack_instrument_is_fitted_once_and_kept_for_every_slice(pentacene):
    # The measured axes are one pixel (0.1 / Å) off in kx: pixel i shows the map at
    # kx[i] - 0.1.
    binding = np.array([5.0, 6.0, 7.0])
    profile = np.array([200.0, 500.0, 300.0])
    axis = -2.0 + 0.1 * np.arange(41)
    slices = []
    for e_b, weight in zip(binding, profile):
        maps = square_maps(pentacene, ["HOMO"], (0, 0, 30.0), -2.1, 0.1, 42,
                           e_kin=35.0 - 4.5 - e_b)[0]
        slices.append(weight * maps[:41, 1:] + 1.0)
    result = lk.deconvolve((np.array(slices), axis, axis, binding), pentacene, ["HOMO"],
                           photon_energy=35.0, work_function=4.5, fit_k_offset=True,
                           orientation=(0, 0, 30.0),
                           errors="uniform", progress=False)
    offset = result.to_dict()["instrument"]["k_offset"]
    np.testing.assert_allclose(offset, [0.1, 0.0], atol=1e-4)
    np.testing.assert_allclose(result.weights[:, 0], profile, rtol=1e-3)


# ---- refusals -----------------------------------------------------------------------

def _npz(path, **arrays):
    np.savez(path, **arrays)
    return str(path)


K = np.linspace(-1.0, 1.0, 21)
MAP = np.ones((21, 21))


@pytest.mark.parametrize("arrays, message", [
    (dict(intensity=MAP, kx=K), "missing array 'ky'"),
    (dict(intensity=MAP[0], kx=K, ky=K), "intensity is 1-D"),
    (dict(intensity=MAP, kx=K ** 3, ky=K), "kx is not uniformly spaced"),
    (dict(intensity=MAP, kx=K[::-1], ky=K), "kx is not ascending"),
    (dict(intensity=np.full((21, 21), np.nan), kx=K, ky=K), "every pixel is NaN"),
    (dict(intensity=MAP[:, :20], kx=K, ky=K), "does not match the axes"),
    (dict(intensity=np.ones((3, 21, 21)), kx=K, ky=K), "needs its binding_energy"),
])
def test_bad_measured_files_are_refused_naming_the_file(arrays, message, tmp_path):
    path = _npz(tmp_path / "bad.npz", **arrays)
    with pytest.raises(lk.MeasuredDataError, match=message) as caught:
        lk.load_measured(path)
    assert str(caught.value).startswith(path)


def test_unknown_files_and_bad_netcdf_layouts_are_refused(tmp_path):
    xr = pytest.importorskip("xarray")
    pytest.importorskip("h5netcdf")
    (tmp_path / "map.txt").write_text("1 2 3")
    with pytest.raises(lk.MeasuredDataError, match="unknown file type '.txt'"):
        lk.load_measured(str(tmp_path / "map.txt"))
    with pytest.raises(lk.MeasuredDataError, match="no such file"):
        lk.load_measured(str(tmp_path / "missing.npz"))
    xr.DataArray(MAP, dims=("kx", "y"), coords={"kx": K}).to_netcdf(
        tmp_path / "a.nc", engine="h5netcdf")
    with pytest.raises(lk.MeasuredDataError, match="unexpected dimension 'y'"):
        lk.load_measured(str(tmp_path / "a.nc"))
    xr.DataArray(MAP, dims=("kx", "ky"), coords={"kx": K}).to_netcdf(
        tmp_path / "b.nc", engine="h5netcdf")
    with pytest.raises(lk.MeasuredDataError, match="'ky' has no coordinate"):
        lk.load_measured(str(tmp_path / "b.nc"))
    (tmp_path / "c.nc").write_bytes(b"not a netcdf file")
    with pytest.raises(lk.MeasuredDataError, match="cannot be read"):
        lk.load_measured(str(tmp_path / "c.nc"))


@pytest.mark.parametrize("options, message", [
    (dict(fit_angles="delta"), "unknown angle 'delta'"),
    (dict(background="cubic"), "background must be none, constant or linear"),
    (dict(k_range=(2.0, 1.0)), "k_range must be"),
    (dict(k_range=(3.0, 4.0)), "0 usable pixel"),
    (dict(kinetic_energy=None, photon_energy=35.0, work_function=4.5), "binding_energy"),
    (dict(kinetic_energy=-1.0), "kinetic_energy must be positive"),
    (dict(starts=0), "starts must be at least 1"),
    (dict(orientation=(0, 0)), "orientation takes three angles"),
    (dict(errors="sigma"), "needs the measurement's standard deviations"),
    (dict(errors="gaussian"), "errors must be one of auto, sigma, poisson, uniform"),
    (dict(errors="uniform", poisson=True), "poisson contradicts errors='uniform'"),
    (dict(fit_domain_populations=True), "fit_domain_populations needs domains"),
    (dict(k_resolution=-0.1), "k_resolution must be >= 0"),
    (dict(fit_transmission="cubic"), "fit_transmission must be one of none, radial2"),
    (dict(kinetic_energy=None),
     r"kinetic_energy is missing: the measured map \(arrays\) states no energy"),
])
def test_bad_fit_options_are_refused(pentacene, options, message):
    settings = dict(kinetic_energy=E_KIN, progress=False)
    settings.update(options)
    with pytest.raises(ValueError, match=message):
        lk.fit_momentum_map((MAP, K, K), pentacene, ["HOMO"], **settings)


def test_fits_that_determine_nothing_say_so(pentacene):
    k = np.linspace(-3.5, 3.5, 36)
    with pytest.raises(ValueError, match="every pixel to fit is 0"):
        lk.fit_momentum_map((np.zeros((36, 36)), k, k), pentacene, "HOMO", kinetic_energy=E_KIN)
    # the annulus lies beyond the photoemission disc (2.81 / Å at 30 eV)
    with pytest.warns(lk.IdentifiabilityWarning, match="map of HOMO is 0 on every fitted"):
        result = lk.fit_momentum_map((np.ones((36, 36)), k, k), pentacene, "HOMO",
                                     kinetic_energy=E_KIN, k_range=(2.9, 3.5), progress=False)
    assert result.to_dict()["weight_errors"] == [None]


def test_model_grids_beyond_the_memory_limit_are_refused(pentacene):
    fine = np.linspace(-3.0, 3.0, 6001)  # a step of 0.001 / Å against 0.1 in ky
    with pytest.raises(ValueError, match=r"the model maps \(6001 x 6001 pixels.*more than"):
        lk.fit_momentum_map((np.ones((6001, 21)), fine, K), pentacene, "HOMO",
                            kinetic_energy=E_KIN, progress=False, max_memory="200M")


def test_stacks_and_single_maps_go_to_their_own_command(pentacene, tmp_path, capsys):
    stack = (np.ones((2, 21, 21)), K, K, np.array([5.0, 6.0]))
    with pytest.raises(lk.MeasuredDataError, match="a stack of 2 slices"):
        lk.fit_momentum_map(stack, pentacene, ["HOMO"], kinetic_energy=E_KIN)
    with pytest.raises(lk.MeasuredDataError, match="a single map, not a stack"):
        lk.deconvolve((MAP, K, K), pentacene, ["HOMO"], photon_energy=35.0, work_function=4.5)
    with pytest.raises(TypeError, match="unexpected keyword argument 'kinetic_energy'"):
        lk.deconvolve(stack, pentacene, ["HOMO"], photon_energy=35.0, work_function=4.5,
                      kinetic_energy=30.0)  # each slice's energy comes from its binding energy
    with pytest.raises(ValueError, match="photon_energy is too low for slice 1"):
        lk.deconvolve(stack, pentacene, ["HOMO"], photon_energy=10.0, work_function=4.5)
    path = _npz(tmp_path / "flat.npz", intensity=MAP[0], kx=K, ky=K)
    assert main(["fit", path, "pentacene", "-O", "HOMO", "--kinetic-energy", "30",
                 "-o", str(tmp_path)]) == 2
    error = capsys.readouterr().err
    assert error.count("\n") == 1 and "intensity is 1-D" in error and "Traceback" not in error
