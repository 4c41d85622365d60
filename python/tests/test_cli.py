"""The libkernels command: help, one-line errors, and the everyday jobs."""

import json
import subprocess
import sys

import numpy as np
import pytest

import libkernels as lk
from libkernels.cli import main
from libkernels.formats.cube import read_cube

from conftest import requires


def run(*args):
    return subprocess.run([sys.executable, "-m", "libkernels", *args], capture_output=True,
                          text=True, timeout=600)


def test_help_lists_every_job():
    result = run("--help")
    assert result.returncode == 0
    for job in ("demo", "map", "cube", "momentum-density", "orbitals"):
        assert job in result.stdout
    assert "--photon-energy" in run("map", "--help").stdout


@pytest.mark.parametrize("args, message", [
    (("map", "no_such_file.molden"), "no such file"),
    (("map", "--orbital", "HOMO-999"), "HOMO-999 does not exist"),
    (("map", "--photon-energy", "6"), "kinetic energy <= 0"),
    (("cube", "--orbital", "SOMO"), "cannot read orbital 'SOMO'"),
])
def test_bad_input_gives_one_line_error_without_traceback(args, message, tmp_path):
    result = run(*args, *(("-o", str(tmp_path / "out")) if args[0] == "map" else ()))
    assert result.returncode == 2
    assert "Traceback" not in result.stderr
    assert message in result.stderr
    assert len(result.stderr.strip().splitlines()) == 1


