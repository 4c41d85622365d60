"""NetCDF, HDF5 and Zarr files of measured data, opened with xarray.

The variable read is `intensity`, else the first data variable of two or
more dimensions; a variable `sigma` (or `variance`, whose square root is
taken lazily) on the same dimensions gives the uncertainties.  Attributes
`photon_energy` and `work_function` (eV), of the file or of the variable,
are kept.  Files stay open lazily: `chunked` puts dask arrays behind the
variables, one slice of the first dimension per chunk, so that nothing is read
before it is needed.
"""

from __future__ import annotations

import io
import os
from typing import TYPE_CHECKING, Any, Union

from ..core.errors import MeasuredDataError
from ..core.extras import require

if TYPE_CHECKING:
    import xarray

__all__ = ["read", "read_bytes", "is_zarr", "SUFFIXES"]

SUFFIXES = (".nc", ".nc4", ".cdf", ".netcdf", ".h5", ".hdf5", ".hdf", ".he5")
KEPT = ("photon_energy", "work_function", "kinetic_energy", "binding_energy", "energy_scale")


def is_zarr(path: str) -> bool:
    return any(os.path.exists(os.path.join(path, name))
               for name in ("zarr.json", ".zgroup", ".zarray", ".zattrs"))


def _xarray(label: str) -> Any:
    return require("xarray", "lab", f"{label}: reading NetCDF/HDF5/Zarr", "xarray and h5netcdf")


def read(path: str, *, zarr: bool = False, chunked: bool = False) -> xarray.Dataset:
    xr = _xarray(path)
    try:
        if zarr:
            dataset = xr.open_zarr(path, chunks=None)
        else:
            dataset = xr.open_dataset(path, engine="h5netcdf" if _is_hdf5(path) else "scipy")
    except Exception as error:  # the backends raise many kinds for unreadable files
        raise MeasuredDataError(f"{path}: cannot be read as NetCDF/HDF5/Zarr "
                                f"({_first_line(error)})") from None
    return _selected(dataset, path, chunked)


def read_bytes(data: Union[bytes, bytearray], label: str, engine: str) -> xarray.Dataset:
    xr = _xarray(label)
    try:
        with xr.open_dataset(io.BytesIO(bytes(data)), engine=engine) as dataset:
            return _selected(dataset.load(), label, False)
    except MeasuredDataError:
        raise
    except Exception as error:
        raise MeasuredDataError(f"{label}: cannot be read as NetCDF/HDF5 "
                                f"({_first_line(error)})") from None


def _is_hdf5(path: str) -> bool:
    with open(path, "rb") as handle:
        return handle.read(8) == b"\x89HDF\r\n\x1a\n"


def _selected(dataset: Any, label: str, chunked: bool) -> xarray.Dataset:
    names = [name for name in dataset.data_vars if dataset[name].ndim >= 2]
    if "intensity" in dataset.data_vars:
        name = "intensity"
    elif names:
        name = names[0]
    else:
        raise MeasuredDataError(f"{label}: holds no data variable of two or more dimensions"
                                + (f" (variables: {', '.join(map(str, dataset.data_vars))})"
                                   if dataset.data_vars else " (it is empty)"))
    intensity = dataset[name]
    if intensity.size == 0:
        raise MeasuredDataError(f"{label}: the variable {name!r} is empty")
    variables = {"intensity": intensity.variable}
    for other, square in (("sigma", False), ("variance", True)):
        if other in dataset.data_vars and set(dataset[other].dims) == set(intensity.dims):
            values = dataset[other].transpose(*intensity.dims)
            variables["sigma"] = (values ** 0.5 if square else values).variable
            break
    attrs = {key: value for key, value in {**intensity.attrs, **dataset.attrs}.items()
             if key in KEPT or key.startswith("libkernels")}
    attrs["source"] = label
    xr = _xarray(label)
    coords = {key: value for key, value in intensity.coords.items()}
    result = xr.Dataset(variables, coords=coords, attrs=attrs)
    if chunked and intensity.ndim >= 3:
        result = result.chunk({intensity.dims[0]: 1})
    return result


def _first_line(error: BaseException) -> str:
    text = str(error).strip()
    return text.splitlines()[0] if text else type(error).__name__
