"""The libkernels command: help, one-line errors, and the everyday jobs."""

import json
import subprocess
import sys

import numpy as np
import pytest

import libkernels as lk
from libkernels.cli import main
from libkernels.cube import read_cube

from conftest import requires


def run(*args):
    return subprocess.run([sys.executable, "-m", "libkernels.cli", *args], capture_output=True,
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
        assert meta["orbitals"] == [label] and len(meta["k_axis_inv_angstrom"]) == 61


def test_cube_file_holds_the_orbital(tmp_path):
    requires("scalar_field")
    path = tmp_path / "homo.cube"
    assert main(["cube", "benzene", "--spacing", "0.4", "--margin", "2", "-o", str(path)]) == 0
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
    path = tmp_path / "rho.npy"
    assert main(["momentum-density", "benzene", "--density", "--resolution", "11",
                 "--quiet", "-o", str(path)]) == 0
    data = np.load(path)
    assert data.shape == (11, 11, 11) and data.min() >= 0 and data.max() > 0
    np.testing.assert_allclose(data, data[::-1, ::-1, ::-1], rtol=1e-4, atol=1e-6 * data.max())
