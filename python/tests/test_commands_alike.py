"""The command line as a new user meets it: damping for dichroism and warnings for maps
that show nothing, weights, messages that say what went wrong (and no more than
once), and commands that behave alike (-o, defaults, records, NetCDF attributes)."""

import json
import os
import re
import signal
import subprocess
import sys
import time

import numpy as np
import pytest

import libkernels as lk
from libkernels.cli import build_parser, main
from libkernels.cli.options import request_of

from conftest import requires


def _run(capsys, *argv):
    code = main([str(a) for a in argv])
    out, err = capsys.readouterr()
    return code, out, err


def test_dichroism_needs_damping_and_a_blank_map_is_named(tmp_path, capsys, benzene):
    requires("momentum_map_sum")
    code, _, err = _run(capsys, "map", "benzene", "--polarisation", "dichroism", "--resolution",
                        "31", "-o", tmp_path / "a", "--quiet")
    assert code == 0 and "dichroism is zero" in err and "--kz-damping" in err
    code, out, err = _run(capsys, "map", "benzene", "--polarisation", "dichroism",
                          "--kz-damping", "0.3", "--resolution", "31", "-o", tmp_path / "b",
                          "--quiet")
    assert code == 0 and "warning" not in err and "values -" in out and "bohr^3" in out
    data = np.load(tmp_path / "b" / "benzene_HOMO.npy")
    expected = lk.momentum_map_sum(benzene, ["HOMO"], photon_energy=35, work_function=4.5,
                                   n=31, polarisation="dichroism", kz_imaginary=0.3)
    np.testing.assert_array_equal(data, expected.data)
    assert data.min() < 0 < data.max()
    record = json.loads((tmp_path / "b" / "benzene_HOMO.json").read_text())
    assert record["request"]["kz_imaginary"] == 0.3
    code, _, _ = _run(capsys, "map", "--from-record", tmp_path / "b" / "benzene_HOMO.json",
                      "-o", tmp_path / "c", "--quiet")
    assert (tmp_path / "c" / "benzene_HOMO.npy").read_bytes() == \
        (tmp_path / "b" / "benzene_HOMO.npy").read_bytes()
    # damping without light changes nothing, and says so
    code, _, err = _run(capsys, "map", "benzene", "--kz-damping", "0.3", "--resolution", "15",
                        "-o", tmp_path / "e", "--quiet")
    assert code == 0 and "without a polarisation it changes nothing" in err
    # far too much energy: the map is zero everywhere, and the warning says why
    code, out, err = _run(capsys, "map", "benzene", "--photon-energy", "1e9", "--resolution",
                          "21", "-o", tmp_path / "d", "--quiet")
    assert code == 0 and "zero everywhere" in err and "|k| = 1.62e+04 1/Å" in err
    assert "peak 0 bohr^3" in out


