"""Measured data as laboratories write them: readers, the conversion to momentum, the
command, and fits of converted maps.

The round trips simulate a map in momentum with the package, take it to the angles an
instrument measures with the forward transform written here (not the converter's
inverse), add counting noise, write the file with that format's own writer (h5py with
the NXmpes groups, igorwriter), convert it back and fit it: weights, orientation and
background come back within three standard errors.
"""

import glob
import math
import os
import subprocess
import sys
import tarfile
import textwrap
import time

import numpy as np
import pytest

import libkernels as lk
from libkernels.cli import main

xr = pytest.importorskip("xarray")
h5py = pytest.importorskip("h5py")
interpolate = pytest.importorskip("scipy.interpolate")

K = math.sqrt(2 * 9.1093837015e-31 * 1.602176634e-19) / 1.054571817e-34 * 1e-10  # 1/Å/√eV
E_KIN = 30.0
TRUTH = {"weights": (3.0, 1.5), "alpha": 20.0, "background": 40.0}


@pytest.fixture(scope="module")
def model_in_k():
    """(kx, ky) -> counts of HOMO and HOMO-1 of pentacene at alpha = 20 with a
    background, on a fine grid the round trips interpolate."""
    mol = lk.load_example("pentacene")
    maps = [lk.momentum_map_sum(mol, [o], kinetic_energy=E_KIN, k_max=3.0, n=401,
                                orientation=(TRUTH["alpha"], 0, 0)) for o in ("HOMO", "HOMO-1")]
    total = sum(w * m.data.astype(np.float64) for w, m in zip(TRUTH["weights"], maps))
    total += TRUTH["background"]
    axis = maps[0].kx
    spline = interpolate.RegularGridInterpolator((axis, axis), total, bounds_error=False,
                                                 fill_value=TRUTH["background"])
    return lambda kx, ky: spline(np.stack([kx, ky], axis=-1))


def _rz_transposed(x, y, chi):
    c, s = math.cos(math.radians(chi)), math.sin(math.radians(chi))
    return c * x + s * y, -s * x + c * y


def _check_fit(path, tmp_path, **energy):
    fit = lk.fit_momentum_map(path, "pentacene", ["HOMO", "HOMO-1"], fit_angles="alpha",
                              orientation=(10, 0, 0), background="constant", progress=False,
                              k_range=(0.2, 2.4), **energy)
    assert fit.model_grid == "exact"
    for value, error, truth in zip(fit.weights, fit.weight_errors, TRUTH["weights"]):
        assert abs(value - truth) < 3 * error, (fit.weights, fit.weight_errors)
    alpha = (fit.orientation[0] - TRUTH["alpha"] + 90) % 180 - 90
    assert abs(alpha) < 3 * fit.orientation_errors[0] + 1e-9, fit.orientation
    assert abs(fit.background[0] - TRUTH["background"]) < 3 * fit.background_errors[0]
    return fit


