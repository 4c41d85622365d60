"""Measured data as files hold them: one module per layout, chosen by content.

| layout | module | recognised by (content first, then the name) | `read` gives |
|---|---|---|---|
| Scienta SES deflector map | `ses_zip.py` | the zip signature and a `Spectrum_*.ini` member; `.zip` | a Dataset |
| NumPy archive | `npz.py` | the zip signature `PK\\x03\\x04`; `.npz` | a MeasuredMap |
| NeXus NXmpes | `nexus.py` | the HDF5 signature and an NXentry at the top; `.nxs`, `.nx5`, `.nexus` | a Dataset |
| the field's xarray NetCDF | `field_netcdf.py` | a NetCDF file holding the coordinates `alpha` and `chi` and a variable on `eV` or `phi` (angles in radians by that layout's convention) | a Dataset |
| NetCDF | `netcdf.py` | `CDF` (classic), the HDF5 signature (NetCDF-4); `.nc`, `.nc4`, `.cdf`, `.netcdf`, `.h5`, `.hdf5`, `.hdf`, `.he5` | a Dataset |
| Igor Pro | `igor.py` | a binary wave's version in its first two bytes; packed experiments by `.pxp`, `.pxt` | a Dataset |
| FITS | `fits.py` | `SIMPLE  =` at the start; `.fits`, `.fit`, `.fts` | a Dataset |
| Zarr | `zarr.py` | a folder holding Zarr metadata; `.zarr` | a Dataset |

`opened(source)` reads a file's first bytes once (a path, or bytes in memory
such as the explorer's uploads: base.Opened) and picks its layout: the first in
LAYOUTS whose `sniff` knows the content, else the one whose SUFFIXES name the
file (a damaged file is refused by the reader of its kind).  NeXus and
NetCDF-4 are both HDF5 (hdf5.py): the NeXus sniff opens the file's h5py
handle, and the reader works from that handle.  `read_header` and `read`
take a path, bytes or an Opened (then header and data share one handle).

Each layout module has SUFFIXES, OWN_DIMS (whether the dimensions are the
file's own, placed by kspace/axes.py, or already kx, ky, binding_energy), and
takes an Opened in
    sniff(opened) -> bool                         from opened.head, opened.path
    read_header(opened, *, max_arrays=None)       a Header: shapes, dtypes,
        attributes (the energies stated, units as written); no data read
    read(opened, *, chunked=False, ...)           a Dataset in the file's own
        names, `intensity` (and `sigma`), open lazily until closed (dask
        chunks when `chunked`); a MeasuredMap for .npz

A new layout is one module here with these, and one entry in LAYOUTS.
"""

from __future__ import annotations

from contextlib import contextmanager
from types import ModuleType
from typing import Any, Iterator, Optional, Tuple

from ...core.errors import MeasuredDataError
from . import field_netcdf, fits, igor, netcdf, nexus, npz, ses_zip, zarr
from .base import ArrayHeader, Header, Opened, Source, check_sizes

__all__ = ["LAYOUTS", "NETCDF_SUFFIXES", "opened", "layout_of", "read_header", "read",
           "checked_header",
           "Opened", "Header", "ArrayHeader"]

LAYOUTS: Tuple[ModuleType, ...] = (ses_zip, npz, nexus, field_netcdf, netcdf, igor, fits, zarr)
NETCDF_SUFFIXES = netcdf.SUFFIXES
KNOWN = (".npz, NeXus or other HDF5, NetCDF, Zarr, Igor .ibw/.pxp/.pxt, SES .zip, "
         "FITS")


def opened(source: Source, label: Optional[str] = None) -> Opened:
    """`source` opened for its first bytes, its layout picked (None: no layout
    takes it); use it in a `with` block, which closes what its reader opened."""
    found = source if isinstance(source, Opened) else Opened(source, label)
    if found.layout is None:
        found.layout = next((layout for layout in LAYOUTS if layout.sniff(found)), None) or \
            next((layout for layout in LAYOUTS if found.suffix in layout.SUFFIXES), None)
    return found


@contextmanager
def _layout(source: Source, label: Optional[str]) -> Iterator[Tuple[ModuleType, Opened]]:
    """(the layout, `source` opened), closed after unless it came open."""
    found = opened(source, label)
    try:
        if found.layout is None:
            raise MeasuredDataError(f"{found.label}: not a file of measured data this "
                                    f"package reads ({KNOWN})")
        yield found.layout, found
    finally:
        if found is not source:
            found.close()


def layout_of(source: Source) -> Optional[ModuleType]:
    """The module of the file's layout, or None."""
    found = opened(source)
    if found is not source:
        found.close()
    return found.layout


def read_header(source: Source, *, max_arrays: Optional[int] = None,
                label: Optional[str] = None) -> Header:
    """What the file holds, from its header alone (see the layouts' read_header)."""
    with _layout(source, label) as (layout, found):
        header: Header = layout.read_header(found, max_arrays=max_arrays)
        return header


# the layouts whose `read(chunked=True)` leaves the data in the file, read chunk by chunk
CHUNKED = (nexus, field_netcdf, netcdf, zarr)


def checked_header(source: Opened, max_memory: Any = None, chunked: bool = False) -> None:
    """The file's header checked against the memory limit (base.check_sizes) before
    its data are read; layouts that state no header of their own (a packed Igor
    experiment) are checked as they read."""
    assert source.layout is not None
    try:
        header = source.layout.read_header(source)
    except MeasuredDataError:
        if source.layout is igor and source.suffix in igor.PACKED:
            return
        raise
    check_sizes(header, source.label, max_memory, chunked and source.layout in CHUNKED)


def read(source: Source, *, label: Optional[str] = None, max_memory: Any = None,
         **options: Any) -> Any:
    """The file's data (see the layouts' read; `options` such as chunked=, wave=),
    its header first checked against `max_memory` (base.check_sizes)."""
    with _layout(source, label) as (layout, found):
        checked_header(found, max_memory, bool(options.get("chunked")))
        data = layout.read(found, **options)
        if hasattr(data, "data_vars"):  # which reader read it, for the conversion's checks
            data.attrs.setdefault("layout", layout.__name__.rsplit(".", 1)[-1])
        return data
