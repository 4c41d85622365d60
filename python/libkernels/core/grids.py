"""Result types and grids: maps with their kx/ky axes, 3D grids with their axes.

The library lays a map out as map[i, j] at (kx = k_min + i*k_step,
ky = k_min + j*k_step) and a 3D grid with x fastest; numpy sees the latter as
an array of shape (nz, ny, nx), indexed [k, j, i].

Every public attribute of these objects is in the unit the caller chose
(`unit`: 1/angstrom or 1/bohr for momenta, angstrom or bohr for lengths); the
values handed to the library, float32 in bohr or bohr^-1, carry the suffix
``_bohr`` (``k_min_bohr``, ``origin_bohr``).  Axes are the coordinates the
library forms (float32, in bohr units) converted to the caller's unit.

Intensities: maps and momentum densities are |integral psi(r) e^{-ik.r} d^3r|^2
/ pi^3 in bohr^3 (with k in bohr^-1), so the momentum density of a normalised
orbital integrates to 8 over k in bohr^-1; real-space orbitals are in
bohr^-3/2, charge densities in electrons per bohr^3.
"""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, Dict, List, Optional, Sequence, SupportsFloat, Tuple, Union

import numpy as np

from .errors import InputError
from .extras import require
from .units import bohr_momentum_to, bohr_to, length_to_bohr, momentum_to_bohr
from .validation import count, finite, non_negative, positive

if TYPE_CHECKING:
    from types import ModuleType

    import xarray
    from numpy.typing import ArrayLike

    from .molecule import Molecule
    from .types import Float32Array, Float64Array, LengthUnit, MomentumUnit, Space

MOMENTUM_INTENSITY_UNITS = "bohr^3 (|FT psi|^2 / pi^3, k in bohr^-1)"
MAX_GRID_POINTS = 2**31 - 1

_UNIT_TEXT = {"1/angstrom": "1/Å", "1/bohr": "1/bohr", "angstrom": "Å", "bohr": "bohr"}


def unit_text(unit: str) -> str:
    """How a unit is written in messages and labels ('1/Å', 'Å', ...)."""
    return _UNIT_TEXT.get(unit, unit)


def clean_numbers(values: Union[ArrayLike, Sequence[SupportsFloat]]) -> List[float]:
    """Floats without the noise of float32 grids seen in float64 (-3.000000100382559
    becomes -3.0): rounded to 7 significant digits of the largest magnitude among
    `values`, the precision of the float32 numbers the library computed with."""
    array = np.atleast_1d(np.asarray(values, dtype=np.float64))
    finite = np.abs(array[np.isfinite(array)])
    scale = float(finite.max()) if finite.size else 0.0
    if scale == 0.0:
        return [float(v) for v in array]
    decimals = 6 - int(np.floor(np.log10(scale)))
    return [float(v) + 0.0 for v in np.round(array, decimals)]  # + 0.0: no -0.0


def require_xarray() -> ModuleType:
    """The xarray module (MissingExtraError without it)."""
    return require("xarray", "netcdf", "labelled output",
                   alternative="or pip install xarray h5netcdf")


def attribute_value(value: Any) -> Any:
    """A parameter as a NetCDF attribute: numbers, strings and number lists only."""
    if value is None:
        return "none"
    if isinstance(value, (bool, np.bool_)):
        return int(value)
    if isinstance(value, (int, np.integer)):
        return int(value)
    if isinstance(value, (float, np.floating)):
        return clean_numbers([value])[0]
    if isinstance(value, str):
        return value
    if isinstance(value, dict):
        return ", ".join(f"{k}={attribute_value(v)}" for k, v in value.items())
    items = list(value) if isinstance(value, (list, tuple, np.ndarray)) else [value]
    if items and all(isinstance(v, (int, float, np.integer, np.floating)) and
                     not isinstance(v, bool) for v in items):
        return clean_numbers(items)
    return ", ".join(str(v) for v in items)


def netcdf_attributes(parameters: Dict[str, Any]) -> Dict[str, Any]:
    """A request's parameters as NetCDF attributes."""
    return {key: attribute_value(value) for key, value in parameters.items()}


