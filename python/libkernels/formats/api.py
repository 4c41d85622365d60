"""One entry point for every wavefunction file: `read(path)` picks the reader.

The reader is chosen by the file name's ending (FORMATS), or, when the name
names no format, by the first lines of the file (SIGNATURES); `format=`
overrides both.  Molden files go through the package's own reader
(molden.py); Gaussian formatted checkpoint files, wfx, wfn, Molekel, Multiwfn
and CP2K atom files through IOData (iodata.py, installed with
`libkernels[formats]`).  Every route ends in the same checks and the same
Molecule.

IOData reads Molden files too, and on real files from eight programs both
readings agree to float32 rounding (the tests compare them).  Molden files
keep their own reader all the same: it needs neither IOData nor scipy, takes a
fraction of a second where IOData's pure-Python overlap check takes seconds
on large g- and h-function files, and refuses damaged files with a message
saying what is wrong (a file cut inside its last number, an unknown shell
letter, a missing coefficient) where IOData lets some through or reports an
uncaught exception.

`load_molecule` is what every front end (command line, scans, the explorer)
uses: a shipped example by name, or any file `read` takes.
"""

from __future__ import annotations

import os
from typing import TYPE_CHECKING, Callable, Dict, List, Optional, Tuple

from ..basis.conversion import DEFAULT_MAX_DROPPED, TOLERANCE
from ..core.errors import ReadError
from ..core.molecule import Molecule, MoleculeFile
from ..core.record import file_sha256
from .examples import DEFAULT_MOLECULE, EXAMPLES, example_path
from .iodata import read_with_iodata
from .molden import read_molden

if TYPE_CHECKING:
    from ..core.types import PathLike

#: The wavefunction formats `read` and the commands take: format name -> (the name of
#: IOData's reader, or None for the package's own Molden reader; the file name endings
#: that select it).  `--input-format NAME` (`input_format=`) picks one whatever the
#: file's name; formats other than Molden need the `formats` extra (IOData).
FORMATS: Dict[str, Tuple[Optional[str], Tuple[str, ...]]] = {
    "molden": (None, (".molden", ".molden.input", ".mold")),
    "fchk": ("fchk", (".fchk", ".fch")),
    "wfx": ("wfx", (".wfx",)),
    "wfn": ("wfn", (".wfn",)),
    "molekel": ("molekel", (".mkl",)),
    "mwfn": ("mwfn", (".mwfn",)),
    "cp2k": ("cp2klog", (".cp2k.out",)),
}

# format name -> test on the first lines of a file (stripped), for names that say nothing
SIGNATURES: Dict[str, Callable[[List[str]], bool]] = {
    "molden": lambda lines: any(line.lower() == "[molden format]" for line in lines),
    "molekel": lambda lines: bool(lines) and lines[0] == "$MKL",
    "wfx": lambda lines: any(line in ("<Title>", "<Keywords>") for line in lines),
    "fchk": lambda lines: len(lines) > 2 and lines[2].startswith("Number of atoms")
    and " I " in lines[2],
    "wfn": lambda lines: len(lines) > 1 and lines[1].startswith("GAUSSIAN")
    and "MOL ORBITALS" in lines[1],
    "mwfn": lambda lines: any(line.startswith("Wfntype=") for line in lines),
}
_HEAD_LINES = 8


def format_of(path: PathLike) -> str:
    """The format a file name's ending names; ReadError when none does."""
    name = os.fspath(path)
    lower = name.lower()
    for fmt, (_, endings) in FORMATS.items():
        if lower.endswith(endings):
            return fmt
    raise _unknown_format(name, "its name")


def _unknown_format(name: str, looked_at: str) -> ReadError:
    known = ", ".join(e for _, endings in FORMATS.values() for e in endings)
    return ReadError(f"{name}: cannot tell the file's format from {looked_at} (known "
                     f"endings: {known}); name it with format= (CLI: --input-format): "
                     f"{', '.join(FORMATS)}")


def format_of_content(path: PathLike) -> Optional[str]:
    """The format the first lines of a file show (SIGNATURES), or None."""
    try:
        with open(path, "r", errors="replace") as handle:
            lines = [handle.readline(4096).strip() for _ in range(_HEAD_LINES)]
    except OSError:
        return None  # the reader chosen later says what is wrong with the file
    for fmt, matches in SIGNATURES.items():
        if matches(lines):
            return fmt
    return None


def read(path: PathLike, format: Optional[str] = None, *,
         max_dropped_fraction: float = DEFAULT_MAX_DROPPED,
         tolerance: float = TOLERANCE) -> Molecule:
    """Reads a wavefunction file into a checked Molecule (bohr, hartree).

    `format` (one of FORMATS) overrides the guess from the file name (or, when
    the name says nothing, from the file's first lines).  The orbitals must be
    orthonormal under the basis' overlap matrix (largest error `tolerance`);
    what a reader corrected or left out is on the molecule's `conversion`, and
    orbitals losing more than `max_dropped_fraction` of their norm cannot be
    selected.
    """
    if format is not None:
        fmt = str(format).lower()
    else:
        try:
            fmt = format_of(path)
        except ReadError:
            fmt = format_of_content(path) or ""
            if not fmt:
                raise _unknown_format(os.fspath(path), "its name or its first lines") from None
    if fmt not in FORMATS:
        raise ReadError(f"{os.fspath(path)}: unknown format {format!r}; choose one of "
                        f"{', '.join(FORMATS)}")
    if FORMATS[fmt][0] is None:
        molecule = read_molden(path, max_dropped_fraction=max_dropped_fraction,
                               tolerance=tolerance)
    else:
        molecule = read_with_iodata(path, FORMATS[fmt][0],
                                    max_dropped_fraction=max_dropped_fraction,
                                    tolerance=tolerance)
    # what a record of work on this molecule names, so that it can read it again
    molecule.origin = MoleculeFile(os.path.abspath(os.fspath(path)), file_sha256(path), fmt)
    return molecule


def load_molecule(source: PathLike, format: Optional[str] = None, *,
                  max_dropped_fraction: float = DEFAULT_MAX_DROPPED) -> Molecule:
    """A shipped example by name (EXAMPLES), or the wavefunction file at `source`.

    A missing file is a ReadError in one line that names the examples too.
    """
    name = os.fspath(source)
    path = example_path(name) if name in EXAMPLES else name
    if not os.path.exists(path):
        raise ReadError(f"{name}: no such file (give a wavefunction file or one of "
                        f"{', '.join(EXAMPLES)})")
    return read(path, format, max_dropped_fraction=max_dropped_fraction)


def load_example(name: str = DEFAULT_MOLECULE) -> Molecule:
    """The example molecule `name` ('pentacene' or 'benzene') as a Molecule."""
    return read(example_path(name), "molden")
