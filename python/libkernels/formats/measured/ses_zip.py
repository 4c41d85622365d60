"""The .zip files Scienta's SES writes for deflector maps (and other 3D regions).

| member | what is read |
|---|---|
| `Spectrum_NAME.ini` | `[spectrum]`: `width`, `height`, `depth` (points of each axis), `byteperpoint` (4), and for each axis `<axis>offset`, `<axis>delta`, `<axis>label` (such as `Energy [eV]`, `Thetax [deg]`, `Thetay [deg]`) |
| `Spectrum_NAME.bin` | the counts, little-endian float32, depth x height x width (width fastest) |
| `NAME.ini` | the region's `[SES]` block as in the Igor waves' notes: `Excitation Energy`, `Energy Scale` (Kinetic or Binding), `Lens Mode`, `Pass Energy`, ...; and a `[Manipulator]` block where written |

The width is the energy axis (kinetic or binding as the region's energy scale
says), the height the detector's angle along the slit (named phi), the depth
the deflector's angle across it (named psi) when its label is an angle; each
axis keeps the unit in its label's brackets, so nothing is guessed.  A zip
archive holding no `Spectrum_*.ini` is not this layout (an .npz is a zip as
well, and is told apart by its members).  The header (shapes, the number type,
the region's energies) is the two .ini members; the .bin member's size must be
what they state.
"""

from __future__ import annotations

import configparser
import zipfile
from typing import TYPE_CHECKING, Any, Dict, List, Optional, Tuple

import numpy as np

from ...core.errors import MeasuredDataError
from ...core.extras import require
from .base import ArrayHeader, Header, Opened, first_line
from .igor import note_attrs

if TYPE_CHECKING:
    import xarray

__all__ = ["read", "read_header", "sniff", "SUFFIXES"]

SIGNATURE = b"PK\x03\x04"
SUFFIXES = (".zip",)
OWN_DIMS = True  # the file's own dimensions, placed by name and unit (kspace/axes.py)
AXES = ("width", "height", "depth")
MAX_INI = 1 << 20  # an .ini member larger than this is not SES's


def _archive(source: Opened) -> Any:
    if source.handle is None:
        try:
            source.handle = zipfile.ZipFile(source.target())
        except (OSError, zipfile.BadZipFile, ValueError) as error:
            raise MeasuredDataError(f"{source.label}: not a readable zip archive "
                                    f"({first_line(error)})") from None
    return source.handle


def _spectrum_members(archive: Any) -> List[str]:
    return [name for name in archive.namelist()
            if name.rsplit("/", 1)[-1].startswith("Spectrum_") and name.endswith(".ini")]


def sniff(source: Opened) -> bool:
    """A zip archive holding a Spectrum_*.ini member."""
    if source.head[:len(SIGNATURE)] != SIGNATURE:
        return False
    try:
        found = bool(_spectrum_members(_archive(source)))
    except MeasuredDataError:
        return False
    if not found:  # an .npz: its reader opens the file its own way
        source.handle.close()
        source.handle = None
    return found


def _ini(archive: Any, name: str, label: str) -> configparser.ConfigParser:
    info = archive.getinfo(name)
    if info.file_size > MAX_INI:
        raise MeasuredDataError(f"{label}: the member {name} is {info.file_size} bytes, too "
                                "large for SES's .ini")
    parser = configparser.ConfigParser(strict=False, interpolation=None)
    parser.optionxform = str  # type: ignore[assignment,method-assign]
    text = archive.read(name).decode("utf-8", "replace")
    try:
        parser.read_string(text)
    except configparser.Error as error:
        raise MeasuredDataError(f"{label}: {name} is not a readable .ini "
                                f"({first_line(error)})") from None
    return parser


