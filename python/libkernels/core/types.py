"""The types that recur in the package's signatures, named once.

Inputs are typed as broadly as the functions accept them (any array-like
for numbers, a path or a string for files); results as exactly as they are
made (float32 maps and grids, float64 fit results).  The string choices
(units, spin, light) list the spellings the docstrings give; the functions
also take them in any case and with spaces, which these types leave out.

    from libkernels.core.types import OrbitalSelection, OrientationLike
"""

from __future__ import annotations

import os
from typing import Any, Literal, Optional, Sequence, Tuple, Union

import numpy as np
from numpy.typing import NDArray

__all__ = ["Float32Array", "Float64Array", "Int32Array", "BoolArray", "PathLike",
           "Orientation", "OrientationLike", "OrbitalSelector", "OrbitalSelection",
           "MemorySize", "EnergyUnit", "MomentumUnit", "LengthUnit", "Spin", "Symmetry",
           "Polarisation", "Space", "Background"]

# ---- arrays ------------------------------------------------------------------------------

Float32Array = NDArray[np.float32]  # what the kernels compute: maps, grids
Float64Array = NDArray[np.float64]  # axes in the caller's unit, fits, overlaps
Int32Array = NDArray[np.int32]      # the basis' counts and angular momenta
BoolArray = NDArray[np.bool_]       # masks

# ---- files ---------------------------------------------------------------------------------

PathLike = Union[str, os.PathLike[str]]

# ---- orientations and orbitals -----------------------------------------------------------

# (alpha, beta, gamma) in degrees, checked: three finite floats.
Orientation = Tuple[float, float, float]
# Three angles as a caller gives them: a tuple, a list or a numpy array.
OrientationLike = Union[Sequence[float], NDArray[Any]]

# One orbital: a row index (int, or a string holding one) or a name relative
# to the frontier orbitals ('HOMO', 'HOMO-1', 'LUMO+2', ...).
OrbitalSelector = Union[int, np.integer, str]
# One selector, several, or 'occupied' (a str, hence a selector).
OrbitalSelection = Union[OrbitalSelector, Sequence[OrbitalSelector], NDArray[np.integer]]

# ---- limits and units ----------------------------------------------------------------------

# Bytes, a size such as '512M' or '8G', 0 or 'none' for no limit, None for the default.
MemorySize = Union[int, float, str, None]

EnergyUnit = Literal["eV", "ev", "hartree", "au"]
MomentumUnit = Literal["1/angstrom", "1/bohr", "1/Å", "au"]
LengthUnit = Literal["angstrom", "bohr", "Å", "au"]

# ---- choices of a request ------------------------------------------------------------------

Spin = Literal["alpha", "beta", 0, 1]
# A rotation-and-mirror group: None or 'none', or 2, 3, 4 (fold; also '2', '2-fold').
Symmetry = Union[None, int, str]
Polarisation = Literal["none", "p", "s", "linear", "circular+", "circular-", "dichroism",
                       "radial"]
Space = Literal["real", "momentum"]
# The background a fit adds to the orbitals' maps (None: none).
Background = Optional[Literal["none", "constant", "linear"]]