def test_deflector_map_through_nexus_round_trip(tmp_path, model_in_k):
    """Slit angle phi and deflector angle psi, an offset on phi, a sample azimuth, a
    binding-energy axis of three slices; written as NXmpes with h5py."""
    rng = np.random.default_rng(7)
    phi = np.linspace(-36, 36, 145)
    psi = np.linspace(-36, 36, 145)
    offset, chi, photon, work = 1.5, 12.0, 36.0, 4.5
    binding = np.array([1.2, 1.5, 1.8])
    cube = np.empty((binding.size, phi.size, psi.size), np.float32)
    a, b = np.meshgrid(np.radians(phi - offset), np.radians(psi), indexing="ij")
    eta = np.hypot(a, b)
    sinc = np.where(eta > 0, np.sin(eta) / np.where(eta > 0, eta, 1), 1.0)
    for s, eb in enumerate(binding):
        k = K * math.sqrt(photon - work - eb)
        kx, ky = _rz_transposed(k * b * sinc, k * a * sinc, chi)
        # counts per measured pixel: the intensity per solid angle times the pixel's
        # solid angle relative to one at normal emission (sin(eta)/eta)
        cube[s] = rng.poisson(model_in_k(kx, ky) * sinc / binding.size)
    path = tmp_path / "deflector.nxs"
    with h5py.File(path, "w") as f:
        entry = f.create_group("entry")
        entry.attrs["NX_class"] = "NXentry"
        entry.attrs["default"] = "data"
        entry["definition"] = "NXmpes"
        beam = entry.create_group("instrument/beam_probe")
        entry["instrument"].attrs["NX_class"] = "NXinstrument"
        beam.attrs["NX_class"] = "NXbeam"
        beam["incident_energy"] = photon
        beam["incident_energy"].attrs["units"] = "eV"
        analyser = entry.create_group("instrument/electronanalyser")
        analyser.attrs["NX_class"] = "NXelectronanalyser"
        analyser["work_function"] = work
        analyser["work_function"].attrs["units"] = "eV"
        data = entry.create_group("data")
        data.attrs.update({"NX_class": "NXdata", "signal": "data",
                           "axes": ["energy", "angular0", "angular1"]})
        data["data"] = cube
        for name, values, unit in (("energy", binding, "eV"), ("angular0", phi, "degree"),
                                   ("angular1", psi, "degree")):
            data[name] = values
            data[name].attrs["units"] = unit
        data["energy"].attrs["type"] = "binding"
    assert main(["convert", str(path), "--geometry", "deflector", "--angle-offsets",
                 "phi=1.5", "--sample-azimuth", "12", "--energy-window", "1", "2",
                 "-o", str(tmp_path / "converted")]) == 0
    out = tmp_path / "converted" / (path.stem + "_k.nc")
    converted = xr.open_dataset(out)
    assert list(converted.data_vars)[:2] == ["intensity", "sigma"]
    assert converted.attrs["photon_energy"] == photon and converted.attrs["slices_summed"] == 3
    step = float(converted.kx[1] - converted.kx[0])
    assert np.allclose(np.diff(converted.ky), step) and np.allclose(converted.kx / step,
                                                                    np.round(converted.kx / step))
    sigma = converted.sigma.values
    assert np.all(np.isnan(sigma) == np.isnan(converted.intensity.values))
    assert np.isnan(converted.intensity.values).any()  # corners beyond the measured angles
    converted.close()
    fit = _check_fit(out, tmp_path, photon_energy=photon, work_function=work)
    assert fit.n_pixels > 10000
    # the record makes the same file again
    assert main(["convert", "--from-record", str(out), "-o", str(tmp_path / "again")]) == 0
    again = tmp_path / "again" / out.name
    with xr.open_dataset(out) as first, xr.open_dataset(again) as second:
        np.testing.assert_array_equal(first.intensity.values, second.intensity.values)
    # the raw file goes to fit directly, with the geometry given as options
    fit_dir = tmp_path / "fit"
    assert main(["fit", str(path), "pentacene", "-O", "HOMO", "-O", "HOMO-1",
                 "--photon-energy", "36", "--work-function", "4.5", "--fit-angles", "alpha",
                 "--orientation", "10", "0", "0", "--geometry", "deflector", "--angle-offsets",
                 "phi=1.5", "--sample-azimuth", "12", "--energy-window", "1", "2", "--quiet",
                 "-o", str(fit_dir)]) == 0
    assert (fit_dir / "fit.json").exists()


def test_polar_azimuth_map_through_igor_round_trip(tmp_path, model_in_k):
    """Emission angles theta (from the normal) and azimuth: an Igor wave written by
    igorwriter, dimensions named with --dims."""
    igorwriter = pytest.importorskip("igorwriter")
    rng = np.random.default_rng(3)
    theta = np.arange(0, 60.25, 0.5)
    azimuth = np.arange(0, 360, 1.0)
    chi = -25.0
    t, p = np.meshgrid(np.radians(theta), np.radians(azimuth), indexing="ij")
    k = K * math.sqrt(E_KIN)
    kx, ky = _rz_transposed(k * np.sin(t) * np.cos(p), k * np.sin(t) * np.sin(p), chi)
    counts = rng.poisson(model_in_k(kx, ky) * np.sin(t) * 4).astype(np.float32)
    wave = igorwriter.IgorWave(counts, name="map")
    wave.set_dimscale("x", theta[0], theta[1] - theta[0], "deg")
    wave.set_dimscale("y", azimuth[0], azimuth[1] - azimuth[0], "deg")
    path = tmp_path / "toroidal.ibw"
    wave.save(str(path))
    converted = lk.to_momentum(str(path), "polar-azimuth", dims={"x": "theta", "y": "azimuth"},
                               sample_azimuth=chi, kinetic_energy=E_KIN)
    # intensities per solid angle: scaled back by 1/4 the fit sees the model's background
    measured = converted.assign(intensity=converted.intensity / 4, sigma=converted.sigma / 4)
    out = tmp_path / "toroidal.nc"
    measured.to_netcdf(out, engine="h5netcdf")
    _check_fit(out, tmp_path, kinetic_energy=E_KIN)


