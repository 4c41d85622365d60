"""The model of a measured momentum map or energy stack, and its checks.

A measured map is intensity[i, j] at (kx[i], ky[j]) with kx and ky in 1/Å; a
stack adds a leading binding-energy axis (eV): intensity[e, i, j].  The axes
must be ascending and uniformly spaced, but kx and ky may differ in range, step
and length.  NaN pixels are masked (detector edges, gaps).  Everything else
that does not fit is refused with one line naming the source and the problem,
before any model is computed.

A measurement may carry its per-pixel standard deviations, `sigma`, of the
intensity's shape (positive; NaN masks the pixel), and the energies it was
taken at, in eV: `kinetic_energy`, or `photon_energy` with `work_function`.

`from_arrays` makes one from a mapping of arrays (an .npz's `intensity`, `kx`,
`ky`, optionally `binding_energy`, `sigma` and the energies as 0-d arrays),
`from_xarray` from a DataArray or a Dataset whose variable `intensity` (else
its first data variable) has dimensions kx, ky (and binding_energy), with an
optional `sigma` on the same axes and the energies as attributes.  Reading
files is formats/measured/, `load_measured` (kspace/measured.py) takes every
kind of source.
"""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, Dict, Mapping, Optional, Tuple, Union

import numpy as np
from numpy.typing import ArrayLike

from .errors import MeasuredDataError
from .grids import require_xarray
from .units import BOHR_IN_ANGSTROM, HARTREE_IN_EV

if TYPE_CHECKING:
    import xarray

    from .types import Float64Array

# Axes count as uniform when no coordinate strays further than this share of a
# step from the straight line through the first and last: loose enough for axes
# stored in float32, tight enough to refuse axes that are really non-uniform.
UNIFORM_TOLERANCE = 1e-3

# The energies a measurement may state (eV), as attributes of the file or keys of the .npz.
ENERGY_ATTRIBUTES = ("kinetic_energy", "photon_energy", "work_function")
# The attribute of a converted map holding the kinetic energy (eV) of each slice
# whose counts it holds (kspace/footprint.py): the slices an energy window summed,
# or, taken from a stack's kinetic_energy coordinate, one per slice of the stack,
# of which a slice cut from it keeps its own.
SLICE_KINETIC_ENERGY = "slice_kinetic_energy"


@dataclass
class MeasuredMap:
    """A measured momentum map or energy stack with its axes.

    intensity: (nx, ny) or (n_energies, nx, ny), float64, NaN where masked;
    kx, ky: ascending, uniform axes in 1/Å; binding_energy: (n_energies,) in eV
    for a stack, else None (or a 0-d value: the slice's binding energy).
    sigma: the intensity's standard deviations, of its shape (NaN where
    masked), or None when the measurement gives none.  kinetic_energy, or
    photon_energy with work_function: what the measurement states, in eV, or None.
    """

    intensity: Float64Array
    kx: Float64Array
    ky: Float64Array
    binding_energy: Union[Float64Array, float, None] = None
    source: str = "array"
    attrs: Dict[str, Any] = field(default_factory=dict)
    sigma: Optional[Float64Array] = None
    kinetic_energy: Optional[float] = None
    photon_energy: Optional[float] = None
    work_function: Optional[float] = None

    @property
    def is_stack(self) -> bool:
        return self.intensity.ndim == 3

    @property
    def kx_step(self) -> float:
        return _step(self.kx)

    @property
    def ky_step(self) -> float:
        return _step(self.ky)

    @property
    def energies(self) -> Dict[str, float]:
        """The energies the measurement states (eV), by name."""
        return {name: float(value) for name in ENERGY_ATTRIBUTES
                if (value := getattr(self, name)) is not None}

    def slice(self, index: int) -> MeasuredMap:
        """Slice `index` of a stack as a single map (its binding energy kept)."""
        if not self.is_stack:
            raise MeasuredDataError(f"{self.source}: a single map has no slices")
        energies = np.asarray(self.binding_energy, dtype=np.float64)
        return MeasuredMap(self.intensity[index], self.kx, self.ky, float(energies[index]),
                           f"{self.source}[{index}]", self._slice_attributes(index),
                           None if self.sigma is None else self.sigma[index], **self.energies)

    def _slice_attributes(self, index: Optional[int]) -> Dict[str, Any]:
        """The attributes of one slice (`index`), or of the stack summed (None): the
        per-slice kinetic energies cut to the slice's own, or to their mean (the
        summed stack is modelled at one energy)."""
        attrs = dict(self.attrs)
        if SLICE_KINETIC_ENERGY in attrs:
            values = np.asarray(attrs.pop(SLICE_KINETIC_ENERGY), dtype=np.float64).reshape(-1)
            if values.size == self.intensity.shape[0]:
                attrs[SLICE_KINETIC_ENERGY] = values[[index]] if index is not None \
                    else np.array([values.mean()])
        return attrs

    def summed(self) -> MeasuredMap:
        """The stack summed over binding energy; a pixel NaN in any slice stays masked
        (a plain sum, not nansum: a pixel missing from one slice would otherwise
        enter the sum too low)."""
        if not self.is_stack:
            return self
        sigma = None if self.sigma is None else np.sqrt(np.sum(self.sigma ** 2, axis=0))
        return MeasuredMap(self.intensity.sum(axis=0), self.kx, self.ky, None,
                           f"{self.source} (summed over binding energy)",
                           self._slice_attributes(None),
                           sigma, **self.energies)

    def to_xarray(self) -> xarray.DataArray:
        """The data as an xarray.DataArray with dimensions (binding_energy,) kx, ky."""
        xr = require_xarray()
        coords = {"kx": ("kx", self.kx, {"units": "1/angstrom"}),
                  "ky": ("ky", self.ky, {"units": "1/angstrom"})}
        dims: Tuple[str, ...] = ("kx", "ky")
        if self.is_stack:
            coords["binding_energy"] = ("binding_energy", np.asarray(self.binding_energy),
                                        {"units": "eV"})
            dims = ("binding_energy",) + dims
        return xr.DataArray(self.intensity, coords=coords, dims=dims, name="intensity",
                            attrs={**self.attrs, **self.energies})

    def to_dataset(self) -> xarray.Dataset:
        """The data as an xarray.Dataset: `intensity` and (when given) `sigma` on
        (binding_energy,) kx, ky, the energies as attributes; load_measured reads it back."""
        xr = require_xarray()
        intensity = self.to_xarray()
        variables = {"intensity": intensity}
        if self.sigma is not None:
            variables["sigma"] = intensity.copy(data=self.sigma)
        return xr.Dataset(variables, attrs=dict(intensity.attrs))


