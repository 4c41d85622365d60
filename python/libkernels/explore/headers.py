"""What an uploaded file holds, read from its headers before anything is inflated.

A 2 MB .npz can hold a compressed 16000 x 16000 float64 array: 2 GB once
inflated.  So before an upload is read, the shape and type of every array in
it are taken from the headers alone, and the upload is refused when one of
them, or all of them together, would exceed the limits:

- .npz: the zip directory lists the members; each member's .npy header (its
  first few hundred bytes, the only part decompressed here) gives the shape
  and dtype;
- NetCDF-4/HDF5 and NeXus: h5py opens the file's metadata, and every
  dataset's shape and dtype are read without reading its data.  A link to
  another file, or a dataset whose values lie in other files (external
  storage, virtual datasets), is refused: the server reads no file of its own
  for an upload;
- classic NetCDF: the header lists the dimensions and each variable's
  dimensions and type;
- an Igor binary wave: its header gives the number of points (and, from
  version 5, each dimension) and the number type.

Classic NetCDF and Igor waves are never compressed, but their values may be
bytes that become float64 once read: their counts of values are held to the
same limit.
"""

from __future__ import annotations

import io
import math
import zipfile
from typing import IO, Any, Iterator, Literal, Optional, Tuple

import numpy as np

from ..core.errors import RequestError
from ..core.memory import MemorySize, check, format_size
from ..formats.igor import is_igor

MAX_MEMBERS = 64  # arrays in one upload
ARRAYS_OF_FULL_SIZE = 4  # all arrays together: as many bytes as this many float64 maps
NPY_HEADER_BYTES = 65536  # a .npy header longer than this is not a measured map


def check_upload(data: bytes, max_elements: int, max_memory: MemorySize = None) -> None:
    """Refuses (RequestError 413) an upload whose arrays hold more than `max_elements`
    values each, more bytes in all than ARRAYS_OF_FULL_SIZE float64 arrays of that
    size, or (given `max_memory`) more than the memory guard allows; reads headers only."""
    if data[:4] == b"PK\x03\x04":
        arrays = list(_npz_arrays(data))
    elif data[:8] == b"\x89HDF\r\n\x1a\n":
        arrays = list(_hdf5_arrays(data))
    elif data[:3] == b"CDF":
        arrays = list(_netcdf3_arrays(data))
    elif is_igor(data[:2], ""):
        arrays = [_igor_wave(data)]
    else:
        return
    if len(arrays) > MAX_MEMBERS:
        raise RequestError(f"the upload holds {len(arrays)} arrays; a measured map has a few",
                           413)
    total = 0
    for name, shape, itemsize in arrays:
        elements = math.prod(shape)
        if elements > max_elements:
            raise RequestError(
                f"the upload's array {name!r} has shape {' x '.join(map(str, shape))} "
                f"({elements} values, {format_size(elements * itemsize)} inflated); at most "
                f"{max_elements} values are read", 413)
        total += elements * itemsize
    budget = ARRAYS_OF_FULL_SIZE * max_elements * 8
    if total > budget:
        raise RequestError(f"the upload's arrays would take {format_size(total)} inflated; "
                           f"at most {format_size(budget)} are read", 413)
    if max_memory is not None:
        try:
            check(total, f"the upload's arrays ({format_size(total)} inflated)",
                  "send a smaller map", max_memory)
        except ValueError as error:
            raise RequestError(str(error).splitlines()[0], 413) from None


def _npz_arrays(data: bytes) -> Iterator[Tuple[str, Tuple[int, ...], int]]:
    """(name, shape, itemsize) of each array of an .npz, from the .npy headers."""
    try:
        archive = zipfile.ZipFile(io.BytesIO(data))
        members = archive.infolist()
    except (zipfile.BadZipFile, OSError, ValueError, EOFError) as error:
        raise RequestError(f"cannot read the .npz: {_first_line(error)}") from None
    if len(members) > MAX_MEMBERS:
        raise RequestError(f"the upload holds {len(members)} files; a measured map has a few",
                           413)
    for member in members:
        if member.is_dir():
            continue
        name = member.filename[:-4] if member.filename.endswith(".npy") else member.filename
        try:
            with archive.open(member) as stream:
                header = _npy_header(_Limited(stream, NPY_HEADER_BYTES))
        except RequestError:
            raise
        except (zipfile.BadZipFile, OSError, ValueError, EOFError, RuntimeError,
                NotImplementedError) as error:
            raise RequestError(f"cannot read the .npz member {name!r}: "
                               f"{_first_line(error)}") from None
        if header is None:
            raise RequestError(f"the .npz member {name!r} is not a numpy array")
        shape, dtype = header
        if dtype.hasobject:
            raise RequestError(f"the .npz member {name!r} holds Python objects, which are "
                               "never loaded (save numbers)")
        yield name, shape, dtype.itemsize


