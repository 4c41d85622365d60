"""The cache of computed orbitals: one Molden file and one JSON record per entry.

An entry is named by the hash of everything that decides its orbitals: the
oriented geometry (rounded to 1e-6 angstrom), the method, the basis, charge,
spin, the options of the computation and PySCF's version.  It is written in two
steps, each atomic (core/cache.py): the Molden file first, then the record,
which holds the Molden file's SHA-256.  An entry is read only when its record
exists, parses, names its own key and matches the Molden file's bytes, so a
process killed while computing or while writing leaves nothing that is read: the
next call computes afresh and replaces what was left.
"""

from __future__ import annotations

import hashlib
import json
import os
import pathlib
from typing import TYPE_CHECKING, Any, Dict, Optional, Tuple

import numpy as np

from ..core.cache import atomic_write_bytes, cache_directory
from ..core.errors import LibkernelsError, OutputError
from ..formats.molden import parse_molden

if TYPE_CHECKING:
    from ..core.molecule import Molecule
    from ..core.types import PathLike
    from .structure import Structure

KIND = "orbitals"
FORMAT = 1   # raised when what an entry holds changes; older entries are then not read


def folder(cache_dir: Optional[PathLike] = None) -> pathlib.Path:
    """The folder of the entries: `cache_dir` when given (created), else the user's."""
    if cache_dir is None:
        return cache_directory(KIND)
    path = pathlib.Path(cache_dir).expanduser()
    try:
        path.mkdir(parents=True, exist_ok=True)
    except OSError as error:
        raise OutputError(f"cannot create the cache folder {path} "
                          f"({error.strerror or error})") from None
    return path


def geometry_text(structure: Structure) -> str:
    """The geometry as hashed: symbols and coordinates rounded to 1e-6 angstrom."""
    rounded = np.round(structure.positions, 6) + 0.0   # -0.0 and 0.0 hash alike
    return ";".join(f"{s} {x:.6f} {y:.6f} {z:.6f}" for s, (x, y, z) in
                    zip(structure.symbols, rounded))


def entry_key(structure: Structure, settings: Dict[str, Any]) -> str:
    """The entry's name: a SHA-256 of the geometry and the settings (method, basis,
    charge, spin, options, PySCF's version)."""
    text = json.dumps({"format": FORMAT, "geometry": geometry_text(structure),
                       "charge": structure.charge, "spin": structure.spin,
                       "settings": settings}, sort_keys=True)
    return hashlib.sha256(text.encode()).hexdigest()[:40]


def paths(key: str, cache_dir: Optional[PathLike] = None) -> Tuple[pathlib.Path, pathlib.Path]:
    base = folder(cache_dir)
    return base / f"{key}.molden", base / f"{key}.json"


def load(key: str, cache_dir: Optional[PathLike] = None,
         check: bool = True) -> Optional[Tuple[Molecule, Dict[str, Any]]]:
    """The entry's molecule and record, or None when there is no complete entry."""
    molden_path, record_path = paths(key, cache_dir)
    try:
        record = json.loads(record_path.read_text())
        data = molden_path.read_bytes()
    except (OSError, ValueError):
        return None
    if not isinstance(record, dict) or record.get("key") != key or \
            record.get("format") != FORMAT or \
            record.get("molden_sha256") != hashlib.sha256(data).hexdigest():
        return None
    try:
        molecule = parse_molden(data.decode(), name=str(molden_path), check=check)
    except (LibkernelsError, UnicodeDecodeError):
        return None
    return molecule, record


def save(key: str, molden_text: str, record: Dict[str, Any],
         cache_dir: Optional[PathLike] = None) -> Dict[str, Any]:
    """Writes the entry (Molden file, then record); returns the record as written."""
    molden_path, record_path = paths(key, cache_dir)
    data = molden_text.encode()
    record = {**record, "key": key, "format": FORMAT,
              "molden_sha256": hashlib.sha256(data).hexdigest(),
              "molden_file": molden_path.name}
    atomic_write_bytes(molden_path, data)
    atomic_write_bytes(record_path, (json.dumps(record, indent=1, sort_keys=True) + "\n")
                       .encode())
    return record


def remove(key: str, cache_dir: Optional[PathLike] = None) -> None:
    """Deletes an entry (record first, so that no half of it is read meanwhile)."""
    for path in reversed(paths(key, cache_dir)):
        try:
            os.unlink(path)
        except FileNotFoundError:
            pass


# ---- prepared structures -----------------------------------------------------------------
# RDKit's embedding and the GFN2-xTB optimisation take from a second (benzene) to a
# minute (rubrene): the structure they give is kept too, under a hash of what made it
# (the SMILES or the input geometry, charge, spin, the steps and the programs'
# versions), so that a cache hit of the orbitals is not preceded by the optimisation.

def geometry_key(source: Dict[str, Any]) -> str:
    text = json.dumps({"format": FORMAT, **source}, sort_keys=True)
    return "geometry-" + hashlib.sha256(text.encode()).hexdigest()[:40]


def load_geometry(key: str, cache_dir: Optional[PathLike] = None) -> Optional[Dict[str, Any]]:
    """The record of a prepared structure, or None."""
    path = folder(cache_dir) / f"{key}.json"
    try:
        record = json.loads(path.read_text())
    except (OSError, ValueError):
        return None
    if not isinstance(record, dict) or record.get("key") != key or \
            record.get("format") != FORMAT or "positions_angstrom" not in record:
        return None
    return record


def save_geometry(key: str, record: Dict[str, Any],
                  cache_dir: Optional[PathLike] = None) -> None:
    path = folder(cache_dir) / f"{key}.json"
    atomic_write_bytes(path, (json.dumps({**record, "key": key, "format": FORMAT}, indent=1,
                                         sort_keys=True) + "\n").encode())