def _step(axis: Float64Array) -> float:
    return float(axis[-1] - axis[0]) / (len(axis) - 1)


def is_xarray(value: object) -> bool:
    return type(value).__module__.startswith("xarray")


def from_xarray(value: Any, label: str) -> MeasuredMap:
    """A MeasuredMap from a DataArray or Dataset on kx, ky (and binding_energy)."""
    sigma = None
    attrs: Dict[str, Any] = {}
    if hasattr(value, "data_vars"):  # a Dataset: `intensity`, else its first data variable
        names = [n for n in value.data_vars if n != "sigma"]
        if not names:
            raise MeasuredDataError(f"{label}: holds no data variable")
        attrs = dict(value.attrs)
        if "sigma" in value.data_vars:
            sigma = value["sigma"]
        value = value["intensity" if "intensity" in names else names[0]]
    dims = tuple(value.dims)
    for dim in dims:
        if dim not in ("kx", "ky", "binding_energy"):
            raise MeasuredDataError(f"{label}: unexpected dimension {dim!r}; name them kx, ky "
                                    "and (for a stack) binding_energy")
    for dim in ("kx", "ky"):
        if dim not in dims:
            raise MeasuredDataError(f"{label}: missing axis {dim!r} (dimensions are "
                                    f"{', '.join(dims) or 'none'})")
        if dim not in value.coords:
            raise MeasuredDataError(f"{label}: dimension {dim!r} has no coordinate values")
    order = (("binding_energy",) if "binding_energy" in dims else ()) + ("kx", "ky")
    value = value.transpose(*order)
    axes = {dim: in_unit(value.coords[dim].values, "momentum",
                         value.coords[dim].attrs.get("units"), label, dim) for dim in ("kx", "ky")}
    energy = None
    if "binding_energy" in value.coords:
        coordinate = value.coords["binding_energy"]
        energy = in_unit(coordinate.values, "energy", coordinate.attrs.get("units"), label,
                         "binding_energy")
    sigma_values = None
    if sigma is not None:
        if set(sigma.dims) != set(dims):
            raise MeasuredDataError(f"{label}: sigma has dimensions {', '.join(sigma.dims)}; "
                                    f"it must lie on the intensity's ({', '.join(dims)})")
        sigma_values = np.asarray(sigma.transpose(*order).values)
    attrs.update(value.attrs)
    kinetic = value.coords.get("kinetic_energy")
    if kinetic is not None and kinetic.dims in ((), ("binding_energy",)) and \
            kinetic.dtype.kind in "iuf":
        # each slice's kinetic energy (a converted cube's, or the one of a slice cut
        # from it); a coordinate in units of its own is the file's business
        try:
            attrs[SLICE_KINETIC_ENERGY] = np.atleast_1d(in_unit(
                kinetic.values, "energy", kinetic.attrs.get("units"), label, "kinetic_energy"))
        except MeasuredDataError:
            pass
    return checked(np.asarray(value.values), axes["kx"], axes["ky"], energy, label, attrs,
                   sigma_values, stated_energies(attrs, label))


