"""The molecules the explorer serves: read once at start, described once for the page."""

from __future__ import annotations

import os
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, Callable, Dict, Iterable, List, Sequence, Tuple

import numpy as np

from ..core.units import BOHR_IN_ANGSTROM, HARTREE_IN_EV

if TYPE_CHECKING:
    from ..core.molecule import Molecule
    from ..core.types import Float64Array, MemorySize

# Covalent radii in Å for drawing bonds (elements of organic molecules and a few more).
COVALENT_RADIUS = {"H": 0.31, "B": 0.84, "C": 0.76, "N": 0.71, "O": 0.66, "F": 0.57,
                   "Si": 1.11, "P": 1.07, "S": 1.05, "Cl": 1.02, "Br": 1.20, "I": 1.39}
ELEMENT_COLOUR = {"H": "#f2f2f2", "C": "#555555", "N": "#3050f8", "O": "#ff0d0d",
                  "F": "#90e050", "S": "#e0c030", "Cl": "#1ff01f", "P": "#ff8000",
                  "B": "#ffb5b5", "Si": "#f0c8a0", "Br": "#a62929", "I": "#940094"}


@dataclass
class Entry:
    name: str  # the key the page uses
    argument: str  # as given on the command line (for the equivalent command)
    molecule: Molecule
    normal_axis: int = 2
    centre: Tuple[float, ...] = (0.0, 0.0, 0.0)  # Å
    max_memory: MemorySize = None  # the memory guard's limit for its maps (None: the default)
    description: Dict[str, Any] = field(default_factory=dict)


def load_entries(arguments: Iterable[str],
                 load: Callable[[str], Molecule]) -> Dict[str, Entry]:
    """Entries keyed by a short unique name; `load(argument)` reads one molecule."""
    entries: Dict[str, Entry] = {}
    for argument in arguments:
        molecule = load(argument)
        stem = os.path.splitext(os.path.basename(argument))[0] or "molecule"
        name, count = stem, 2
        while name in entries:
            name, count = f"{stem}-{count}", count + 1
        entries[name] = make_entry(name, argument, molecule)
    return entries


def shown_name(molecule: Molecule) -> str:
    """What a molecule given as an object is called on the page and in its figures: the
    name its file gives it, else its file's name without the suffix, else 'molecule'."""
    source = molecule.origin.path if molecule.origin is not None else molecule.title
    stem = os.path.splitext(os.path.basename(source or ""))[0]
    return molecule.name or stem or "molecule"


def make_entry(name: str, argument: str, molecule: Molecule) -> Entry:
    """The molecule's entry: its plane's normal, its centre and the page's description."""
    positions = molecule.positions.astype(np.float64) * BOHR_IN_ANGSTROM
    centre = positions.mean(axis=0)
    # The normal of the best-fitting plane is the direction of least spread.
    if len(positions) >= 3:
        _, _, vt = np.linalg.svd(positions - centre)
        normal_axis = int(np.argmax(np.abs(vt[2])))
    else:
        normal_axis = 2
    entry = Entry(name, argument, molecule, normal_axis, tuple(float(c) for c in centre))
    entry.description = describe(entry, positions)
    return entry


def bonds(symbols: Sequence[str], positions: Float64Array) -> List[List[int]]:
    """Pairs of atoms closer than 1.15 times the sum of their covalent radii."""
    pairs: List[List[int]] = []
    radius = np.array([COVALENT_RADIUS.get(s, 1.5) for s in symbols])
    for i in range(len(symbols)):
        distance = np.linalg.norm(positions[i + 1:] - positions[i], axis=1)
        limit = 1.15 * (radius[i + 1:] + radius[i])
        pairs += [[i, i + 1 + int(j)] for j in np.flatnonzero(distance < limit)]
    return pairs


def describe(entry: Entry, positions: Float64Array) -> Dict[str, Any]:
    """Everything the page shows about a molecule, as JSON-ready values."""
    molecule = entry.molecule
    symbols = molecule.symbols
    symmetry = getattr(molecule, "mo_symmetry", None)
    orbitals = []
    for row in range(molecule.n_orbitals):
        label = symmetry[row] if symmetry and symmetry[row] else ""
        energy = float(molecule.mo_energy[row]) * HARTREE_IN_EV
        orbitals.append({"index": row, "name": molecule.orbital_label(row),
                         "energy": energy if np.isfinite(energy) else None,
                         "occupation": float(molecule.mo_occ[row]),
                         "spin": "beta" if molecule.mo_spin[row] else "alpha",
                         "symmetry": str(label)})
    homo = molecule.orbital_index("HOMO") if np.any(molecule.mo_occ > 0.5) else 0
    stem = os.path.splitext(os.path.basename(entry.argument))[0]
    return {"name": entry.name, "title": os.path.basename(entry.argument),
            "display": molecule.name or stem,
            "atoms": [{"symbol": s, "xyz": [float(v) for v in p - np.array(entry.centre)],
                       "colour": ELEMENT_COLOUR.get(s, "#c080ff")}
                      for s, p in zip(symbols, positions)],
            "bonds": bonds(symbols, positions), "orbitals": orbitals, "homo": int(homo),
            "two_spins": not molecule.spin_restricted, "normal": "xyz"[entry.normal_axis]}
