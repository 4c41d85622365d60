"""One root for every error and warning, and how the command line reports them.

The package's refusals are LibkernelsErrors (with the built-in bases callers
caught before), printed by the command line in one line with exit status 2;
anything else is a fault and keeps its traceback; a missing optional
dependency names the pip extra that brings it.
"""

import ast
import inspect
import shutil
import sys

import numpy as np
import pytest

import libkernels as lk
from libkernels.cli import main
from libkernels.core import errors
from libkernels.core.extras import require
from libkernels.fit.linear import solve_linear

from test_layout import read_sources


def test_every_error_and_warning_class_lives_in_errors_py_under_its_root():
    defined = []
    for module, source in read_sources().items():
        for node in ast.walk(ast.parse(source)):
            bases = {ast.unparse(b) for b in getattr(node, "bases", [])}
            if isinstance(node, ast.ClassDef) and any(
                    b.endswith(("Error", "Warning", "Exception")) for b in bases):
                defined.append((module, node.name))
    assert defined and {module for module, _ in defined} == {"libkernels.core.errors"}
    for _, name in defined:
        cls = getattr(errors, name)
        root = lk.LibkernelsWarning if issubclass(cls, Warning) else lk.LibkernelsError
        assert issubclass(cls, root) and getattr(lk, name) is cls, name


@pytest.mark.parametrize("error, base", [
    (lk.InputError, ValueError), (lk.MemoryLimitError, lk.InputError),
    (lk.ReadError, ValueError), (lk.MoldenError, lk.ReadError),
    (lk.MoleculeError, ValueError), (lk.MeasuredDataError, ValueError),
    (lk.JobError, ValueError), (lk.StoreError, OSError), (lk.OutputError, OSError),
    (lk.ScanError, RuntimeError), (lk.MissingExtraError, ImportError),
    (lk.LibraryNotFoundError, ImportError), (lk.MissingKernelError, NotImplementedError),
    (lk.KernelMemoryError, MemoryError), (lk.IdentifiabilityWarning, UserWarning),
])
def test_errors_keep_the_bases_callers_catch(error, base):
    assert issubclass(error, base)


def test_the_library_refuses_with_its_own_errors(benzene):
    with pytest.raises(lk.InputError, match="energy_unit names an unknown energy unit"):
        lk.momentum_map(benzene, kinetic_energy=20, energy_unit="furlong")
    with pytest.raises(lk.MoleculeError, match="orbital HOMO-99 does not exist"):
        lk.momentum_map(benzene, "HOMO-99", kinetic_energy=20)
    with pytest.raises(lk.InputError, match="momentum_map must be square"):
        lk.rotation(np.zeros((3, 4)), 10.0)
    with pytest.raises(lk.ReadError, match=r"no_such\.molden: no such file \(give a "
                                           r"wavefunction file or one of pentacene, benzene\)"):
        lk.load_molecule("no_such.molden")


def test_a_missing_extra_names_the_pip_extra(monkeypatch):
    with pytest.raises(lk.MissingExtraError,
                       match=r"drawing maps needs matplotlib: pip install 'libkernels\[plot\]'"):
        require("no_such_module_here", "plot", "drawing maps", "matplotlib")
    monkeypatch.setitem(sys.modules, "scipy.optimize", None)
    with pytest.raises(ImportError, match=r"fitting needs scipy: pip install 'libkernels\[fit\]'"):
        solve_linear(np.eye(2), np.ones(2), 2)


def test_a_file_whose_name_says_nothing_is_read_by_its_first_lines(tmp_path):
    renamed = tmp_path / "benzene.txt"
    shutil.copy(lk.example_path("benzene"), renamed)
    assert lk.read(renamed).n_atoms == lk.load_example("benzene").n_atoms
    (tmp_path / "notes.txt").write_text("nothing to see\n")
    with pytest.raises(lk.ReadError, match="from its name or its first lines"):
        lk.read(tmp_path / "notes.txt")


def _one_line(capsys):
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and "Traceback" not in err, err
    return err


def test_the_command_line_reports_package_errors_in_one_line(tmp_path, capsys, monkeypatch):
    blocker = tmp_path / "a_file"
    blocker.write_text("")
    # the command's own output cannot be written: an OutputError
    assert main(["momentum-density", "benzene", "--resolution", "5", "-o",
                 str(blocker / "out")]) == 2
    assert f"libkernels momentum-density: error: cannot write {blocker / 'out'}: Not a " \
           "directory" in _one_line(capsys)
    # an optional dependency is missing
    monkeypatch.setitem(sys.modules, "xarray", None)
    assert main(["momentum-density", "benzene", "--resolution", "5", "--format", "nc",
                 "-o", str(tmp_path / "rho")]) == 2
    assert "pip install 'libkernels[netcdf]'" in _one_line(capsys)
    # options that exclude each other, which only the command line can see
    assert main(["fit", str(blocker), "benzene", "-O", "HOMO", "--kinetic-energy", "30",
                 "--photon-energy", "35", "-o", str(tmp_path)]) == 2
    assert "give --kinetic-energy, or --photon-energy" in _one_line(capsys)


def test_a_fault_keeps_its_traceback_and_ctrl_c_exits_130(monkeypatch, capsys):
    from libkernels.cli import orbitals

    def fault(args):
        raise ValueError("a bug, not a refusal")

    monkeypatch.setattr(orbitals, "run", fault)
    with pytest.raises(ValueError, match="a bug"):
        main(["orbitals", "benzene"])

    def interrupted(args):
        raise KeyboardInterrupt

    monkeypatch.setattr(orbitals, "run", interrupted)
    assert main(["orbitals", "benzene"]) == 130
    assert capsys.readouterr().err == "libkernels: interrupted\n"


def test_the_orientation_convention_is_written_once():
    """Help, records and docstrings quote core/orientation.py's sentence."""
    from libkernels.core.orientation import CONVENTION
    from libkernels.cli.options import ORIENTATION_HELP

    assert CONVENTION in ORIENTATION_HELP
    for function in (lk.momentum_map, lk.momentum_map_sum, lk.scan_momentum_maps,
                     lk.MapSumCall.run):
        assert "{orientation}" not in function.__doc__
        assert " ".join(CONVENTION.split()[:8]) in " ".join(inspect.getdoc(function).split())
