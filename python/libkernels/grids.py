"""Result types and grids: maps with their kx/ky axes, 3D grids with their axes.

The library lays a map out as map[i, j] at (kx = k_min + i*k_step,
ky = k_min + j*k_step) and a 3D grid with x fastest; numpy sees the latter as
an array of shape (nz, ny, nx), indexed [k, j, i].  The objects below carry the
arrays together with the axes in the unit the caller asked for, and the grid
parameters in library units for the next call.
"""

from dataclasses import dataclass, field

import numpy as np

from .units import bohr_momentum_to, bohr_to, length_to_bohr, momentum_to_bohr


@dataclass
class MomentumMap:
    """An (n, n) momentum map: data[i, j] is the intensity at (kx[i], ky[j])."""

    data: np.ndarray
    k_min: float  # bohr^-1, as passed to the library
    k_step: float  # bohr^-1
    unit: str = "1/angstrom"
    parameters: dict = field(default_factory=dict)

    @property
    def n(self):
        return self.data.shape[0]

    @property
    def k_axis_bohr(self):
        """Grid coordinates in bohr^-1, formed as the library forms them (float32)."""
        index = np.arange(self.n, dtype=np.float32)
        return index * np.float32(self.k_step) + np.float32(self.k_min)

    @property
    def kx(self):
        return bohr_momentum_to(self.k_axis_bohr.astype(np.float64), self.unit)

    ky = kx

    def with_data(self, data, **parameters):
        return MomentumMap(data, self.k_min, self.k_step, self.unit,
                           {**self.parameters, **parameters})


@dataclass
class Grid:
    """A regular 3D grid: origin + index * step on every axis, shape (nx, ny, nz).

    Origin and step are in library units (bohr in real space, bohr^-1 in
    momentum space).
    """

    origin: tuple
    step: float
    shape: tuple  # (nx, ny, nz)
    space: str = "real"  # "real" or "momentum"

    def __post_init__(self):
        self.origin = tuple(float(np.float32(v)) for v in self.origin)
        self.step = float(np.float32(self.step))
        self.shape = tuple(int(v) for v in self.shape)
        if len(self.origin) != 3 or len(self.shape) != 3:
            raise ValueError("a grid needs a 3-component origin and shape")
        if not all(np.isfinite(self.origin)) or not (np.isfinite(self.step) and self.step > 0):
            raise ValueError(f"grid origin must be finite and step positive, got origin "
                             f"{self.origin}, step {self.step}")
        if min(self.shape) < 1 or np.prod(self.shape, dtype=np.int64) > 2**31 - 1:
            raise ValueError(f"grid shape {self.shape} must be positive and hold < 2^31 points")

    @classmethod
    def around(cls, molecule, spacing=0.2, margin=4.0, unit="angstrom"):
        """A real-space box holding every atom with `margin` to spare."""
        spacing = float(length_to_bohr(spacing, unit))
        margin = float(length_to_bohr(margin, unit))
        positions = molecule.positions.astype(np.float64)
        low = positions.min(axis=0) - margin
        high = positions.max(axis=0) + margin
        shape = np.floor((high - low) / spacing).astype(int) + 1
        centre = (low + high) / 2
        origin = centre - (shape - 1) * spacing / 2
        return cls(tuple(origin), spacing, tuple(shape), "real")

    @classmethod
    def momentum_cube(cls, k_max=3.0, n=61, unit="1/angstrom"):
        """A cubic momentum grid with n points per axis from -k_max to +k_max."""
        k_max = float(momentum_to_bohr(k_max, unit))
        if n < 2 or not k_max > 0:
            raise ValueError("a momentum grid needs n >= 2 and k_max > 0")
        step = 2 * k_max / (n - 1)
        return cls((-k_max,) * 3, step, (n, n, n), "momentum")

    def axis(self, dimension, unit=None):
        """Coordinates along axis 0 (x), 1 (y) or 2 (z), as the library forms them."""
        index = np.arange(self.shape[dimension], dtype=np.float32)
        values = (index * np.float32(self.step) + np.float32(self.origin[dimension]))
        values = values.astype(np.float64)
        if unit is None:
            return values
        return bohr_to(values, unit) if self.space == "real" else bohr_momentum_to(values, unit)

    @property
    def n_points(self):
        return int(np.prod(self.shape, dtype=np.int64))


@dataclass
class Field3D:
    """Values on a Grid, as an array of shape (nz, ny, nx) indexed [k, j, i]."""

    data: np.ndarray
    grid: Grid
    parameters: dict = field(default_factory=dict)

    @property
    def x(self):
        return self.grid.axis(0)

    @property
    def y(self):
        return self.grid.axis(1)

    @property
    def z(self):
        return self.grid.axis(2)