def test_conversion_inverts_the_forward_transform_of_every_set_up():
    """A map with a known value at every k, taken to angles by the forward transform
    written here, comes back at the same k (each set-up, with offsets and fixed angles)."""
    def f(kx, ky):
        return 100 + 30 * np.cos(3 * kx) * np.sin(2 * ky + 0.3)

    e = 25.0
    k = K * math.sqrt(e)
    cases = {
        "polar": (np.linspace(-20, 20, 161), np.linspace(-30, 30, 241), {"theta": 2.0},
                  {"beta": 3.0}),
        "tilt": (np.linspace(-20, 20, 161), np.linspace(-30, 30, 241), {"beta": -1.0},
                 {"theta": 4.0}),
    }
    for kind, (phi, scan, offsets, fixed) in cases.items():
        a, s = np.meshgrid(np.radians(phi), np.radians(scan - list(offsets.values())[0]),
                           indexing="ij")
        other = math.radians(list(fixed.values())[0])
        if kind == "polar":  # v_L = (0, sin a, cos a); v_S = Rx(beta)^T Ry(theta)^T v_L
            x, y, z = -np.sin(s) * np.cos(a), np.sin(a), np.cos(s) * np.cos(a)
            y, z = math.cos(other) * y + math.sin(other) * z, -math.sin(other) * y + math.cos(other) * z
            density = np.cos(a)
        else:  # v_L = (sin a, 0, cos a); v_S = Rx(beta)^T Ry(theta)^T v_L
            x = math.cos(other) * np.sin(a) - math.sin(other) * np.cos(a)
            z0 = math.sin(other) * np.sin(a) + math.cos(other) * np.cos(a)
            y, z = np.sin(s) * z0, np.cos(s) * z0
            density = np.cos(a - other)
        dims = ("phi", "theta" if kind == "polar" else "beta")
        data = xr.DataArray(f(k * x, k * y) * density, dims=dims,
                            coords={dims[0]: phi, dims[1]: scan,
                                    list(fixed)[0]: list(fixed.values())[0]})
        out = lk.to_momentum(data, kind, angle_offsets=offsets, kinetic_energy=e,
                             angle_unit="deg")
        kx, ky = np.meshgrid(out.kx.values, out.ky.values, indexing="ij")
        values = out.intensity.values
        inside = np.isfinite(values)
        assert inside.mean() > 0.5, kind
        assert np.max(np.abs(values - f(kx, ky))[inside]) < 0.5, kind


IGOR_FILES_HELP = ("the igor2 source distribution (scripts/install_deps.sh puts it in "
                   ".cache/igor2, or set LIBKERNELS_IGOR_SDIST)")


@pytest.fixture(scope="module")
def igor_test_files(tmp_path_factory):
    found = os.environ.get("LIBKERNELS_IGOR_SDIST") or next(iter(sorted(glob.glob(
        os.path.join(os.path.dirname(__file__), "..", "..", ".cache", "igor2",
                     "igor2-*.tar.gz")))), None)
    if not found:
        pytest.skip(f"needs {IGOR_FILES_HELP}")
    folder = tmp_path_factory.mktemp("igor2")
    with tarfile.open(found) as archive:
        members = [m for m in archive.getmembers() if "/tests/data/" in m.name and m.isfile()]
        # Plain files under their base names only; the "data" filter where this
        # Python has it (3.11.4 and later), which Debian's 3.11.2 lacks.
        safe = {"filter": "data"} if hasattr(tarfile, "data_filter") else {}
        for member in members:
            member.name = os.path.basename(member.name)
            archive.extract(member, folder, **safe)
    return folder


