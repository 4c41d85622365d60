"""Measured data to a square momentum lattice: `to_momentum`.

The data (a file any reader in formats/ reads, an xarray object, or data
already placed) are placed (axes.py), their energies found, and each energy
slice measured in angles is resampled onto one lattice k = step * integer in
kx and ky (resample.py) at its own kinetic energy.  Data already in momentum
pass through (their uncertainties added).  The result is an xarray.Dataset:

    intensity, sigma   (kx, ky) for a map, (binding_energy, kx, ky) for a cube
                       (kinetic_energy when no photon energy is known), float32,
                       counts per solid angle, NaN where nothing was measured
    kx, ky             1/Å; binding_energy, kinetic_energy (per slice, or scalar
                       for a map) in eV
    attrs              photon_energy, work_function, kinetic_energy (a map's),
                       the geometry and where the data came from

Uncertainties: the file's sigma (or variance) when it has one, else the
intensities are taken as counts.  A count's variance is its expected value,
estimated by the mean count of the pixel's COUNT_WINDOW x COUNT_WINDOW
neighbourhood (at least 1): the pixel's own count would make its weight in a
fit follow its own fluctuation, and pull fitted backgrounds low (by about one
count for raw counts).  Both are carried through the interpolation and the
solid-angle Jacobian (resample.py).  An
energy window sums the converted slices inside it into one map.

That estimate is still the data's (a neighbourhood's counts), and weights that
follow the data bias a fit: the attribute `sigma_source` says `counts` when
sigma is such an estimate (`file` when the file gave it), and the fit then
weighs the pixels by the model's own expected counts instead.  Data converted
from angles also state how their pixels were made (footprint.py: the measured
angle axes, each slice's kinetic energy, the lattice step), so that the fit
can model each pixel as the interpolation of the measured pixels around it.

Size: above the memory limit (core/memory.py) the cube is converted in
chunks of slices on dask, lazily: nothing is read until the result is
written (`write_netcdf`) or computed, and then one chunk at a time.
"""

from __future__ import annotations

import math
import os
from dataclasses import dataclass, field, fields, replace
from typing import TYPE_CHECKING, Any, Dict, Mapping, Optional, Sequence, Tuple

import numpy as np

from ..core.energies import Energies
from ..core.errors import InputError, MeasuredDataError
from ..core.extras import optional, require
from ..core.memory import MemorySize, check, memory_limit
from ..formats import measured as layouts
from ..formats.measured import npz
from .axes import MOMENTA, Placed, place
from .footprint import COUNTS, SIGMA_SOURCE, footprint_attributes
from .geometry import GEOMETRIES, Geometry, k_of_energy
from .resample import AngleAxis, Resampler, lattice
from .settings import Conversion, ConversionSettings, conversion_of
from .slices import (COUNT_WINDOW, SliceEnergies, describe_window, described,
                     expected_counts_variance, slice_energies as _energies, selected_slices)
from .cuts import convert_cut
from .kz import convert_photon_scan

if TYPE_CHECKING:
    import xarray

    from ..core.types import Float32Array, Float64Array, PathLike

__all__ = ["Conversion", "conversion_of", "to_momentum", "convert", "write_netcdf", "expected_counts_variance",
           "INFORMATION_RATIO"]

# bytes per output pixel while a slice is converted: the float64 work arrays
# (indices, weights, sums) of resample.Resampler.convert
WORK_BYTES_PER_PIXEL = 16 * 8
# a chunk of slices takes at most this share of the memory limit
CHUNK_SHARE = 0.25
# the attribute holding Resampler.information_ratio of a conversion
INFORMATION_RATIO = "information_ratio"


def _open(data: Any, conversion: Conversion) -> Placed:
    if isinstance(data, Placed):
        return data
    if isinstance(data, (str, os.PathLike)):
        with layouts.opened(data) as source:
            if source.layout is npz:
                raise MeasuredDataError(f"{source.label}: to_momentum converts NeXus, HDF5, "
                                        "NetCDF, Zarr and Igor files; a .npz already on kx, ky "
                                        "needs no conversion: fit, deconvolve and reconstruct "
                                        "take it as it is")
            # what the header declares is checked before dask and the data are touched
            layouts.checked_header(source, conversion.max_memory, chunked=True)
            dataset = layouts.read(source, chunked=optional("dask.array") is not None,
                                   max_memory=conversion.max_memory)
        label = source.label
    elif hasattr(data, "data_vars") or hasattr(data, "dims"):
        dataset = data if hasattr(data, "data_vars") else data.to_dataset(name="intensity")
        if "intensity" not in dataset.data_vars:
            names = list(dataset.data_vars)
            if not names:
                raise MeasuredDataError("the Dataset holds no data variable")
            dataset = dataset.rename({names[0]: "intensity"})
        label = str(dataset.attrs.get("source", getattr(data, "name", None) or "the data"))
    else:
        raise MeasuredDataError(f"to_momentum takes a file or an xarray object, got "
                                f"{type(data).__name__}")
    return place(dataset, conversion.dims, label, conversion.angle_unit)


