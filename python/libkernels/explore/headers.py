"""What an uploaded file holds, read from its headers before anything is inflated.

A 2 MB .npz can hold a compressed 16000 x 16000 float64 array: 2 GB once
inflated.  So before an upload is read, the shape and type of every array in
it are taken from its header alone, by the reader of its layout
(formats/measured/: the .npy header of each member of an .npz, the metadata of
an HDF5 or NeXus file, the header of a classic NetCDF file or an Igor wave),
and the upload is refused when one of them, or all of them together, would
exceed the limits.  An HDF5 file that links to another file, or a dataset whose
values lie in other files (external storage, virtual datasets), is refused:
the server reads no file of its own for an upload.

Classic NetCDF and Igor waves are never compressed, but their values may be
bytes that become float64 once read: their counts of values are held to the
same limit.
"""

from __future__ import annotations

from typing import Union

from ..core.errors import LibkernelsError, RequestError
from ..core.memory import MemorySize, check, format_size
from ..formats.measured import Header, Opened, opened

MAX_MEMBERS = 64  # arrays in one upload
ARRAYS_OF_FULL_SIZE = 4  # all arrays together: as many bytes as this many float64 maps


def check_upload(data: Union[bytes, Opened], max_elements: int,
                 max_memory: MemorySize = None) -> None:
    """Refuses (RequestError 413) an upload whose arrays hold more than `max_elements`
    values each, more bytes in all than ARRAYS_OF_FULL_SIZE float64 arrays of that
    size, or (given `max_memory`) more than the memory guard allows; reads headers only.
    An upload of no known layout passes (its reader refuses it)."""
    source = data if isinstance(data, Opened) else opened(data, "the upload")
    if source.layout is None:
        return
    try:
        header = source.layout.read_header(source, max_arrays=MAX_MEMBERS)
    except (LibkernelsError, ValueError) as error:
        raise RequestError(str(error).splitlines()[0]) from None
    finally:
        if source is not data:
            source.close()
    check_header(header, max_elements, max_memory)


def check_header(header: Header, max_elements: int, max_memory: MemorySize = None) -> None:
    """check_upload's limits, applied to a header already read."""
    for where, kind in header.external:
        raise RequestError(f"the upload's {where} links to another file; links to files are "
                           "never followed (copy the data in)" if kind == "link" else
                           f"the upload's {where} keeps its values in other files, which "
                           "are never read (copy the data in)")
    if header.listed > MAX_MEMBERS:
        raise RequestError(f"the upload holds {header.listed} arrays; a measured map has a "
                           "few", 413)
    total = 0
    for array in header.arrays:
        elements = array.size
        if elements > max_elements:
            raise RequestError(
                f"the upload's array {array.name!r} has shape "
                f"{' x '.join(map(str, array.shape))} ({elements} values, "
                f"{format_size(elements * array.dtype.itemsize)} inflated); at most "
                f"{max_elements} values are read", 413)
        total += elements * array.dtype.itemsize
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
