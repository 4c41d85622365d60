"""Igor Pro files: binary waves (.ibw) and packed experiments (.pxp, .pxt), via igor2.

A wave's dimension k has the scaling x_k[i] = start_k + i * delta_k and a unit
(Igor's "wave scaling"); its data may carry a unit too.  The wave becomes the
Dataset's `intensity` with one dimension per wave dimension, named by the
wave's dimension labels where it has them and otherwise x, y, z, t, with the
scaled coordinates and their `units`.  Its note's `key=value` lines are kept
in the attributes, and the photon energy, work function and energy scale
(kinetic or binding) are taken from the keys analyser software writes.

Waves written by Scienta's SES carry its labels as their units (`Kinetic
Energy [eV]`, `Binding Energy [eV]`, `Y-Scale [deg]`, `Thetax [deg]`) and a
note whose `[SES]` block states the excitation energy, the energy scale, the
lens mode and pass energy (and, from newer versions, a `[Manipulator]` block):
in such a wave the energy dimension is named kinetic_energy or binding_energy
by its label and the angle along the slit (the wave's second dimension, the
detector's angle axis) phi; the unit in the label's brackets is the unit.  A
wave without scaling (start 0 and step 1 on every dimension) holds indices:
its coordinates are marked `igor_unscaled`, and no angle is read from them.

A packed experiment holds many waves; the one read is `wave=` (a name), or
the only numeric wave of two or more dimensions (or the only one).  Trailing
dimensions of a single point become scalar coordinates.

The header of a binary wave (read_header) is read here: version 5 states each
dimension, its scaling and unit, older versions the number of points of their
one dimension; both the number type.  A packed experiment states its waves
only record by record, so its header is not read on its own.
"""

from __future__ import annotations

import math
import re
from typing import IO, TYPE_CHECKING, Any, Dict, List, Literal, Optional, Tuple

import numpy as np

from ...core.errors import MeasuredDataError
from ...core.extras import require
from .base import ArrayHeader, Header, Opened, first_line

if TYPE_CHECKING:
    import xarray

__all__ = ["read", "read_header", "read_wave", "sniff", "note_values", "note_attrs", "IGOR_DIMS",
           "SUFFIXES"]

IGOR_DIMS = ("x", "y", "z", "t")
PACKED = (".pxp", ".pxt")
SUFFIXES = (".ibw",) + PACKED
OWN_DIMS = True  # the file's own dimensions, placed by name and unit (kspace/axes.py)
# a binary wave starts with its version, in either byte order
VERSIONS = {bytes([v, 0]) for v in (1, 2, 3, 5)} | {bytes([0, v]) for v in (1, 2, 3, 5)}
# note keys (lower case, spaces removed) -> attribute; the value is in eV
NOTE_ENERGIES = {"excitationenergy": "photon_energy", "photonenergy": "photon_energy",
                 "hv": "photon_energy", "hn": "photon_energy",
                 "workfunction": "work_function"}
# note keys -> what the measurement states besides its energies (kept as text)
NOTE_SETTINGS = {"lensmode": "lens_mode", "passenergy": "pass_energy",
                 "acquisitionmode": "acquisition_mode", "temperature": "temperature",
                 "instrument": "instrument", "location": "location"}
# an SES [Manipulator] block's one-letter keys -> the manipulator angle (degrees)
SES_MANIPULATOR = {"p": "manipulator_polar", "t": "manipulator_tilt",
                   "a": "manipulator_azimuth"}



def _is_wave(head: bytes) -> bool:
    return head[:2] in VERSIONS


def sniff(source: Opened) -> bool:
    """A binary wave by its version; a packed experiment, which has no signature,
    by its suffix."""
    return _is_wave(source.head) or source.suffix in PACKED


def _igor2(label: str, module: str) -> Any:
    return require(f"igor2.{module}", "lab", f"{label}: reading Igor files", "igor2")


def _decoded(raw: bytes) -> str:
    """Igor 7 and later write text as UTF-8, older versions in a one-byte encoding."""
    try:
        return raw.decode("utf-8")
    except UnicodeDecodeError:
        return raw.decode("latin-1")


