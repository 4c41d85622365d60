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
