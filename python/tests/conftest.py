"""Shared helpers of the Python test suite.

Tests of a C function fail, naming it, when the loaded libkernels.so does not
export it; PySCF tests skip without PySCF.
"""

import contextlib
import importlib.util
import os
import re
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

import libkernels
from libkernels.core import library


AGREEMENT = {}  # measured agreement figures, printed at the end of the run


def wheel_data():
    """The real files from quantum-chemistry programs that the qc-iodata wheel
    ships (iodata/test/data), installed with the test requirements."""
    found = importlib.util.find_spec("iodata")
    assert found is not None and found.origin, \
        "qc-iodata is not installed: pip install -r scripts/requirements-dev.txt"
    return Path(found.origin).parent / "test" / "data"


def molden_data():
    """Folder of the Molden test files: LIBKERNELS_MOLDEN_DATA, else the wheel's."""
    folder = Path(os.environ.get("LIBKERNELS_MOLDEN_DATA") or wheel_data())
    assert folder.is_dir(), f"the Molden test files are not there ({folder})"
    return folder


def pytest_sessionfinish(session):
    # A pytest-xdist worker hands its figures to the controller, which prints them.
    output = getattr(session.config, "workeroutput", None)
    if output is not None:
        output["agreement"] = {key: str(value) for key, value in AGREEMENT.items()}


@pytest.hookimpl(optionalhook=True)
def pytest_testnodedown(node, error):
    AGREEMENT.update(getattr(node, "workeroutput", {}).get("agreement", {}))


def pytest_terminal_summary(terminalreporter):
    if AGREEMENT:
        terminalreporter.section("agreement figures")
        for key in sorted(AGREEMENT):
            terminalreporter.write_line(f"{key}: {AGREEMENT[key]}")


def requires(*names):
    """Fails the calling test, naming the functions, when the loaded library does not
    export every function in `names`: every kernel ships, so a missing one is a
    broken build, not a reason to skip."""
    try:
        path = library.library_path()
    except ImportError as error:
        pytest.fail(f"libkernels.so not found: {error}")
    missing = [name for name in names if not library.available(name)]
    if missing:
        pytest.fail(f"{path} does not export {', '.join(missing)}()")


@pytest.fixture(scope="session")
def pentacene():
    return libkernels.load_example("pentacene")


@pytest.fixture(scope="session")
def benzene():
    return libkernels.load_example("benzene")


def water_like(basis, charge=0, spin=0, atoms="O 0 0 0.12; H 0.76 0.1 -0.47; H -0.78 -0.05 -0.45"):
    """A small PySCF molecule (slightly asymmetric, so no component vanishes by symmetry)."""
    gto = pytest.importorskip("pyscf.gto")
    return gto.M(atom=atoms, basis=basis, charge=charge, spin=spin, verbose=0)


def tiny_molecule(**overrides):
    """Arguments of a valid two-atom Molecule (s and d shells); override any of them."""
    arguments = dict(
        atom_x=[0.0, 1.4], atom_y=[0.0, 0.0], atom_z=[0.0, 0.0],
        shells_per_atom=np.array([2, 1], dtype=np.int32),
        shell_l=np.array([0, 2, 0], dtype=np.int32),
        shell_n_prim=np.array([2, 1, 1], dtype=np.int32),
        prim_exponent=[3.0, 0.5, 0.8, 1.1], prim_coeff=[0.4, 0.7, 1.0, 0.9],
        mo_coeff=np.ones((2, 7)), mo_energy=[-0.5, 0.1], mo_occ=[2.0, 0.0])
    arguments.update(overrides)
    return arguments


def start_explorer(*arguments):
    """`libkernels explore ARGUMENTS` in a subprocess: (process, the address it printed)."""
    process = subprocess.Popen([sys.executable, "-m", "libkernels", "explore", *arguments],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    line = process.stdout.readline()
    match = re.search(r"http://\S+", line)
    if not match:
        process.kill()
        pytest.fail(f"no address printed: {line!r} {process.stderr.read()[-500:]}")
    return process, match.group(0)


@contextlib.contextmanager
def chromium():
    """Debian's Chromium (or $LIBKERNELS_CHROMIUM) driven by Playwright, which never
    downloads a browser of its own.  Without either the calling test skips, or fails
    where LIBKERNELS_REQUIRE_BROWSER=1 (CI)."""
    def need(condition, reason):
        if condition:
            return
        if os.environ.get("LIBKERNELS_REQUIRE_BROWSER") == "1":
            pytest.fail(reason)
        pytest.skip(reason)

    os.environ.setdefault("PLAYWRIGHT_SKIP_BROWSER_DOWNLOAD", "1")
    try:
        from playwright.sync_api import sync_playwright
    except ImportError:
        need(False, "Playwright is not installed")
    path = os.environ.get("LIBKERNELS_CHROMIUM", "/usr/bin/chromium")
    need(os.path.exists(path), f"no Chromium at {path}")
    with sync_playwright() as playwright:
        # root (CI, containers) cannot use Chromium's sandbox
        browser = playwright.chromium.launch(executable_path=path,
                                             args=["--no-sandbox", "--disable-dev-shm-usage"])
        try:
            yield browser
        finally:
            browser.close()