def _text(value: Any) -> str:
    if isinstance(value, (bytes, np.bytes_)):
        return _decoded(bytes(value)).strip("\x00").strip()
    if isinstance(value, np.ndarray):
        return _decoded(b"".join(bytes(v) for v in value.reshape(-1))).strip("\x00")
    return str(value).strip()


def _extended_units(raw: Any, sizes: List[int]) -> List[str]:
    """The units longer than 3 bytes of each dimension (version 5): one string holds
    them one after the other, dimEUnitsSize[d] bytes for dimension d."""
    if isinstance(raw, np.ndarray):
        raw = b"".join(bytes(v) for v in raw.reshape(-1))
    units, at = [], 0
    for size in sizes:
        units.append(_text(bytes(raw[at:at + size])) if size > 0 else "")
        at += max(size, 0)
    return units


def note_values(note: str) -> Dict[str, str]:
    """The `key=value` (or `key: value`) lines of a wave note."""
    values: Dict[str, str] = {}
    for line in re.split(r"[\r\n]+", note):
        match = re.match(r"\s*([^=:]+?)\s*[=:]\s*(.*?)\s*$", line)
        if match:
            values[match.group(1)] = match.group(2)
    return values


def note_attrs(note: str) -> Dict[str, Any]:
    """The note, and the photon energy, work function, energy scale, analyser settings
    and manipulator angles it states."""
    attrs: Dict[str, Any] = {"igor_note": note} if note else {}
    section = ""
    for line in re.split(r"[\r\n]+", note):
        header = re.match(r"\s*\[([^\]]+)\]\s*$", line)
        if header:
            section = header.group(1).strip().lower()
            if section == "ses":
                attrs["writer"] = "Scienta SES"
            continue
        match = re.match(r"\s*([^=:]+?)\s*[=:]\s*(.*?)\s*$", line)
        if not match:
            continue
        key, value = match.groups()
        normal = re.sub(r"[\s_]", "", key.lower())
        if section == "manipulator" and normal in SES_MANIPULATOR:
            try:
                attrs[SES_MANIPULATOR[normal]] = float(value)
            except ValueError:
                pass
        elif normal in NOTE_ENERGIES:
            try:
                attrs[NOTE_ENERGIES[normal]] = float(value.split()[0])
            except (ValueError, IndexError):
                pass
        elif normal == "energyscale" and value.lower().startswith(("kin", "bind")):
            attrs["energy_scale"] = "kinetic" if value.lower().startswith("kin") else "binding"
        elif normal in NOTE_SETTINGS and value:
            attrs[NOTE_SETTINGS[normal]] = value
    return attrs


# SES labels (lower case, before the brackets) -> the dimension's name
SES_LABELS = {"kinetic energy": "kinetic_energy", "binding energy": "binding_energy"}
SES_SLIT_LABELS = ("y-scale", "thetax", "angle", "x-scale")


def _ses_names(names: List[str], units: List[str], ses: bool) -> List[str]:
    """Dimension names from an SES wave's labels (module notes)."""
    if not ses:
        return names
    named = list(names)
    for d, unit in enumerate(units):
        head = unit.split("[")[0].strip().lower()
        if head in SES_LABELS and SES_LABELS[head] not in named:
            named[d] = SES_LABELS[head]
        elif d == 1 and head in SES_SLIT_LABELS and "phi" not in named:
            named[d] = "phi"
    return named


def _scaling(wave: Dict[str, Any], ndim: int) -> List[Tuple[float, float, str]]:
    """(start, delta, unit) of each dimension."""
    header = wave["wave_header"]
    if "sfA" in header:  # version 5
        deltas, starts = header["sfA"], header["sfB"]
        units = [_text(u) for u in header["dimUnits"]]
        extended = _extended_units(wave.get("dimension_units") or b"", [
            int(n) for n in wave.get("bin_header", {}).get("dimEUnitsSize", [])])
        units = [extended[d] if d < len(extended) and extended[d] else units[d]
                 for d in range(len(units))]
    else:  # versions 1-3: one dimension
        deltas, starts = [header["hsA"]], [header["hsB"]]
        units = [_text(header.get("xUnits", b""))]
    return [(float(starts[d]), float(deltas[d]), units[d]) for d in range(ndim)]


