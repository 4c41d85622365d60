"""Records: the record beside every output makes the same bits again (`--from-record`,
`Request.from_record`), and a record that cannot is refused in one line."""

import argparse
import hashlib
import json
import os
import shutil
from pathlib import Path
from dataclasses import dataclass

import numpy as np
import pytest

import libkernels as lk
from libkernels.cli import main
from libkernels.cli.maps import FLAGS as MAP_FLAGS
from libkernels.cli.options import add_request_options, flag, options, request_of
from libkernels.requests.base import setting

from conftest import requires

# the numbers of a result file that depend on the clock, not on the request
TIMINGS = ("elapsed_seconds", "seconds_per_evaluation", "command")


@pytest.fixture
def benzene_file(tmp_path):
    """A copy of the benzene example that a test may change."""
    path = tmp_path / "inputs" / "benzene.molden"
    path.parent.mkdir()
    shutil.copy(lk.example_path("benzene"), path)
    return path


def _record(path):
    return json.loads(path.read_text())


def _run(*args):
    code = main([str(a) for a in args])
    assert code == 0
    return code


def _one_line_error(capsys, *args):
    assert main([str(a) for a in args]) == 2
    error = capsys.readouterr().err
    assert error.count("\n") == 1 and "Traceback" not in error, error
    return error


def _numbers(record):
    """A result file's values, without what depends on the clock."""
    return {k: v for k, v in record.items() if k not in TIMINGS}


def test_a_map_record_makes_the_same_bits_and_another_setting_does_not(benzene_file,
                                                                      tmp_path):
    requires("momentum_map_sum")
    first, again, other = (tmp_path / name for name in ("first", "again", "other"))
    _run("map", benzene_file, "-O", "HOMO", "-O", "HOMO-1", "--photon-energy", "35.123456789",
         "--orientation", "10", "20", "30", "--symmetry", "2", "--polarisation", "p",
         "--resolution", "31", "--dpi", "30", "--quiet", "-o", first)
    record = _record(first / "benzene_HOMO.json")
    assert record["record_format"] == 1 and record["kind"] == "map"
    assert record["command"].startswith("libkernels map ")
    assert record["libkernels_version"] == lk.__version__
    assert record["molecule"] == str(benzene_file)
    assert record["molecule_sha256"] == hashlib.sha256(benzene_file.read_bytes()).hexdigest()
    request = record["request"]
    assert request["photon_energy"] == 35.123456789  # as given, not rounded for display
    assert request["orbitals"] == ["HOMO", "HOMO-1"] and request["symmetry"] == 2
    assert record["orbitals"] == ["HOMO"] and record["k_axis"][0] == -3.0  # as before

    _run("map", "--from-record", first / "benzene_HOMO.json", "--quiet", "-o", again)
    for label in ("HOMO", "HOMO-1"):
        assert (again / f"benzene_{label}.npy").read_bytes() == \
            (first / f"benzene_{label}.npy").read_bytes()
    assert _record(again / "benzene_HOMO-1.json")["request"] == request

    record["request"]["photon_energy"] = 35.2  # the comparison above can fail
    (tmp_path / "changed.json").write_text(json.dumps(record))
    _run("map", "--from-record", tmp_path / "changed.json", "--quiet", "-o", other)
    assert (other / "benzene_HOMO.npy").read_bytes() != (first / "benzene_HOMO.npy").read_bytes()


def test_netcdf_attributes_are_the_record_of_netcdf_output(tmp_path):
    xr = pytest.importorskip("xarray")
    requires("momentum_map_sum", "momentum_density")
    _run("map", "benzene", "--format", "nc", "--resolution", "21", "--kinetic-energy", "25",
         "--quiet", "-o", tmp_path / "a")
    _run("map", "--from-record", tmp_path / "a" / "benzene_HOMO.nc", "-o", tmp_path / "b")
    _run("momentum-density", "benzene", "--format", "nc", "--resolution", "9", "--k-max", "2",
         "-o", tmp_path / "c")
    rho = "benzene_HOMO_momentum_density.nc"
    _run("momentum-density", "--from-record", tmp_path / "c" / rho, "-o", tmp_path / "d")
    for one, two in (("a/benzene_HOMO.nc", "b/benzene_HOMO.nc"), (f"c/{rho}", f"d/{rho}")):
        with xr.open_dataarray(tmp_path / one) as x, xr.open_dataarray(tmp_path / two) as y:
            assert x.values.tobytes() == y.values.tobytes()
            assert json.loads(x.attrs["libkernels_record"])["request"] == \
                json.loads(y.attrs["libkernels_record"])["request"]
            assert x.attrs["kind"] in ("map", "momentum-density") and "command" in x.attrs


