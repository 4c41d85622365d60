"""Measured momentum maps and energy stacks: reading, checking and masking.

A measured map is intensity[i, j] at (kx[i], ky[j]) with kx and ky in 1/Å; a
stack adds a leading binding-energy axis (eV): intensity[e, i, j].  The axes
must be ascending and uniformly spaced, but kx and ky may differ in range, step
and length.  NaN pixels are masked (detector edges, gaps).  Everything else
that does not fit is refused with one line naming the source and the problem,
before any model is computed.

A measurement may carry its per-pixel standard deviations, `sigma`, of the
intensity's shape (positive; NaN masks the pixel), and the energies it was
taken at, in eV: `kinetic_energy`, or `photon_energy` with `work_function`.

Sources: `.npz` files with arrays `intensity`, `kx`, `ky` (and
`binding_energy` for a stack, optionally `sigma` and the energies as 0-d
arrays); NetCDF/HDF5 files that xarray opens, holding a DataArray or a Dataset
whose variable `intensity` (else its first data variable) has dimensions named
kx, ky (and binding_energy), with an optional variable `sigma` on the same
axes and the energies as attributes; in memory an xarray.DataArray or Dataset,
or a numpy array with its axes (and sigma) given as keywords.

Data as laboratories write them (NeXus, Igor, Zarr; angles, energy cubes)
are read and converted by kspace/ (`to_momentum`): files of those kinds
always, other files and xarray objects when a Conversion asks for it (a
geometry, an energy window, named dims).
"""

from __future__ import annotations

import os
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, Dict, Mapping, Optional, Tuple, Union

import numpy as np
from numpy.typing import ArrayLike

from ..core.errors import MeasuredDataError
from ..core.extras import require
from ..core.grids import require_xarray
from ..core.types import PathLike
from ..core.units import energy_to_hartree, hartree_to, momentum_to_bohr
from ..formats.measured_files import kind_of
from ..kspace.convert import Conversion, convert

if TYPE_CHECKING:
    import xarray

    from ..core.types import Float64Array

NETCDF_SUFFIXES = (".nc", ".nc4", ".cdf", ".netcdf", ".h5", ".hdf5", ".hdf", ".he5")

# Axes count as uniform when no coordinate strays further than this share of a
# step from the straight line through the first and last: loose enough for axes
# stored in float32, tight enough to refuse axes that are really non-uniform.
UNIFORM_TOLERANCE = 1e-3

# The energies a measurement may state (eV), as attributes of the file or keys of the .npz.
ENERGY_ATTRIBUTES = ("kinetic_energy", "photon_energy", "work_function")

