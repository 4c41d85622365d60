"""The orientation convention of the library, in one place.

The angles (alpha, beta, gamma), in degrees, give the matrix
M = Rz(alpha) Rx(beta) Rz(gamma), each factor a counter-clockwise rotation
about its axis.  A momentum map at that orientation is |psi~(M k)|^2: the
laboratory momentum k is turned into the molecule's frame.  Hence the molecule
stands in the laboratory turned by M^T: its atom at r is at M^T r.

In the picture (kx to the right, ky up, seen from above) orientation
(alpha, 0, 0) turns the molecule and its map's lobes clockwise by alpha, and the
map equals rotation(map at (0, 0, 0), -alpha).

`CONVENTION` says this in one sentence; docstrings (`document`), the command
line's help and the records kept beside every output quote it from here.
Which orientations give the same maps, and the ranges a fit reports its angles
in, are fit/symmetry.py's.
"""

from __future__ import annotations

import textwrap
from typing import TYPE_CHECKING, Any, Callable, TypeVar

import numpy as np

if TYPE_CHECKING:
    from numpy.typing import ArrayLike

    from .types import Float64Array, OrientationLike


ANGLES = ("alpha", "beta", "gamma")  # the names of the three angles, in order

CONVENTION = ("the map is |psi~(M k)|^2 with M = Rz(alpha) Rx(beta) Rz(gamma), "
              "counter-clockwise rotations: the molecule stands turned by the transpose of M, "
              "so seen from above (kx right, ky up) orientation (alpha, 0, 0) turns the molecule "
              "and its lobes clockwise by alpha, the same as rotation(map, -alpha), and beta "
              "tilts it about kx")

F = TypeVar("F", bound=Callable[..., Any])


def document(function: F) -> F:
    """Fills the `{orientation}` line of `function`'s docstring with the convention."""
    text = textwrap.fill("orientation: (alpha, beta, gamma) in degrees; " + CONVENTION + ".",
                         width=84, initial_indent="    ", subsequent_indent="        ")
    function.__doc__ = (function.__doc__ or "").replace("    {orientation}", text)
    return function


def _rz(degrees: float) -> Float64Array:
    c, s = np.cos(np.radians(degrees)), np.sin(np.radians(degrees))
    return np.array([[c, -s, 0.0], [s, c, 0.0], [0.0, 0.0, 1.0]])


def _rx(degrees: float) -> Float64Array:
    c, s = np.cos(np.radians(degrees)), np.sin(np.radians(degrees))
    return np.array([[1.0, 0.0, 0.0], [0.0, c, -s], [0.0, s, c]])


def orientation_matrix(angles: OrientationLike) -> Float64Array:
    """M = Rz(alpha) Rx(beta) Rz(gamma) (float64): the map at these angles is |psi~(M k)|^2."""
    alpha, beta, gamma = (float(a) for a in angles)
    return _rz(alpha) @ _rx(beta) @ _rz(gamma)


def laboratory_positions(positions: ArrayLike, angles: OrientationLike) -> Float64Array:
    """Where atoms at `positions` (n, 3) stand in the laboratory: M^T r for each r."""
    return np.asarray(positions, dtype=np.float64) @ orientation_matrix(angles)