def _labels(wave: Dict[str, Any], ndim: int) -> List[str]:
    """The wave's dimension labels (Igor's label of the whole dimension), else x, y, z, t."""
    names = list(IGOR_DIMS[:ndim])
    labels = wave.get("labels") or []
    for d in range(min(ndim, len(labels))):
        if labels[d] and labels[d][0]:
            name = _text(labels[d][0])
            if name and name not in names:
                names[d] = name
    return names


def read_wave(wave: Dict[str, Any], label: str) -> xarray.Dataset:
    """The Dataset of one igor2 wave record (the `wave` dict of binarywave.load)."""
    xr = require("xarray", "lab", f"{label}: labelled data", "xarray")
    data = np.asarray(wave["wData"])
    if data.dtype.kind not in "iuf":
        raise MeasuredDataError(f"{label}: the wave holds {data.dtype} values, not numbers")
    if data.size == 0:
        raise MeasuredDataError(f"{label}: the wave is empty")
    full = data.ndim
    while data.ndim > 1 and data.shape[-1] == 1:  # trailing single-point dimensions:
        data = data[..., 0]                         # kept as scalar coordinates
    names = _labels(wave, full)
    scaling = _scaling(wave, full)
    note = note_attrs(_text(wave.get("note") or b""))
    names = _ses_names(names, [unit for _, _, unit in scaling],
                       note.get("writer") == "Scienta SES")
    unscaled = all(start == 0.0 and delta == 1.0 for start, delta, _ in scaling)
    coords: Dict[str, Any] = {}
    for d, (name, (start, delta, unit)) in enumerate(zip(names, scaling)):
        unit_attrs: Dict[str, Any] = {"units": unit} if unit else {}
        if unscaled:
            unit_attrs["igor_unscaled"] = 1
        if d < data.ndim:
            values = start + delta * np.arange(data.shape[d], dtype=np.float64)
            coords[name] = (name, values, unit_attrs)
        else:
            coords[name] = ((), start, unit_attrs)
    names = names[:data.ndim]
    attrs = {"source": label, "igor_wave": _text(wave["wave_header"]["bname"]), **note}
    units = _text(wave.get("data_units") or b"") or _text(
        wave["wave_header"].get("dataUnits", b""))
    intensity = xr.Variable(names, data, {"units": units} if units else {})
    return xr.Dataset({"intensity": intensity}, coords=coords, attrs=attrs)


def _packed_waves(stream: IO[bytes], label: str) -> Dict[str, Dict[str, Any]]:
    """{name: wave} of the numeric waves of a packed experiment, found in either
    byte order (the file's first record does not say which)."""
    packed = _igor2(label, "packed")
    last: Optional[Exception] = None
    for order in (None, ">", "<"):
        stream.seek(0)
        try:
            records, _ = packed.load(stream, initial_byte_order=order)
            break
        except Exception as error:  # igor2 raises ValueError or struct errors
            last = error
    else:
        raise MeasuredDataError(f"{label}: not a readable Igor packed experiment ({last})")
    waves: Dict[str, Dict[str, Any]] = {}
    for record in records:
        wave = getattr(record, "wave", None)
        if wave is not None and np.asarray(wave["wave"]["wData"]).dtype.kind in "iuf":
            waves[_text(wave["wave"]["wave_header"]["bname"])] = wave["wave"]
    return waves


def read(source: Opened, *, wave: Optional[str] = None,
         chunked: bool = False) -> xarray.Dataset:
    """An Igor binary wave or a wave of a packed experiment (see the module notes);
    Igor files are read whole (`chunked` changes nothing)."""
    label = source.label
    with source.stream() as stream:
        if _is_wave(source.head) and source.suffix not in PACKED:
            binarywave = _igor2(label, "binarywave")
            try:
                loaded = binarywave.load(stream)
            except Exception as error:  # igor2 raises many kinds for a damaged file
                raise MeasuredDataError(f"{label}: not a readable Igor binary wave "
                                        f"({first_line(error)})") from None
            return read_wave(loaded["wave"], label)
        waves = _packed_waves(stream, label)
    if wave is not None:
        if wave not in waves:
            raise MeasuredDataError(f"{label}: no wave {wave!r} (waves: "
                                    f"{', '.join(waves) or 'none'})")
        return read_wave(waves[wave], f"{label}:{wave}")
    maps = [name for name, w in waves.items() if np.asarray(w["wData"]).squeeze().ndim >= 2]
    if not maps and len(waves) == 1:
        maps = list(waves)
    if len(maps) != 1:
        raise MeasuredDataError(
            f"{label}: holds {len(maps) or 'no'} waves of two or more dimensions"
            + (f" ({', '.join(maps)}); name one with wave=" if maps else ""))
    return read_wave(waves[maps[0]], f"{label}:{maps[0]}")


