"""NetCDF files of measured data, read through xarray: classic NetCDF (the
signature "CDF", through scipy) and NetCDF-4 (an HDF5 file without a NeXus
entry, through h5netcdf on the file's one h5py handle, hdf5.py).

The variable read is `intensity`, else the first data variable of two or
more dimensions; a variable `sigma` (or `variance`, whose square root is
taken lazily) on the same dimensions gives the uncertainties.  The
attributes of the file and of the variable are kept (the energies the file
states among them: `photon_energy`, `work_function`, `kinetic_energy` in eV).
Files stay open lazily until the Dataset is closed: `chunked` puts dask arrays
behind the variables, one slice of the first dimension per chunk, so that
nothing is read before it is needed.

The header of a classic file (read_header) is parsed here: big-endian counts
of 4 bytes (8 in CDF-5), names and values padded to 4 bytes; NetCDF-4 headers
are HDF5 metadata.
"""

from __future__ import annotations

from typing import IO, TYPE_CHECKING, Any, Callable, Dict, Optional

import numpy as np

from ...core.errors import MeasuredDataError
from ...core.extras import require
from ...core.record import NETCDF_SUFFIXES as SUFFIXES
from .hdf5 import hdf5_handle, hdf5_header, is_hdf5
from .base import ArrayHeader, Header, Opened, first_line

if TYPE_CHECKING:
    import xarray

__all__ = ["read", "read_header", "sniff", "selected", "SUFFIXES"]

SIGNATURE = b"CDF"
OWN_DIMS = False  # dimensions named as this package names them (kx, ky, binding_energy)

# classic NetCDF: the external types, by type number
TYPES = {1: "i1", 2: "S1", 3: ">i2", 4: ">i4", 5: ">f4", 6: ">f8", 7: "u1", 8: ">u2", 9: ">u4",
         10: ">i8", 11: ">u8"}
STREAMING = 0xFFFFFFFF
MAX_ITEM = 1 << 24  # bytes of one name or attribute value: beyond it the header is damaged
MAX_ITEMS = 1 << 16  # dimensions, attributes or variables in one list, likewise


def sniff(source: Opened) -> bool:
    return source.head[:len(SIGNATURE)] == SIGNATURE or is_hdf5(source.head)


def read(source: Opened, *, chunked: bool = False) -> xarray.Dataset:
    """The measured data (module notes), open lazily until the Dataset is closed."""
    label = source.label
    xr = require("xarray", "fit", f"{label}: reading NetCDF/HDF5", "xarray and h5netcdf",
                 "or pip install xarray h5netcdf")
    try:
        if is_hdf5(source.head):
            h5netcdf = require("h5netcdf", "fit", f"{label}: reading NetCDF-4", "h5netcdf")
            wrapper = h5netcdf.File(hdf5_handle(source), "r", decode_vlen_strings=True)
            dataset = xr.open_dataset(xr.backends.H5NetCDFStore(wrapper))
        elif source.head[:len(SIGNATURE)] == SIGNATURE:
            dataset = xr.open_dataset(source.target(), engine="scipy")
        else:
            raise MeasuredDataError(f"{label}: cannot be read as NetCDF/HDF5 (it starts with "
                                    "neither the NetCDF nor the HDF5 signature)")
    except MeasuredDataError:
        raise
    except Exception as error:  # the backends raise many kinds for unreadable files
        raise MeasuredDataError(f"{label}: cannot be read as NetCDF/HDF5 "
                                f"({first_line(error)})") from None
    return source.keep(selected(dataset, label, chunked), dataset)