class _Limited(io.RawIOBase):
    """A stream that gives at most `limit` bytes of another: the .npy header is
    decompressed, never what follows it."""

    def __init__(self, stream: IO[bytes], limit: int) -> None:
        self.stream = stream
        self.left = limit

    def readable(self) -> bool:
        return True

    def read(self, size: int = -1) -> bytes:
        if size is None or size < 0 or size > self.left:
            size = self.left
        chunk = self.stream.read(size)
        self.left -= len(chunk)
        return chunk


def _npy_header(stream: io.RawIOBase) -> Optional[Tuple[Tuple[int, ...], np.dtype]]:
    """(shape, dtype) from a .npy header, or None when the bytes are no .npy file."""
    fmt = np.lib.format
    try:
        major, minor = fmt.read_magic(stream)
    except ValueError:
        return None
    read = {(1, 0): fmt.read_array_header_1_0, (2, 0): fmt.read_array_header_2_0}.get(
        (major, minor))
    if read is None:
        raise RequestError(f".npy format version {major}.{minor} is not read")
    shape, _, dtype = read(stream)
    return tuple(int(extent) for extent in shape), np.dtype(dtype)


def _hdf5_arrays(data: bytes) -> Iterator[Tuple[str, Tuple[int, ...], int]]:
    """(name, shape, itemsize) of each dataset of an HDF5 file, from its metadata;
    refuses links to other files and datasets stored in other files."""
    try:
        import h5py
    except ImportError:  # the NetCDF reader will say what it needs
        return
    found = []

    def no_external_links(group: Any, path: str) -> None:
        for key in group:
            if isinstance(group.get(key, getlink=True), h5py.ExternalLink):
                raise RequestError(f"the upload's {path}{key!r} links to another file; "
                                   "links to files are never followed (copy the data in)")

    try:
        with h5py.File(io.BytesIO(data), "r") as handle:
            def visit(name: str, item: object) -> None:
                if isinstance(item, h5py.Group):
                    no_external_links(item, f"group {name!r}: ")
                elif isinstance(item, h5py.Dataset):
                    if item.is_virtual or item.external:
                        raise RequestError(f"the upload's dataset {name!r} keeps its values "
                                           "in other files, which are never read (copy the "
                                           "data in)")
                    shape = tuple(int(extent) for extent in (item.shape or ()))
                    found.append((name, shape, int(item.dtype.itemsize or 1)))
            no_external_links(handle, "")
            handle.visititems(visit)
    except RequestError:
        raise
    except Exception as error:  # h5py raises many types for a damaged file
        raise RequestError(f"cannot read the NetCDF/HDF5 file: {_first_line(error)}") from None
    yield from found


# classic NetCDF: the sizes of the external types, by type number
NETCDF3_SIZES = {1: 1, 2: 1, 3: 2, 4: 4, 5: 4, 6: 8, 7: 1, 8: 2, 9: 4, 10: 8, 11: 8}
NETCDF3_STREAMING = 0xFFFFFFFF
NETCDF3_MAX_ITEMS = 4096  # dimensions, attributes or variables in one list of the header


class _Header:
    """Reads a classic NetCDF header: big-endian counts of 4 bytes (8 in CDF-5),
    names and attribute values padded to 4 bytes."""

    def __init__(self, data: bytes) -> None:
        self.data = data
        self.at = 4
        self.wide = data[3] == 5

    def take(self, size: int) -> bytes:
        if size < 0 or self.at + size > len(self.data):
            raise RequestError("cannot read the NetCDF file: its header is cut short")
        chunk = self.data[self.at:self.at + size]
        self.at += size
        return chunk

    def int32(self) -> int:
        return int.from_bytes(self.take(4), "big")

    def count(self) -> int:
        return int.from_bytes(self.take(8 if self.wide else 4), "big")

    def name(self) -> str:
        size = self.count()
        return self.take(size + (-size) % 4)[:size].decode("utf-8", "replace")

    def items(self, tag: int) -> int:
        """How many items a list of this tag holds (0 for an absent list)."""
        found, size = self.int32(), self.count()
        if found not in (0, tag) or (found == 0 and size):
            raise RequestError("cannot read the NetCDF file: its header is damaged")
        if size > NETCDF3_MAX_ITEMS:
            raise RequestError(f"the upload's NetCDF header lists {size} items in one list; "
                               "a measured map has a few", 413)
        return size

    def skip_attributes(self) -> None:
        for _ in range(self.items(0x0C)):
            self.name()
            size = NETCDF3_SIZES.get(self.int32())
            if size is None:
                raise RequestError("cannot read the NetCDF file: an attribute of no known type")
            length = self.count() * size
            self.take(length + (-length) % 4)