# the bytes before the wave header (by version), and the number types (the flag 1
# marks complex values, 0x40 unsigned ones; 0 is text, one byte a value)
BIN_HEADER = {1: 8, 2: 16, 3: 20, 5: 64}
NUMBER_TYPES = {2: "f4", 4: "f8", 8: "i1", 0x10: "i2", 0x20: "i4", 0x80: "i8"}
WAVE_HEADER = 320  # bytes of the version-5 wave header, the longest
MAX_NOTE = 1 << 20  # a note or unit longer than this is not read into the header


def read_header(source: Opened, *, max_arrays: Optional[int] = None) -> Header:
    """The wave's name, shape and number type from its header; from version 5 also
    each dimension's unit and, from the note after the values (the only bytes read
    past the header), the energies it states."""
    if not _is_wave(source.head):
        raise MeasuredDataError(f"{source.label}: a packed experiment states its waves only "
                                "record by record; read it whole")
    with source.stream() as stream:
        found = _wave_header(stream.read(BIN_HEADER[5] + WAVE_HEADER), source.label, stream)
    found.arrays = found.arrays[:max_arrays]
    return found


def _wave_header(data: bytes, label: str, stream: IO[bytes]) -> Header:
    order: Literal["little", "big"] = "little" if data[1] == 0 else "big"
    version = int.from_bytes(data[:2], order)
    start = BIN_HEADER[version]

    def field(offset: int, size: int, signed: bool = True, at: int = start) -> int:
        if at + offset + size > len(data):
            raise MeasuredDataError(f"{label}: the Igor wave's header is cut short")
        return int.from_bytes(data[at + offset:at + offset + size], order, signed=signed)

    found = Header("igor", listed=1)
    attrs: Dict[str, Any] = {}
    if version == 5:  # WaveHeader5: npnts at 12, type at 16, bname at 28, nDim at 68
        points, kind = field(12, 4), field(16, 2, False)
        name = data[start + 28:start + 60].split(b"\0")[0]
        shape = tuple(field(68 + 4 * d, 4) for d in range(4))
        units = [_text(data[start + 152 + 4 * d:start + 156 + 4 * d]) for d in range(4)]
        # BinHeader5: wfmSize at 4, formulaSize, noteSize, dataEUnitsSize, dimEUnitsSize[4]
        sizes = [field(4 + 4 * n, 4, at=0) for n in range(8)]
        if all(0 <= n <= MAX_NOTE for n in sizes[1:]):
            stream.seek(start + sizes[0] + sizes[1])
            tail = stream.read(sum(sizes[2:]))
            found.attrs = note_attrs(_text(tail[:sizes[2]]))
            extended = _extended_units(tail[sizes[2] + sizes[3]:], sizes[4:])
            units = [e or u for e, u in zip(extended + [""] * 4, units)]
        shape = tuple(n for n in shape if n > 0) or (points,)
        attrs["units"] = units[:len(shape)]
        if math.prod(shape) != points:
            shape = (max(points, math.prod(shape)),)
    else:  # WaveHeader2: type at 0, bname at 6, npnts at 42
        kind, points = field(0, 2, False), field(42, 4)
        name = data[start + 6:start + 26].split(b"\0")[0]
        shape = (points,)
    if any(n < 0 for n in shape):
        raise MeasuredDataError(f"{label}: the Igor wave's header states a negative size")
    code = NUMBER_TYPES.get(kind & ~0x41, "u1")
    dtype = np.dtype(("<" if order == "little" else ">") +
                     (code.replace("i", "u") if kind & 0x40 else code))
    if kind & 1:
        dtype = np.dtype([("real", dtype), ("imag", dtype)])
    found.arrays.append(ArrayHeader(name.decode("latin-1") or "wave", shape, dtype, attrs))
    return found
