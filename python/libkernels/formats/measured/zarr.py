"""Zarr folders of measured data (version 2 or 3), read through xarray as
NetCDF files are (netcdf.py: `intensity` or the first variable of two or more
dimensions, `sigma` or `variance`, the attributes); the header is the folder's
metadata."""

from __future__ import annotations

import os
from typing import TYPE_CHECKING, Any, Optional

from ...core.errors import MeasuredDataError
from ...core.extras import require
from .base import ArrayHeader, Header, Opened, Source, first_line, using
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


def read(source: Source, *, chunked: bool = False,
         label: Optional[str] = None) -> xarray.Dataset:
    with using(source, label) as opened:
        xr = _require(opened.label, "xarray")
        try:
            dataset = xr.open_zarr(opened.path, chunks=None)
        except Exception as error:  # zarr raises many kinds for unreadable folders
            raise MeasuredDataError(f"{opened.label}: cannot be read as Zarr "
                                    f"({first_line(error)})") from None
        result = selected(dataset, opened.label, chunked)
        result.set_close(dataset.close)
        return result


def read_header(source: Source, *, max_arrays: Optional[int] = None,
                label: Optional[str] = None) -> Header:
    """Every array's shape, dtype and attributes from the folder's metadata."""
    with using(source, label) as opened:
        zarr = _require(opened.label, "zarr")
        try:
            group = zarr.open_group(opened.path, mode="r")
            found = Header("zarr", attrs=dict(group.attrs))
            for name, array in group.arrays():
                found.add(ArrayHeader(str(name), tuple(array.shape), array.dtype,
                                      dict(array.attrs)), max_arrays)
        except Exception as error:
            raise MeasuredDataError(f"{opened.label}: cannot be read as Zarr "
                                    f"({first_line(error)})") from None
        return found
