"""NumPy .npz archives of a measured map: arrays `intensity`, `kx`, `ky` (and
`binding_energy` for a stack, optionally `sigma` and the energies as 0-d
arrays), read into a MeasuredMap (core/measured.py); pickled objects are
never loaded.

The header (read_header) is the zip directory and, of each member, its .npy
header: the first few hundred bytes, the only part decompressed (a 2 MB
archive can inflate to gigabytes).  Members of shape () are numbers the
archive states (its energies) and are read.
"""

from __future__ import annotations

import io
import zipfile
import zlib
from typing import IO, Any, Dict, Optional, Tuple

import numpy as np

from ...core.errors import MeasuredDataError
from ...core.measured import MeasuredMap, from_arrays
from .base import ArrayHeader, Header, Opened, first_line

__all__ = ["read", "read_arrays", "read_header", "sniff", "SUFFIXES"]

SIGNATURE = b"PK\x03\x04"
SUFFIXES = (".npz",)
OWN_DIMS = False  # the package's own layout
NPY_HEADER_BYTES = 65536  # a .npy header longer than this is not a measured map
# what a damaged archive raises, from zipfile, zlib and numpy's reader
FAULTS = (OSError, ValueError, EOFError, RuntimeError, NotImplementedError,
          zipfile.BadZipFile, zlib.error)


def sniff(source: Opened) -> bool:
    return source.head[:len(SIGNATURE)] == SIGNATURE


def _archive(source: Opened) -> Any:
    """The archive (numpy's NpzFile), opened once and kept on `source`."""
    if source.handle is None:
        # np.load takes anything that is neither a zip archive nor a .npy file for a
        # pickle, and its refusal would advise loading it unsafely: such a file is
        # named for what it is instead
        if source.head.startswith(b"\x93NUMPY"):
            raise MeasuredDataError(f"{source.label}: not an .npz archive of arrays but a "
                                    "single .npy array (save intensity, kx and ky with "
                                    "numpy.savez)")
        if not sniff(source):
            raise MeasuredDataError(f"{source.label}: not an .npz archive of arrays (it does "
                                    "not begin as a zip archive does)")
        try:
            source.handle = np.load(source.target(), allow_pickle=False)
        except FAULTS as error:
            raise MeasuredDataError(f"{source.label}: not a readable .npz file "
                                    f"({_fault(error)})") from None
        if not hasattr(source.handle, "files"):
            source.handle = None
            raise MeasuredDataError(f"{source.label}: not a readable .npz file (a single "
                                    ".npy array, not an archive)")
    return source.handle


def read_arrays(source: Opened) -> Dict[str, Any]:
    """Every array of the archive, by name."""
    archive = _archive(source)
    try:
        return {name: archive[name] for name in archive.files}
    except FAULTS as error:
        raise MeasuredDataError(f"{source.label}: not a readable .npz file "
                                f"({_fault(error)})") from None


def _fault(error: BaseException) -> str:
    """numpy's reason, except its advice on pickles, which are never loaded here."""
    text = first_line(error)
    return "it holds Python objects, which are never loaded" if "pickle" in text else text


def read(source: Opened, *, chunked: bool = False) -> MeasuredMap:
    """The checked MeasuredMap of the archive (read whole: `chunked` changes nothing)."""
    return from_arrays(read_arrays(source), source.label)


def read_header(source: Opened, *, max_arrays: Optional[int] = None) -> Header:
    """Each member's shape and dtype from its .npy header (module notes)."""
    archive = _archive(source).zip
    members = [m for m in archive.infolist() if not m.is_dir()]
    found = Header("npz", listed=len(members))
    for member in members[:max_arrays]:
        name = member.filename[:-4] if member.filename.endswith(".npy") else member.filename
        what = f"{source.label}: the .npz member {name!r}"
        try:
            with archive.open(member) as stream:
                limited = _Limited(stream, NPY_HEADER_BYTES)
                shape, dtype = _npy_header(limited, what)
                if shape == () and dtype.kind in "iuf":  # a number the archive states
                    found.attrs[name] = np.frombuffer(limited.read(dtype.itemsize), dtype)[0]
        except MeasuredDataError:
            raise
        except FAULTS as error:
            raise MeasuredDataError(f"{what} cannot be read ({first_line(error)})") from None
        found.arrays.append(ArrayHeader(name, shape, dtype))
    return found


class _Limited(io.RawIOBase):
    """A stream that gives at most `limit` bytes of another: the .npy header is
    decompressed, never what follows it."""

    def __init__(self, stream: IO[bytes], limit: int) -> None:
        self.stream = stream
        self.left = limit

    def readable(self) -> bool:
        return True

    def read(self, size: Optional[int] = -1) -> bytes:
        if size is None or size < 0 or size > self.left:
            size = self.left
        chunk = self.stream.read(size)
        self.left -= len(chunk)
        return chunk


def _npy_header(stream: io.RawIOBase, what: str) -> Tuple[Tuple[int, ...], np.dtype]:
    """(shape, dtype) from a .npy header; refused when it is none or holds objects."""
    fmt = np.lib.format
    try:
        major, minor = fmt.read_magic(stream)
    except ValueError:
        raise MeasuredDataError(f"{what} is not a numpy array") from None
    reader = {(1, 0): fmt.read_array_header_1_0, (2, 0): fmt.read_array_header_2_0}.get(
        (major, minor))
    if reader is None:
        raise MeasuredDataError(f"{what}: .npy format version {major}.{minor} is not read")
    shape, _, dtype = reader(stream)
    dtype = np.dtype(dtype)
    if dtype.hasobject:
        raise MeasuredDataError(f"{what} holds Python objects, which are never loaded (save "
                                "numbers)")
    return tuple(int(extent) for extent in shape), dtype
