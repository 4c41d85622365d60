"""Point-group symmetry: made exact in the coordinates, so that PySCF finds it.

PySCF detects a molecule's point group to about 1e-5 bohr, and an optimised
geometry is symmetric only to the optimiser's tolerance (1e-3 angstrom and
so): detected as it is, benzene would be C1 and its orbitals unlabelled.  So
the group is first detected with a tolerance of SYMMETRY_TOLERANCE, then the
coordinates are averaged over the operations of its largest Abelian subgroup
(the one PySCF labels orbitals in: D2h and its subgroups), which makes that
symmetry exact; atoms move by at most about the tolerance, and the largest move
is recorded.  A structure whose atoms do not pair up under an operation within
the tolerance is left as it is.
"""

from __future__ import annotations

import contextlib
from typing import TYPE_CHECKING, Any, Dict, Iterator, Tuple

import numpy as np

from ..core.extras import require
from ..core.units import BOHR_IN_ANGSTROM
from .structure import EXTRA

if TYPE_CHECKING:
    from ..core.types import Float64Array
    from .structure import Structure

SYMMETRY_TOLERANCE = 0.01   # bohr, for each atom (PySCF's own is 1e-5 bohr)


@contextlib.contextmanager
def _tolerance(geom: Any, per_atom: float, n_atoms: int) -> Iterator[None]:
    """PySCF's detection with a looser tolerance (it divides TOLERANCE by
    sqrt(1 + n_atoms); the value set here undoes that)."""
    before = geom.TOLERANCE
    geom.TOLERANCE = per_atom * np.sqrt(1.0 + n_atoms)
    try:
        yield
    finally:
        geom.TOLERANCE = before


def symmetrise(structure: Structure,
               tolerance: float = SYMMETRY_TOLERANCE) -> Tuple[Structure, Dict[str, Any]]:
    """The structure with the symmetry it has within `tolerance` (bohr per atom) made
    exact, and a record: the point group found, the Abelian subgroup made exact, the
    largest move of an atom in angstrom."""
    geom = require("pyscf.symm.geom", EXTRA, "symmetry detection", "PySCF")
    bohr = structure.positions / BOHR_IN_ANGSTROM
    atoms = [[s, tuple(p)] for s, p in zip(structure.symbols, bohr)]
    try:
        with _tolerance(geom, tolerance, structure.n_atoms):
            group, origin, axes = geom.detect_symm(atoms)
            subgroup, axes = geom.as_subgroup(group, axes)
    except Exception:  # detection can fail on odd geometries: then nothing is made exact
        return structure, {"point_group": "C1", "exact": "C1", "largest_move_angstrom": 0.0}
    record: Dict[str, Any] = {"point_group": str(group), "exact": str(subgroup),
                              "largest_move_angstrom": 0.0}
    if subgroup in ("C1", "SO3") or subgroup not in geom.OPERATOR_TABLE:
        return structure, record
    # PySCF writes the inversion as the number -1: every operation as a 3 x 3 matrix
    operations = [np.asarray(geom.symm_ops(subgroup)[name], dtype=np.float64) * np.eye(3)
                  if np.ndim(geom.symm_ops(subgroup)[name]) == 0 else
                  np.asarray(geom.symm_ops(subgroup)[name], dtype=np.float64)
                  for name in geom.OPERATOR_TABLE[subgroup]]
    frame = (bohr - origin) @ np.asarray(axes).T
    averaged = _average(structure.symbols, frame, operations, 5 * tolerance)
    if averaged is None:
        record["exact"] = "C1"
        return structure, record
    moved = (averaged @ np.asarray(axes) + origin) * BOHR_IN_ANGSTROM
    largest = float(np.linalg.norm(moved - structure.positions, axis=1).max())
    record["largest_move_angstrom"] = largest
    note = f"symmetrised to {subgroup} (point group {group}; atoms moved by at most " \
           f"{largest:.1e} angstrom)"
    return structure.with_positions(moved, note), record


def _average(symbols: Tuple[str, ...], frame: Float64Array, operations: Any,
             reach: float) -> Any:
    """Positions averaged over the operations (diagonal +-1 matrices in the symmetry
    frame), or None when an atom has no partner of its element within `reach`."""
    total = np.zeros_like(frame)
    elements = np.array(symbols)
    for operation in operations:
        image = frame @ np.asarray(operation)
        distance = np.linalg.norm(image[:, None, :] - frame[None, :, :], axis=2)
        distance[elements[:, None] != elements[None, :]] = np.inf
        partner = np.argmin(distance, axis=1)
        if np.any(distance[np.arange(len(frame)), partner] > reach) or \
                len(set(partner.tolist())) != len(frame):
            return None
        # the operation takes atom i to partner[i]: partner's position, taken back
        total += frame[partner] @ np.asarray(operation)
    return total / len(operations)
