"""Zarr folders of measured data (version 2 or 3), read through xarray as
NetCDF files are (netcdf.py: `intensity` or the first variable of two or more
dimensions, `sigma` or `variance`, the attributes); the header is the folder's
metadata."""

from __future__ import annotations

import os
from typing import TYPE_CHECKING, Any, Optional

from ...core.errors import MeasuredDataError
from ...core.extras import require
from .base import ArrayHeader, Header, Opened, first_line
from .netcdf import selected

if TYPE_CHECKING:
    import xarray

__all__ = ["read", "read_header", "sniff", "SUFFIXES"]

SUFFIXES = (".zarr",)
OWN_DIMS = True  # the file's own dimensions, placed by name and unit (kspace/axes.py)
METADATA = ("zarr.json", ".zgroup", ".zarray", ".zattrs")


def sniff(source: Opened) -> bool:
    return bool(source.path) and os.path.isdir(source.path) and any(
        os.path.exists(os.path.join(source.path, name)) for name in METADATA)


def _require(label: str, module: str) -> Any:
    return require(module, "lab", f"{label}: reading Zarr", "xarray and zarr")


def read(source: Opened, *, chunked: bool = False) -> xarray.Dataset:
    xr = _require(source.label, "xarray")
    try:
        dataset = xr.open_zarr(source.path, chunks=None)
    except Exception as error:  # zarr raises many kinds for unreadable folders
        raise MeasuredDataError(f"{source.label}: cannot be read as Zarr "
                                f"({first_line(error)})") from None
    result = selected(dataset, source.label, chunked)
    result.set_close(dataset.close)
    return result


def read_header(source: Opened, *, max_arrays: Optional[int] = None) -> Header:
    """Every array's shape, dtype and attributes from the folder's metadata."""
    zarr = _require(source.label, "zarr")
    try:
        group = zarr.open_group(source.path, mode="r")
        found = Header("zarr", attrs=dict(group.attrs))
        for name, array in group.arrays():
            found.add(ArrayHeader(str(name), tuple(array.shape), array.dtype,
                                  dict(array.attrs)), max_arrays)
    except Exception as error:
        raise MeasuredDataError(f"{source.label}: cannot be read as Zarr "
                                f"({first_line(error)})") from None
    return found