def stated_energies(values: Mapping[str, Any], label: str) -> Dict[str, float]:
    """The energies (eV) among attributes or arrays, as plain floats."""
    found = {}
    for name in ENERGY_ATTRIBUTES:
        if name in values and values[name] is not None:
            value = np.asarray(values[name])
            if value.size != 1 or value.dtype.kind not in "iuf":
                raise MeasuredDataError(f"{label}: {name} must be one number (eV), got "
                                        f"{values[name]!r}")
            found[name] = float(value.reshape(-1)[0])
    return found


# units as files write them (lower case, no spaces, every spelling of angstrom as
# "a") -> the factor to this package's unit: 1/Å for momenta, eV for energies
MOMENTUM_UNITS = {**dict.fromkeys(("", "1/a", "a^-1", "a-1", "inversea"), 1.0),
                  **dict.fromkeys(("1/bohr", "bohr^-1", "bohr-1", "au", "a.u."),
                                  1.0 / BOHR_IN_ANGSTROM)}
ENERGY_UNITS = {**dict.fromkeys(("", "ev", "electronvolt", "electron_volt"), 1.0),
                "mev": 1e-3, "kev": 1e3, **dict.fromkeys(("hartree", "eh", "au", "a.u."),
                                                        HARTREE_IN_EV)}


def in_unit(values: Any, quantity: str, unit: Any, label: str, name: str) -> Float64Array:
    """Values of a momentum (to 1/Å) or an energy (to eV) axis written in `unit`
    (none: already so)."""
    table, wanted = (MOMENTUM_UNITS, "1/angstrom") if quantity == "momentum" else \
        (ENERGY_UNITS, "eV")
    key = str("" if unit is None else unit).strip().lower().replace(" ", "").replace("⁻¹", "^-1")
    for spelling in ("angstroms", "angstrom", "ang", "å"):
        key = key.replace(spelling, "a")
    if key not in table:
        raise MeasuredDataError(f"{label}: unknown unit {unit!r} of the {quantity} {name}; "
                                f"give {wanted}")
    return np.asarray(values, dtype=np.float64) * table[key]


def from_arrays(arrays: Any, label: str) -> MeasuredMap:
    """A MeasuredMap from a mapping of arrays (or an .npz archive): intensity, kx, ky,
    and optionally binding_energy, sigma and the energies."""
    keys = list(arrays.keys()) if hasattr(arrays, "keys") else list(arrays.files)
    for required in ("intensity", "kx", "ky"):
        if required not in keys:
            raise MeasuredDataError(f"{label}: missing array {required!r} (has "
                                    f"{', '.join(keys) or 'nothing'})")
    energy = arrays["binding_energy"] if "binding_energy" in keys else None
    sigma = arrays["sigma"] if "sigma" in keys else None
    stated = stated_energies({k: arrays[k] for k in ENERGY_ATTRIBUTES if k in keys}, label)
    return checked(arrays["intensity"], arrays["kx"], arrays["ky"], energy, label, {}, sigma,
                   stated)


def _real_array(value: ArrayLike, what: str, label: str) -> Float64Array:
    array = np.asarray(value)
    if array.dtype.kind not in "iuf":
        raise MeasuredDataError(f"{label}: {what} must hold real numbers, got dtype "
                                f"{array.dtype}")
    return array.astype(np.float64)


def _checked_axis(values: ArrayLike, name: str, label: str) -> Float64Array:
    axis = _real_array(values, name, label)
    if axis.ndim != 1:
        raise MeasuredDataError(f"{label}: axis {name} must be 1-D, got shape {axis.shape}")
    if axis.size < 2:
        raise MeasuredDataError(f"{label}: axis {name} needs at least 2 values")
    if not np.all(np.isfinite(axis)):
        raise MeasuredDataError(f"{label}: axis {name} holds NaN or infinite values")
    steps = np.diff(axis)
    if not np.all(steps > 0):
        raise MeasuredDataError(f"{label}: axis {name} is not ascending")
    step = _step(axis)
    line = axis[0] + step * np.arange(axis.size)
    if np.max(np.abs(axis - line)) > UNIFORM_TOLERANCE * step:
        raise MeasuredDataError(f"{label}: axis {name} is not uniformly spaced (steps from "
                                f"{steps.min():.6g} to {steps.max():.6g})")
    return axis


