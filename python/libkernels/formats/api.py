"""One entry point for every wavefunction file: `read(path)` by extension.

Molden files go through the package's own reader (molden.py); Gaussian
formatted checkpoint files, wfx, wfn, Molekel, Multiwfn and CP2K atom files
through IOData (iodata_reader.py, installed with `libkernels[formats]`).  Every
route ends in the same checks and the same Molecule.

IOData reads Molden files too, and on real files from eight programs both
readings agree to float32 rounding (the tests compare them).  Molden files
keep their own reader all the same: it needs neither IOData nor scipy, takes a
fraction of a second where IOData's pure-Python overlap check takes seconds
on large g- and h-function files, and refuses damaged files with a message
saying what is wrong (a file cut inside its last number, an unknown shell
letter, a missing coefficient) where IOData lets some through or reports an
uncaught exception.
"""

from __future__ import annotations

import os
from typing import Optional, Union

from .conversion import DEFAULT_MAX_DROPPED, TOLERANCE
from .errors import ReadError
from .iodata_reader import read_with_iodata
from .molden import read_molden
from .molecule import Molecule

# format name -> (IOData's name or None for our Molden reader, file name endings)
FORMATS = {
    "molden": (None, (".molden", ".molden.input", ".mold")),
    "fchk": ("fchk", (".fchk", ".fch")),
    "wfx": ("wfx", (".wfx",)),
    "wfn": ("wfn", (".wfn",)),
    "molekel": ("molekel", (".mkl",)),
    "mwfn": ("mwfn", (".mwfn",)),
    "cp2k": ("cp2klog", (".cp2k.out",)),
}


def format_of(path: Union[str, os.PathLike]) -> str:
    """The format a file name's ending names; ReadError when none does."""
    name = os.fspath(path)
    lower = name.lower()
    for fmt, (_, endings) in FORMATS.items():
        if lower.endswith(endings):
            return fmt
    known = ", ".join(e for _, endings in FORMATS.values() for e in endings)
    raise ReadError(f"{name}: cannot tell the file's format from its name (known endings: "
                    f"{known}); name it with format= (CLI: --input-format): {', '.join(FORMATS)}")


def read(path: Union[str, os.PathLike], format: Optional[str] = None, *,
         max_dropped_fraction: float = DEFAULT_MAX_DROPPED,
         tolerance: float = TOLERANCE) -> Molecule:
    """Reads a wavefunction file into a checked Molecule (bohr, hartree).

    `format` (one of FORMATS) overrides the guess from the file name.  The
    orbitals must be orthonormal under the basis' overlap matrix (largest
    error `tolerance`); what a reader corrected or left out is on the
    molecule's `conversion`, and orbitals losing more than
    `max_dropped_fraction` of their norm cannot be selected.
    """
    fmt = format_of(path) if format is None else str(format).lower()
    if fmt not in FORMATS:
        raise ReadError(f"{os.fspath(path)}: unknown format {format!r}; choose one of "
                        f"{', '.join(FORMATS)}")
    if FORMATS[fmt][0] is None:
        return read_molden(path, max_dropped_fraction=max_dropped_fraction, tolerance=tolerance)
    return read_with_iodata(path, FORMATS[fmt][0], max_dropped_fraction=max_dropped_fraction,
                            tolerance=tolerance)