# ---- the conversion ------------------------------------------------------------------------

def _geometry(placed: Placed, conversion: Conversion, label: str) -> Geometry:
    if conversion.geometry is None:
        raise InputError("geometry", f"is missing: {label} is measured in angles "
                                     f"({placed.found})",
                         "give {geometry} " + " | ".join(GEOMETRIES))
    geometry = Geometry(str(conversion.geometry), dict(conversion.angle_offsets or {}),
                        float(conversion.sample_azimuth), placed.fixed)
    angles = placed.angle_dims()
    if sorted(angles) != sorted(geometry.scanned):
        raise MeasuredDataError(
            f"{label}: the {geometry.kind} geometry takes the angles "
            f"{' and '.join(geometry.scanned)}, the data have "
            f"{', '.join(angles) or 'none'} (dimensions found: {placed.found}); name them with "
            "--dims NAME=ROLE (Python: dims={NAME: ROLE})")
    for name in geometry.scanned:
        if placed.data.sizes[name] < 2:
            raise MeasuredDataError(f"{label}: the angle axis {name} has a single value; a "
                                    "map needs two angles")
    return geometry


def _axis(placed: Placed, geometry: Geometry, name: str) -> AngleAxis:
    values = np.asarray(placed.data[name].values, dtype=np.float64) - geometry.offset(name)
    return AngleAxis(np.radians(values))


def _k_range(geometry: Geometry, a: AngleAxis, b: AngleAxis, k: float
             ) -> Tuple[float, float, float, float]:
    """The box in (kx, ky) holding every measured direction at momentum scale k."""
    edges = []
    for t in np.linspace(0.0, 1.0, 257):
        pa = a.values[0] + t * (a.values[-1] - a.values[0])
        pb = b.values[0] + t * (b.values[-1] - b.values[0])
        edges += [(pa, b.values[0]), (pa, b.values[-1]), (a.values[0], pb), (a.values[-1], pb)]
    pa, pb = (np.array(v) for v in zip(*edges))
    if geometry.kind == "polar-azimuth" and a.values[0] <= 0 <= a.values[-1]:
        pa = np.append(pa, 0.0)
        pb = np.append(pb, b.values[0])
    x, y, _ = geometry.direction(pa, pb)
    return float(x.min()) * k, float(x.max()) * k, float(y.min()) * k, float(y.max()) * k


def to_momentum(data: Any, geometry: Optional[str] = None, *,
                angle_offsets: Optional[Mapping[str, float]] = None, sample_azimuth: float = 0.0,
                photon_energy: Optional[float] = None, work_function: Optional[float] = None,
                kinetic_energy: Optional[float] = None, inner_potential: Optional[float] = None,
                counts_per: Optional[str] = None,
                energy_window: Optional[Sequence[float]] = None, k_step: Optional[float] = None,
                dims: Optional[Mapping[str, str]] = None, angle_unit: Optional[str] = None,
                max_memory: MemorySize = None) -> xarray.Dataset:
    """Measured data on a square momentum lattice, with uncertainties (module notes).

    data: a file (NeXus, NetCDF/HDF5, Zarr, Igor), an xarray.DataArray or Dataset.
    geometry: 'deflector', 'polar', 'tilt' or 'polar-azimuth' (kspace/geometry.py)
    for data in angles; angle_offsets: {'phi': 0.5, ...} degrees at normal
    emission; sample_azimuth in degrees; photon_energy, work_function,
    kinetic_energy in eV (the file's when not given); energy_window: (low, high)
    eV of the output energy axis (binding energy when the photon energy is
    known, else kinetic), summed into one map; k_step: the lattice step in 1/Å;
    inner_potential (eV): for photon-energy scans, converted to (kz, k_par)
    (kz.py); counts_per: 'solid-angle' or 'k-area' for data already in momentum
    whose file does not say;
    dims: {file's dimension: role} where names do not tell; angle_unit: 'deg' or
    'rad' for every angle, where the file states none (or over what it states);
    max_memory: above it the conversion is lazy, chunk by chunk."""
    conversion = Conversion(
        geometry=geometry, angle_offsets=None if angle_offsets is None else dict(angle_offsets),
        sample_azimuth=sample_azimuth,
        energy_window=None if energy_window is None else (energy_window[0], energy_window[1]),
        k_step=k_step, dims=None if dims is None else dict(dims), angle_unit=angle_unit,
        counts_per=counts_per,
        energies=Energies(photon_energy=photon_energy, work_function=work_function,
                          kinetic_energy=kinetic_energy, inner_potential=inner_potential),
        max_memory=max_memory)
    return convert(data, conversion)