def test_cube_and_momentum_density_records_make_the_same_files(benzene_file, tmp_path):
    requires("charge_density_sum", "momentum_density")
    _run("cube", benzene_file, "--density", "--spacing", "0.5", "--margin", "2", "--threads",
         "2", "--quiet", "-o", tmp_path)
    stem = os.path.splitext(os.path.basename(benzene_file))[0]
    record = _record(tmp_path / f"{stem}_density.json")
    assert record["kind"] == "cube" and record["request"]["density"] is True
    assert len(record["grid_shape"]) == 3 and record["units"] == "bohr^-3"
    _run("cube", "--from-record", tmp_path / f"{stem}_density.json", "--threads", "1",
         "--quiet", "-o", tmp_path / "again")
    cube = f"{stem}_density.cube"
    assert (tmp_path / "again" / cube).read_bytes() == (tmp_path / cube).read_bytes()

    _run("momentum-density", benzene_file, "-O", "HOMO-1", "--resolution", "9", "-o",
         tmp_path / "k")
    name = f"{stem}_HOMO-1_momentum_density"
    _run("momentum-density", "--from-record", tmp_path / "k" / f"{name}.json", "-o",
         tmp_path / "k2")
    assert (tmp_path / "k2" / f"{name}.npy").read_bytes() == \
        (tmp_path / "k" / f"{name}.npy").read_bytes()


def _measured(pentacene, path, binding=None):
    """A small synthetic measured map (or stack) of HOMO and HOMO-1 at 30 eV."""
    axis = np.linspace(-2.0, 2.0, 21)

    def maps(e_kin):
        return np.stack([lk.momentum_map_sum(pentacene, [o], orientation=(0, 0, 20),
                                             kinetic_energy=e_kin, k_min=-2.0, k_step=0.2,
                                             n=21).data.astype(float)
                         for o in ("HOMO", "HOMO-1")])

    if binding is None:
        intensity = np.tensordot([50.0, 20.0], maps(30.0), 1) + 2.0
        np.savez(path, intensity=intensity, kx=axis, ky=axis)
    else:
        intensity = np.array([np.tensordot([w, 20.0], maps(30.5 - e), 1) + 2.0
                              for w, e in zip([10.0, 40.0], binding)])
        np.savez(path, intensity=intensity, kx=axis, ky=axis, binding_energy=binding)
    return path


def test_fit_and_deconvolution_records_make_the_same_numbers(pentacene, tmp_path):
    requires("momentum_map_sum", "rotation", "polarisation_factor")
    pytest.importorskip("scipy")
    measured = _measured(pentacene, tmp_path / "map.npz")
    _run("fit", measured, "pentacene", "-O", "HOMO", "-O", "HOMO-1", "--kinetic-energy", "30",
         "--fit-angles", "gamma", "--starts", "6", "--orientation", "0", "0", "15", "--quiet",
         "-o", tmp_path / "fit")
    record = _record(tmp_path / "fit" / "fit.json")
    assert list(record)[:2] == ["orbitals", "weights"]  # the results first, as before
    assert record["kind"] == "fit" and record["measured_file"] == str(measured)
    assert record["request"]["fit_angles"] == "gamma" and record["request"]["starts"] == 6
    _run("fit", "--from-record", tmp_path / "fit" / "fit.json", "--quiet",
         "-o", tmp_path / "again")
    assert _numbers(_record(tmp_path / "again" / "fit.json")) == _numbers(record)
    assert (tmp_path / "again" / "model.npy").read_bytes() == \
        (tmp_path / "fit" / "model.npy").read_bytes()

    stack = _measured(pentacene, tmp_path / "stack.npz", binding=np.array([5.5, 6.0]))
    _run("deconvolve", stack, "pentacene", "-O", "HOMO", "-O", "HOMO-1", "--photon-energy",
         "35", "--work-function", "4.5", "--background", "none", "--quiet", "-o",
         tmp_path / "dec")
    record = _record(tmp_path / "dec" / "deconvolution.json")
    assert record["kind"] == "deconvolve" and record["stack_sha256"]
    _run("deconvolve", "--from-record", tmp_path / "dec" / "deconvolution.json", "--quiet",
         "-o", tmp_path / "dec2")
    assert _numbers(_record(tmp_path / "dec2" / "deconvolution.json")) == _numbers(record)