def test_weights_reach_the_map_and_its_record(tmp_path, capsys, benzene):
    requires("momentum_map_sum")
    code, _, _ = _run(capsys, "map", "benzene", "-O", "HOMO", "-O", "HOMO-1", "--sum",
                      "--weights", "0.25", "3", "--resolution", "25", "-o", tmp_path, "--quiet")
    assert code == 0
    data = np.load(tmp_path / "benzene_HOMO+HOMO-1.npy")
    expected = lk.momentum_map_sum(benzene, ["HOMO", "HOMO-1"], weights=[0.25, 3.0],
                                   photon_energy=35, work_function=4.5, n=25)
    np.testing.assert_array_equal(data, expected.data)
    code, _, err = _run(capsys, "map", "benzene", "--weights", "1", "2", "-o", tmp_path)
    assert code == 2 and "--weights needs one value per orbital (1), got 2" in err
    assert err.count("\n") == 1
    # one weight for two orbitals is refused with the count expected, never spread over
    # both in silence; from Python, one number (not a list) still weighs them alike
    code, _, err = _run(capsys, "map", "benzene", "-O", "HOMO", "-O", "HOMO-1", "--sum",
                        "--weights", "2", "--resolution", "25", "-o", tmp_path / "one")
    assert code == 2 and err == ("libkernels map: error: --weights needs one value per "
                                 "orbital (2), got 1\n")
    assert not (tmp_path / "one").exists()
    for listed in ([2.0], (2.0,), np.array([2.0])):
        with pytest.raises(lk.InputError, match=r"weights needs one value per orbital \(2\)"):
            lk.momentum_map_sum(benzene, ["HOMO", "HOMO-1"], weights=listed, n=25,
                                photon_energy=35, work_function=4.5)
        with pytest.raises(lk.InputError, match=r"weights needs one value per orbital \(2\)"):
            lk.momentum_density_sum(benzene, ["HOMO", "HOMO-1"], weights=listed,
                                    grid=lk.Grid((0, 0, 0), 0.5, (2, 2, 2), "momentum"))
    both = lk.momentum_map_sum(benzene, ["HOMO", "HOMO-1"], weights=2.0, n=25,
                               photon_energy=35, work_function=4.5)
    np.testing.assert_array_equal(both.data, lk.momentum_map_sum(
        benzene, ["HOMO", "HOMO-1"], weights=[2.0, 2.0], n=25, photon_energy=35,
        work_function=4.5).data)


def test_messages_name_what_went_wrong_once(tmp_path, capsys):
    pytest.importorskip("iodata")
    (tmp_path / "text.wfx").write_text("hello\nthis is text\n")
    (tmp_path / "empty.fchk").write_text("")
    (tmp_path / "broken.toml").write_text("x = [\n")
    for argv, wanted, unwanted in (
            (("map", tmp_path / "text.wfx"), "IOData cannot read it as wfx", "None"),
            (("map", tmp_path / "empty.fchk"), "File ended before", "StopIteration"),
            (("momentum-density", "benzene", "--resolution", "5000"),
             "--resolution 5000 makes a grid", "--shape"),
            (("map", "benzene", "-o", "/proc/nope", "--quiet"),
             "cannot write /proc/nope: No such file or directory", "Errno"),
            (("scan", tmp_path / "broken.toml", "-o", tmp_path / "s.zarr"),
             "broken.toml: not valid TOML", "broken.toml: " + str(tmp_path))):
        code, _, err = _run(capsys, *argv)
        assert code == 2 and wanted in err and unwanted not in err, err
        assert err.count("\n") == 1, err
    help_text = build_parser().format_help()
    assert "fchk" in help_text and "wfx" in help_text


def test_progress_into_a_log_has_no_carriage_returns(tmp_path):
    requires("momentum_map_sum")
    result = subprocess.run([sys.executable, "-m", "libkernels", "map", "benzene", "-O", "HOMO",
                             "-O", "HOMO-1", "--resolution", "21", "-o", str(tmp_path)],
                            capture_output=True, timeout=120)
    assert result.returncode == 0 and b"\r" not in result.stderr, result.stderr


def test_output_directories_defaults_and_refusals_alike(tmp_path, capsys, monkeypatch):
    requires("scalar_field", "momentum_density")
    monkeypatch.chdir(tmp_path)
    for argv in (("cube", "benzene", "--spacing", "0.6", "--margin", "1"),
                 ("momentum-density", "benzene", "--resolution", "7")):
        assert _run(capsys, *argv, "-o", "out")[0] == 0
    assert sorted(os.listdir("out")) == ["benzene_HOMO.cube", "benzene_HOMO.json",
                                         "benzene_HOMO_momentum_density.json",
                                         "benzene_HOMO_momentum_density.npy"]
    for argv in (("cube", "benzene", "-o", "x.cube"), ("momentum-density", "benzene", "-o",
                                                      "x.npy"),
                 ("map", "benzene", "-o", "x.png")):
        code, _, err = _run(capsys, *argv)
        assert code == 2 and "-o names the output directory" in err, err
    code, _, err = _run(capsys, "cube", "benzene", "-O", "HOMO", "--density")
    assert code == 2 and "-O is ignored with --density" in err
    # deconvolve takes the file's work function when none is given, never a default
    args, _ = build_parser().parse_known_args(["deconvolve", "stack.npz", "benzene", "-O", "HOMO",
                                               "--photon-energy", "35", "-o", "d"])
    args.argv = []
    assert request_of(args).work_function is None