def test_malformed_molden_gives_one_line_error(tmp_path):
    path = tmp_path / "broken.molden"
    text = open(lk.example_path("benzene")).read()
    path.write_text(text[: len(text) // 2])
    result = run("orbitals", str(path))
    assert result.returncode == 2 and "Traceback" not in result.stderr
    assert "truncated" in result.stderr


def test_orbitals_listing(capsys):
    assert main(["orbitals", "benzene"]) == 0
    out = capsys.readouterr().out
    assert "HOMO " in out and "LUMO " in out and "eV" in out


def test_demo_writes_homo_and_homo_minus_1_pictures(tmp_path):
    requires("momentum_map_sum")
    result = run("demo", "-o", str(tmp_path), "--resolution", "61", "--quiet")
    assert result.returncode == 0, result.stderr
    for label in ("HOMO", "HOMO-1"):
        png = tmp_path / f"pentacene_{label}.png"
        assert png.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
        data = np.load(tmp_path / f"pentacene_{label}.npy")
        meta = json.loads((tmp_path / f"pentacene_{label}.json").read_text())
        assert data.shape == (61, 61) and data.max() > 0
        assert meta["orbitals"] == [label] and len(meta["k_axis"]) == 61


def test_cube_file_holds_the_orbital(tmp_path):
    requires("scalar_field")
    path = tmp_path / "benzene_HOMO.cube"
    assert main(["cube", "benzene", "--spacing", "0.4", "--margin", "2", "-o", str(tmp_path)]) \
        == 0
    origin, step, values, atoms = read_cube(path)
    benzene = lk.load_example("benzene")
    grid = lk.Grid.around(benzene, spacing=0.4, margin=2.0, unit="angstrom")
    field = lk.scalar_field(benzene, "HOMO", grid=grid)
    np.testing.assert_allclose(origin, grid.origin_bohr, atol=1e-6)
    np.testing.assert_allclose(values, field.data.transpose(2, 1, 0), rtol=1e-5,
                               atol=1e-5 * np.abs(field.data).max())
    assert atoms.shape == (12, 5) and sorted(set(atoms[:, 0])) == [1.0, 6.0]


def test_momentum_density_file(tmp_path):
    requires("momentum_density_sum")
    path = tmp_path / "benzene_density_momentum_density.npy"
    assert main(["momentum-density", "benzene", "--density", "--resolution", "11",
                 "--quiet", "-o", str(tmp_path)]) == 0
    data = np.load(path)
    assert data.shape == (11, 11, 11) and data.min() >= 0 and data.max() > 0
    np.testing.assert_allclose(data, data[::-1, ::-1, ::-1], rtol=1e-4, atol=1e-6 * data.max())


@pytest.mark.parametrize("args, message", [
    (("map", "--photon-energy", "nan"), "--photon-energy must be a finite number, got nan eV"),
    (("map", "--orientation", "0", "inf", "0"), "--orientation must be a finite number"),
    (("map", "--polarisation", "linear", "--s-share", "150"), "--s-share must lie between 0%"),
    (("map", "--incidence", "95"), "--incidence must lie between 0° and 90°"),
    (("map", "--work-function", "-1"), "--work-function must not be negative"),
    (("map", "--kinetic-energy", "-5"), "--kinetic-energy must be positive, got -5 eV"),
    (("map", "--threads", "0"), "--threads must be at least 1"),
    (("map", "-O", "-1"), "--orbital index -1 is negative"),
    (("map", "--resolution", "1"), "--resolution must be at least 2"),
    (("map", "--resolution", "20000", "--max-memory", "1G"), "lower --resolution, or raise"),
    (("cube", "--spacing", "0"), "--spacing must be positive, got 0 Å"),
    (("cube", "--spacing", "1e-5"), "raise --spacing or lower --margin"),
    (("cube", "--margin", "-2"), "--margin must not be negative, got -2 Å"),
    (("momentum-density", "--k-max", "-1"), "--k-max must be positive, got -1 1/Å"),
    (("orbitals", "--around", "9999"), "--around must be at most"),
])
def test_each_bad_option_gets_one_line_in_the_users_units(args, message, tmp_path):
    out = ("-o", str(tmp_path / "out")) if args[0] == "map" else ()
    result = run(*args, *out)
    assert result.returncode == 2 and "Traceback" not in result.stderr
    lines = result.stderr.strip().splitlines()
    assert len(lines) == 1 and message in lines[0], result.stderr
    assert "bohr" not in lines[0] and "advise" not in lines[0]
    assert "raise --photon-energy" not in lines[0]  # -5 eV kinetic energy is no photon matter


def test_the_k_step_has_its_own_name_and_resolution_stays_pixels(tmp_path, capsys):
    """--resolution counts pixels (map, momentum-density); the conversion's step in 1/Å is
    --k-step in convert, fit and deconvolve, which take --resolution for it for one more
    release, with one line saying so."""
    xr = pytest.importorskip("xarray")
    pytest.importorskip("h5netcdf")
    from libkernels.cli import build_parser
    commands = build_parser()._subparsers._group_actions[0].choices
    for command in ("convert", "fit", "deconvolve"):
        text = commands[command].format_help()
        assert "--k-step STEP" in text and "[--resolution" not in text, command
        assert "  --resolution" not in text, command
    assert "--resolution N" in commands["map"].format_help()
    angles = np.linspace(-12.0, 12.0, 25)
    path = tmp_path / "angles.nc"
    xr.DataArray(np.random.default_rng(1).poisson(50.0, (25, 25)).astype(np.float32),
                 dims=("phi", "psi"), coords={"phi": ("phi", angles, {"units": "deg"}),
                                              "psi": ("psi", angles, {"units": "deg"})},
                 name="intensity").to_netcdf(path, engine="h5netcdf")
    base = ["convert", str(path), "--geometry", "deflector", "--kinetic-energy", "20"]
    assert main(base + ["--k-step", "0.05", "-o", str(tmp_path / "new")]) == 0
    assert capsys.readouterr().err == ""
    assert main(base + ["--resolution", "0.05", "-o", str(tmp_path / "old")]) == 0
    err = capsys.readouterr().err
    assert err == ("libkernels convert: warning: --resolution is now --k-step (the same "
                   "value); --resolution is accepted in this release only\n")
    new, old = (xr.open_dataset(tmp_path / folder / "angles_k.nc", engine="h5netcdf")
                for folder in ("new", "old"))
    assert float(new.kx[1] - new.kx[0]) == pytest.approx(0.05)
    np.testing.assert_array_equal(new.intensity.values, old.intensity.values)
    # the record's setting is k_step whichever spelling gave it
    assert [lk.read_record(tmp_path / f / "angles_k.nc")["request"]["k_step"]
            for f in ("new", "old")] == [0.05, 0.05]
    new.close()
    old.close()
    assert main(base + ["--k-step", "0.05", "--resolution", "0.05",
                        "-o", str(tmp_path / "both")]) == 2
    assert "give --k-step only" in capsys.readouterr().err
    assert not (tmp_path / "both").exists()
    # fit and deconvolve take the former spelling alike (here for a file that is missing)
    for command in ("fit", "deconvolve"):
        assert main([command, str(tmp_path / "missing.npz"), "benzene", "-O", "HOMO",
                     "--resolution=0.05", "-o", str(tmp_path / command)]) == 2
        warning, error = capsys.readouterr().err.splitlines()
        assert warning == (f"libkernels {command}: warning: --resolution is now --k-step (the "
                           "same value); --resolution is accepted in this release only")
        assert error.startswith(f"libkernels {command}: error: ") and "missing.npz" in error


BLOCK_MATPLOTLIB = ("import sys; sys.modules['matplotlib'] = None; "
                    "from libkernels.cli import main; sys.exit(main(sys.argv[1:]))")


def test_without_matplotlib_fit_and_deconvolve_report_and_write_their_data(tmp_path):
    """Installed with the extras they name (scipy, not matplotlib), fit and deconvolve say
    at the start, in one line, that the figure is left out, then print the report and
    write the results, the data and the record (exit 0)."""
    pytest.importorskip("scipy")
    requires("momentum_map_sum")
    pentacene = lk.load_example("pentacene")
    maps = [lk.momentum_map_sum(pentacene, [o], kinetic_energy=30, k_max=2.5, n=41).data
            for o in ("HOMO", "HOMO-1")]
    k = np.linspace(-2.5, 2.5, 41)
    np.savez(tmp_path / "map.npz", intensity=3 * maps[0] + maps[1] + 0.1, kx=k, ky=k,
             kinetic_energy=30.0)
    np.savez(tmp_path / "stack.npz", intensity=np.stack([3 * maps[0] + maps[1] + 0.1,
                                                          maps[0] + 2 * maps[1] + 0.1]),
             kx=k, ky=k, binding_energy=np.array([5.0, 5.5]), photon_energy=40.0,
             work_function=4.5)
    for command, measured, figure, data in (
            ("fit", "map.npz", "fit.png", ("fit.json", "model.npy")),
            ("deconvolve", "stack.npz", "deconvolution.png",
             ("deconvolution.json", "deconvolution.csv"))):
        out = tmp_path / command
        extra = ["--kinetic-energy", "30"] if command == "fit" else []
        result = subprocess.run(
            [sys.executable, "-c", BLOCK_MATPLOTLIB, command, str(tmp_path / measured),
             "pentacene", "-O", "HOMO", "-O", "HOMO-1", *extra, "--quiet", "-o", str(out)],
            capture_output=True, text=True, timeout=600)
        assert result.returncode == 0, result.stderr
        warnings = [line for line in result.stderr.splitlines() if "figures need" in line]
        assert warnings == [f"libkernels {command}: warning: figures need matplotlib: pip "
                            f"install 'libkernels[plot]'; {figure} is not drawn (the results "
                            "and the data are)"], result.stderr
        assert result.stderr.splitlines()[0] == warnings[0]  # said first, before the work
        report, wrote = result.stdout.rstrip().rsplit("\n", 1)
        assert "HOMO" in report and "chi2" in report
        assert wrote == f"wrote {out / data[0]}, {data[1]}"
        assert sorted(p.name for p in out.iterdir()) == sorted(data)


def test_misspelt_option_shows_the_subcommands_usage_and_the_nearest_option():
    result = run("map", "--photon-energi", "30")
    assert result.returncode == 2
    assert "usage: libkernels map" in result.stderr
    assert "did you mean --photon-energy?" in result.stderr
    assert "libkernels 0." in run("--version").stdout


def test_map_records_everything_to_reproduce_it_and_writes_netcdf(tmp_path):
    xr = pytest.importorskip("xarray")
    result = run("map", "benzene", "--resolution", "31", "--orientation", "30", "0", "0",
                 "--polarisation", "p", "--format", "nc", "--quiet", "-o", str(tmp_path))
    assert result.returncode == 0, result.stderr
    record = json.loads((tmp_path / "benzene_HOMO.json").read_text())
    assert record["photon_energy"] == 35 and record["work_function"] == 4.5
    assert record["orientation"] == [30, 0, 0] and record["polarisation"] == "p"
    assert record["command"].startswith("libkernels map benzene --resolution 31")
    assert record["libkernels_version"] == lk.__version__
    assert record["k_axis"][:2] == [-3.0, -2.8]  # no float32 noise
    data = xr.open_dataarray(tmp_path / "benzene_HOMO.nc")
    assert data.dims == ("kx", "ky") and data.attrs["incidence_deg"] == 65
