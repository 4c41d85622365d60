"""HDF5 files, which NeXus and NetCDF-4 files both are: the signature, the one
h5py handle of a file, and its header (every dataset's shape, dtype and
attributes from the metadata, and what lies in other files: external links,
external storage, virtual datasets; none of them followed)."""

from __future__ import annotations

from typing import Any, Callable, Dict, Optional

from ...core.errors import MeasuredDataError
from ...core.extras import require
from .base import ArrayHeader, Header, Opened, first_line, text

SIGNATURE = b"\x89HDF\r\n\x1a\n"


def is_hdf5(head: bytes) -> bool:
    return head[:len(SIGNATURE)] == SIGNATURE


def _h5py(label: str) -> Any:
    return require("h5py", "lab", f"{label}: reading HDF5 files", "h5py")


def hdf5_handle(source: Opened) -> Any:
    """The file's h5py handle, opened on first use and kept on `source`."""
    if source.handle is None:
        h5py = _h5py(source.label)
        try:
            source.handle = h5py.File(source.target(), "r")
        except OSError as error:
            raise MeasuredDataError(f"{source.label}: cannot be read as NetCDF/HDF5 "
                                    f"({first_line(error)})") from None
    return source.handle


def attributes(node: Any) -> Dict[str, Any]:
    """A group's or dataset's attributes, text decoded; references left out."""
    found = {}
    for key, value in node.attrs.items():
        decoded = text(value)
        if not (hasattr(decoded, "dtype") and decoded.dtype.kind in "OV"):
            found[key] = decoded
    return found


def _stored(item: Any) -> Optional[int]:
    """Bytes of the dataset written to the file (None where it cannot tell:
    external or virtual storage, which counts as written)."""
    if item.is_virtual or item.external:
        return None
    try:
        return int(item.id.get_storage_size())
    except Exception:  # h5py versions differ in what they offer here
        return None


def hdf5_header(source: Opened, layout: str, max_arrays: Optional[int] = None,
                groups: Optional[Callable[[Any], None]] = None) -> Header:
    """Every dataset of the file from its metadata (module notes); `groups` is called
    with each group the walk meets."""
    h5py = _h5py(source.label)
    file = hdf5_handle(source)
    found = Header(layout)

    def links(group: Any, where: str) -> None:
        for key in group:
            if isinstance(group.get(key, getlink=True), h5py.ExternalLink):
                found.external.append((f"{where}{key!r}", "link"))

    def visit(name: str, item: Any) -> None:
        if isinstance(item, h5py.Group):
            links(item, f"group {name!r}: ")
            if groups is not None:
                groups(item)
        elif isinstance(item, h5py.Dataset):
            if item.is_virtual or item.external:
                found.external.append((f"dataset {name!r}", "storage"))
            shape = tuple(int(extent) for extent in (item.shape or ()))
            found.add(ArrayHeader(name, shape, item.dtype, {}), max_arrays)
            if found.arrays and found.arrays[-1].name == name:
                found.arrays[-1].attrs = attributes(item)
                # what is written of it (0: never written, every value the fill value)
                found.arrays[-1].stored = _stored(item)

    try:
        found.attrs = attributes(file)
        links(file, "")
        file.visititems(visit)
    except Exception as error:  # h5py raises many kinds for a damaged file
        raise MeasuredDataError(f"{source.label}: cannot be read as NetCDF/HDF5 "
                                f"({first_line(error)})") from None
    return found