def test_netcdf_of_a_map_names_its_molecule_globally(tmp_path, capsys):
    xr = pytest.importorskip("xarray")
    requires("momentum_map_sum")
    assert _run(capsys, "map", "benzene", "--format", "nc", "--resolution", "15", "-o",
                tmp_path, "--quiet")[0] == 0
    with xr.open_dataset(tmp_path / "benzene_HOMO.nc") as dataset:
        assert dataset.attrs["molecule"] == "benzene"
        assert dataset.attrs["title"] == "benzene HOMO momentum map"
        assert json.loads(dataset.attrs["libkernels_record"])["kind"] == "map"
        assert dataset.attrs["history"].startswith("libkernels map benzene")
        assert list(dataset.data_vars) == ["intensity"]


def test_scans_take_the_damping_and_older_stores_read_it_as_none(tmp_path, capsys):
    pytest.importorskip("zarr")
    requires("momentum_map_sum")
    from libkernels.scans import job

    description = tmp_path / "scan.toml"
    description.write_text('molecules = ["benzene"]\nkinetic_energy = 25.0\nn = 11\n'
                           'polarisation = "dichroism"\nalpha = [0, 30]\n')
    code, _, err = _run(capsys, "scan", description, "-o", tmp_path / "a.zarr", "--quiet")
    assert code == 0 and "every map of this scan will be zero" in err
    code, _, err = _run(capsys, "scan", description, "-o", tmp_path / "b.zarr", "--quiet",
                        "--kz-damping", "0.3")
    assert code == 0 and "zero" not in err
    maps = lk.open_scan(tmp_path / "b.zarr").values.reshape(2, 11, 11)
    expected = lk.momentum_map_sum(lk.load_example("benzene"), ["HOMO"], kinetic_energy=25.0,
                                   n=11, polarisation="dichroism", kz_imaginary=0.3,
                                   orientation=(30, 0, 0))
    np.testing.assert_array_equal(maps[1], expected.data)
    with pytest.warns(lk.MapWarning, match="every map of this scan will be zero"):
        stored = job.read(description, {"kz_damping": 0.0})
    older = {k: v for k, v in stored.items() if k != "kz_damping"}
    assert job.differences(older, stored) == [] and \
        job.differences(older, {**stored, "kz_damping": 0.3}) == ["kz_damping"]


def test_ctrl_c_stops_a_dask_scan_with_one_message(tmp_path):
    """The terminal sends Ctrl-C to every process of the command, Dask's workers
    too; only the command itself answers it."""
    pytest.importorskip("dask.distributed")
    pytest.importorskip("zarr")
    requires("momentum_map_sum")
    description = tmp_path / "scan.toml"
    description.write_text('molecules = ["pentacene"]\nkinetic_energy = 30.0\nn = 151\n'
                           'alpha = { start = 0, stop = 180, step = 0.05 }\n')
    process = subprocess.Popen([sys.executable, "-m", "libkernels", "scan", str(description),
                                "-o", str(tmp_path / "s.zarr"), "--workers", "1"],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                               start_new_session=True)
    lines = []
    deadline = time.monotonic() + 90
    while time.monotonic() < deadline:
        line = process.stderr.readline()
        lines.append(line)
        if line.startswith("scan: ") or not line:
            break
    time.sleep(1.0)
    os.killpg(process.pid, signal.SIGINT)
    try:
        _, err = process.communicate(timeout=60)
    except subprocess.TimeoutExpired:
        os.killpg(process.pid, signal.SIGKILL)
        pytest.fail("the scan did not stop")
    err = "".join(lines) + err
    assert process.returncode == 130, err
    assert len(re.findall("interrupt", err, re.IGNORECASE)) == 1 and "Traceback" not in err, err
