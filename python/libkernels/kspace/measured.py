"""`load_measured`: a MeasuredMap (core/measured.py) from every kind of source.

Sources: a file of any layout formats/measured/ reads, an xarray.DataArray or
Dataset, a mapping (or an .npz archive) of the arrays, (intensity, kx, ky[,
binding_energy]), an intensity array with its axes given as keywords, or a
MeasuredMap (checked and returned).  A file is opened once: .npz archives and
NetCDF files on kx, ky (and binding_energy) are taken as they are; data as
laboratories write them (NeXus, Igor, Zarr: angles, energy cubes) always go
through the conversion (convert.py), other files and xarray objects when a
Conversion asks for it (a geometry, an energy window, named dims).
"""

from __future__ import annotations

import os
from contextlib import contextmanager
from types import ModuleType
from typing import TYPE_CHECKING, Any, Iterator, Mapping, Optional, Tuple, Union

from numpy.typing import ArrayLike

from ..core.errors import MeasuredDataError
from ..core.extras import optional
from ..core.measured import (ENERGY_ATTRIBUTES, MeasuredMap, checked, from_arrays, from_xarray,
                             is_xarray)
from ..core.types import PathLike
from ..formats import measured as layouts
from ..formats.measured import npz
from .convert import Conversion, convert

if TYPE_CHECKING:
    import xarray

__all__ = ["load_measured", "MeasuredSource", "file_contents", "from_contents"]

# What load_measured reads: a MeasuredMap, a file, an xarray object, a mapping
# (or an .npz archive) of the arrays, (intensity, kx, ky[, binding_energy]), or
# an intensity array whose axes are given as keywords.
MeasuredSource = Union[MeasuredMap, PathLike, "xarray.DataArray", "xarray.Dataset",
                       Mapping[str, Any], ArrayLike]


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
    return checked(measured.intensity, measured.kx, measured.ky, measured.binding_energy,
                   measured.source, measured.attrs,
                   measured.sigma if sigma is None else sigma, {**measured.energies, **given})


def _loaded(source: MeasuredSource, kx: Optional[ArrayLike], ky: Optional[ArrayLike],
            binding_energy: Optional[ArrayLike], name: Optional[str],
            conversion: Optional[Conversion] = None) -> MeasuredMap:
    if isinstance(source, MeasuredMap):
        return checked(source.intensity, source.kx, source.ky, source.binding_energy,
                       source.source, source.attrs, source.sigma, source.energies)
    if isinstance(source, (str, os.PathLike)):
        converting = conversion is not None and conversion.active
        with file_contents(source, chunked=converting,
                           max_memory=None if conversion is None else conversion.max_memory) \
                as (contents, layout):
            return from_contents(contents, layout, os.fspath(source), conversion)
    if is_xarray(source):
        if conversion is not None and conversion.active:
            return from_xarray(convert(source, conversion).load(), name or "DataArray")
        return from_xarray(source, name or "DataArray")
    if isinstance(source, Mapping):  # a dict, or an .npz archive (NpzFile)
        return from_arrays(source, name or "arrays")
    if isinstance(source, (tuple, list)) and len(source) in (3, 4) and kx is None:
        return from_arrays(dict(zip(("intensity", "kx", "ky", "binding_energy"), source)),
                           name or "arrays")
    label = name or "array"
    if kx is None or ky is None:
        raise MeasuredDataError(f"{label}: an intensity array needs its axes kx and ky "
                                "(load_measured(intensity, kx=..., ky=...))")
    return checked(source, kx, ky, binding_energy, label, {})


@contextmanager
def file_contents(path: PathLike, chunked: bool = False,
                  max_memory: Any = None) -> Iterator[Tuple[Any, ModuleType]]:
    """(what the file holds, its layout), the file opened once and closed after: the
    arrays of an .npz by name, else the file's Dataset in its own dimensions
    (`chunked`: through dask where it is installed); its header is checked against
    the memory limit before anything is read (`max_memory`)."""
    with layouts.opened(path) as source:
        if source.layout is None:
            raise MeasuredDataError(
                f"{source.label}: unknown file type {source.suffix or '(no suffix)'!r}; give "
                f".npz, a NetCDF/HDF5 file ({', '.join(layouts.NETCDF_SUFFIXES[:2])}, .h5), "
                "NeXus, Zarr or Igor")
        if source.layout is npz:
            layouts.checked_header(source, max_memory)
            yield npz.read_arrays(source), npz
            return
        with layouts.read(source, chunked=chunked and optional("dask.array") is not None,
                          max_memory=max_memory) as dataset:
            yield dataset, source.layout


def from_contents(contents: Any, layout: ModuleType, label: str,
                  conversion: Optional[Conversion] = None) -> MeasuredMap:
    """The MeasuredMap of what file_contents gave: data in the file's own dimensions
    (and any when `conversion` asks for it) through the conversion; an .npz's arrays
    as they are."""
    if layout is npz:
        return from_arrays(contents, label)
    if layout.OWN_DIMS or (conversion is not None and conversion.active):
        return from_xarray(convert(contents, conversion or Conversion()).load(), label)
    return from_xarray(contents, label)