def _layout(source: Opened) -> Tuple[Dict[str, Any], Dict[str, Any], str]:
    """(the spectrum's axes and size, the region's attributes, the .bin member)."""
    label = source.label
    archive = _archive(source)
    members = _spectrum_members(archive)
    if len(members) != 1:
        raise MeasuredDataError(f"{label}: holds {len(members) or 'no'} Spectrum_*.ini "
                                "members; an SES map has one")
    spectrum = _ini(archive, members[0], label)
    if not spectrum.has_section("spectrum"):
        raise MeasuredDataError(f"{label}: {members[0]} has no [spectrum] section")
    section = spectrum["spectrum"]
    axes: Dict[str, Any] = {}
    try:
        for axis in AXES:
            axes[axis] = (int(section.get(axis, "1")), float(section.get(f"{axis}offset", "0")),
                          float(section.get(f"{axis}delta", "1")),
                          section.get(f"{axis}label", "").strip())
        size = int(section.get("byteperpoint", "4"))
    except ValueError as error:
        raise MeasuredDataError(f"{label}: {members[0]} states a size that is not a number "
                                f"({first_line(error)})") from None
    if size != 4 or any(n < 1 for n, _, _, _ in axes.values()):
        raise MeasuredDataError(f"{label}: {members[0]} states {size} bytes per point and "
                                f"{' x '.join(str(a[0]) for a in axes.values())} points; SES "
                                "writes 4-byte floats")
    binary = members[0][:-4] + ".bin"
    if binary not in archive.namelist():
        raise MeasuredDataError(f"{label}: no {binary} beside {members[0]}")
    region = members[0].rsplit("/", 1)[-1][len("Spectrum_"):]
    folder = members[0].rsplit("/", 1)[0] + "/" if "/" in members[0] else ""
    attrs: Dict[str, Any] = {"writer": "Scienta SES (zip)"}
    if folder + region in archive.namelist():
        text = archive.read(folder + region).decode("utf-8", "replace") \
            if archive.getinfo(folder + region).file_size <= MAX_INI else ""
        attrs.update(note_attrs(text))
        attrs["writer"] = "Scienta SES (zip)"
        attrs.pop("igor_note", None)
        attrs["ses_region"] = text
    return axes, attrs, binary


def _names(axes: Dict[str, Any], attrs: Dict[str, Any]) -> Dict[str, str]:
    names = {}
    for axis, (_, _, _, text) in axes.items():
        head = text.split("[")[0].strip().lower()
        if axis == "width":
            scale = attrs.get("energy_scale")
            names[axis] = "binding_energy" if "binding" in head or scale == "binding" else \
                "kinetic_energy" if "kinetic" in head or scale == "kinetic" else "energy"
        elif axis == "height":
            names[axis] = "phi"
        else:
            names[axis] = "psi" if "[deg]" in text or "[rad]" in text else "depth"
    return names


def read_header(source: Opened, *, max_arrays: Optional[int] = None) -> Header:
    """The spectrum's shape and number type, and the region's energies, from the two
    .ini members; the .bin member's size checked against them."""
    axes, attrs, binary = _layout(source)
    shape = tuple(axes[a][0] for a in reversed(AXES) if axes[a][0] > 1 or a == "width")
    found = Header("ses_zip", listed=1, attrs=attrs)
    found.arrays.append(ArrayHeader(binary, shape, np.dtype("<f4"),
                                    {"units": [axes[a][3] for a in reversed(AXES)]}))
    return found


def read(source: Opened, *, chunked: bool = False) -> xarray.Dataset:
    """The spectrum as a Dataset on (psi,) phi, energy (module notes); read whole."""
    xr = require("xarray", "lab", f"{source.label}: labelled data", "xarray")
    axes, attrs, binary = _layout(source)
    archive = _archive(source)
    n = [axes[a][0] for a in reversed(AXES)]  # depth, height, width
    expected = 4 * int(np.prod(n))
    if archive.getinfo(binary).file_size != expected:
        raise MeasuredDataError(f"{source.label}: {binary} holds "
                                f"{archive.getinfo(binary).file_size} bytes; the .ini states "
                                f"{' x '.join(map(str, n))} floats ({expected} bytes)")
    data = np.frombuffer(archive.read(binary), "<f4").reshape(n).astype(np.float32)
    names = _names(axes, attrs)
    coords: Dict[str, Any] = {}
    dims = []
    for axis in reversed(AXES):
        size, start, delta, text = axes[axis]
        values = start + delta * np.arange(size, dtype=np.float64)
        unit = text[text.rfind("[") + 1:text.rfind("]")] if "[" in text else ""
        coords[names[axis]] = (names[axis], values,
                               {"units": unit, "long_name": text} if unit else {"long_name": text})
        dims.append(names[axis])
    keep = [d for d, size in zip(dims, n) if size > 1 or d == names["width"]]
    dataset = xr.Dataset({"intensity": (dims, data, {})}, coords=coords,
                         attrs={"source": source.label, **attrs})
    drop = {d: 0 for d in dims if d not in keep}
    return dataset.isel(drop) if drop else dataset
