"""Orbitals from a structure: `compute_orbitals`, with the structure's way there.

    import libkernels as lk
    mol = lk.compute_orbitals("PTCDA")                       # a catalogue entry
    mol = lk.compute_orbitals(smiles="c1ccc2ccccc2c1")       # a SMILES string
    mol = lk.compute_orbitals("molecule.xyz", method="pbe0") # a structure file
    mol = lk.compute_orbitals(lk.Structure.from_atoms(["H", "H"], [[0, 0, 0], [0, 0, 0.74]]))

The steps: the structure (catalogue entry and SMILES through RDKit; files as
they are), optimised with GFN2-xTB (by default for SMILES and catalogue
entries only), its symmetry made exact, turned into the library's orientation
(frame.py); then the cache is asked (store.py) and, on a miss, the SCF runs
(scf.py) and its orbitals are written into the cache as Molden plus a JSON
record.  The molecule returned is read from that Molden text, so a first call
and every later one give the same bits.
"""

from __future__ import annotations

import importlib.util
import os
import resource
from importlib import metadata
import sys
import time
from typing import TYPE_CHECKING, Any, Dict, Optional, Sequence, Tuple, Union

import numpy as np

from ..core.errors import InputError, MissingExtraError, ReadError
from ..core.extras import install_hint
from ..core.memory import memory_limit
from ..core.molecule import Molecule
from ..core.record import package_version
from .entries import close_matches, find
from .scf import (CONV_TOL, HF_NAMES, ScfProgress, build_mole, check_memory, check_method,
                  describe_estimate, estimate, mean_field, method_name, molden_text, pyscf_threads,
                  pyscf_version, run)
from .store import (entry_key, folder, geometry_key, geometry_text, load, load_geometry, save,
                    save_geometry)
from .frame import Orientation, oriented
from .optimise import optimise as xtb_optimise
from .structure import EXTRA, STRUCTURE_ENDINGS, Structure
from .symmetry import symmetrise

if TYPE_CHECKING:
    from ..core.types import MemorySize, PathLike

# What compute_orbitals takes as a structure: a catalogue name or alias, a structure
# file, a Structure, a Molecule (its atoms), or atoms in memory: [(symbol, (x, y, z)),
# ...] in angstrom, or an object with get_chemical_symbols() and get_positions() (ASE).
StructureLike = Union[str, "os.PathLike[str]", Structure, Molecule, Sequence[Any], Any]


def as_structure(structure: Optional[StructureLike] = None, *, smiles: Optional[str] = None,
                 charge: Optional[int] = None,
                 spin: Optional[int] = None) -> Tuple[Structure, str]:
    """The Structure a caller means, and where it came from: 'SMILES', 'catalogue',
    'file' or 'coordinates' (which decides whether it is optimised by default)."""
    if (structure is None) == (smiles is None):
        raise InputError("structure", "give a structure or smiles=..., one of them")
    if smiles is not None:
        made = Structure.from_smiles(smiles, charge=charge, spin=spin)
        return made, "SMILES"
    if isinstance(structure, Structure):
        return _with_charge(structure, charge, spin), "coordinates"
    if isinstance(structure, Molecule):
        made = Structure.from_atoms(structure.atomic_numbers.tolist(), structure.positions,
                                    unit="bohr", charge=charge or 0, spin=spin or 0,
                                    name=structure.name or structure.title)
        return made, "coordinates"
    if isinstance(structure, (str, os.PathLike)):
        text = os.fspath(structure)
        if os.path.isfile(text):
            return Structure.from_file(text, charge=charge or 0, spin=spin or 0), "file"
        found = find(text)
        if found is not None:
            made = Structure.from_smiles(found.smiles, name=found.name,
                                         charge=found.charge if charge is None else charge,
                                         spin=found.spin if spin is None else spin)
            return made, "catalogue"
        hint = close_matches(text)
        looks_like_file = text.lower().endswith(STRUCTURE_ENDINGS) or os.sep in text
        raise ReadError(f"{'no such file' if looks_like_file else 'unknown molecule'} "
                        f"{text!r}: not a structure file or a catalogue entry (catalogue() "
                        "lists them; a SMILES string goes in smiles=)"
                        + (f"; did you mean {' or '.join(hint)}?" if hint else ""))
    assert structure is not None
    if hasattr(structure, "get_chemical_symbols") and hasattr(structure, "get_positions"):
        made = Structure.from_atoms(list(structure.get_chemical_symbols()),
                                    structure.get_positions(), charge=charge or 0,
                                    spin=spin or 0)
        return made, "coordinates"
    try:
        symbols = [atom[0] for atom in structure]
        positions = np.array([atom[1] for atom in structure], dtype=np.float64)
    except (TypeError, IndexError, ValueError):
        raise InputError("structure", f"cannot read {type(structure).__name__} as a "
                                      "structure: give a catalogue name, a file, a SMILES "
                                      "through smiles=, a Structure, or [(symbol, (x, y, z)), "
                                      "...] in angstrom") from None
    return Structure.from_atoms(symbols, positions, charge=charge or 0,
                                spin=spin or 0), "coordinates"


