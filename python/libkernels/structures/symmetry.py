"""Point-group symmetry: made exact in the coordinates, so that PySCF finds it.

PySCF detects a molecule's point group to about 1e-5 bohr, and an optimised
geometry is symmetric only to the optimiser's tolerance (1e-3 angstrom and so):
detected as it is, benzene would be C1 and its orbitals unlabelled.  So, in the
library's frame (frame.py: the principal axes of the mass distribution, along
which every rotation axis and mirror plane of D2h's subgroups lies), each of
the seven operations of D2h (half turns about x, y, z, the inversion, the three
mirror planes) is tried: those that map the atoms onto atoms of the same element
within SYMMETRY_TOLERANCE form the group, and the coordinates are averaged over
it, which makes that symmetry exact.  Atoms move by at most about the tolerance;
the largest move and the group are recorded.  D2h and its subgroups are the
groups PySCF labels orbitals in.
"""

from __future__ import annotations

import itertools
from typing import TYPE_CHECKING, Any, Dict, List, Tuple

import numpy as np

from .frame import standard_orientation

if TYPE_CHECKING:
    from ..core.types import Float64Array
    from .structure import Structure

SYMMETRY_TOLERANCE = 0.015   # angstrom, for each atom (PySCF's own: 5e-6 angstrom)

# the operations as the signs they give x, y and z
OPERATIONS = {"C2z": (-1, -1, 1), "C2y": (-1, 1, -1), "C2x": (1, -1, -1), "i": (-1, -1, -1),
              "sz": (1, 1, -1), "sy": (1, -1, 1), "sx": (-1, 1, 1)}


def group_name(operations: List[str]) -> str:
    """The Schoenflies name of a subgroup of D2h given by its operations (besides E)."""
    rotations = sum(1 for o in operations if o.startswith("C2"))
    mirrors = sum(1 for o in operations if o.startswith("s"))
    inversion = "i" in operations
    table = {(0, 0, False): "C1", (0, 0, True): "Ci", (0, 1, False): "Cs",
             (1, 0, False): "C2", (1, 1, True): "C2h", (1, 2, False): "C2v",
             (3, 0, False): "D2", (3, 3, True): "D2h"}
    return table.get((rotations, mirrors, inversion), "C1")


def symmetrise(structure: Structure,
               tolerance: float = SYMMETRY_TOLERANCE) -> Tuple[Structure, Dict[str, Any]]:
    """The structure with the symmetry it has within `tolerance` (angstrom per atom)
    made exact, and a record: the group made exact and the largest move of an atom."""
    turn = standard_orientation(structure.symbols, structure.positions)
    frame = turn.apply(structure.positions)
    elements = np.array(structure.symbols)
    partners = {}
    for name, signs in OPERATIONS.items():
        partner = _partners(frame, frame * np.array(signs), elements, tolerance)
        if partner is not None:
            partners[name] = partner
    kept = _closed(list(partners))
    record: Dict[str, Any] = {"exact": group_name(kept), "operations": kept,
                              "largest_move_angstrom": 0.0}
    if not kept:
        return structure, record
    total = frame.copy()
    for name in kept:
        # the operation takes atom a to partner[a]: that atom's position, taken back
        total += frame[partners[name]] * np.array(OPERATIONS[name])
    averaged = total / (len(kept) + 1)
    moved = (averaged - turn.shift) @ turn.rotation   # back into the given frame
    largest = float(np.linalg.norm(moved - structure.positions, axis=1).max())
    record["largest_move_angstrom"] = largest
    note = f"symmetrised to {record['exact']} (atoms moved by at most {largest:.1e} angstrom)"
    return structure.with_positions(moved, note), record


def _partners(frame: Float64Array, image: Float64Array, elements: Any,
              tolerance: float) -> Any:
    """For every atom, the atom of its element at its image, or None when one has none
    within `tolerance` (or two images meet one atom)."""
    distance = np.linalg.norm(image[:, None, :] - frame[None, :, :], axis=2)
    distance[elements[:, None] != elements[None, :]] = np.inf
    partner = np.argmin(distance, axis=1)
    if np.any(distance[np.arange(len(frame)), partner] > tolerance) or \
            len(set(partner.tolist())) != len(frame):
        return None
    return partner


def _closed(found: List[str]) -> List[str]:
    """The largest subset of `found` closed under products (the product of two of these
    operations is the one whose signs are the products of theirs)."""
    by_signs: Dict[Tuple[int, ...], str] = {signs: name for name, signs in OPERATIONS.items()}
    for size in range(len(found), 0, -1):
        for subset in itertools.combinations(found, size):
            closed = all(
                tuple(a * b for a, b in zip(OPERATIONS[p], OPERATIONS[q])) == (1, 1, 1) or
                by_signs[tuple(a * b for a, b in zip(OPERATIONS[p], OPERATIONS[q]))] in subset
                for p in subset for q in subset)
            if closed:
                return list(subset)
    return []
