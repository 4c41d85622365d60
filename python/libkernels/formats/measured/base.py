"""What the layouts of measured data share: a file opened once, and its header."""

from __future__ import annotations

import io
import math
import os
from dataclasses import dataclass, field
from types import ModuleType, TracebackType
from typing import IO, TYPE_CHECKING, Any, Dict, List, Optional, Tuple, Type, Union

import numpy as np

from ...core.errors import MeasuredDataError
from ...core.memory import check, format_size

if TYPE_CHECKING:
    import xarray

    from ...core.types import PathLike

HEAD_BYTES = 16  # as many first bytes as the longest signature needs


@dataclass
class ArrayHeader:
    """One array as its file's header states it (its values are not read)."""

    name: str
    shape: Tuple[int, ...]
    dtype: np.dtype
    attrs: Dict[str, Any] = field(default_factory=dict)
    stored: Optional[int] = None  # bytes written to the file, where the layout tells

    @property
    def size(self) -> int:
        return math.prod(self.shape)

    @property
    def nbytes(self) -> int:
        return self.size * self.dtype.itemsize


@dataclass
class Header:
    """What a file holds, read without its data: `arrays` (at most `max_arrays` of the
    `listed` ones), `attrs` what it states (energies, as written), `external` what
    lies in other files, as (where, 'link' or 'storage')."""

    layout: str
    arrays: List[ArrayHeader] = field(default_factory=list)
    attrs: Dict[str, Any] = field(default_factory=dict)
    listed: int = 0
    external: List[Tuple[str, str]] = field(default_factory=list)

    def add(self, array: ArrayHeader, max_arrays: Optional[int]) -> None:
        self.listed += 1
        if max_arrays is None or len(self.arrays) < max_arrays:
            self.arrays.append(array)


class Opened:
    """A file, a path or bytes in memory, with its first bytes read once (`head`).
    Its layout keeps the one handle it reads through in `handle`, shared by the
    sniff, the header and the data, and closed with the Opened unless data read
    lazily still need it (`keep`)."""

    def __init__(self, source: Union[PathLike, bytes, bytearray],
                 label: Optional[str] = None) -> None:
        self.data: Optional[bytes] = None
        self.path = ""
        if isinstance(source, (bytes, bytearray)):
            self.data = bytes(source)
        else:
            self.path = os.fspath(source)
        self.head = _head(self.path) if self.data is None else self.data[:HEAD_BYTES]
        self.label = label or self.path or "the data"
        self.layout: Optional[ModuleType] = None  # set by the registry
        self.handle: Any = None
        self._kept = False

    @property
    def suffix(self) -> str:
        return os.path.splitext(self.path)[1].lower()

    def target(self) -> Any:
        """What a reader opens: the path, or the bytes as a stream."""
        return self.path if self.data is None else io.BytesIO(self.data)

    def stream(self) -> IO[bytes]:
        """The file as a stream of bytes, opened here (close it)."""
        return open(self.path, "rb") if self.data is None else io.BytesIO(self.data)

    def keep(self, dataset: xarray.Dataset, *also: Any) -> xarray.Dataset:
        """`dataset`, read lazily through the handle (and `also`): closing the dataset
        closes them, this Opened no longer does."""
        handles = [h for h in (*also, self.handle) if h is not None]
        self._kept = True

        def close() -> None:
            for handle in handles:
                handle.close()

        dataset.set_close(close)
        return dataset

    def close(self) -> None:
        if self.handle is not None and not self._kept:
            self.handle.close()
        self.handle = None

    def __enter__(self) -> Opened:
        return self

    def __exit__(self, kind: Optional[Type[BaseException]], error: Optional[BaseException],
                 trace: Optional[TracebackType]) -> None:
        self.close()


Source = Union["PathLike", bytes, bytearray, Opened]


def _head(path: str) -> bytes:
    if not os.path.exists(path):
        raise MeasuredDataError(f"{path}: no such file")
    if os.path.isdir(path):
        return b""
    try:
        with open(path, "rb") as handle:
            head = handle.read(HEAD_BYTES)
    except OSError as error:
        raise MeasuredDataError(f"{path}: cannot be read ({error.strerror or error})") from None
    if not head:
        raise MeasuredDataError(f"{path}: the file is empty")
    return head


def check_sizes(header: Header, label: str, max_memory: Any, chunked: bool) -> None:
    """Refuses, before anything is read, what the header says will not fit: an array
    of two or more dimensions that was never written (every value its fill value),
    and arrays whose reading (as stored, and as the float64 copy the checks make)
    exceeds the memory limit (core/memory.py); read `chunked`, one slice of the
    largest array counts instead of all of it.  Axes (1-D) are always read whole."""
    numeric = [a for a in header.arrays if a.dtype.kind in "iuf" and a.size > 0]
    for array in numeric:
        if array.stored == 0 and (len(array.shape) >= 2 or array.size > 1 << 20):
            raise MeasuredDataError(
                f"{label}: the array {array.name} ({' x '.join(map(str, array.shape))}, "
                f"{format_size(array.nbytes)} declared) holds no written data: every value "
                "is its fill value")
    axes = sum(a.size * 8 for a in numeric if len(a.shape) <= 1)
    cubes = [a for a in numeric if len(a.shape) >= 2]
    if chunked and cubes:
        largest = max(cubes, key=lambda a: a.size)
        data = largest.size // max(largest.shape[0], 1) * (largest.dtype.itemsize + 8) * 2
    else:
        data = sum(a.size * (a.dtype.itemsize + 8) for a in cubes)
    if cubes or axes:
        largest = max(numeric, key=lambda a: a.size)
        check(axes + data, f"reading {label} (its largest array {largest.name}: "
                           f"{' x '.join(map(str, largest.shape))} {largest.dtype}, "
                           f"{format_size(largest.nbytes)})",
              "give a smaller file, or convert it in chunks (NetCDF, HDF5, NeXus or Zarr, "
              "with dask)", max_memory)


def text(value: Any) -> Any:
    """An attribute's value with its bytes decoded (strings, or lists of them)."""
    if isinstance(value, (bytes, np.bytes_)):
        return bytes(value).decode("utf-8", "replace")
    if isinstance(value, np.ndarray) and value.dtype.kind in "SOU":
        return [v.decode("utf-8", "replace") if isinstance(v, bytes) else str(v)
                for v in value.reshape(-1)]
    return value


def first_line(error: BaseException) -> str:
    message = str(error).strip()
    return message.splitlines()[0][:200] if message else type(error).__name__