def _with_charge(structure: Structure, charge: Optional[int],
                 spin: Optional[int]) -> Structure:
    if charge is None and spin is None:
        return structure
    return Structure(structure.symbols, structure.positions,
                     charge=structure.charge if charge is None else charge,
                     spin=structure.spin if spin is None else spin, name=structure.name,
                     smiles=structure.smiles, source=structure.source, notes=structure.notes)


def prepared_structure(structure: Optional[StructureLike], *, smiles: Optional[str],
                       charge: Optional[int], spin: Optional[int], optimise: Optional[bool],
                       symmetry: bool, orient: bool, progress: bool,
                       cache_dir: Optional[PathLike]) -> Tuple[Structure, Orientation,
                                                               Dict[str, Any], str]:
    """`prepare` of the structure the caller means, kept in the cache where it took an
    embedding or an optimisation; also returns the structure's origin."""
    source = _smiles_source(structure, smiles, charge, spin)
    if (optimise or (optimise is None and source is not None)) and \
            importlib.util.find_spec("tblite") is None:   # looked for, not imported
        raise MissingExtraError(f"the geometry optimisation needs tblite: "
                                f"{install_hint(EXTRA)} (or pass optimise=False to keep the "
                                "coordinates as they are)")
    given: Optional[Structure] = None
    if source is None:
        given, origin = as_structure(structure, smiles=smiles, charge=charge, spin=spin)
        if not optimise:
            prepared, turn, steps = prepare(given, origin, optimise=optimise,
                                            symmetry=symmetry, orient=orient,
                                            progress=progress)
            return prepared, turn, steps, origin
        described: Dict[str, Any] = {"geometry": geometry_text(given),
                                     "charge": given.charge, "spin": given.spin,
                                     "name": given.name}
    else:
        origin = source.pop("origin")
        described = dict(source)
        optimise = True if optimise is None else optimise
    described.update(optimise=optimise, symmetry=symmetry, orient=orient,
                     versions=_versions(), origin=origin)
    key = geometry_key(described)
    record = load_geometry(key, cache_dir)
    if record is not None:
        kept = Structure(tuple(record["symbols"]), np.array(record["positions_angstrom"]),
                         charge=record["charge"], spin=record["spin"], name=record["name"],
                         smiles=record["smiles"], source=record["source"],
                         notes=tuple(record["notes"]))
        return kept, Orientation.from_record(record["orientation"]), record["steps"], origin
    if given is None:
        given = Structure.from_smiles(described["smiles"], name=described["name"],
                                      charge=described["charge"], spin=described["spin"])
    prepared, turn, steps = prepare(given, origin, optimise=optimise, symmetry=symmetry,
                                    orient=orient, progress=progress)
    save_geometry(key, {
        "symbols": list(prepared.symbols), "positions_angstrom": prepared.positions.tolist(),
        "charge": prepared.charge, "spin": prepared.spin, "name": prepared.name,
        "smiles": prepared.smiles, "source": prepared.source, "notes": list(prepared.notes),
        "orientation": turn.as_record(), "steps": steps, "made_from": described}, cache_dir)
    return prepared, turn, steps, origin


def _smiles_source(structure: Optional[StructureLike], smiles: Optional[str],
                   charge: Optional[int], spin: Optional[int]) -> Optional[Dict[str, Any]]:
    """What a structure from SMILES is made of (SMILES, name, charge, spin), for
    SMILES strings and catalogue entries; None for every other structure."""
    if smiles is not None and structure is None:
        text = str(smiles).strip()
        return {"origin": "SMILES", "smiles": text, "name": "", "charge": charge,
                "spin": spin}
    if isinstance(structure, (str, os.PathLike)) and not os.path.isfile(os.fspath(structure)):
        found = find(os.fspath(structure))
        if found is not None:
            return {"origin": "catalogue", "smiles": found.smiles, "name": found.name,
                    "charge": found.charge if charge is None else charge,
                    "spin": found.spin if spin is None else spin}
    return None


def _versions() -> Dict[str, str]:
    """The versions of the programs a prepared structure depends on."""
    found = {}
    for name in ("rdkit", "tblite", "pyscf"):
        try:
            found[name] = metadata.version(name)
        except metadata.PackageNotFoundError:
            found[name] = ""
    return found


