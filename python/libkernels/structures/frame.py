"""The library's orientation of a molecule, and the turn that brings a structure into it.

Momentum maps are computed for a molecule as it lies in its coordinates, and the
orientation angles of a map or a fit turn it from there.  So that the same angles
mean the same thing for every molecule the package computes, a structure is put
into one frame before its orbitals are computed:

- the centre of mass at the origin;
- the principal axes of the mass distribution along x, y and z, the longest
  extent (largest second moment) along x, the smallest along z, so that a
  planar molecule lies in the xy plane with its long axis along x;
- signs fixed without looking at the input frame: each of x and y points where
  the mass distribution's third moment along it is positive, or, for a
  symmetric distribution, towards the first atom off the axis' normal plane
  (heaviest atoms first, then the farthest from the centre, then the input
  order); z = x cross y, so the turn is a proper rotation;
- two equal second moments (benzene, coronene, phthalocyanines): the second
  axis of the pair points to the first atom off the remaining axis (heaviest,
  then nearest the centre, then input order), which puts a symmetry axis of
  these molecules along y (z, the normal of a planar one, points so that the
  first two atoms turn anticlockwise about it); three equal ones (C60): z
  points to the first atom and y to the next one's projection.

`Orientation` records the turn: new = rotation @ old + shift (angstrom).
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Dict, List, Sequence, Tuple

import numpy as np

from ..core.molecule import ELEMENTS

if TYPE_CHECKING:
    from ..core.types import Float64Array

DEGENERATE = 2e-3   # second moments closer than this (relative to the largest) are equal
ON_PLANE = 1e-3     # angstrom: an atom this close to a plane lies in it

# Standard atomic weights (rounded), hydrogen to xenon: only the frame depends on them.
MASSES = (0.0, 1.008, 4.0026, 6.94, 9.0122, 10.81, 12.011, 14.007, 15.999, 18.998, 20.180,
          22.990, 24.305, 26.982, 28.085, 30.974, 32.06, 35.45, 39.95, 39.098, 40.078,
          44.956, 47.867, 50.942, 51.996, 54.938, 55.845, 58.933, 58.693, 63.546, 65.38,
          69.723, 72.630, 74.922, 78.971, 79.904, 83.798, 85.468, 87.62, 88.906, 91.224,
          92.906, 95.95, 98.0, 101.07, 102.91, 106.42, 107.87, 112.41, 114.82, 118.71,
          121.76, 127.60, 126.90, 131.29)
assert len(MASSES) == len(ELEMENTS)

CONVENTION = ("centre of mass at the origin; principal axes of the mass distribution "
              "along x (largest second moment), y, z (smallest): a planar molecule in xy "
              "with its long axis along x")


@dataclass(frozen=True)
class Orientation:
    """The turn applied to a structure's coordinates: new = rotation @ old + shift."""

    rotation: Float64Array   # (3, 3), a proper rotation
    shift: Float64Array      # (3,) angstrom, applied after the rotation

    def apply(self, positions: Any) -> Float64Array:
        """Positions (n, 3) in angstrom, turned and shifted."""
        return np.asarray(positions, dtype=np.float64) @ self.rotation.T + self.shift

    def as_record(self) -> Dict[str, Any]:
        return {"rotation": [[float(v) for v in row] for row in self.rotation],
                "shift_angstrom": [float(v) for v in self.shift], "convention": CONVENTION}

    @classmethod
    def from_record(cls, record: Dict[str, Any]) -> Orientation:
        return cls(np.array(record["rotation"], dtype=np.float64),
                   np.array(record["shift_angstrom"], dtype=np.float64))

    @classmethod
    def identity(cls) -> Orientation:
        return cls(np.eye(3), np.zeros(3))


def masses(symbols: Sequence[str]) -> Float64Array:
    return np.array([MASSES[ELEMENTS.index(s)] for s in symbols], dtype=np.float64)


