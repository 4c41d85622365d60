"""What the layouts of measured data share: a file opened once, and its header."""

from __future__ import annotations

import io
import math
import os
from contextlib import contextmanager
from dataclasses import dataclass, field
from types import ModuleType, TracebackType
from typing import TYPE_CHECKING, Any, Dict, Iterator, List, Optional, Tuple, Type, Union

import numpy as np

from ...core.errors import MeasuredDataError

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

    @property
    def size(self) -> int:
        return math.prod(self.shape)


@dataclass
class Header:
    """What a file holds, read from its header without reading its data: `arrays` (the
    first `max_arrays` of the `listed` ones when read_header was given a limit), `attrs`
    what it states about the measurement (energies, as written), `external` the
    objects whose values lie in other files: (where, 'link' or 'storage')."""

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
    """A file of measured data, a path or bytes in memory, whose first bytes are read
    once (`head`).  The layout that reads it keeps the one handle it reads through in
    `handle`: sniffing, the header and the data share it, and it is closed with the
    Opened, unless data read lazily still need it (`keep`)."""

    def __init__(self, source: Union[PathLike, bytes, bytearray],
                 label: Optional[str] = None) -> None:
        self.data: Optional[bytes] = None
        self.path = ""
        if isinstance(source, (bytes, bytearray)):
            self.data = bytes(source)
            self.head = self.data[:HEAD_BYTES]
        else:
            self.path = os.fspath(source)
            self.head = _head(self.path)
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

    def keep(self, dataset: xarray.Dataset, *closers: Any) -> xarray.Dataset:
        """`dataset`, read lazily through the handle: closing it closes the handle
        (and whatever else it reads through, `closers`) instead of this Opened."""
        handles = [c for c in (*closers, self.handle) if c is not None]
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


Source = Union["PathLike", bytes, bytearray, Opened]


@contextmanager
def using(source: Source, label: Optional[str] = None) -> Iterator[Opened]:
    """`source` as an Opened: the one given, or one opened here and closed after."""
    if isinstance(source, Opened):
        yield source
    else:
        with Opened(source, label) as opened:
            yield opened


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
