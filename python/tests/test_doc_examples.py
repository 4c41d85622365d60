"""Every code block of the READMEs and the documentation runs, and shows what it prints.

doc_examples.py says how each kind of block runs and how a block is marked to
run in a reduced form.  Each page runs in a directory of its own holding what
its examples name: the example molecules (also as my.molden), the repository's
examples/, a measured map and stack (map.npz, stack.npz, stack.nc), laboratory
files in angles (map.nxs, scan.ibw), and a Gaussian checkpoint file (water.fchk,
run.log).  Notebook cells are run by the
documentation build (scripts/docs.sh), not here.
"""

from __future__ import annotations

import doctest
import os
import shutil
import signal
import subprocess
import sys
import time
import urllib.request
from pathlib import Path

import numpy as np
import pytest
from scipy.interpolate import RegularGridInterpolator

import doc_examples as de
from conftest import wheel_data

PAGES = de.pages()
BIN = Path(sys.executable).parent


def _environment() -> dict:
    env = dict(os.environ, MPLBACKEND="Agg", PYTHONUNBUFFERED="1")
    env["PATH"] = f"{BIN}{os.pathsep}{env.get('PATH', '')}"
    return env


def _fixtures(directory: Path) -> None:
    import libkernels as lk

    for name in ("pentacene", "benzene"):
        shutil.copy(lk.example_path(name), directory / f"{name}.molden")
    shutil.copy(lk.example_path("pentacene"), directory / "my.molden")
    (directory / "examples").symlink_to(de.ROOT / "examples")
    measured = de.ROOT / "examples" / "measured"
    shutil.copy(measured / "pentacene_map.npz", directory / "map.npz")
    shutil.copy(measured / "pentacene_stack.npz", directory / "stack.npz")
    try:
        import xarray as xr
        stack = np.load(measured / "pentacene_stack.npz")
        xr.DataArray(stack["intensity"], dims=("binding_energy", "kx", "ky"),
                     coords={"binding_energy": stack["binding_energy"], "kx": stack["kx"],
                             "ky": stack["ky"]}, name="intensity").to_netcdf(
            directory / "stack.nc", engine="h5netcdf")
    except ImportError:
        pass
    _laboratory_files(directory)
    if WHEEL is not None and (WHEEL / "water_ccpvdz_pure_hf_g03.fchk").exists():
        for name in ("water.fchk", "run.log"):
            shutil.copy(WHEEL / "water_ccpvdz_pure_hf_g03.fchk", directory / name)


def _counts_in_angles(geometry, a, b, kinetic, rng):
    """Counts of pentacene's HOMO + HOMO-1 at the angles a x b (degrees, after the
    offsets) of a set-up, for each kinetic energy: the model map looked up at each pixel's momentum."""
    import libkernels as lk
    from libkernels.kspace.geometry import k_of_energy

    mol = lk.load_example("pentacene")
    grid_a, grid_b = np.meshgrid(np.radians(a), np.radians(b), indexing="ij")
    x, y, _ = geometry.direction(grid_a, grid_b)  # angles after their offsets
    # a pixel counts the intensity per solid angle times the solid angle it covers
    solid_angle = geometry.solid_angle_density(grid_a, grid_b)
    out = []
    for energy in kinetic:
        # a fine model, interpolated: the data must be what the fit's model is, not a
        # coarse lookup of it that no model describes within the counts' noise
        model = lk.momentum_map_sum(mol, ["HOMO", "HOMO-1"], kinetic_energy=energy, k_max=3.0,
                                    n=481)
        k = k_of_energy(energy)
        look_up = RegularGridInterpolator((model.kx, model.ky), model.data, method="cubic")
        values = look_up(np.stack([k * x, k * y], axis=-1))
        out.append(rng.poisson((200 * values / model.data.max() + 5) * solid_angle))
    return np.asarray(out, dtype=np.float32)