def test_igor_files_of_the_igor2_distribution(igor_test_files):
    from libkernels.formats import measured
    for name in ("mac-version2.ibw", "win-version2.ibw", "mac-version5.ibw",
                 "win-version5.ibw", "mac-double.ibw", "win-double.ibw"):
        data = measured.read(str(igor_test_files / name))
        np.testing.assert_array_equal(data.intensity.values, [5, 4, 3, 2, 1])
        np.testing.assert_array_equal(data.x.values, np.arange(5))
    assert "This is a test." in measured.read(str(igor_test_files / "mac-version5.ibw")
                                          ).attrs["igor_note"]
    # a packed template of a real spectrum: scaled energy (descending) and angle axes
    wide = measured.read(str(igor_test_files / "packed-byteorder.pxt"))
    assert wide.attrs["igor_wave"] == "Wide scan" and wide.intensity.shape == (1421,)
    assert wide.x.attrs["units"] == "eV" and wide.y.attrs["units"] == "deg"
    assert float(wide.y) == 1.0  # its single angle, a scalar coordinate
    np.testing.assert_allclose(wide.x.values[[0, -1]], [70.0, 70.0 - 1420 * 0.04999542],
                               atol=1e-5)
    # a packed experiment of version-2 waves: one chosen by name, else refused in one line
    polar = str(igor_test_files / "polar-graphs-demo.pxp")
    radius = measured.read(polar, wave="radiusData")
    assert radius.intensity.ndim == 1 and np.all(np.isfinite(radius.intensity.values))
    with pytest.raises(lk.MeasuredDataError, match="no waves of two or more dimensions"):
        measured.read(polar)
    with pytest.raises(lk.MeasuredDataError, match="text3.ibw.*not numbers"):
        measured.read(str(igor_test_files / "text3.ibw"))


def test_igor_units_longer_than_three_bytes_stay_with_their_dimension(tmp_path):
    """Version 5 keeps such units one after the other in one string, each dimension's
    length in the header; UTF-8 text (Igor 7 on) is read as UTF-8."""
    igorwriter = pytest.importorskip("igorwriter")
    from libkernels.formats import measured
    wave = igorwriter.IgorWave(np.zeros((3, 4, 2), np.float32), name="cube")
    for dim, unit in zip("xyz", ("1/angstrom", "1/Å", "eV")):
        wave.set_dimscale(dim, 0, 1, unit)
    path = tmp_path / "units.ibw"
    wave.save(str(path))
    data = measured.read(str(path))
    assert [data[d].attrs["units"] for d in ("x", "y", "z")] == ["1/angstrom", "1/Å", "eV"]


def _netcdf(path, dims, coords, values=None, attrs=None):
    """A NetCDF file of these axes, the angles' unit degrees."""
    shape = tuple(len(c) for c in coords)
    data = np.ones(shape, np.float32) if values is None else values
    units = {d: {"units": "deg"} for d in dims if d in ("phi", "psi", "theta", "beta")}
    xr.DataArray(data, dims=dims, coords={d: (d, c, units.get(d, {})) for d, c in
                                          zip(dims, coords)}, name="intensity",
                 attrs=attrs or {}).to_netcdf(path, engine="h5netcdf")