def selected(dataset: Any, label: str, chunked: bool) -> xarray.Dataset:
    """The intensity (and sigma) of a Dataset as a file holds it (module notes)."""
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
        if other in dataset.data_vars:
            if set(dataset[other].dims) != set(intensity.dims):
                raise MeasuredDataError(
                    f"{label}: {other} has dimensions {', '.join(map(str, dataset[other].dims))};"
                    f" it must lie on the intensity's ({', '.join(map(str, intensity.dims))})")
            values = dataset[other].transpose(*intensity.dims)
            variables["sigma"] = (values ** 0.5 if square else values).variable
            break
    attrs = {**intensity.attrs, **dataset.attrs, "source": label}
    coords = {key: value for key, value in intensity.coords.items()}
    result = type(dataset)(variables, coords=coords, attrs=attrs)
    if chunked and intensity.ndim >= 3:
        result = result.chunk({intensity.dims[0]: 1})
    return result


def read_header(source: Opened, *, max_arrays: Optional[int] = None) -> Header:
    """Every variable's shape, dtype and attributes, and the file's attributes, from
    the header alone."""
    if is_hdf5(source.head):
        return hdf5_header(source, "netcdf", max_arrays)
    with source.stream() as stream:
        return _Classic(stream, source.label).header(max_arrays)


class _Classic:
    """Reads a classic NetCDF header from a stream, as far as it goes."""

    def __init__(self, stream: IO[bytes], label: str) -> None:
        self.stream = stream
        self.label = label
        magic = stream.read(4)
        if len(magic) < 4 or magic[3] not in (1, 2, 5):
            self.fail("not a classic NetCDF header")
        self.version = magic[3]

    def fail(self, why: str) -> None:
        raise MeasuredDataError(f"{self.label}: cannot be read as NetCDF/HDF5 ({why})")

    def take(self, size: int) -> bytes:
        if size < 0 or size > MAX_ITEM:
            self.fail("its header is damaged")
        chunk = self.stream.read(size)
        if len(chunk) < size:
            self.fail("its header is cut short")
        return chunk

    def int32(self) -> int:
        return int.from_bytes(self.take(4), "big")

    def count(self) -> int:
        return int.from_bytes(self.take(8 if self.version == 5 else 4), "big")

    def name(self) -> str:
        size = self.count()
        return self.take(size + (-size) % 4)[:size].decode("utf-8", "replace")

    def items(self, tag: int, each: Callable[[], Any]) -> list:
        """The items of a list of this tag (none for an absent list)."""
        found, size = self.int32(), self.count()
        if found not in (0, tag) or (found == 0 and size) or size > MAX_ITEMS:
            self.fail("its header is damaged")
        return [each() for _ in range(size)]

    def attribute(self) -> tuple:
        name = self.name()
        kind = TYPES.get(self.int32())
        if kind is None:
            self.fail(f"the attribute {name!r} is of no known type")
        dtype = np.dtype(kind)
        length = self.count() * dtype.itemsize
        raw = self.take(length + (-length) % 4)[:length]
        if dtype.kind == "S":
            return name, raw.decode("utf-8", "replace").rstrip("\0")
        values = np.frombuffer(raw, dtype)
        return name, values[0] if values.size == 1 else values

    def attributes(self) -> Dict[str, Any]:
        return dict(self.items(0x0C, self.attribute))

    def header(self, max_arrays: Optional[int]) -> Header:
        records = self.count()
        if records in (STREAMING, 2**64 - 1):
            self.fail("its number of records is not stated (a file still being written)")
        lengths = self.items(0x0A, lambda: (self.name(), self.count())[1] or records)
        found = Header("netcdf", attrs=self.attributes())

        def variable() -> None:
            name = self.name()
            rank = self.count()
            if rank > len(lengths):
                self.fail(f"variable {name!r} has {rank} dimensions of {len(lengths)}")
            dims = [self.count() for _ in range(rank)]
            if any(d >= len(lengths) for d in dims):
                self.fail(f"variable {name!r} names a dimension it does not have")
            attrs = self.attributes()
            kind = TYPES.get(self.int32())
            if kind is None:
                self.fail(f"variable {name!r} is of no known type")
            self.count()  # the size of its values,
            self.take(4 if self.version == 1 else 8)  # and where they begin
            found.add(ArrayHeader(name, tuple(lengths[d] for d in dims), np.dtype(kind),
                                  attrs), max_arrays)

        self.items(0x0B, variable)
        return found