def prepare(structure: Structure, origin: str, *, optimise: Optional[bool],
            symmetry: bool, orient: bool,
            progress: bool) -> Tuple[Structure, Orientation, Dict[str, Any]]:
    """The structure as it will be computed (optimised, symmetrised, oriented), the turn
    from the given coordinates, and a record of the steps."""
    steps: Dict[str, Any] = {}
    if optimise is None:
        optimise = origin in ("SMILES", "catalogue")
    if optimise:
        _say(progress, f"optimising {structure.name or structure.formula} with GFN2-xTB ...")
        structure, steps["optimisation"] = xtb_optimise(structure)
    given = structure.positions.copy()
    if symmetry:
        structure, steps["symmetry"] = symmetrise(structure)
    if orient:
        positions, turn = oriented(structure.symbols, structure.positions)
        structure = structure.with_positions(positions, "turned into the library's "
                                                        "orientation")
    else:
        turn = Orientation.identity()
    steps["input_positions_angstrom"] = np.round(given, 8).tolist()
    return structure, turn, steps


def compute_orbitals(structure: Optional[StructureLike] = None, method: str = "b3lyp",
                     basis: str = "def2-svp", charge: Optional[int] = None,
                     spin: Optional[int] = None, *, smiles: Optional[str] = None,
                     optimise: Optional[bool] = None, recompute: bool = False,
                     threads: Optional[int] = None, max_memory: MemorySize = None,
                     progress: bool = True, cache_dir: Optional[PathLike] = None,
                     density_fit: bool = True, symmetry: bool = True,
                     orient: bool = True) -> Molecule:
    """Orbitals of a molecule computed with PySCF, cached; a Molecule.

    `structure` is a catalogue name or alias (`catalogue()` lists them), a
    structure file (.xyz, or anything ASE reads: .mol, .sdf, .pdb, .cif, ...),
    a `Structure`, a Molecule (its atoms) or [(symbol, (x, y, z)), ...] in
    angstrom; a SMILES string goes in `smiles=` instead (never positionally, so
    that a name is never mistaken for one).  `method` is "hf" (or "rhf", "uhf",
    "rohf") or any functional PySCF knows; `basis` any basis PySCF has.
    `charge` and `spin` (unpaired electrons) default to the catalogue entry's or
    the SMILES', else 0.

    Structures from SMILES and the catalogue are optimised with GFN2-xTB
    (`optimise=False` keeps RDKit's force-field geometry); files and coordinates
    only with `optimise=True`.  The symmetry found within 0.015 angstrom is made
    exact (`symmetry=False` computes the coordinates as they are, without
    symmetry labels), and the molecule is turned into the library's orientation
    (`orient=False` keeps the given frame): mol.computation["orientation"] holds
    the turn (new = rotation @ old + shift, angstrom).

    The result is cached in the user's cache folder (LIBKERNELS_CACHE_DIR, else
    $XDG_CACHE_HOME/libkernels, else ~/.cache/libkernels; or `cache_dir`) under
    a hash of the oriented geometry, method, basis, charge, spin and PySCF's
    version: a second call reads it back; `recompute=True` computes afresh.
    Before an SCF the memory and time are estimated, and a computation above the
    memory guard (max_memory, LIBKERNELS_MAX_MEMORY) is refused; the SCF shows
    its cycles on stderr (`progress=False` silences it) and uses `threads`
    OpenMP threads (default: PySCF's).  Ctrl-C stops it and leaves no cache entry.
    """
    method = method_name(method)
    basis_name = str(basis).strip()
    if not basis_name:
        raise InputError("basis", "is empty: give a basis such as 'def2-svp'")
    pyscf_version()   # PySCF is there before any work is done
    if (structure is None) == (smiles is None):
        raise InputError("structure", "give a structure or smiles=..., one of them")
    prepared, turn, steps, origin = prepared_structure(
        structure, smiles=smiles, charge=charge, spin=spin, optimise=optimise,
        symmetry=symmetry, orient=orient, progress=progress, cache_dir=cache_dir)
    settings = {"method": method, "basis": basis_name.lower(), "density_fit": density_fit,
                "symmetry": symmetry, "pyscf": pyscf_version(),
                "conv_tol": CONV_TOL}
    key = entry_key(prepared, settings)
    if not recompute:
        # the orbitals' orthonormality was checked when the entry was first read back
        # (below), and its SHA-256 shows the file unchanged since: no check again
        hit = load(key, cache_dir, check=False)
        if hit is not None:
            return _finish(hit[0], hit[1], prepared)
    check_method(method)   # imports PySCF: only when there is something to compute
    record = _compute(prepared, method, basis_name, settings, threads=threads,
                      max_memory=max_memory, progress=progress, density_fit=density_fit,
                      symmetry=symmetry, key=key, cache_dir=cache_dir, origin=origin,
                      turn=turn, steps=steps)
    hit = load(key, cache_dir)
    if hit is None:  # the entry was just written: not finding it is a fault of the folder
        raise ReadError(f"the cache entry {key} could not be read back from "
                        f"{folder(cache_dir)}")
    return _finish(hit[0], hit[1], prepared)


