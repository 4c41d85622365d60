"""What an uploaded file holds, read from its headers before anything is inflated.

A 2 MB .npz can hold a compressed 16000 x 16000 float64 array: 2 GB once
inflated.  So before an upload is read, the shape and type of every array in
it are taken from the headers alone, and the upload is refused when one of
them, or all of them together, would exceed the limits:

- .npz: the zip directory lists the members; each member's .npy header (its
  first few hundred bytes, the only part decompressed here) gives the shape
  and dtype;
- NetCDF-4/HDF5: h5py opens the file's metadata, and every dataset's shape
  and dtype are read without reading its data;
- classic NetCDF is never compressed: its arrays cannot be larger than the
  upload itself, which the server has limited already.
"""

from __future__ import annotations

import io
import math
import zipfile
from typing import IO, Iterator, Optional, Tuple

import numpy as np

from ..core.errors import RequestError
from ..core.memory import MemorySize, check, format_size

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
    """(name, shape, itemsize) of each dataset of an HDF5 file, from its metadata."""
    try:
        import h5py
    except ImportError:  # the NetCDF reader will say what it needs
        return
    found = []
    try:
        with h5py.File(io.BytesIO(data), "r") as handle:
            def visit(name: str, item: object) -> None:
                if isinstance(item, h5py.Dataset):
                    shape = tuple(int(extent) for extent in (item.shape or ()))
                    found.append((name, shape, int(item.dtype.itemsize or 1)))
            handle.visititems(visit)
    except Exception as error:  # h5py raises many types for a damaged file
        raise RequestError(f"cannot read the NetCDF/HDF5 file: {_first_line(error)}") from None
    yield from found


def _first_line(error: BaseException) -> str:
    text = str(error).strip()
    return text.splitlines()[0][:200] if text else type(error).__name__
