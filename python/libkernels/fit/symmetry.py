"""Orientations that give the same maps, and the one of them a fit reports.

An orientation is the matrix M = Rz(alpha) Rx(beta) Rz(gamma) and its map is
|psi~(M k)|^2 (core/orientation.py).  Two kinds of operation leave the map as
it is:

- on the left, the molecule's own symmetry: a turn g of the molecule's frame
  with |psi~(g q)|^2 = |psi~(q)|^2 for every q, so that g M gives the same map.
  A mirror or the inversion of the molecule counts too, as the turn -g: the
  squared modulus of a real orbital's transform is even, |psi~(-q)|^2 =
  |psi~(q)|^2.  Which turns hold is found numerically from the maps (turns
  about z by 60, 90, 120 and 180 degrees and half turns about x and y, and
  what they generate);
- on the right, the surface's domains: with n domains the map is the same
  for M Rz(360/n), and with their mirror images (flipped over kx) for
  M Ry(180) as well.

Of the equivalent orientations (those that keep the angles not fitted at
their values), a fit reports the smallest in the order (|beta|, alpha, gamma),
with beta in [0, 180] degrees and alpha, gamma in [0, 360): a tilt of 10
degrees is 10, not 190 or -10; alpha falls in [0, 360/m) for a molecule with
an m-fold axis along z, gamma in [0, 360/n) with n domains, and beta in
[0, 90] for a molecule with a half-turn axis in its plane.  At beta = 0
(and 180) alpha and gamma turn about the same axis and only alpha + gamma
(alpha - gamma) counts: alpha is then 0, or its fixed value.  With alpha (or
gamma) fixed, beta may come out negative: (alpha, beta, gamma) is the same
orientation as (alpha + 180, -beta, gamma + 180), and a tilt the other way is
what keeps the fixed angle at its value.
"""

from __future__ import annotations

import itertools
from dataclasses import dataclass
from typing import TYPE_CHECKING, Callable, List, Optional, Sequence, Tuple

import numpy as np

from ..core.orientation import ANGLES, orientation_matrix

if TYPE_CHECKING:
    from numpy.typing import ArrayLike

    from ..core.types import Float64Array

# A generic orientation at which candidate symmetries are tried.
PROBE = (23.7, 41.3, 67.9)
# A candidate holds when its maps agree with the probe's to this share of the maximum.
SAME_MAPS = 1e-3
DEGENERATE_SINE = 1e-7  # |sin beta| below this: alpha and gamma about one axis
ANGLE_DIGITS = 6  # equal angles to this many decimals of a degree


def _rz(degrees: float) -> Float64Array:
    return orientation_matrix((degrees, 0.0, 0.0))


def _rx(degrees: float) -> Float64Array:
    return orientation_matrix((0.0, degrees, 0.0))


RY_HALF = np.diag([-1.0, 1.0, -1.0])  # a half turn about y
LEFT_CANDIDATES = [_rz(60.0), _rz(90.0), _rz(120.0), _rz(180.0), _rx(180.0), RY_HALF]


def euler_angles(matrices: Float64Array, alpha_when_degenerate: float = 0.0) -> Float64Array:
    """(..., 3) angles in degrees of matrices (..., 3, 3): beta in [0, 180], alpha and
    gamma in [0, 360); where beta is 0 or 180, alpha is `alpha_when_degenerate`."""
    m = np.asarray(matrices, dtype=np.float64)
    beta = np.degrees(np.arccos(np.clip(m[..., 2, 2], -1.0, 1.0)))
    alpha = np.degrees(np.arctan2(m[..., 0, 2], -m[..., 1, 2]))
    gamma = np.degrees(np.arctan2(m[..., 2, 0], m[..., 2, 1]))
    total = np.degrees(np.arctan2(m[..., 1, 0], m[..., 0, 0]))  # alpha +- gamma
    degenerate = np.hypot(m[..., 2, 0], m[..., 2, 1]) < DEGENERATE_SINE
    upright = m[..., 2, 2] > 0
    alpha = np.where(degenerate, alpha_when_degenerate, alpha)
    gamma = np.where(degenerate, np.where(upright, total - alpha, alpha - total), gamma)
    angles = np.stack([alpha, beta, gamma], axis=-1)
    angles = np.round(angles, ANGLE_DIGITS + 3)
    angles[..., 0] %= 360.0
    angles[..., 2] %= 360.0
    return angles


def _closure(generators: Sequence[Float64Array]) -> List[Float64Array]:
    """The group the matrices generate (with the identity)."""
    group = [np.eye(3)]
    frontier = list(group)
    while frontier:
        found: List[Float64Array] = []
        for a, b in itertools.product(frontier, generators):
            product = a @ b
            if not any(np.allclose(product, g, atol=1e-9) for g in group + found):
                found.append(product)
        group += found
        frontier = found
    return group