def test_a_scan_store_holds_its_request(benzene_file, tmp_path):
    xr = pytest.importorskip("xarray")
    pytest.importorskip("zarr")
    requires("momentum_map_sum")
    job = tmp_path / "job.toml"
    job.write_text(f'molecules = ["inputs/{benzene_file.name}", "pentacene"]\n'
                   'orbitals = ["HOMO"]\nphoton_energy = [30.0]\nwork_function = 4.5\n'
                   'alpha = { start = 0, stop = 60, step = 30 }\nn = 15\n')
    _run("scan", job, "--quiet", "-o", tmp_path / "a.zarr")
    _run("scan", "--from-record", tmp_path / "a.zarr", "--quiet", "-o", tmp_path / "b.zarr")
    request = lk.ScanRequest.from_record(tmp_path / "b.zarr")
    request.save_record(tmp_path / "scan.json")
    _run("scan", "--from-record", tmp_path / "scan.json", "--quiet", "-o", tmp_path / "c.zarr")
    first = xr.open_zarr(tmp_path / "a.zarr")
    for again in ("b.zarr", "c.zarr"):
        store = xr.open_zarr(tmp_path / again)
        assert store["intensity"].values.tobytes() == first["intensity"].values.tobytes()
        assert list(store["molecule"].values) == [f"inputs/{benzene_file.name}", "pentacene"]
    attributes = first.attrs["libkernels_record"]
    assert attributes["kind"] == "scan" and attributes["command"].startswith("libkernels scan")

    benzene_file.write_text(benzene_file.read_text() + "\n")
    with pytest.raises(lk.RecordError, match=r"molecule inputs/benzene.molden .* has changed"):
        lk.ScanRequest.from_record(tmp_path / "scan.json")


def test_records_that_would_not_make_the_same_output_are_refused(benzene_file, tmp_path,
                                                                 capsys):
    requires("momentum_map_sum")
    _run("map", benzene_file, "--resolution", "11", "--format", "nc", "-o", tmp_path)
    path = tmp_path / "benzene_HOMO.json"
    record = _record(path)
    capsys.readouterr()
    assert "--from-record takes every setting from the record; drop --resolution" in \
        _one_line_error(capsys, "map", "--from-record", path, "--resolution", "21")
    assert "the record of `libkernels map`, not of `libkernels cube`" in \
        _one_line_error(capsys, "cube", "--from-record", path)
    (tmp_path / "later.json").write_text(json.dumps({**record, "record_format": 2}))
    assert "record format 2" in _one_line_error(capsys, "map", "--from-record",
                                                 tmp_path / "later.json", "-o", tmp_path)
    (tmp_path / "old.json").write_text(json.dumps({"command": "libkernels map"}))
    assert "not a record that can be re-run" in _one_line_error(
        capsys, "map", "--from-record", tmp_path / "old.json", "-o", tmp_path)

    # a folder moved with its molecule file still works; a changed molecule file does not
    moved = tmp_path / "moved"
    moved.mkdir()
    shutil.copy(path, moved)
    shutil.move(benzene_file, moved / benzene_file.name)
    assert lk.Request.from_record(moved / path.name).run()[0].data.shape == (11, 11)
    (moved / benzene_file.name).write_text((moved / benzene_file.name).read_text() + "\n")
    assert "benzene.molden has changed since the record was written" in _one_line_error(
        capsys, "map", "--from-record", moved / path.name, "-o", moved)


