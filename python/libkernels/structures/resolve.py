"""What a command line means by a molecule: `resolve_molecule`.

A front end is given one word for the molecule.  It is, in this order:

1. an existing wavefunction file (Molden, fchk, wfx, ...: formats/api.py reads it);
2. an existing structure file (.xyz, .mol, .sdf, .pdb, .cif, ...): its orbitals are
   computed (compute.py);
3. a shipped example (pentacene, benzene: the Molden files formats/examples.py names);
4. a catalogue entry, by name or alias: its orbitals are computed.

A SMILES string is never guessed from the word: it comes through `smiles=`.
Anything else is refused in one line that names a close match.
"""

from __future__ import annotations

import os
from typing import TYPE_CHECKING, Optional

from ..core.errors import InputError, ReadError
from ..formats.api import FORMATS, format_of, format_of_content, load_example, read
from ..formats.examples import EXAMPLES
from .entries import close_matches, find
from .compute import compute_orbitals
from .structure import STRUCTURE_ENDINGS

if TYPE_CHECKING:
    from ..core.molecule import Molecule
    from ..core.types import MemorySize, PathLike

LISTING = "libkernels molecules lists them"


def resolve_molecule(source: Optional[str] = None, *, smiles: Optional[str] = None,
                     method: str = "b3lyp", basis: str = "def2-svp",
                     charge: Optional[int] = None, spin: Optional[int] = None,
                     optimise: Optional[bool] = None, recompute: bool = False,
                     threads: Optional[int] = None, max_memory: MemorySize = None,
                     progress: bool = True, cache_dir: Optional[PathLike] = None,
                     input_format: Optional[str] = None) -> Molecule:
    """The molecule `source` names (see the module's text), or the one `smiles=` builds.

    `method`, `basis`, `charge`, `spin`, `optimise`, `recompute`, `threads`,
    `max_memory`, `progress` and `cache_dir` apply where orbitals are computed
    (compute_orbitals); `input_format` names a wavefunction file's format.
    """
    compute = dict(method=method, basis=basis, charge=charge, spin=spin, optimise=optimise,
                   recompute=recompute, threads=threads, max_memory=max_memory,
                   progress=progress, cache_dir=cache_dir)
    if (source is None) == (smiles is None):
        raise InputError("source", "give a molecule or smiles=..., one of them")
    if smiles is not None:
        return compute_orbitals(smiles=smiles, **compute)  # type: ignore[arg-type]
    assert source is not None
    text = os.fspath(source)
    if os.path.isfile(text):
        if input_format is not None or _wavefunction_file(text):
            return read(text, input_format)
        if text.lower().endswith(STRUCTURE_ENDINGS):
            return compute_orbitals(text, **compute)  # type: ignore[arg-type]
        endings = ", ".join(e for _, found in FORMATS.values() for e in found)
        raise ReadError(f"{text}: neither a wavefunction file ({endings}) nor a structure "
                        f"file ({', '.join(STRUCTURE_ENDINGS)})")
    if text in EXAMPLES:
        return load_example(text)
    if find(text) is not None:
        return compute_orbitals(text, **compute)  # type: ignore[arg-type]
    if os.path.isdir(text):
        raise ReadError(f"{text}: a folder, not a molecule's file")
    raise unknown_molecule(text)


def unknown_molecule(text: str) -> ReadError:
    """The one-line refusal of a word that names no file, example or catalogue entry."""
    hint = close_matches(text, EXAMPLES)
    return ReadError(f"unknown molecule {text!r}: not a file, an example or a catalogue "
                     f"entry ({LISTING})" + (f"; did you mean {' or '.join(hint)}?"
                                             if hint else ""))


def _wavefunction_file(path: str) -> bool:
    try:
        format_of(path)
        return True
    except ReadError:
        return format_of_content(path) is not None