@pytest.mark.parametrize("case, message", [
    ("unknown dims", "cannot tell what dimension(s) foo, bar are (dimensions found: foo [no "
                     "unit] (4), bar [no unit] (5)); name them with --dims"),
    ("no photon energy", "--photon-energy is missing"),
    ("beyond 90", "reaches 120 degrees, beyond +-90"),
    ("non-monotonic", "coordinate of psi is not monotonic"),
    ("empty file", "the file is empty"),
    ("a map already in momentum", "a .npz already on kx, ky needs no conversion"),
    ("an output file for -o", "-o names the output directory, as for every command"),
])
def test_bad_input_is_one_line_and_writes_nothing(tmp_path, capsys, case, message):
    path = tmp_path / "in.nc"
    angles = np.linspace(-10, 10, 5)
    if case == "unknown dims":
        _netcdf(path, ("foo", "bar"), (np.arange(4.0), np.arange(5.0)))
    elif case == "no photon energy":
        _netcdf(path, ("binding_energy", "phi", "psi"), (np.array([1.0, 2.0]), angles, angles))
    elif case == "beyond 90":
        _netcdf(path, ("phi", "psi"), (np.linspace(0, 120, 5), angles))
    elif case == "non-monotonic":
        _netcdf(path, ("phi", "psi"), (angles, np.array([0, 1, 3, 2, 4.0])))
    elif case == "a map already in momentum":
        path = tmp_path / "in.npz"
        np.savez(path, intensity=np.ones((5, 5)), kx=angles, ky=angles)
    elif case == "an output file for -o":
        _netcdf(path, ("phi", "psi"), (angles, angles))
    else:
        path.write_bytes(b"")
    out = tmp_path / ("out.nc" if case == "an output file for -o" else "out")
    assert main(["convert", str(path), "--geometry", "deflector", "--kinetic-energy", "20",
                 "-o", str(out)]) == 2
    error = capsys.readouterr().err
    assert error.count("\n") == 1 and message in error, error
    assert not out.exists() and list(tmp_path.iterdir()) == [path]


def test_dims_are_placed_by_name_and_unit_and_momentum_cubes_pass_through(tmp_path):
    """A momentum-microscope cube (kx, ky, kinetic energy in meV with 1/bohr axes) goes
    straight to deconvolve's loader as a stack, with the file's photon energy."""
    k = np.linspace(-1, 1, 11)
    cube = xr.Dataset(
        {"counts": (("E", "momentum_x", "momentum_y"), np.full((3, 11, 11), 9.0))},
        coords={"E": ("E", [25000.0, 25500.0, 26000.0], {"units": "meV", "type": "kinetic"}),
                "momentum_x": ("momentum_x", k, {"units": "1/bohr"}),
                "momentum_y": ("momentum_y", k, {"units": "1/bohr"})},
        attrs={"photon_energy": 35.0, "work_function": 4.0})
    with pytest.raises(lk.MeasuredDataError, match=r"momentum_x, momentum_y are \(dimensions "
                                                   r"found: E \[meV\] \(3\), momentum_x"):
        lk.to_momentum(cube)
    out = lk.to_momentum(cube, dims={"momentum_x": "kx", "momentum_y": "ky"})
    np.testing.assert_allclose(out.binding_energy, [6.0, 5.5, 5.0])
    np.testing.assert_allclose(out.kx[-1], 1 / 0.529177210903)
    np.testing.assert_allclose(out.sigma, 3.0)  # counts: sqrt(9)
    path = tmp_path / "cube.nc"
    out.to_netcdf(path, engine="h5netcdf")
    stack = lk.load_measured(path)
    assert stack.is_stack and stack.intensity.shape == (3, 11, 11)
    # one slice of it, uploaded to the explorer, is read by the same readers
    from libkernels.explore.uploads import read_measured
    raw = out.isel(binding_energy=1).to_netcdf(engine="h5netcdf")
    values, kx, ky, energies = read_measured(bytes(raw))
    assert energies["photon_energy"] == 35.0 and energies["binding_energy"] == 5.5
    assert values.shape == (11, 11) and kx[-1] == pytest.approx(1 / 0.529177210903)


def test_a_600_x_600_x_100_angle_cube_converts_within_10_cpu_seconds():
    n, ne = 600, 100
    angles = np.linspace(-15, 15, n)
    data = xr.DataArray(np.random.default_rng(0).poisson(50, (ne, n, n)).astype(np.float32),
                        dims=("kinetic_energy", "phi", "psi"),
                        coords={"kinetic_energy": np.linspace(25, 30, ne), "phi": angles,
                                "psi": angles})
    clock = time.process_time()
    out = lk.to_momentum(data, "deflector", photon_energy=35, work_function=4.5, max_memory=0,
                         angle_unit="deg")
    seconds = time.process_time() - clock
    print(f"600 x 600 x 100 angle cube to momentum: {seconds:.1f} s of CPU")
    assert out.intensity.shape[0] == ne and out.intensity.shape[1] >= n - 10
    assert seconds <= 10, f"{seconds:.1f} s"