# What load_measured reads: a MeasuredMap, a file, an xarray object, a mapping
# (or an .npz archive) of the arrays, (intensity, kx, ky[, binding_energy]), or
# an intensity array whose axes are given as keywords.
MeasuredSource = Union["MeasuredMap", PathLike, "xarray.DataArray", "xarray.Dataset",
                       Mapping[str, Any], ArrayLike]


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
                           f"{self.source}[{index}]", dict(self.attrs),
                           None if self.sigma is None else self.sigma[index], **self.energies)

    def summed(self) -> MeasuredMap:
        """The stack summed over binding energy; a pixel NaN in any slice stays masked
        (a plain sum, not nansum: a pixel missing from one slice would otherwise
        enter the sum too low)."""
        if not self.is_stack:
            return self
        sigma = None if self.sigma is None else np.sqrt(np.sum(self.sigma ** 2, axis=0))
        return MeasuredMap(self.intensity.sum(axis=0), self.kx, self.ky, None,
                           f"{self.source} (summed over binding energy)", dict(self.attrs),
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


def load_measured(source: MeasuredSource, kx: Optional[ArrayLike] = None,
                  ky: Optional[ArrayLike] = None, binding_energy: Optional[ArrayLike] = None, *,
                  sigma: Optional[ArrayLike] = None, name: Optional[str] = None,
                  conversion: Optional[Conversion] = None,
                  kinetic_energy: Optional[float] = None, photon_energy: Optional[float] = None,
                  work_function: Optional[float] = None) -> MeasuredMap:
    """A MeasuredMap from a file path, an xarray object, a numpy array with axes,
    a mapping with the arrays, or a MeasuredMap (checked and returned).

    `sigma` (the intensity's standard deviations) and the energies
    (kinetic_energy, photon_energy, work_function in eV) given here replace
    what the source states.  `conversion` converts data measured in angles
    (kspace.convert.Conversion)."""
    energies = {"kinetic_energy": kinetic_energy, "photon_energy": photon_energy,
                "work_function": work_function}
    measured = _loaded(source, kx, ky, binding_energy, name, conversion)
    given = {key: value for key, value in energies.items() if value is not None}
    if sigma is None and not given:
        return measured
    return _checked(measured.intensity, measured.kx, measured.ky, measured.binding_energy,
                    measured.source, measured.attrs,
                    measured.sigma if sigma is None else sigma, {**measured.energies, **given})


def _loaded(source: MeasuredSource, kx: Optional[ArrayLike], ky: Optional[ArrayLike],
            binding_energy: Optional[ArrayLike], name: Optional[str],
            conversion: Optional[Conversion] = None) -> MeasuredMap:
    if isinstance(source, MeasuredMap):
        return _checked(source.intensity, source.kx, source.ky, source.binding_energy,
                        source.source, source.attrs, source.sigma, source.energies)
    if isinstance(source, (str, os.PathLike)):
        return _read_file(os.fspath(source), conversion)
    if _is_xarray(source):
        if conversion is not None and conversion.active:
            return _from_xarray(convert(source, conversion).load(), name or "DataArray")
        return _from_xarray(source, name or "DataArray")
    if isinstance(source, Mapping):  # a dict, or an .npz archive (NpzFile)
        return _from_arrays(source, name or "arrays")
    if isinstance(source, (tuple, list)) and len(source) in (3, 4) and kx is None:
        return _from_arrays(dict(zip(("intensity", "kx", "ky", "binding_energy"), source)),
                            name or "arrays")
    label = name or "array"
    if kx is None or ky is None:
        raise MeasuredDataError(f"{label}: an intensity array needs its axes kx and ky "
                                "(load_measured(intensity, kx=..., ky=...))")
    return _checked(source, kx, ky, binding_energy, label, {})


def _read_file(path: str, conversion: Optional[Conversion] = None) -> MeasuredMap:
    if not os.path.exists(path):
        raise MeasuredDataError(f"{path}: no such file")
    suffix = os.path.splitext(path)[1].lower()
    head = b""
    if os.path.isfile(path):
        with open(path, "rb") as handle:
            head = handle.read(16)
    if suffix != ".npz" and ((conversion is not None and conversion.active) or
                             kind_of(path, head) in ("nexus", "igor", "zarr")):
        return _from_xarray(convert(path, conversion or Conversion()).load(), path)
    if suffix == ".npz":
        try:
            with np.load(path, allow_pickle=False) as arrays:
                return _from_arrays(arrays, path)
        except MeasuredDataError:
            raise
        except (OSError, ValueError) as error:
            raise MeasuredDataError(f"{path}: not a readable .npz file ({error})") from None
    if suffix in NETCDF_SUFFIXES:
        return _read_netcdf(path)
    raise MeasuredDataError(f"{path}: unknown file type {suffix or '(no suffix)'!r}; give "
                            f".npz or a NetCDF/HDF5 file ({', '.join(NETCDF_SUFFIXES[:2])}, "
                            ".h5)")


def _read_netcdf(path: str) -> MeasuredMap:
    xr = require("xarray", "fit", f"{path}: reading NetCDF/HDF5", "xarray and h5netcdf",
                 "or pip install xarray h5netcdf")
    try:
        with xr.open_dataset(path, engine="h5netcdf") as dataset:
            return _from_xarray(dataset.load(), path)
    except MeasuredDataError:
        raise
    except Exception as error:  # xarray and h5py raise many kinds for unreadable files
        text = str(error).splitlines()[0] if str(error) else type(error).__name__
        raise MeasuredDataError(f"{path}: cannot be read as NetCDF/HDF5 ({text})") from None


def _is_xarray(value: object) -> bool:
    return type(value).__module__.startswith("xarray")


def _from_xarray(value: Any, label: str) -> MeasuredMap:
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
    axes = {dim: _axis_in_unit(value.coords[dim], dim, label) for dim in ("kx", "ky")}
    energy = None
    if "binding_energy" in value.coords:
        energy = _axis_in_unit(value.coords["binding_energy"], "binding_energy", label)
    sigma_values = None
    if sigma is not None:
        if set(sigma.dims) != set(dims):
            raise MeasuredDataError(f"{label}: sigma has dimensions {', '.join(sigma.dims)}; "
                                    f"it must lie on the intensity's ({', '.join(dims)})")
        sigma_values = np.asarray(sigma.transpose(*order).values)
    attrs.update(value.attrs)
    return _checked(np.asarray(value.values), axes["kx"], axes["ky"], energy, label, attrs,
                    sigma_values, _stated_energies(attrs, label))


def _stated_energies(values: Mapping[str, Any], label: str) -> Dict[str, float]:
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


_INVERSE_ANGSTROM = ("1/angstrom", "angstrom^-1", "angstrom-1", "1/a", "a^-1", "a-1",
                     "inverseangstrom", "1/angstroms")
_INVERSE_BOHR = ("1/bohr", "bohr^-1", "bohr-1", "au", "a.u.")


def _axis_in_unit(coordinate: Any, dim: str, label: str) -> Float64Array:
    """Coordinate values in 1/Å (momenta) or eV (binding energy), converted when
    the coordinate names another unit."""
    values = np.asarray(coordinate.values, dtype=np.float64)
    unit = coordinate.attrs.get("units")
    if unit is None:
        return values
    text = (str(unit).strip().lower().replace(" ", "").replace("⁻¹", "^-1")
            .replace("å", "angstrom").replace("ang", "angstrom").replace("angstromstrom",
                                                                        "angstrom"))
    if dim == "binding_energy":
        if text in ("ev", "electronvolt"):
            return values
        if text in ("mev",):
            return values / 1000.0
        if text in ("hartree", "eh", "au", "a.u."):
            return hartree_to(energy_to_hartree(values, "hartree"), "eV")
    elif text in _INVERSE_ANGSTROM:
        return values
    elif text in _INVERSE_BOHR:
        return values * momentum_to_bohr(1.0, "1/bohr") / momentum_to_bohr(1.0, "1/angstrom")
    raise MeasuredDataError(f"{label}: unknown unit {unit!r} of {dim}; give "
                            + ("eV" if dim == "binding_energy" else "1/angstrom"))


def _from_arrays(arrays: Any, label: str) -> MeasuredMap:
    keys = list(arrays.keys()) if hasattr(arrays, "keys") else list(arrays.files)
    for required in ("intensity", "kx", "ky"):
        if required not in keys:
            raise MeasuredDataError(f"{label}: missing array {required!r} (has "
                                    f"{', '.join(keys) or 'nothing'})")
    energy = arrays["binding_energy"] if "binding_energy" in keys else None
    sigma = arrays["sigma"] if "sigma" in keys else None
    stated = _stated_energies({k: arrays[k] for k in ENERGY_ATTRIBUTES if k in keys}, label)
    return _checked(arrays["intensity"], arrays["kx"], arrays["ky"], energy, label, {}, sigma,
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


def _checked(intensity: ArrayLike, kx: ArrayLike, ky: ArrayLike,
             binding_energy: Optional[ArrayLike], label: str,
             attrs: Mapping[str, Any], sigma: Optional[ArrayLike] = None,
             energies: Optional[Mapping[str, float]] = None) -> MeasuredMap:
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