def test_python_requests_record_themselves_and_run_from_records(benzene, benzene_file,
                                                                tmp_path):
    requires("momentum_map_sum")
    request = lk.MapRequest(molecule=str(benzene_file), orbitals=["HOMO"], kinetic_energy=20.0,
                            k_max=2.0, n=21, orientation=(15, 0, 0))
    maps = request.run()
    expected = lk.momentum_map_sum(benzene, ["HOMO"], kinetic_energy=20.0, k_max=2.0, n=21,
                                   orientation=(15, 0, 0))
    assert maps[0].data.tobytes() == expected.data.tobytes()
    request.save_record(tmp_path / "map.json")
    again = lk.Request.from_record(tmp_path / "map.json", threads=1)
    assert isinstance(again, lk.MapRequest) and again.threads == 1
    assert again.run()[0].data.tobytes() == expected.data.tobytes()
    with pytest.raises(lk.RecordError, match="not of `libkernels fit`"):
        lk.FitRequest.from_record(tmp_path / "map.json")

    # a Molecule read from a file is recorded as that file, so the record makes it again;
    # one built in memory is recorded as such, and cannot be read again
    read = lk.momentum_map_sum(lk.read(benzene_file), ["HOMO"], kinetic_energy=20.0, n=11)
    assert read.record["molecule_file"] == str(benzene_file)
    read.save(tmp_path / "read")
    assert _run("map", "--from-record", tmp_path / "read" / "benzene_HOMO.json", "--quiet",
                "-o", tmp_path / "read-again") == 0
    assert (tmp_path / "read-again" / "benzene_HOMO.npy").read_bytes() == \
        (tmp_path / "read" / "benzene_HOMO.npy").read_bytes()
    built = lk.Molecule(**{name: getattr(benzene, name) for name in (
        "atom_x", "atom_y", "atom_z", "shells_per_atom", "shell_l", "shell_n_prim",
        "prim_exponent", "prim_coeff", "mo_coeff", "mo_energy", "mo_occ")})
    in_memory = lk.MapRequest(molecule=built, kinetic_energy=20.0, n=11)
    in_memory.save_record(tmp_path / "memory.json")
    assert _record(tmp_path / "memory.json")["molecule_file"] is None
    with pytest.raises(lk.RecordError, match="handed over in memory"):
        lk.Request.from_record(tmp_path / "memory.json").run()


@dataclass(frozen=True)
class DampedMapRequest(lk.MapRequest):
    """A map request with one more setting, as the next option will be added."""

    damping: float = setting(0.0)


def test_a_setting_declared_once_is_an_option_and_a_recorded_setting(tmp_path):
    # the command line spells it with one flag, beside the map command's own
    flags = options(MAP_FLAGS, damping=flag("--damping", type=float, help="a new setting"))
    parser = argparse.ArgumentParser()
    add_request_options(parser, DampedMapRequest, flags)
    argv = ["benzene", "--damping", "0.5", "--kinetic-energy", "20", "--resolution", "11"]
    args = parser.parse_args(argv)
    args.argv = ["map", *argv]
    request = request_of(args)
    assert isinstance(request, DampedMapRequest) and request.damping == 0.5
    # the photon energy's command-line default gives way to a given kinetic energy
    assert request.photon_energy is None and request.work_function is None
    assert request.command == "libkernels map benzene --damping 0.5 --kinetic-energy 20 " \
                              "--resolution 11"
    request.save_record(tmp_path / "new.json")
    assert _record(tmp_path / "new.json")["request"]["damping"] == 0.5
    assert DampedMapRequest.from_record(tmp_path / "new.json").damping == 0.5
    # a record written before the setting existed reads as its default
    old = _record(tmp_path / "new.json")
    del old["request"]["damping"]
    (tmp_path / "old.json").write_text(json.dumps(old))
    assert DampedMapRequest.from_record(tmp_path / "old.json").damping == 0.0
    with pytest.raises(lk.RecordError, match="settings this libkernels does not know: damping"):
        lk.MapRequest.from_record(tmp_path / "new.json")


def _reconstruction(folder):
    """The arrays of a reconstruction.nc, as bytes."""
    xr = pytest.importorskip("xarray")
    with xr.open_dataset(folder / "reconstruction.nc") as saved:
        return {name: saved[name].values.tobytes() for name in saved.data_vars}