MEMORY_SCRIPT = textwrap.dedent("""
    import os
    import sys
    import libkernels as lk
    from libkernels.kspace.request import ConvertRequest

    def rss(field):
        with open("/proc/self/status") as f:
            return next(int(l.split()[1]) * 1024 for l in f if l.startswith(field))

    source, small, out, limit = sys.argv[1:5]
    # warm up: every module and reader imported once, on a small file
    ConvertRequest(input=small, geometry="deflector", max_memory=limit).run().dataset.load()
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")  # restart the peak from here
    base = rss("VmRSS:")
    result = ConvertRequest(input=source, geometry="deflector", max_memory=limit).run()
    result.name = os.path.basename(out)
    result.save(os.path.dirname(out))
    print(base, rss("VmHWM:"))
""")


def test_a_cube_four_times_the_memory_limit_converts_below_it(tmp_path):
    """Peak resident memory of the conversion (above what the process held before it)
    stays below the limit, for a cube of four times the limit."""
    limit = 64 * 2**20
    ne, n = 256, 512  # 256 x 512 x 512 float32 = 4 x 64 MB
    angles = np.linspace(-12, 12, n)
    source = tmp_path / "cube.h5"
    with h5py.File(source, "w") as f:
        f.attrs["photon_energy"] = 35.0
        f.attrs["work_function"] = 4.5
        for name, values in (("kinetic_energy", np.linspace(25, 30, ne)), ("phi", angles),
                             ("psi", angles)):
            f[name] = values
            f[name].make_scale(name)
            f[name].attrs["units"] = "eV" if name == "kinetic_energy" else "deg"
        cube = f.create_dataset("intensity", (ne, n, n), np.float32, chunks=(1, n, n))
        for i, name in enumerate(("kinetic_energy", "phi", "psi")):
            cube.dims[i].attach_scale(f[name])
        rng = np.random.default_rng(1)
        for s in range(ne):
            cube[s] = rng.poisson(30, (n, n))
    assert os.path.getsize(source) >= 4 * limit
    small = tmp_path / "small.nc"
    _netcdf(small, ("kinetic_energy", "phi", "psi"),
            (np.array([25.0, 26.0]), angles[:8], angles[:8]),
            attrs={"photon_energy": 35.0, "work_function": 4.5})
    out = tmp_path / "out.nc"
    result = subprocess.run([sys.executable, "-c", MEMORY_SCRIPT, str(source), str(small),
                             str(out), str(limit)], capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stderr
    base, peak = map(int, result.stdout.split())
    print(f"conversion of a {os.path.getsize(source) / 2**20:.0f} MB cube under a 64 MB limit: "
          f"peak {(peak - base) / 2**20:.0f} MB above the {base / 2**20:.0f} MB at its start")
    assert peak - base < limit, f"peak {(peak - base) / 2**20:.0f} MB above the start"
    with xr.open_dataset(out) as converted:
        assert converted.intensity.shape[0] == ne
        assert float(converted.intensity[ne // 2].mean()) == pytest.approx(30, rel=0.05)


def test_sigma_predicts_the_scatter_after_interpolation_and_jacobian(tmp_path):
    """Counts uniform per solid angle come out flat in momentum; (I - mean) / sigma has
    mean 0 and spread 1 whether sigma comes from the counts or from the file, and the
    lazy conversion in chunks gives the same numbers as the one in memory."""
    rng = np.random.default_rng(11)
    angles = np.linspace(-40, 40, 161)
    a, b = np.meshgrid(np.radians(angles), np.radians(angles), indexing="ij")
    eta = np.hypot(a, b)
    density = np.where(eta > 0, np.sin(eta) / np.where(eta > 0, eta, 1), 1.0)
    rate = 200.0
    counts = rng.poisson(rate * density, (4,) + density.shape).astype(np.float32)
    data = xr.Dataset({"intensity": (("kinetic_energy", "phi", "psi"), counts)},
                      coords={"kinetic_energy": [20.0, 20.5, 21.0, 21.5], "phi": angles,
                              "psi": angles})
    with_sigma = data.assign(sigma=(data.intensity.dims, np.sqrt(rate * density) *
                                    np.ones_like(counts)))
    for source in (data, with_sigma):
        out = lk.to_momentum(source, "deflector", max_memory=0, angle_unit="deg")
        z = ((out.intensity - rate) / out.sigma).values
        z = z[np.isfinite(z)]
        assert z.size > 20000
        assert abs(z.mean()) < 0.05 and 0.9 < z.std() < 1.1, (z.mean(), z.std())
    path = tmp_path / "cube.nc"
    data.to_netcdf(path, engine="h5netcdf")
    whole = lk.to_momentum(str(path), "deflector", max_memory=0, angle_unit="deg")
    chunked = lk.to_momentum(str(path), "deflector", max_memory="4M", angle_unit="deg")  # a slice fits, not all four
    assert hasattr(chunked.intensity.data, "dask")
    np.testing.assert_array_equal(chunked.intensity.values, whole.intensity.values)
    np.testing.assert_array_equal(chunked.sigma.values, whole.sigma.values)


def test_fits_of_converted_maps_state_errors_their_scatter_bears_out():
    """Lattice pixels interpolated from shared measured pixels are correlated: taken as
    independent, a fit's errors came out 1.4-1.5 times too small.  The conversion states
    how much information the lattice would over-claim, and the fit's errors grow by its
    root: over 40 Poisson draws of one polar map the angle scatters as stated.  A
    lattice coarser than the angles shares nothing and claims no more than it holds."""
    from libkernels.kspace.geometry import Geometry
    from libkernels.kspace.resample import AngleAxis, Resampler, lattice

    mol = lk.load_example("pentacene")
    angles = np.linspace(-30, 30, 61)
    geometry = Geometry("polar")
    a, b = np.meshgrid(np.radians(angles), np.radians(angles), indexing="ij")
    x, y, _ = geometry.direction(a, b)
    maps = [lk.momentum_map_sum(mol, [o], kinetic_energy=E_KIN, k_max=3.0, n=401,
                                orientation=(TRUTH["alpha"], 0, 0)) for o in ("HOMO", "HOMO-1")]
    total = sum(w * m.data.astype(np.float64) for w, m in zip(TRUTH["weights"], maps))
    spline = interpolate.RegularGridInterpolator((maps[0].kx, maps[0].ky), total,
                                                 method="cubic")
    k = K * math.sqrt(E_KIN)
    rate = (200 * spline(np.stack([k * x, k * y], axis=-1)) / total.max() + 5) * \
        geometry.solid_angle_density(a, b)
    rng = np.random.default_rng(3)
    alphas, errors = [], []
    for _ in range(40):
        counts = xr.DataArray(rng.poisson(rate).astype(np.float32), dims=("phi", "theta"),
                              coords={"phi": angles, "theta": angles}, name="intensity")
        converted = lk.to_momentum(counts, "polar", kinetic_energy=E_KIN, angle_unit="deg")
        fit = lk.fit_momentum_map(converted, mol, ["HOMO", "HOMO-1"], kinetic_energy=E_KIN,
                                  fit_angles="alpha", orientation=(10, 0, 0), progress=False)
        alphas.append(fit.orientation[0])
        errors.append(fit.orientation_errors[0])
    shared = converted.attrs["information_ratio"]
    assert 1.3 < shared < 2.5 and fit.goodness["information_ratio"] == shared
    assert "errors x" in fit.report()
    scatter = np.std(alphas, ddof=1) / np.mean(errors)
    assert 0.75 < scatter < 1.3, scatter
    # the lattice at twice the angle step draws on disjoint measured pixels
    axis = AngleAxis(np.radians(angles))
    step = 2 * k * float(np.radians(angles[1] - angles[0]))
    coarse = Resampler(geometry, axis, axis, lattice(-1.5, 1.5, step), lattice(-1.5, 1.5, step))
    assert coarse.information_ratio(E_KIN) <= 1.0
