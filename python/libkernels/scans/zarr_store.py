"""The on-disk form of a scan: one Zarr group that xarray opens as a labelled array.

    STORE.zarr/
      intensity/            float32 (molecule, orbital, energy, alpha, beta, gamma, kx, ky),
                            axes of length 1 left out; chunks of whole maps; NaN where a
                            chunk has not been computed yet
      molecule/ orbital/ energy/ alpha/ beta/ gamma/ kx/ ky/   coordinates (with units)
      kinetic_energy/       (molecule, orbital, energy), when photon energies are scanned
      scan_record/completed one byte per chunk: 1 once the chunk is on disk

The group's attributes hold the normalised scan description and the package
version.  A store is created in a temporary directory and renamed into place,
so it exists either whole or not at all; every chunk file is written to a
temporary name, flushed and renamed, so a chunk is either absent or complete,
whatever happens to the process writing it.
"""

from __future__ import annotations

import asyncio
import os
import shutil
import uuid
import warnings
from typing import TYPE_CHECKING, Any, Dict, Mapping, Optional, Sequence, Tuple

import numpy as np
from numpy.typing import ArrayLike

from ..core.errors import MissingExtraError, StoreError
from ..core.extras import install_hint, require

if TYPE_CHECKING:
    from types import ModuleType

    from ..core.types import BoolArray, Float32Array, PathLike

# A coordinate of the store: (dims, values, attributes).
Coordinate = Tuple[Sequence[str], ArrayLike, Dict[str, Any]]

FORMAT = 1
RECORD = "scan_record/completed"


def require_zarr() -> ModuleType:
    """The zarr module, version 3 or later (MissingExtraError otherwise)."""
    zarr = require("zarr", "scale", "a scan into a Zarr store", "the zarr package")
    if int(zarr.__version__.split(".")[0]) < 3:
        raise MissingExtraError(f"scans need zarr >= 3 (found {zarr.__version__}): "
                                f"{install_hint('scale')}")
    return zarr


def _write_atomically(path: PathLike, data: bytes) -> None:
    path = os.fspath(path)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    temporary = f"{path}.{uuid.uuid4().hex}.partial"
    try:
        with open(temporary, "wb") as handle:
            handle.write(data)
            handle.flush()
            os.fsync(handle.fileno())  # the data reaches the disk before the name does
        os.replace(temporary, path)
    except BaseException:
        try:
            os.unlink(temporary)
        except OSError:
            pass
        raise


def _atomic_store_class() -> Any:
    # zarr is an optional extra, imported here: the class is built on what it imports.
    LocalStore: Any = require("zarr.storage", "scale", "a scan into a Zarr store",
                              "zarr").LocalStore

    class AtomicLocalStore(LocalStore):
        """A directory store whose every write is a flushed temporary file renamed
        into place."""

        async def set(self, key: str, value: Any) -> None:
            if self.read_only:
                raise ValueError("the store is open read-only")
            await asyncio.to_thread(_write_atomically, self.root / key, value.to_bytes())

    return AtomicLocalStore


def open_store(path: PathLike, read_only: bool = False) -> Any:
    """The store at `path`, every write of it atomic (a zarr LocalStore)."""
    require_zarr()
    return _atomic_store_class()(os.fspath(path), read_only=read_only)


def _consolidate(zarr: ModuleType, path: PathLike) -> None:
    # Consolidated metadata lets xarray.open_zarr open the store in one read,
    # without a warning; zarr notes that v3 has it as an extension only.
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        zarr.consolidate_metadata(open_store(path))


def create(path: PathLike, layout: Mapping[str, Any], coordinates: Mapping[str, Coordinate],
           attributes: Dict[str, Any], intensity_attributes: Dict[str, Any]) -> None:
    """Creates the store at `path` (which must not exist, or be an empty directory).

    `layout` has dims, shape and chunks of the intensity array and n_chunks;
    `coordinates` maps a name to (dims, values, attrs), dims a subset of the
    intensity's; `attributes` go to the group.
    """
    zarr = require_zarr()
    path = os.path.abspath(os.fspath(path))
    parent = os.path.dirname(path)
    if not os.path.isdir(parent):
        what = "is not a directory" if os.path.exists(parent) else "does not exist"
        raise StoreError(f"{path}: cannot create the store ({parent} {what})")
    temporary = os.path.join(parent, f".{os.path.basename(path)}.{uuid.uuid4().hex}.creating")
    try:
        group = zarr.open_group(store=open_store(temporary), mode="w", attributes=attributes)
        for name, (dims, values, attrs) in coordinates.items():
            values = np.asarray(values)
            dtype = str if values.dtype.kind == "U" else values.dtype
            array = group.create_array(name, shape=values.shape, dtype=dtype,
                                       dimension_names=list(dims), attributes=attrs)
            array[...] = values
        # coordinates that do not name a dimension are listed on the array, as
        # xarray expects (scalar axes of length 1, kinetic energies per orbital)
        scalars = [name for name, (dims, _, _) in coordinates.items() if tuple(dims) != (name,)]
        group.create_array(
            "intensity", shape=layout["shape"], chunks=layout["chunks"], dtype="float32",
            fill_value=np.float32(np.nan), dimension_names=list(layout["dims"]),
            attributes={**intensity_attributes,
                        **({"coordinates": " ".join(scalars)} if scalars else {})},
            config={"write_empty_chunks": True})
        record = group.create_group("scan_record").create_array(
            "completed", shape=(layout["n_chunks"],), chunks=(max(1, layout["n_chunks"]),),
            dtype="uint8", fill_value=0)
        record[...] = 0
        _consolidate(zarr, temporary)
        if os.path.isdir(path):
            os.rmdir(path)  # only an empty directory gets here
        os.rename(temporary, path)
    except BaseException:
        shutil.rmtree(temporary, ignore_errors=True)
        raise


def read_attributes(path: PathLike) -> Optional[Dict[str, Any]]:
    """The group attributes of the store at `path`, or None when it is not a scan store."""
    zarr = require_zarr()
    try:
        group = zarr.open_group(store=open_store(path, read_only=True), mode="r")
    except Exception:  # not a Zarr group at all
        return None
    attributes = dict(group.attrs)
    return attributes if "libkernels_scan" in attributes else None


class Writer:
    """The intensity array and completion record of an existing store, for writing."""

    def __init__(self, path: PathLike) -> None:
        zarr = require_zarr()
        self.path = os.fspath(path)
        group = zarr.open_group(store=open_store(self.path), mode="r+")
        self.intensity = group["intensity"]
        self._record = group[RECORD]

    def write(self, region: Tuple[slice, ...], block: Float32Array) -> None:
        self.intensity[region] = block

    def completed(self) -> BoolArray:
        return np.asarray(self._record[...], dtype=bool)

    def save_record(self, completed: BoolArray) -> None:
        self._record[...] = np.asarray(completed, dtype=np.uint8)


def remove_partial_files(path: PathLike) -> None:
    """Deletes the temporary files of writes that a killed process left behind."""
    for folder, _, files in os.walk(path):
        for name in files:
            if name.endswith(".partial"):
                try:
                    os.unlink(os.path.join(folder, name))
                except OSError:
                    pass


def mark_complete(path: PathLike, extra: Dict[str, Any]) -> None:
    zarr = require_zarr()
    group = zarr.open_group(store=open_store(path), mode="r+")
    group.attrs.update(extra)
    _consolidate(zarr, path)