def standard_orientation(symbols: Sequence[str], positions: Any) -> Orientation:
    """The turn that puts these atoms into the library's frame (see the module's text)."""
    xyz = np.asarray(positions, dtype=np.float64)
    weight = masses(symbols)
    centre = weight @ xyz / weight.sum()
    r = xyz - centre
    if len(r) == 1:
        return Orientation(np.eye(3), -centre)
    moments, vectors = np.linalg.eigh((weight[:, None] * r).T @ r)
    order = np.argsort(-moments, kind="stable")   # x: largest, z: smallest
    moments, axes = moments[order], vectors[:, order].T.copy()
    scale = max(float(moments[0]), 1e-12)
    same = [abs(moments[0] - moments[1]) < DEGENERATE * scale,
            abs(moments[1] - moments[2]) < DEGENERATE * scale]
    heavy_near = _ranking(symbols, r, nearest_first=True)
    heavy_far = _ranking(symbols, r, nearest_first=False)
    if same[0] and same[1]:
        z = _towards(r, heavy_near, np.zeros(3))
        if z is None:  # all atoms at the centre: nothing to orient
            return Orientation(np.eye(3), -centre)
        y = _towards(r, heavy_near, z)
        if y is None:  # a linear arrangement has two equal moments, not three
            y = _perpendicular(z)
        axes = np.array([np.cross(y, z), y, z])
    elif same[0] or same[1]:
        unique = 2 if same[0] else 0
        fixed = _signed(axes[unique], r, weight, heavy_far)
        if unique == 2 and np.all(np.abs(r @ fixed) <= ON_PLANE):
            fixed = _handed(fixed, r, heavy_near)  # planar: no atom on either side
        second = _towards(r, heavy_near, fixed)
        if second is None:  # a linear molecule along the unique axis
            second = _perpendicular(fixed)
        if unique == 2:     # x, y degenerate: y through an atom, z the unique axis
            z = fixed
            y = second
            axes = np.array([np.cross(y, z), y, z])
        else:               # y, z degenerate: x the unique axis, z through an atom
            x = fixed
            z = second
            axes = np.array([x, np.cross(z, x), z])
    else:
        x = _signed(axes[0], r, weight, heavy_far)
        y = _signed(axes[1], r, weight, heavy_far)
        axes = np.array([x, y, np.cross(x, y)])
    rotation = _orthonormal(axes)
    return Orientation(rotation, -rotation @ centre)


def _ranking(symbols: Sequence[str], r: Float64Array, nearest_first: bool) -> List[int]:
    """Atom indices, heaviest first, then by distance from the centre (rounded so that
    symmetry-equivalent atoms tie), then in input order."""
    distance = np.round(np.linalg.norm(r, axis=1), 3)
    numbers = [ELEMENTS.index(s) for s in symbols]
    return sorted(range(len(r)), key=lambda i: (-numbers[i], distance[i] if nearest_first
                                                else -distance[i], i))


def _signed(axis: Float64Array, r: Float64Array, weight: Float64Array,
            ranking: List[int]) -> Float64Array:
    """`axis` or its negative: the third moment along it positive, or, when it vanishes,
    the first atom of `ranking` off the axis' normal plane on its positive side."""
    along = r @ axis
    third = float(weight @ along**3)
    size = float(weight @ np.abs(along) ** 3) + 1e-30
    if abs(third) > 1e-6 * size:
        return axis if third > 0 else -axis
    for i in ranking:
        if abs(along[i]) > ON_PLANE:
            return axis if along[i] > 0 else -axis
    return axis


def _handed(normal: Float64Array, r: Float64Array, ranking: List[int]) -> Float64Array:
    """The plane's normal or its negative: the first two atoms of `ranking` that are
    not in line with the centre turn anticlockwise about it."""
    first = None
    for i in ranking:
        if np.linalg.norm(r[i]) <= ON_PLANE:
            continue
        if first is None:
            first = r[i]
            continue
        turn = float(np.cross(first, r[i]) @ normal)
        if abs(turn) > ON_PLANE * float(np.linalg.norm(first)):
            return normal if turn > 0 else -normal
    return normal


def _towards(r: Float64Array, ranking: List[int], normal: Float64Array) -> Any:
    """Unit vector to the first atom of `ranking` with a component off `normal` (its
    projection on the plane normal to it; `normal` zero: the atom itself), or None."""
    for i in ranking:
        v = r[i] - (r[i] @ normal) * normal
        length = float(np.linalg.norm(v))
        if length > ON_PLANE:
            return v / length
    return None


def _perpendicular(axis: Float64Array) -> Float64Array:
    helper = np.eye(3)[int(np.argmin(np.abs(axis)))]
    v = helper - (helper @ axis) * axis
    return v / np.linalg.norm(v)


def _orthonormal(axes: Float64Array) -> Float64Array:
    """The rows made exactly orthonormal (rounding of the constructions above)."""
    u, _, vt = np.linalg.svd(axes)
    rotation = u @ vt
    if np.linalg.det(rotation) < 0:
        rotation[2] *= -1
    return rotation


def oriented(symbols: Sequence[str], positions: Any) -> Tuple[Float64Array, Orientation]:
    """The positions in the library's frame, and the turn that put them there."""
    turn = standard_orientation(symbols, positions)
    return turn.apply(positions), turn