@dataclass
class MomentumMap:
    """An (n, n) momentum map: data[i, j] is the intensity at (kx[i], ky[j]).

    `k_min`, `k_step`, `kx`, `ky` are in `unit`; `k_min_bohr` and `k_step_bohr`
    are the float32 values the library was given.  Intensities are
    |FT psi|^2 / pi^3 in bohr^3 (see the module notes); `parameters` records the
    request in the caller's units (energies in ``parameters["energy_unit"]``).
    """

    data: Float32Array
    k_min_bohr: float
    k_step_bohr: float
    unit: str = "1/angstrom"
    parameters: Dict[str, Any] = field(default_factory=dict)

    def __post_init__(self) -> None:
        self.k_min_bohr = float(np.float32(self.k_min_bohr))
        self.k_step_bohr = float(np.float32(self.k_step_bohr))
        bohr_momentum_to(1.0, self.unit)  # an unknown unit fails here, not later

    @property
    def n(self) -> int:
        return int(self.data.shape[0])

    @property
    def k_min(self) -> float:
        """First grid coordinate, in `unit`."""
        return float(bohr_momentum_to(self.k_min_bohr, self.unit))

    @property
    def k_step(self) -> float:
        """Grid step, in `unit`."""
        return float(bohr_momentum_to(self.k_step_bohr, self.unit))

    @property
    def k_axis_bohr(self) -> Float32Array:
        """Grid coordinates in bohr^-1, formed as the library forms them (float32)."""
        index = np.arange(self.n, dtype=np.float32)
        return index * np.float32(self.k_step_bohr) + np.float32(self.k_min_bohr)

    @property
    def kx(self) -> Float64Array:
        """The kx (and ky) coordinates in `unit`."""
        return bohr_momentum_to(self.k_axis_bohr.astype(np.float64), self.unit)

    @property
    def ky(self) -> Float64Array:
        return self.kx

    def with_data(self, data: Float32Array, **parameters: Any) -> MomentumMap:
        return MomentumMap(data, self.k_min_bohr, self.k_step_bohr, self.unit,
                           {**self.parameters, **parameters})

    def to_xarray(self, name: str = "intensity") -> xarray.DataArray:
        """The map as an xarray.DataArray with dims (kx, ky), axes in `unit` and the
        request's parameters as attributes (``.to_netcdf(path)`` writes it)."""
        xr = require_xarray()
        axis = np.asarray(clean_numbers(self.kx))
        coordinate = {"units": self.unit, "long_name": "parallel momentum"}
        return xr.DataArray(
            np.asarray(self.data), dims=("kx", "ky"), name=name,
            coords={"kx": ("kx", axis, {**coordinate, "long_name": "k_x"}),
                    "ky": ("ky", axis, {**coordinate, "long_name": "k_y"})},
            attrs={"units": MOMENTUM_INTENSITY_UNITS, "k_unit": self.unit,
                   "k_min_bohr": self.k_min_bohr, "k_step_bohr": self.k_step_bohr,
                   **netcdf_attributes(self.parameters)})


def _library_unit(space: str) -> str:
    return "bohr" if space == "real" else "1/bohr"


