"""NetCDF files in the layout of the field's xarray analysis packages.

These packages keep a scan as one DataArray whose dimensions are among

| name | what | unit by the layout's convention |
|---|---|---|
| `phi` | the angle along the analyser's slit | radian |
| `theta` | the manipulator's polar angle (a polar scan) | radian |
| `beta` | the manipulator's tilt (a tilt scan) | radian |
| `psi` | the deflector angle across the slit | radian |
| `eV` | the electron's energy relative to the Fermi level, E - E_F | eV |
| `hv` | the photon energy (a photon-energy scan) | eV |

with the manipulator's other angles as scalar coordinates (`theta`, `beta`,
`chi` the sample's azimuth, `psi`, and `alpha` the orientation of the slit:
pi/2 for a slit along the polar axis, 0 across it), `hv` as a scalar
coordinate when the photon energy is fixed, and the analyser's settings as
attributes (`excitation_energy`, `pass_energy`, `lens_mode_name`,
`temperature`, the `*_offset` of each angle at normal emission).  The angles
carry no `units` attribute: the layout stores radians.  Written by one such
package, `arpes` 3.0.1 (its example data, e.g. `fermi_surface.nc`).

Recognised by content, never by name: a NetCDF file (classic, or NetCDF-4
without a NeXus entry) holding the coordinates `alpha` and `chi`, which this
layout writes for every scan, and a data variable on `eV` or `phi`.  The
reader is the NetCDF one (netcdf.py); it then writes the convention onto the
coordinates: `units` rad on every angle that states none, eV on `eV`, and the
file's `writer` attribute saying so, so that kspace/axes.py reads the units
as stated rather than guessed.  An angle whose `units` the file does state
keeps them.

The layout's polar angle turns the other way round from this package's polar
set-up (kspace/geometry.py turns the sample by +theta about y, so that a positive
theta looks at negative kx; the layout's positive theta looks at positive kx, the
free-electron k = K sin(theta)).  `theta` is therefore negated on reading (and a
polar scan's axis reversed so that it still ascends), and the file's
`angle_sense` attribute says so; `theta_offset` turns with it.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any, Optional

from .netcdf import SIGNATURE as NETCDF_SIGNATURE, read as read_netcdf, read_header as netcdf_header
from .base import Header, Opened
from .hdf5 import hdf5_handle, is_hdf5

if TYPE_CHECKING:
    import xarray

__all__ = ["read", "read_header", "sniff", "SUFFIXES", "WRITER", "ANGLES"]

SUFFIXES: tuple = ()  # by content only: the name is any NetCDF file's
OWN_DIMS = True  # the file's own dimensions, placed by name and unit (kspace/axes.py)
ANGLES = ("phi", "theta", "beta", "psi", "chi", "alpha")
MARKERS = ("alpha", "chi")  # coordinates the layout writes for every scan
DATA_DIMS = ("eV", "phi")
WRITER = "the field's xarray layout (angles in radians, eV = E - E_F)"


def _names(source: Opened) -> Optional[set]:
    """The variable names of a NetCDF file, from its header (None: not NetCDF)."""
    if is_hdf5(source.head):
        handle = hdf5_handle(source)
        if any(str(node.attrs.get("NX_class", b"")).find("NXentry") >= 0
               for node in handle.values()):
            return None
        return set(handle.keys())
    if source.head[:3] == NETCDF_SIGNATURE:
        return {array.name for array in netcdf_header(source).arrays}
    return None


def sniff(source: Opened) -> bool:
    """A NetCDF file with the layout's markers (module notes)."""
    try:
        names = _names(source)
    except Exception:  # not readable, or h5py missing: the NetCDF reader says why
        return False
    return names is not None and all(m in names for m in MARKERS) and \
        any(d in names for d in DATA_DIMS)


def read_header(source: Opened, *, max_arrays: Optional[int] = None) -> Header:
    found = netcdf_header(source, max_arrays=max_arrays)
    found.layout = "field-netcdf"
    found.attrs["writer"] = WRITER
    return found


def read(source: Opened, *, chunked: bool = False) -> xarray.Dataset:
    """The NetCDF reader's Dataset with the layout's units written onto it."""
    dataset = read_netcdf(source, chunked=chunked)
    return annotated(dataset)


def annotated(dataset: Any) -> Any:
    """The layout's convention as units on the coordinates (module notes)."""
    for name in list(dataset.coords):
        coordinate = dataset.coords[name]
        if "units" in coordinate.attrs:
            continue
        if name in ANGLES:
            coordinate.attrs["units"] = "rad"
            coordinate.attrs["units_from"] = "the layout's convention"
        elif name in ("eV", "hv"):
            coordinate.attrs["units"] = "eV"
            coordinate.attrs["units_from"] = "the layout's convention"
    dataset.attrs["writer"] = WRITER
    return in_package_sense(dataset)


def in_package_sense(dataset: Any) -> Any:
    """theta negated into this package's polar sense (module notes)."""
    if "theta" not in dataset.coords or dataset.attrs.get("angle_sense"):
        return dataset
    theta = dataset.coords["theta"]
    attrs = dict(theta.attrs)
    dataset = dataset.assign_coords(theta=-theta)
    dataset.coords["theta"].attrs.update(attrs)
    if "theta" in dataset.dims:
        dataset = dataset.isel(theta=slice(None, None, -1))
    if "theta_offset" in dataset.attrs:
        dataset.attrs["theta_offset"] = -float(dataset.attrs["theta_offset"])
    dataset.attrs["angle_sense"] = ("theta negated: the layout's polar angle turns the "
                                    "other way round from this package's")
    return dataset