def convert(data: Any, conversion: Conversion) -> xarray.Dataset:
    """`to_momentum` with its settings gathered in a Conversion."""
    xr = require("xarray", "lab", "converting measured data", "xarray")
    placed = _open(data, conversion)
    label = str(placed.attrs.get("source", "the data"))
    if "photon_energy" in placed.dims:
        return convert_photon_scan(xr, placed, conversion, label)
    dim = placed.energy_dim()
    momentum = all(d in placed.dims for d in MOMENTA)
    energies = _energies(placed, conversion, label, required=not momentum)
    if not momentum and len(placed.angle_dims()) == 1:
        return convert_cut(xr, placed, conversion, energies, label)
    if momentum and (conversion.geometry in (None, "momentum")):
        geometry = None
    else:
        if conversion.geometry == "momentum":
            raise MeasuredDataError(f"{label}: measured in angles ({placed.found}), not "
                                    "momentum; give the geometry that measured them")
        geometry = _geometry(placed, conversion, label)
    counts = counts_per(placed, conversion, geometry, label)
    selected, window = selected_slices(placed, energies, conversion.energy_window, label)
    order = ((dim,) if dim else ()) + ((("kx", "ky") if geometry is None else geometry.scanned))
    intensity = placed.data["intensity"].transpose(*order).data
    sigma = placed.data["sigma"].transpose(*order).data if "sigma" in placed.data else None
    if dim is None:
        intensity = intensity[None]
        sigma = None if sigma is None else sigma[None]
    extent = None
    if geometry is None:
        kx = np.asarray(placed.data["kx"].values)
        ky = np.asarray(placed.data["ky"].values)
        resampler = None
    else:
        a, b = (_axis(placed, geometry, name) for name in geometry.scanned)
        k_top = k_of_energy(float(np.nanmax(energies.kinetic[selected])))
        step = conversion.k_step or k_top * min(abs(a.step), abs(b.step) if
                                                geometry.kind != "polar-azimuth" else abs(a.step))
        extent = _k_range(geometry, a, b, k_top)
        kx, ky = lattice(extent[0], extent[1], step), lattice(extent[2], extent[3], step)
        resampler = Resampler(geometry, a, b, kx, ky)
    n_in = int(np.prod(intensity.shape[1:]))
    n_out = kx.size * ky.size
    per_slice = 8 * n_in + 8 * n_out
    estimate = selected.size * per_slice + WORK_BYTES_PER_PIXEL * n_out
    limit = memory_limit(conversion.max_memory)
    chunked = limit is not None and estimate > limit
    if chunked:
        if not optional("dask.array") is not None or not hasattr(intensity, "dask"):
            check(estimate, f"converting {label} ({selected.size} slices of "
                            f"{' x '.join(map(str, intensity.shape[1:]))})",
                  "convert it from a NetCDF, HDF5 or NeXus file with dask installed, or give "
                  "an {energy_window}", conversion.max_memory)
        check(WORK_BYTES_PER_PIXEL * n_out + 2 * per_slice,
              f"one slice of {label} on a {kx.size} x {ky.size} lattice",
              "raise the lattice step", conversion.max_memory)
    values, variances = _converted(intensity, sigma, energies.kinetic, selected, resampler,
                                   chunked, (limit or 0) * CHUNK_SHARE, per_slice)
    if conversion.energy_window is not None:
        values = values.sum(axis=0)
        variances = variances.sum(axis=0)
    elif dim is None:  # a single map
        values, variances = values[0], variances[0]
    information = None if resampler is None else resampler.information_ratio(
        float(np.nanmean(energies.kinetic[selected])))
    dataset = _dataset(xr, values, variances, kx, ky, energies, selected, dim,
                       conversion, geometry, placed, label, information)
    dataset.attrs["counts_per"] = counts
    dataset.attrs[SIGMA_SOURCE] = COUNTS if sigma is None else "file"
    if geometry is not None:  # a cube's slices state their energies in a coordinate
        dataset.attrs.update(footprint_attributes(
            geometry, {name: placed.data[name].values for name in geometry.scanned},
            energies.kinetic[selected] if values.ndim == 2 else None, float(kx[1] - kx[0])))
    if extent is not None:
        # the measured directions' box in k at the highest kinetic energy converted
        dataset.attrs["k_extent"] = [round(float(v), 6) for v in extent]
    if window is not None:
        describe_window(dataset.attrs, window[0], window[1])
    return described(dataset, placed, energies)