def _laboratory_files(directory: Path) -> None:
    """map.nxs (a deflector map, NXmpes, three binding energies, the photon energy and
    work function in the file) and scan.ibw (an Igor wave: kinetic energy, phi and the
    polar angle theta), as the READMEs' and the convert page's examples name them."""
    try:
        import h5py
        import igorwriter
    except ImportError:
        return
    from libkernels.kspace.geometry import Geometry

    rng = np.random.default_rng(5)
    angles = np.linspace(-30, 30, 61)
    binding = np.array([1.2, 1.3, 1.6])
    cube = _counts_in_angles(Geometry("deflector", {"phi": 0.4}, 12.0), angles, angles,
                             35.0 - 4.5 - binding, rng)
    with h5py.File(directory / "map.nxs", "w") as f:
        entry = f.create_group("entry")
        entry.attrs.update({"NX_class": "NXentry", "default": "data"})
        entry["definition"] = "NXmpes"
        instrument = entry.create_group("instrument")
        instrument.attrs["NX_class"] = "NXinstrument"
        for group, name, value in (("beam_probe", "incident_energy", 35.0),
                                   ("electronanalyser", "work_function", 4.5)):
            node = instrument.create_group(group)
            node.attrs["NX_class"] = "NXbeam" if group == "beam_probe" else \
                "NXelectronanalyser"
            node[name] = value
            node[name].attrs["units"] = "eV"
        data = entry.create_group("data")
        data.attrs.update({"NX_class": "NXdata", "signal": "data",
                           "axes": ["energy", "angular0", "angular1"]})
        data["data"] = cube
        for name, values, unit in (("energy", binding, "eV"), ("angular0", angles + 0.4,
                                                              "degree"),
                                   ("angular1", angles, "degree")):
            data[name] = values
            data[name].attrs["units"] = unit
        data["energy"].attrs["type"] = "binding"
    kinetic = np.linspace(29.0, 29.5, 6)
    scan = _counts_in_angles(Geometry("polar"), angles, angles, kinetic, rng)
    wave = igorwriter.IgorWave(scan, name="scan")
    for axis, values, unit in (("x", kinetic, "eV"), ("y", angles, "deg"),
                               ("z", angles, "deg")):
        wave.set_dimscale(axis, values[0], values[1] - values[0], unit)
    wave.save(str(directory / "scan.ibw"))


WHEEL = wheel_data()


def _run_shell(command: str, cwd: Path, where: str) -> str:
    if de.is_libkernels_command(command, "explore"):
        return _serve_and_stop(command, cwd, where)
    done = subprocess.run(["bash", "-c", command], cwd=cwd, env=_environment(),
                          capture_output=True, text=True, timeout=600)
    assert done.returncode == 0, (f"{where}: `{command}` exited {done.returncode}:\n"
                                  f"{done.stdout[-2000:]}\n{done.stderr[-2000:]}")
    return done.stdout


