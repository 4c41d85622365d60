"""Measured data as laboratories write them, read into labelled xarray objects.

`read_measured_file(path)` recognises the container by its content, not by
its name: an HDF5 file holding a NeXus entry (nexus.py), any other
NetCDF/HDF5 file or a Zarr folder (xarray_files.py), an Igor binary wave or
packed experiment (igor.py).  Every reader returns an xarray.Dataset in the
file's own dimension names, coordinates and units: `intensity` (and `sigma`
when the file holds uncertainties), and in its attributes what the file says
about the measurement (`photon_energy`, `work_function` in eV; `source`).
What the dimensions mean (angles, momenta, energies) is decided afterwards,
from their names and units (kspace/axes.py).

Readers open lazily where the container allows it (NetCDF, HDF5, Zarr and
NeXus through dask when `chunked`), so that a cube larger than the memory
limit is never read whole; Igor files are read whole.
"""

from __future__ import annotations

import os
from typing import TYPE_CHECKING, Union

from ..core.errors import MeasuredDataError
from . import igor, nexus, xarray_files

if TYPE_CHECKING:
    import xarray

    from ..core.types import PathLike

__all__ = ["read_measured_file", "read_measured_bytes", "kind_of"]

HDF5_SIGNATURE = b"\x89HDF\r\n\x1a\n"


def kind_of(path: str, head: bytes) -> str:
    """'nexus', 'netcdf', 'zarr' or 'igor' from the first bytes (and, for Igor
    experiments, which start with no signature, the suffix); '' when unknown."""
    if os.path.isdir(path):
        return "zarr" if xarray_files.is_zarr(path) else ""
    if head[:8] == HDF5_SIGNATURE:
        return "nexus" if nexus.is_nexus(path) else "netcdf"
    if head[:3] == b"CDF":
        return "netcdf"
    if igor.is_igor(head, path):
        return "igor"
    return ""


def read_measured_file(source: PathLike, *, chunked: bool = False) -> xarray.Dataset:
    """The measured data in a file (see the module notes); MeasuredDataError in one
    line for a file that is missing, empty or of no known kind."""
    path = os.fspath(source)
    if not os.path.exists(path):
        raise MeasuredDataError(f"{path}: no such file")
    head = b""
    if os.path.isfile(path):
        if os.path.getsize(path) == 0:
            raise MeasuredDataError(f"{path}: the file is empty")
        with open(path, "rb") as handle:
            head = handle.read(16)
    kind = kind_of(path, head)
    if kind == "nexus":
        return nexus.read(path, chunked=chunked)
    if kind in ("netcdf", "zarr"):
        return xarray_files.read(path, zarr=kind == "zarr", chunked=chunked)
    if kind == "igor":
        return igor.read(path)
    hint = ("; a .npz already on kx, ky needs no conversion: fit, deconvolve and reconstruct "
            "take it as it is" if path.lower().endswith(".npz") else "")
    raise MeasuredDataError(f"{path}: not a file of measured data this package reads (NeXus "
                            f"or other HDF5, NetCDF, Zarr, Igor .ibw/.pxp/.pxt){hint}")


def read_measured_bytes(data: Union[bytes, bytearray], label: str) -> xarray.Dataset:
    """The measured data in a file's bytes (an upload), read in memory: NeXus,
    NetCDF/HDF5 or an Igor wave."""
    head = bytes(data[:16])
    if head[:8] == HDF5_SIGNATURE:
        if nexus.is_nexus(data):
            return nexus.read(data, label=label)
        return xarray_files.read_bytes(data, label, engine="h5netcdf")
    if head[:3] == b"CDF":
        return xarray_files.read_bytes(data, label, engine="scipy")
    if igor.is_igor(head, ""):
        return igor.read(data, label=label)
    raise MeasuredDataError(f"{label}: neither NeXus, NetCDF/HDF5 nor an Igor wave")