# the phrases of units by which files state what their counts are per
K_AREA_UNITS = ("angstrom^-2", "1/angstrom^2", "a^-2", "1/a^2", "k-area", "k_area", "d2k",
                "per k area")
SOLID_ANGLE_UNITS = ("/sr", "sr^-1", "steradian", "solid angle", "solid-angle", "per sr")
COUNTS_PER = ("solid-angle", "k-area")


def counts_per(placed: Placed, conversion: Conversion, geometry: Optional[Geometry],
               label: str) -> str:
    """What the converted intensity counts per: 'solid angle' after a conversion from
    angles; for data in momentum, as given (`counts_per`), else as the file says (its
    `counts_per` attribute, or units naming a solid angle or an area in k), else, for
    files of other writers, refused when they hold raw counts.  Files in this package's
    own layout (.npz, NetCDF on kx, ky) count per solid angle, as it writes them."""
    if geometry is not None:
        return "solid angle"
    given = getattr(conversion, "counts_per", None)
    if given is not None:
        return "solid angle" if given == "solid-angle" else "k-area"
    attrs = placed.attrs
    stated = str(attrs.get("counts_per", "")).strip().lower()
    if stated in ("solid angle", "solid-angle", "k-area", "k area"):
        return "solid angle" if "solid" in stated else "k-area"
    unit = str(placed.data["intensity"].attrs.get("units", "")).lower().replace(" ", "")
    if any(phrase.replace(" ", "") in unit for phrase in K_AREA_UNITS):
        return "k-area"
    if any(phrase.replace(" ", "") in unit for phrase in SOLID_ANGLE_UNITS):
        return "solid angle"
    if attrs.get("layout") in FOREIGN_LAYOUTS and _raw_counts(placed.data["intensity"]):
        raise InputError("counts_per", f"is missing: {label} holds counts in momentum and "
                                       "does not say whether per solid angle (an angle-"
                                       "resolving analyser) or per area in k (a momentum "
                                       "microscope)", "give {counts_per} solid-angle or "
                                                      "k-area")
    return "solid angle"


# layouts of other writers, whose momentum data must say what they count per
FOREIGN_LAYOUTS = ("nexus", "igor", "zarr", "field_netcdf", "fits", "ses_zip")


def _raw_counts(intensity: Any) -> bool:
    """Whether the values (a sample of them) are non-negative whole numbers."""
    flat = np.asarray(intensity.data[(0,) * (intensity.ndim - 2)] if intensity.ndim > 2
                      else intensity.data, dtype=np.float64).reshape(-1)
    flat = flat[np.isfinite(flat)]
    return bool(flat.size) and bool(np.all(flat >= 0)) and bool(np.all(flat == np.round(flat)))