def test_reconstruction_records_make_the_same_image_from_one_map_or_several(pentacene,
                                                                            tmp_path, capsys):
    pytest.importorskip("xarray")
    pytest.importorskip("scipy")
    requires("momentum_map_sum")
    inputs = tmp_path / "inputs"
    inputs.mkdir()
    paths = []
    for energy in (20.0, 30.0, 40.0):  # small maps of pentacene's HOMO
        m = lk.momentum_map_sum(pentacene, ["HOMO"], kinetic_energy=energy, k_min=-2.0,
                                k_step=0.1, n=41)
        paths.append(inputs / f"homo_{energy:g}.npz")
        np.savez(paths[-1], intensity=m.data.astype(float), kx=m.kx.astype(float),
                 ky=m.ky.astype(float))
    quick = ["--starts", "3", "--iterations", "20", "--polish", "5", "--quiet"]

    # 2D from one file, the molecule's outline the support
    _run("reconstruct", paths[1], "--kinetic-energy", "30", "--molecule", "pentacene",
         "--seed", "7", *quick, "-o", tmp_path / "2d")
    record = _record(tmp_path / "2d" / "reconstruction.json")
    assert record["kind"] == "reconstruct" and record["libkernels_version"] == lk.__version__
    assert record["measured"] == str(paths[1]) and record["measured_sha256"] == \
        hashlib.sha256(paths[1].read_bytes()).hexdigest()
    assert record["molecule"] == "pentacene" and record["request"]["seed"] == 7
    first = _reconstruction(tmp_path / "2d")
    _run("reconstruct", "--from-record", tmp_path / "2d" / "reconstruction.json", "--quiet",
         "-o", tmp_path / "again")
    _run("reconstruct", "--from-record", tmp_path / "2d" / "reconstruction.nc", "--quiet",
         "-o", tmp_path / "from-nc")
    assert _reconstruction(tmp_path / "again") == first == _reconstruction(tmp_path / "from-nc")
    assert _record(tmp_path / "again" / "reconstruction.json")["request"] == record["request"]
    record["request"]["seed"] = 8  # another seed, other bits: the comparison can fail
    (tmp_path / "seed.json").write_text(json.dumps(record))
    _run("reconstruct", "--from-record", tmp_path / "seed.json", "--quiet",
         "-o", tmp_path / "seed")
    assert _reconstruction(tmp_path / "seed")["image"] != first["image"]

    # 3D from three files: each recorded with its SHA-256, each checked again
    _run("reconstruct", *paths, "--kinetic-energy", "20", "30", "40", "--support", "14", "5",
         "4", *quick, "-o", tmp_path / "3d")
    record = _record(tmp_path / "3d" / "reconstruction.json")
    assert record["measured"] == [str(p) for p in paths] and record["dimensions"] == 3
    assert record["measured_sha256"] == [hashlib.sha256(p.read_bytes()).hexdigest()
                                         for p in paths]
    moved = tmp_path / "moved"  # the folder moved with its inputs
    shutil.move(inputs, moved)
    shutil.copy(tmp_path / "3d" / "reconstruction.json", moved)
    again = lk.Request.from_record(moved / "reconstruction.json", progress=False).run()
    assert isinstance(again, lk.Reconstruction)
    assert again.image.values.tobytes() == _reconstruction(tmp_path / "3d")["image"]
    assert again.record["measured_file"][2] == str(moved / paths[2].name)
    np.savez(moved / paths[2].name, intensity=np.ones((41, 41)), kx=np.linspace(-2, 2, 41),
             ky=np.linspace(-2, 2, 41))
    assert f"measured file {moved / paths[2].name} has changed" in _one_line_error(
        capsys, "reconstruct", "--from-record", moved / "reconstruction.json", "-o", moved)

    # data handed over in memory are recorded as such, and cannot be read again
    m = lk.momentum_map_sum(pentacene, ["HOMO"], kinetic_energy=30.0, k_min=-2.0, k_step=0.1,
                            n=41)
    lk.reconstruct(m, support=(14, 5), starts=2, iterations=5, polish=1,
                   progress=False).save(tmp_path / "memory")
    assert _record(tmp_path / "memory" / "reconstruction.json")["measured_file"] is None
    with pytest.raises(lk.RecordError, match="measured was handed over in memory"):
        lk.ReconstructionRequest.from_record(tmp_path / "memory" / "reconstruction.json").run()