def _serve_and_stop(command: str, cwd: Path, where: str) -> str:
    """Starts the explorer as documented, fetches its page, stops it with Ctrl-C."""
    process = subprocess.Popen(["bash", "-c", f"exec {command}"], cwd=cwd, env=_environment(),
                               stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    try:
        deadline, printed = time.time() + 60, []
        address = None
        while time.time() < deadline and address is None:
            line = process.stdout.readline()
            if not line:
                break
            printed.append(line)
            for word in line.split():
                if word.startswith("http://127.0.0.1:"):
                    address = word.rstrip(".,")
        assert address, f"{where}: `{command}` printed no address:\n{''.join(printed)}"
        with urllib.request.urlopen(address, timeout=30) as page:
            assert page.status == 200 and b"<html" in page.read().lower(), where
        process.send_signal(signal.SIGINT)
        assert process.wait(timeout=30) in (0, 130), f"{where}: Ctrl-C did not end it cleanly"
        return "".join(printed)
    finally:
        if process.poll() is None:
            process.kill()
            process.wait()


def _parse_only(command: str, where: str) -> None:
    from libkernels.cli import build_parser

    words = de.shlex.split(command, comments=True)
    assert words[0] == "libkernels", where
    args, unknown = build_parser().parse_known_args(words[1:])
    assert not unknown, f"{where}: `{command}`: unknown {unknown}"


def _run_python(block: de.Block, namespace: dict) -> None:
    try:
        exec(compile(block.text, block.where, "exec"), namespace)
    except Exception as error:
        raise AssertionError(f"{block.where}: the example raised {error!r}") from error


def _run_doctest(block: de.Block, namespace: dict) -> None:
    parser, runner = doctest.DocTestParser(), doctest.DocTestRunner(
        optionflags=doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE)
    test = parser.get_doctest(block.text, namespace, block.where, str(block.path), block.line)
    result = runner.run(test, clear_globs=False)
    assert result.failed == 0, f"{block.where}: {result.failed} example(s) printed otherwise"


def _run_block(block: de.Block, directory: Path, namespace: dict) -> None:
    for command in block.commands if block.kind == "setup" else []:
        _run_shell(command, directory, block.where)
    if block.kind == "reduced":
        for command in block.commands:
            if command.startswith("parse: "):
                _parse_only(command[len("parse: "):], block.where)
            else:
                _run_shell(command, directory, block.where)
        return
    if block.language == "python":
        _run_python(block, namespace)
    elif block.language == "pycon":
        _run_doctest(block, namespace)
    elif block.language == "sh":
        for command in de.shell_commands(block.text):
            _run_shell(command, directory, block.where)
    elif block.language == "console":
        for command, expected in de.console_session(block.text):
            printed = _run_shell(command, directory, block.where).splitlines()
            assert de.output_matches(expected, printed), (
                f"{block.where}: `{command}` printed\n" + "\n".join(printed)
                + "\ninstead of\n" + "\n".join(expected))


@pytest.fixture(scope="module")
def fixture_files(tmp_path_factory):
    """The pages' fixtures, made once (the laboratory files take seconds to model);
    each page gets its own copy, so that no page sees what another wrote."""
    directory = tmp_path_factory.mktemp("doc-fixtures")
    _fixtures(directory)
    return directory


@pytest.mark.parametrize("page", PAGES, ids=[str(p.relative_to(de.ROOT)) for p in PAGES])
def test_every_example_of_the_page_runs(page, tmp_path, monkeypatch, fixture_files):
    monkeypatch.chdir(tmp_path)
    monkeypatch.setenv("MPLBACKEND", "Agg")
    for item in fixture_files.iterdir():
        if item.is_symlink():
            (tmp_path / item.name).symlink_to(os.readlink(item))
        else:
            shutil.copy(item, tmp_path / item.name)
    namespace: dict = {"__name__": "__example__"}
    found = de.blocks(page)
    for block in found:  # a file a command reads may be shown after the command
        if block.kind == "file":
            (tmp_path / block.file).write_text(block.text)
    for block in found:
        if block.kind in ("not run", "notebook", "directive", "file"):
            continue
        if block.language in de.RUN or block.kind == "reduced":
            _run_block(block, tmp_path, namespace)
    import matplotlib.pyplot as plt
    plt.close("all")


def test_every_block_says_what_it_is():
    """Each block names a language the tests know, a marker says why when a block is
    not run (or runs reduced), and a reduced block has commands to run."""
    problems = []
    for page in PAGES:
        for block in de.blocks(page):
            if block.kind in ("notebook", "directive"):
                continue
            if block.language not in de.RUN | de.SHOWN:
                problems.append(f"{block.where}: language {block.language!r} (indented or "
                                f"unnamed blocks are not run; fence and name it)")
            if block.kind in ("not run", "reduced") and not block.why:
                problems.append(f"{block.where}: {block.kind} without a reason")
            if block.kind in ("reduced", "setup") and not block.commands:
                problems.append(f"{block.where}: {block.kind} without commands")
            if block.kind == "file" and not block.file:
                problems.append(f"{block.where}: file marker without a name")
    assert not problems, "\n".join(problems)


def test_markers_are_read(tmp_path):
    """The parser applies each kind of marker to the block after it, and only to it."""
    page = tmp_path / "sample.md"
    page.write_text("\n".join([
        "<!-- example: not run (needs a cluster) -->", "```sh", "libkernels scan a.toml", "```",
        "", "<!-- example: reduced (serves forever)", "libkernels explore --help", "-->",
        "```sh", "libkernels explore", "```", "", "<!-- example: file job.toml -->",
        "```toml", "n = 3", "```", "", "```sh", "libkernels orbitals \\", "  benzene  # list",
        "```", "", "    indented = 1", ""]))
    found = de.blocks(page)
    assert [(b.kind, b.language) for b in found] == [
        ("not run", "sh"), ("reduced", "sh"), ("file", "toml"), ("run", "sh"), ("run", "")]
    assert found[0].why == "needs a cluster"
    assert found[1].commands == ["libkernels explore --help"]
    assert found[2].file == "job.toml"
    assert de.shell_commands(found[3].text) == ["libkernels orbitals    benzene  # list"]


def test_console_output_comparison():
    assert de.output_matches(["a", "...", "d"], ["a", "b", "c", "d", ""])
    assert de.output_matches(["a", "..."], ["a"])
    assert not de.output_matches(["a", "b"], ["a", "c"])
    assert not de.output_matches(["a"], ["a", "extra"])
    assert de.console_session("$ x --y\nout 1\n\n$ z\n") == [("x --y", ["out 1", ""]),
                                                             ("z", [])]


def test_api_reference_lists_every_public_name():
    import libkernels as lk

    page = (de.ROOT / "docs" / "api" / "index.rst").read_text()
    listed = {line.strip()[len("libkernels."):] for line in page.splitlines()
              if line.strip().startswith("libkernels.")}
    assert listed == set(lk.__all__), (sorted(set(lk.__all__) - listed),
                                       sorted(listed - set(lk.__all__)))


def test_every_constant_of_the_api_has_its_own_text():
    """A constant's page shows the #: comment at its definition (docs/_ext), never its
    type's docstring (float's, dict's)."""
    pytest.importorskip("sphinx")
    import libkernels as lk

    sys.path.insert(0, str(de.ROOT / "docs" / "_ext"))
    try:
        from libkernels_docs import constant_doc
    finally:
        sys.path.pop(0)
    constants = [name for name in lk.__all__ if not callable(getattr(lk, name))]
    assert set(constants) >= {"FORMATS", "BOHR_IN_ANGSTROM", "HARTREE_IN_EV"}
    for name in constants:
        value = getattr(lk, name)
        text = " ".join(constant_doc(f"libkernels.{name}", value))
        assert len(text) > 40 and text != type(value).__doc__, (name, text)
    assert "CODATA 2018" in " ".join(constant_doc("libkernels.HARTREE_IN_EV",
                                                  lk.HARTREE_IN_EV))
    with pytest.raises(ValueError, match="has no text of its own"):
        constant_doc("libkernels.NOT_A_CONSTANT", object())


def test_every_command_has_a_how_to_page():
    from libkernels.cli import build_parser

    commands = set(build_parser()._subparsers._group_actions[0].choices)
    pages = {p.stem for p in (de.ROOT / "docs" / "howto").glob("*.md")} - {"index"}
    assert commands == pages


def _load(path: Path, name: str):
    import importlib.util

    found = importlib.util.spec_from_file_location(name, path)
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


def test_the_site_check_refuses_what_reaches_the_network(tmp_path):
    check = _load(de.ROOT / "scripts" / "check_docs_site.py", "check_docs_site")
    assert check.remote_loads('<script src="https://cdn.example/mathjax.js"></script>')
    assert check.remote_loads('<link rel="stylesheet" href="//fonts.example/a.css">')
    assert not check.remote_loads('<link rel="canonical" href="https://example.org/x">')
    assert not check.remote_loads('<script src="_static/theme.js"></script>')
    (tmp_path / "tutorials").mkdir()
    (tmp_path / "index.html").write_text("<html></html>")
    (tmp_path / "tutorials" / "first.html").write_text(
        "<pre>Traceback (most recent call last)</pre>")
    found = check.problems(tmp_path)
    assert any("shows no figure" in p for p in found)
    assert any("traceback" in p for p in found)


def test_plain_docstrings_become_markup_that_reads_as_written():
    helpers = _load(de.ROOT / "docs" / "_ext" / "libkernels_docs.py", "libkernels_docs")
    lines = ["Intensities are |FT psi|^2 / pi^3; k = k_min + i*k_step, see `n_*`.",
             "Example:", "    m = lk.momentum_map(mol)", "    m.data[i, j]", "Back to text_ here."]
    out = helpers.plain_docstring(lines)
    assert out[0] == r"Intensities are \|FT psi\|^2 / pi^3; k = k_min + i\*k_step, see `n_*`."
    start = out.index("::")
    assert out[start + 1] == "" and out[start + 2] == "    m = lk.momentum_map(mol)"
    assert out[-2] == "" and out[-1] == r"Back to text\_ here."
    hanging = helpers.plain_docstring(["orientation: (alpha, beta, gamma) with M =",
                                       "    Rz(alpha) Rx(beta), see *this*."])
    assert hanging == [r"orientation: (alpha, beta, gamma) with M = Rz(alpha) Rx(beta), see "
                       r"\*this\*."]
    assert "usage: libkernels map" in helpers.command_help("map")