def _converted(intensity: Any, sigma: Any, kinetic: Float64Array, selected: Any,
               resampler: Optional[Resampler], chunked: bool, chunk_bytes: float,
               per_slice: int) -> Tuple[Any, Any]:
    """(intensity, variance) of the selected slices on the lattice: numpy arrays, or
    lazy dask arrays when `chunked`."""
    if not chunked:
        values = np.asarray(intensity)[selected]
        return _convert_block(values, None if sigma is None else np.asarray(sigma)[selected],
                              kinetic[selected], resampler)
    da = require("dask.array", "lab", "converting a cube in chunks", "dask")
    per_chunk = max(1, int(chunk_bytes // max(per_slice, 1)))
    values = intensity[selected].rechunk((per_chunk,) + tuple(-1 for _ in intensity.shape[1:]))
    # without sigma the block's own counts give the variances (the values again)
    spread = values if sigma is None else sigma[selected].rechunk(values.chunks)
    energies = da.from_array(kinetic[selected], chunks=(values.chunks[0],))
    shape = (resampler.kx.size, resampler.ky.size) if resampler is not None else \
        tuple(values.shape[1:])

    def block(v: Any, w: Any, e: Any) -> Any:
        out, var = _convert_block(v, None if sigma is None else w, e, resampler)
        return np.stack([out, var], axis=-1)

    stacked = da.map_blocks(block, values, spread, energies[:, None, None], dtype=np.float32,
                            chunks=(values.chunks[0], (shape[0],), (shape[1],), (2,)),
                            new_axis=3, meta=np.empty((0, 0, 0, 0), np.float32))
    return stacked[..., 0], stacked[..., 1]


def _convert_block(values: Any, sigma: Any, kinetic: Any, resampler: Optional[Resampler]
                   ) -> Tuple[Float32Array, Float32Array]:
    """(intensity, variance) of a block of slices; variances from sigma, else counts."""
    values = np.asarray(values)
    kinetic = np.asarray(kinetic).reshape(-1)

    def variance(s: int) -> Float32Array:
        if sigma is None:
            return expected_counts_variance(values[s])
        return np.square(np.asarray(sigma[s], dtype=np.float32))

    if resampler is None:
        return values.astype(np.float32), np.stack([variance(s) for s in
                                                    range(values.shape[0])])
    out = np.empty((values.shape[0], resampler.kx.size, resampler.ky.size), np.float32)
    var = np.empty_like(out)
    for s in range(values.shape[0]):
        out[s], var[s] = resampler.convert(values[s], variance(s), float(kinetic[s]))
    return out, var


def _dataset(xr: Any, values: Any, variances: Any, kx: Float64Array, ky: Float64Array,
             energies: SliceEnergies, selected: Any, dim: Optional[str], conversion: Conversion,
             geometry: Optional[Geometry], placed: Placed, label: str,
             information: Optional[float] = None) -> xarray.Dataset:
    sigma = variances ** 0.5
    attrs: Dict[str, Any] = {"source": label,
                             "units": "counts per solid angle (the counts of a pixel of the "
                                      "measured angle steps at normal emission)"
                             if geometry is not None else placed.data["intensity"].attrs.get(
                                 "units", "")}
    for name in ("photon_energy", "work_function"):
        value = getattr(energies, name)
        if value is not None:
            attrs[name] = float(value)
    if geometry is not None:
        attrs["geometry"] = geometry.kind
        attrs["angle_offsets"] = ", ".join(f"{k}={v:g}" for k, v in geometry.offsets.items())
        attrs["sample_azimuth"] = float(geometry.sample_azimuth)
        if geometry.fixed:
            attrs["fixed_angles"] = ", ".join(f"{k}={v:g}" for k, v in geometry.fixed.items())
    if information is not None:
        # neighbouring pixels share measured ones: a fit's errors grow by its square root
        attrs[INFORMATION_RATIO] = round(information, 4)
    coords: Dict[str, Any] = {"kx": ("kx", kx, {"units": "1/angstrom"}),
                              "ky": ("ky", ky, {"units": "1/angstrom"})}
    kinetic = energies.kinetic[selected]
    binding = None if energies.binding is None else energies.binding[selected]
    if values.ndim == 3:
        axis = "binding_energy" if binding is not None else "kinetic_energy"
        coords[axis] = (axis, binding if binding is not None else kinetic, {"units": "eV"})
        if binding is not None and np.all(np.isfinite(kinetic)):
            coords["kinetic_energy"] = (axis, kinetic, {"units": "eV"})
        dims: Tuple[str, ...] = (axis, "kx", "ky")
    else:
        if np.all(np.isfinite(kinetic)):  # a window's slices weigh the same
            attrs["kinetic_energy"] = float(np.mean(kinetic))
        if binding is not None:
            coords["binding_energy"] = ((), float(np.mean(binding)), {"units": "eV"})
        if conversion.energy_window is not None:
            attrs["energy_window"] = [float(v) for v in conversion.energy_window]
        dims = ("kx", "ky")
    return xr.Dataset({"intensity": (dims, values, {}), "sigma": (dims, sigma, {})},
                      coords=coords, attrs=attrs)


def write_netcdf(dataset: xarray.Dataset, path: PathLike, attrs: Mapping[str, Any]) -> None:
    """Writes the converted data (lazily converted ones chunk by chunk, one at a time)."""
    out = dataset.copy()
    out.attrs.update(attrs)
    encoding = {name: {"dtype": "float32"} for name in ("intensity", "sigma")}
    if any(hasattr(out[name].data, "dask") for name in ("intensity", "sigma")):
        dask = require("dask", "lab", "converting a cube in chunks", "dask")
        with dask.config.set(scheduler="synchronous"):
            out.to_netcdf(path, engine="h5netcdf", encoding=encoding)
    else:
        out.to_netcdf(path, engine="h5netcdf", encoding=encoding)