@dataclass
class Grid:
    """A regular 3D grid: origin + index * step on every axis, shape (nx, ny, nz).

    `origin` and `step` are in `unit` (default: bohr for real space, 1/bohr for
    momentum space); `origin_bohr` and `step_bohr` are the float32 values the
    library receives.
    """

    origin: Tuple[float, float, float]
    step: float
    shape: Tuple[int, int, int]
    space: Space = "real"
    unit: Optional[str] = None

    def __post_init__(self) -> None:
        if self.space not in ("real", "momentum"):
            raise InputError("space", f"must be 'real' or 'momentum', got {self.space!r}")
        self.unit = self._unit()
        shown = unit_text(self.unit)
        try:
            origin = tuple(self.origin)
            shape = tuple(self.shape)
        except TypeError:
            raise InputError("grid", "needs a 3-component origin and shape") from None
        if len(origin) != 3 or len(shape) != 3:
            raise InputError("grid", "needs a 3-component origin and shape")
        x, y, z = (finite(v, "origin", shown) for v in origin)
        self.origin = (x, y, z)
        self.step = positive(self.step, "step", shown)
        nx, ny, nz = (count(v, "shape", 1, what="points per axis") for v in shape)
        self.shape = (nx, ny, nz)
        if self.n_points > MAX_GRID_POINTS:
            raise InputError("shape", f"{self.shape} holds {self.n_points:,} points, more than "
                                      f"the library's 2^31 - 1")
        self._to_bohr = length_to_bohr if self.space == "real" else momentum_to_bohr
        if not np.isfinite(np.float32(self._to_bohr(self.step, self._unit()))) or \
                np.float32(self._to_bohr(self.step, self._unit())) <= 0:
            raise InputError("step", f"{self.step:g} {shown} is not a positive float32")

    @classmethod
    def around(cls, molecule: Molecule, spacing: float = 0.2, margin: float = 4.0,
               unit: LengthUnit = "angstrom") -> Grid:
        """A real-space box holding every atom with `margin` to spare (both in `unit`)."""
        shown = unit_text(unit)
        spacing = positive(spacing, "spacing", shown)
        margin = non_negative(margin, "margin", shown)
        spacing_bohr = float(length_to_bohr(spacing, unit))
        margin_bohr = float(length_to_bohr(margin, unit))
        positions = molecule.positions.astype(np.float64)
        low = positions.min(axis=0) - margin_bohr
        high = positions.max(axis=0) + margin_bohr
        with np.errstate(over="ignore", invalid="ignore"):
            extent = np.floor((high - low) / spacing_bohr) + 1
        points = float(np.prod(extent))
        if not points <= MAX_GRID_POINTS:
            raise InputError("spacing", f"{spacing:g} {shown} would make a grid of "
                                        f"{points:.3g} points, more than the library's 2^31 - 1",
                             "raise {spacing} or lower {margin}")
        shape = extent.astype(int)
        centre = (low + high) / 2
        origin = centre - (shape - 1) * spacing_bohr / 2
        return cls(tuple(bohr_to(origin, unit)), spacing, tuple(shape), "real", unit)

    @classmethod
    def momentum_cube(cls, k_max: float = 3.0, n: int = 61,
                      unit: MomentumUnit = "1/angstrom") -> Grid:
        """A cubic momentum grid with n points per axis from -k_max to +k_max (in `unit`)."""
        k_max = positive(k_max, "k_max", unit_text(unit))
        n = count(n, "n", 2, what="points per axis")
        if n ** 3 > MAX_GRID_POINTS:
            largest = int(round(MAX_GRID_POINTS ** (1 / 3)))
            while largest ** 3 > MAX_GRID_POINTS:
                largest -= 1
            raise InputError("n", f"{n} makes a grid of {n}^3 = {n ** 3:.3g} points, more "
                                  f"than the library's 2^31 - 1", f"at most {largest} per axis")
        return cls((-k_max,) * 3, 2 * k_max / (n - 1), (n, n, n), "momentum", unit)

    @property
    def origin_bohr(self) -> Tuple[float, float, float]:
        """The origin as the library receives it: float32 in bohr (or bohr^-1)."""
        x, y, z = (float(np.float32(self._to_bohr(v, self._unit()))) for v in self.origin)
        return (x, y, z)

    @property
    def step_bohr(self) -> float:
        return float(np.float32(self._to_bohr(self.step, self._unit())))

    def axis_bohr(self, dimension: int) -> Float64Array:
        """Coordinates along axis 0 (x), 1 (y) or 2 (z) in library units, as the
        library forms them (float32 index * step + origin)."""
        index = np.arange(self.shape[dimension], dtype=np.float32)
        values = index * np.float32(self.step_bohr) + np.float32(self.origin_bohr[dimension])
        return values.astype(np.float64)

    def axis(self, dimension: int, unit: Optional[str] = None) -> Float64Array:
        """Coordinates along axis 0 (x), 1 (y) or 2 (z), in `unit` (default: the grid's)."""
        values = self.axis_bohr(dimension)
        unit = unit or self._unit()
        return bohr_to(values, unit) if self.space == "real" else bohr_momentum_to(values, unit)

    @property
    def n_points(self) -> int:
        return int(np.prod(self.shape, dtype=object))

    def _unit(self) -> str:
        """The grid's unit: the one given, else the library's of its space."""
        return self.unit or _library_unit(self.space)


@dataclass
class Field3D:
    """Values on a Grid, as an array of shape (nz, ny, nx) indexed [k, j, i].

    `x`, `y`, `z` are the axes in the grid's unit (`unit`).  Values: orbitals in
    bohr^-3/2, charge densities in bohr^-3, momentum densities |FT psi|^2 / pi^3
    in bohr^3.
    """

    data: Float32Array
    grid: Grid
    parameters: Dict[str, Any] = field(default_factory=dict)

    @property
    def unit(self) -> str:
        return str(self.grid.unit)

    @property
    def x(self) -> Float64Array:
        return self.grid.axis(0)

    @property
    def y(self) -> Float64Array:
        return self.grid.axis(1)

    @property
    def z(self) -> Float64Array:
        return self.grid.axis(2)

    def to_xarray(self, name: Optional[str] = None) -> xarray.DataArray:
        """The field as an xarray.DataArray with dims (z, y, x) — (kz, ky, kx) for a
        momentum grid — axes in the grid's unit and parameters as attributes."""
        xr = require_xarray()
        momentum = self.grid.space == "momentum"
        dims = ("kz", "ky", "kx") if momentum else ("z", "y", "x")
        coords = {dim: (dim, np.asarray(clean_numbers(self.grid.axis(axis))),
                        {"units": self.unit})
                  for dim, axis in zip(dims, (2, 1, 0))}
        kind = self.parameters.get("quantity", "momentum density" if momentum else "field")
        units = self.parameters.get("units", MOMENTUM_INTENSITY_UNITS if momentum else "")
        return xr.DataArray(
            np.asarray(self.data), dims=dims, coords=coords,
            name=name or kind.replace(" ", "_"),
            attrs={"units": units, "grid_unit": self.unit, "space": self.grid.space,
                   "origin_bohr": list(self.grid.origin_bohr), "step_bohr": self.grid.step_bohr,
                   **netcdf_attributes({k: v for k, v in self.parameters.items()
                                  if k not in ("units",)})})