def _compute(structure: Structure, method: str, basis: str, settings: Dict[str, Any], *,
             threads: Optional[int], max_memory: MemorySize, progress: bool,
             density_fit: bool, symmetry: bool, key: str, cache_dir: Optional[PathLike],
             origin: str, turn: Orientation, steps: Dict[str, Any]) -> Dict[str, Any]:
    name = structure.name or structure.formula
    label = f"{method.upper() if method in HF_NAMES else method}/{basis}"
    mol = build_mole(structure, basis, symmetry)
    estimated = estimate(mol, density_fit, dft=method not in HF_NAMES)
    check_memory(estimated, f"{label} of {name} ({estimated['basis_functions']} basis "
                                f"functions)", max_memory, density_fit)
    mol = build_mole(structure, basis, symmetry,
                         max_memory=_pyscf_memory(estimated, max_memory))
    display = ScfProgress(f"SCF {label} of {name}", enabled=progress)
    display.message(f"computing {name} with {label}: "
                    + describe_estimate(estimated, threads, max_memory))
    wall, cpu = time.perf_counter(), time.process_time()
    with pyscf_threads(threads):
        mf = mean_field(mol, method, density_fit)
        try:
            energy, cycles = run(mf, display)
        except BaseException:
            display.close("stopped: nothing was cached")
            raise
    wall, cpu = time.perf_counter() - wall, time.process_time() - cpu
    display.close(f"converged in {cycles} cycles, {wall:.1f} s")
    title = f"{name} {label}"
    text = molden_text(mf, title)
    record = {
        "libkernels": package_version(), "name": structure.name, "formula": structure.formula,
        "smiles": structure.smiles, "source": structure.source, "origin": origin,
        "method": method, "basis": basis, "charge": structure.charge, "spin": structure.spin,
        "settings": settings, "scf": type(mf).__name__,
        "point_group": getattr(mol, "topgroup", "C1") if symmetry else "C1",
        "orbital_symmetry_group": getattr(mol, "groupname", "C1") if symmetry else "C1",
        "symmetry_axes": np.asarray(getattr(mol, "_symm_axes", np.eye(3))).tolist(),
        "energy_hartree": energy, "cycles": cycles,
        "seconds": round(wall, 2), "cpu_seconds": round(cpu, 2),
        "threads": threads, "estimate": estimated,
        "peak_memory_bytes": _peak_memory(),
        "orientation": turn.as_record(), "notes": list(structure.notes),
        "symbols": list(structure.symbols),
        "positions_angstrom": np.round(structure.positions, 8).tolist(),
        **steps,
    }
    return save(key, text, record, cache_dir)


def _pyscf_memory(estimated: Dict[str, Any], limit: MemorySize) -> int:
    """The memory PySCF may use: half as much again as the estimate (at least 1 GB),
    within the limit.  PySCF sizes its DFT grid blocks by what it may use, so a
    larger allowance only makes it take more memory, not run faster."""
    allowed = memory_limit(limit)
    wanted = max(int(estimated["memory_bytes"] * 1.5), 1024**3)
    return wanted if allowed is None else min(wanted, allowed)


def _peak_memory() -> int:
    """The process' largest resident size so far, in bytes."""
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    return int(peak if sys.platform == "darwin" else peak * 1024)


def _finish(molecule: Molecule, record: Dict[str, Any], structure: Structure) -> Molecule:
    molecule.computation = record
    molecule.name = structure.name
    molecule.title = f"{structure.name or structure.formula} ({record['method']}/" \
                     f"{record['basis']})"
    return molecule


def _say(enabled: bool, text: str) -> None:
    if enabled:
        sys.stderr.write(text + "\n")
        sys.stderr.flush()


def orientation_of(molecule: Molecule) -> Orientation:
    """The turn compute_orbitals applied to the given coordinates of `molecule`."""
    record = molecule.computation or {}
    if "orientation" not in record:
        raise InputError("molecule", "was not computed by compute_orbitals: it has no "
                                     "orientation record")
    return Orientation.from_record(record["orientation"])