def test_results_made_from_python_save_a_record_the_command_line_makes_again(pentacene,
                                                                            tmp_path):
    """Every kind of work run from Python saves its data with a record, and
    `libkernels KIND --from-record` on that record makes the same numbers."""
    xr = pytest.importorskip("xarray")
    pytest.importorskip("scipy")
    requires("momentum_map_sum", "scalar_field", "momentum_density", "rotation")
    measured = _measured(pentacene, tmp_path / "map.npz")
    stack = _measured(pentacene, tmp_path / "stack.npz", binding=np.array([5.5, 6.0]))
    quick = dict(progress=False)
    kinds = {  # kind: (the Python run, the file its save() writes that holds the numbers)
        "cube": (lambda: lk.CubeRequest(molecule="benzene", spacing=0.6, margin=1.0,
                                        **quick).run(), "benzene_HOMO.cube"),
        "momentum-density": (lambda: lk.MomentumDensityRequest(
            molecule="benzene", n=9, **quick).run(), "benzene_HOMO_momentum_density.npy"),
        "fit": (lambda: lk.FitRequest(measured=str(measured), molecule="pentacene",
                                      orbitals=["HOMO"], kinetic_energy=30.0, starts=1,
                                      **quick).fit(), "model.npy"),
        "deconvolve": (lambda: lk.DeconvolutionRequest(
            stack=str(stack), molecule="pentacene", orbitals=["HOMO"], photon_energy=35.0,
            work_function=4.5, background="none", **quick).fit(), "deconvolution.csv"),
        "reconstruct": (lambda: lk.ReconstructionRequest(
            measured=str(measured), kinetic_energy=30.0, support=(14.0, 5.0), starts=2,
            iterations=10, polish=2, **quick).run(), "reconstruction.nc"),
    }
    for kind, (run, numbers) in kinds.items():
        first, again = tmp_path / kind / "first", tmp_path / kind / "again"
        run().save(first)
        record = next(p for p in sorted(first.iterdir()) if p.suffix == ".json")
        _run(kind, "--from-record", record, "--quiet", "-o", again)
        if numbers.endswith(".nc"):
            with xr.open_dataset(first / numbers) as a, xr.open_dataset(again / numbers) as b:
                assert a.image.values.tobytes() == b.image.values.tobytes(), kind
        else:
            assert (first / numbers).read_bytes() == (again / numbers).read_bytes(), kind
    # a conversion's result saves itself with its record too
    cube = xr.Dataset({"intensity": (("binding_energy", "kx", "ky"), np.ones((2, 5, 5)))},
                      coords={"binding_energy": [1.0, 1.1], "kx": np.linspace(-1, 1, 5),
                              "ky": np.linspace(-1, 1, 5)},
                      attrs={"photon_energy": 35.0, "work_function": 4.5})
    cube.to_netcdf(tmp_path / "cube.nc", engine="h5netcdf")
    saved = lk.ConvertRequest(input=str(tmp_path / "cube.nc")).run().save(tmp_path / "k")
    _run("convert", "--from-record", saved, "-o", tmp_path / "k-again")
    with xr.open_dataset(saved) as a, xr.open_dataset(tmp_path / "k-again" / "cube_k.nc") as b:
        assert a.intensity.values.tobytes() == b.intensity.values.tobytes()


RELEASE_0_2 = Path(__file__).parent / "data" / "release-0.2.0"


def test_records_written_by_the_previous_release_still_make_their_output(tmp_path):
    """Records that libkernels 0.2.0 wrote (a map as NetCDF, a momentum density, a fit of
    a measured map kept beside its record) are made again by --from-record."""
    xr = pytest.importorskip("xarray")
    pytest.importorskip("scipy")
    requires("momentum_map_sum", "momentum_density")
    _run("map", "--from-record", RELEASE_0_2 / "benzene_HOMO.json", "--quiet",
         "-o", tmp_path / "map")
    with xr.open_dataarray(RELEASE_0_2 / "benzene_HOMO.nc") as old, \
            xr.open_dataarray(tmp_path / "map" / "benzene_HOMO.nc") as new:
        # the kinetic energy is now taken in eV before its one conversion to hartree,
        # which may move its float32 value by a unit in the last place
        np.testing.assert_allclose(new.values, old.values, rtol=2e-6, atol=0)
    _run("momentum-density", "--from-record", RELEASE_0_2 / "benzene_HOMO_momentum_density.json",
         "-o", tmp_path / "density")
    name = "benzene_HOMO_momentum_density.npy"
    assert (tmp_path / "density" / name).read_bytes() == (RELEASE_0_2 / name).read_bytes()
    _run("fit", "--from-record", RELEASE_0_2 / "fit.json", "--quiet", "-o", tmp_path / "fit")
    old, new = _record(RELEASE_0_2 / "fit.json"), _record(tmp_path / "fit" / "fit.json")
    np.testing.assert_allclose(new["weights"], old["weights"], rtol=1e-9)
    np.testing.assert_allclose(np.load(tmp_path / "fit" / "model.npy"),
                               np.load(RELEASE_0_2 / "model.npy"), rtol=1e-9, equal_nan=True)
    assert new["request"] == {**old["request"], "angle_offsets": {}, "angle_unit": None,
                              "counts_per": None}