@dataclass
class Symmetry:
    """The operations that leave the maps as they are (see the module notes)."""

    left: List[Float64Array]
    right: List[Float64Array]

    @classmethod
    def found(cls, maps_at: Callable[[Float64Array], Float64Array], fold: int, mirrors: bool,
              populations: bool) -> Symmetry:
        """The molecule's turns that hold (tried with `maps_at(orientation)`, the
        model's columns) and those of the domains (none when their populations
        are fitted: a turn then exchanges populations)."""
        reference = maps_at(np.array(PROBE))
        scale = float(np.max(np.abs(reference))) or 1.0
        left = [g for g in LEFT_CANDIDATES
                if np.max(np.abs(maps_at(euler_angles(g @ orientation_matrix(PROBE)))
                                 - reference)) <= SAME_MAPS * scale]
        right: List[Float64Array] = []
        if fold > 1 and not populations:
            right.append(_rz(360.0 / fold))
            if mirrors:
                right.append(RY_HALF)
        return cls(_closure(left), _closure(right))

    @property
    def order(self) -> int:
        return len(self.left) * len(self.right)

    def equivalents(self, orientation: ArrayLike,
                    fitted: Sequence[int]) -> Float64Array:
        """(m, 3): the distinct orientations giving the same maps that keep the
        angles not fitted at their values, the canonical one first."""
        start = np.asarray(orientation, dtype=np.float64)
        matrix = orientation_matrix(start)
        fixed = [i for i in range(3) if i not in fitted]
        keep_alpha = start[0] if 0 in fixed else 0.0
        found = np.array([euler_angles(left @ matrix @ right, keep_alpha)
                          for left in self.left for right in self.right])
        if 2 in fixed and 0 in fitted:  # degenerate ones keep gamma instead
            degenerate = np.abs(np.sin(np.radians(found[:, 1]))) < DEGENERATE_SINE
            upright = np.cos(np.radians(found[:, 1])) > 0
            total = np.where(upright, found[:, 0] + found[:, 2], found[:, 0] - found[:, 2])
            found[:, 0] = np.where(degenerate, (total - np.where(upright, 1, -1) * start[2])
                                   % 360.0, found[:, 0])
            found[:, 2] = np.where(degenerate, start[2], found[:, 2])
        # The same matrix as (alpha + 180, -beta, gamma + 180): with alpha or gamma
        # fixed, a tilt the other way may be what keeps it at its value.
        twins = found + np.array([180.0, 0.0, 180.0])
        twins[:, 1] *= -1.0
        twins[:, [0, 2]] %= 360.0
        found = np.concatenate([found, twins]) if fixed else found
        keep = np.ones(len(found), dtype=bool)
        for i in fixed:
            keep &= _same_angle(found[:, i], start[i])
        found = found[keep]
        if found.size == 0:  # fixed angles outside the canonical ranges: as it is
            return start[None, :].copy()
        return _distinct_sorted(found)

    def canonical(self, orientation: ArrayLike, fitted: Sequence[int]) -> Float64Array:
        """The reported one of the orientations equivalent to `orientation`."""
        return self.equivalents(orientation, fitted)[0]

    def reduced_grid(self, grid: Float64Array) -> Float64Array:
        """The points of an orientation grid (rows alpha, beta, gamma) that are
        their own canonical form: one per set of equivalent orientations."""
        matrices = np.array([orientation_matrix(p) for p in grid])
        best = euler_angles(matrices)
        for left, right in itertools.product(self.left, self.right):
            other = euler_angles(left @ matrices @ right)
            smaller = _key_less(other, best)
            best[smaller] = other[smaller]
        own = euler_angles(matrices)
        same = np.all(_same_angle(own, best), axis=1)
        return grid[same]


def _same_angle(a: Float64Array, b: object) -> Float64Array:
    difference = (np.asarray(a) - np.asarray(b) + 180.0) % 360.0 - 180.0
    return np.abs(difference) < 10.0 ** -ANGLE_DIGITS


def _key_less(a: Float64Array, b: Float64Array) -> Float64Array:
    """Whether orientation a comes before b in the order (beta, alpha, gamma)."""
    less = np.zeros(a.shape[0], dtype=bool)
    decided = np.zeros(a.shape[0], dtype=bool)
    for i in (1, 0, 2):
        x, y = np.round(a[:, i], ANGLE_DIGITS), np.round(b[:, i], ANGLE_DIGITS)
        x = np.where(np.isclose(x, 360.0), 0.0, x)
        y = np.where(np.isclose(y, 360.0), 0.0, y)
        less |= ~decided & (x < y)
        decided |= x != y
    return less


def _distinct_sorted(found: Float64Array) -> Float64Array:
    rounded = np.round(found, ANGLE_DIGITS) % 360.0
    rounded[:, 1] = np.round(found[:, 1], ANGLE_DIGITS)
    order = np.lexsort((-np.sign(rounded[:, 1]), rounded[:, 2], rounded[:, 0],
                        np.abs(rounded[:, 1])))
    distinct: List[Float64Array] = []
    for k in order:
        if not any(np.all(_same_angle(rounded[k], d)) for d in distinct):
            distinct.append(rounded[k])
    return np.array(distinct)


def describe(orientations: Float64Array, fitted: Sequence[int],
             limit: int = 4) -> str:
    """The fitted angles of a few orientations, for a message."""
    shown = ["(" + ", ".join(f"{ANGLES[i]} {o[i]:.2f}°" for i in fitted) + ")"
             for o in orientations[:limit]]
    more = len(orientations) - limit
    return ", ".join(shown) + (f" and {more} more" if more > 0 else "")


def fold_optional(symmetry: Optional[Symmetry], orientation: Float64Array,
                  fitted: Sequence[int]) -> Float64Array:
    """The canonical orientation, or `orientation` when no symmetry is known."""
    return orientation if symmetry is None else symmetry.canonical(orientation, fitted)