def checked(intensity: ArrayLike, kx: ArrayLike, ky: ArrayLike,
            binding_energy: Optional[ArrayLike], label: str,
            attrs: Mapping[str, Any], sigma: Optional[ArrayLike] = None,
            energies: Optional[Mapping[str, float]] = None) -> MeasuredMap:
    """A MeasuredMap of these arrays once they pass every check (module notes)."""
    data = _real_array(intensity, "intensity", label)
    if data.ndim not in (2, 3):
        raise MeasuredDataError(f"{label}: intensity is {data.ndim}-D, shape {data.shape}; "
                                "a map is (kx, ky), a stack (binding_energy, kx, ky)")
    kx = _checked_axis(kx, "kx", label)
    ky = _checked_axis(ky, "ky", label)
    if data.shape[-2:] != (kx.size, ky.size):
        raise MeasuredDataError(f"{label}: intensity shape {data.shape} does not match the "
                                f"axes (kx {kx.size}, ky {ky.size}); the layout is "
                                "intensity[i, j] at (kx[i], ky[j])")
    if np.any(np.isinf(data)):
        raise MeasuredDataError(f"{label}: intensity holds infinite values")
    energy = np.zeros(0)
    checked_energy: Union[Float64Array, float, None] = None  # one per slice, or the map's
    if binding_energy is not None:
        energy = _real_array(binding_energy, "binding_energy", label)
        if not np.all(np.isfinite(energy)):
            raise MeasuredDataError(f"{label}: binding_energy holds NaN or infinite values")
        if data.ndim == 3:
            energy = energy.reshape(-1) if energy.ndim <= 1 else energy
            if energy.shape != (data.shape[0],):
                raise MeasuredDataError(f"{label}: binding_energy has {energy.size} values "
                                        f"for {data.shape[0]} slices")
            checked_energy = energy
        elif energy.size != 1:
            raise MeasuredDataError(f"{label}: a single map takes one binding energy, got "
                                    f"{energy.size}")
        else:
            checked_energy = float(energy.reshape(-1)[0])
    elif data.ndim == 3:
        raise MeasuredDataError(f"{label}: a stack needs its binding_energy axis")
    checked_sigma = None
    if sigma is not None:
        checked_sigma = _checked_sigma(sigma, data, label)
        data = np.where(np.isnan(checked_sigma), np.nan, data)  # no error, no pixel
    finite = np.isfinite(data)
    if not finite.any():
        raise MeasuredDataError(f"{label}: every pixel is NaN")
    if data.ndim == 3:
        empty = np.flatnonzero(~finite.any(axis=(1, 2)))
        if empty.size:
            raise MeasuredDataError(f"{label}: every pixel of slice {int(empty[0])} "
                                    f"(binding energy {energy[empty[0]]:g} eV) is NaN")
    return MeasuredMap(data, kx, ky, checked_energy, label, dict(attrs), checked_sigma,
                       **_checked_energies(energies or {}, label))


def _checked_sigma(sigma: ArrayLike, data: Float64Array, label: str) -> Float64Array:
    """Standard deviations of the intensity's shape, positive where the pixel is
    used; NaN where the intensity is NaN."""
    values = _real_array(sigma, "sigma", label)
    if values.shape != data.shape:
        raise MeasuredDataError(f"{label}: sigma has shape {values.shape}, the intensity "
                                f"{data.shape}; give one standard deviation per pixel")
    values = np.where(np.isnan(data), np.nan, values)
    bad = np.isfinite(values) & ~(values > 0) | np.isinf(values)
    if np.any(bad):
        where = tuple(int(i) for i in np.argwhere(bad)[0])
        raise MeasuredDataError(f"{label}: sigma must be positive and finite (NaN masks a "
                                f"pixel), got {values[where]:g} at {where}")
    return values


def _checked_energies(energies: Mapping[str, float], label: str) -> Dict[str, float]:
    checked = {}
    for name, value in energies.items():
        if not np.isfinite(value):
            raise MeasuredDataError(f"{label}: {name} is not a finite number of eV")
        checked[name] = float(value)
    if checked.get("kinetic_energy", 1.0) <= 0:
        raise MeasuredDataError(f"{label}: kinetic_energy must be positive, got "
                                f"{checked['kinetic_energy']:g} eV")
    return checked