def _netcdf3_arrays(data: bytes) -> Iterator[Tuple[str, Tuple[int, ...], int]]:
    """(name, shape, itemsize) of each variable of a classic NetCDF file, from its header."""
    if len(data) < 8 or data[3] not in (1, 2, 5):
        raise RequestError("cannot read the NetCDF file: not a classic NetCDF header")
    header = _Header(data)
    records = header.count()
    if records in (NETCDF3_STREAMING, 2**64 - 1):
        raise RequestError("cannot read the NetCDF file: its number of records is not "
                           "stated (a file still being written)")
    lengths = []
    for _ in range(header.items(0x0A)):
        header.name()
        lengths.append(header.count() or records)  # 0: the record dimension
    header.skip_attributes()
    for number in range(header.items(0x0B)):
        name = header.name()
        rank = header.count()
        if rank > len(lengths):
            raise RequestError(f"cannot read the NetCDF file: variable {name!r} has {rank} "
                               f"dimensions of {len(lengths)}")
        dims = [header.count() for _ in range(rank)]
        if any(d >= len(lengths) for d in dims):
            raise RequestError(f"cannot read the NetCDF file: variable {name!r} names a "
                               "dimension it does not have")
        header.skip_attributes()
        size = NETCDF3_SIZES.get(header.int32())
        if size is None:
            raise RequestError(f"cannot read the NetCDF file: variable {name!r} is of no "
                               "known type")
        header.count()  # the size of its values,
        header.take(4 if data[3] == 1 else 8)  # and where they begin
        yield name, tuple(lengths[d] for d in dims), size
        if number >= MAX_MEMBERS:
            return  # check_upload refuses this many


# Igor binary waves: the bytes before the wave header (by version), and the number
# type's size (the complex flag 1 doubles it; 0x40 marks unsigned; 0 is text)
IGOR_BIN_HEADER = {1: 8, 2: 16, 3: 20, 5: 64}
IGOR_TYPE_SIZES = {2: 4, 4: 8, 8: 1, 0x10: 2, 0x20: 4, 0x80: 8}


def _igor_wave(data: bytes) -> Tuple[str, Tuple[int, ...], int]:
    """(name, shape, itemsize) of an Igor binary wave, from its header: version 5 gives
    each dimension, older versions the number of points of their one dimension."""
    order: Literal["little", "big"] = "little" if data[1] == 0 else "big"
    version = int.from_bytes(data[:2], order)
    start = IGOR_BIN_HEADER[version]

    def field(offset: int, size: int, signed: bool = True) -> int:
        at = start + offset
        if at + size > len(data):
            raise RequestError("cannot read the Igor wave: its header is cut short")
        return int.from_bytes(data[at:at + size], order, signed=signed)

    if version == 5:  # WaveHeader5: npnts at 12, type at 16, bname at 28, nDim at 68
        points, kind = field(12, 4), field(16, 2, False)
        name = data[start + 28:start + 60].split(b"\0")[0]
        shape = tuple(field(68 + 4 * d, 4) for d in range(4))
        shape = tuple(n for n in shape if n > 0) or (points,)
        if math.prod(shape) != points:
            shape = (max(points, math.prod(shape)),)
    else:  # WaveHeader2: type at 0, bname at 6, npnts at 42
        kind, points = field(0, 2, False), field(42, 4)
        name = data[start + 6:start + 26].split(b"\0")[0]
        shape = (points,)
    if any(n < 0 for n in shape):
        raise RequestError("cannot read the Igor wave: its header states a negative size")
    size = IGOR_TYPE_SIZES.get(kind & ~0x41, 1) * (2 if kind & 1 else 1)
    return name.decode("latin-1") or "wave", shape, size


def _first_line(error: BaseException) -> str:
    text = str(error).strip()
    return text.splitlines()[0][:200] if text else type(error).__name__
