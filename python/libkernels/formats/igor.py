"""Igor Pro files: binary waves (.ibw) and packed experiments (.pxp, .pxt), via igor2.

A wave's dimension k has the scaling x_k[i] = start_k + i * delta_k and a unit
(Igor's "wave scaling"); its data may carry a unit too.  The wave becomes the
Dataset's `intensity` with one dimension per wave dimension, named by the
wave's dimension labels where it has them and otherwise x, y, z, t, with the
scaled coordinates and their `units`.  Its note's `key=value` lines are kept
in the attributes, and the photon energy, work function and energy scale
(kinetic or binding) are taken from the keys analyser software writes.

A packed experiment holds many waves; the one read is `wave=` (a name), or
the only numeric wave of two or more dimensions (or the only one).  Trailing
dimensions of a single point become scalar coordinates.
"""

from __future__ import annotations

import io
import re
from typing import TYPE_CHECKING, Any, Dict, List, Optional, Tuple, Union

import numpy as np

from ..core.errors import MeasuredDataError
from ..core.extras import require

if TYPE_CHECKING:
    import xarray

__all__ = ["read", "read_wave", "is_igor", "note_values", "IGOR_DIMS"]

IGOR_DIMS = ("x", "y", "z", "t")
SUFFIXES = (".ibw", ".pxp", ".pxt")
# note keys (lower case, spaces removed) -> attribute; the value is in eV
NOTE_ENERGIES = {"excitationenergy": "photon_energy", "photonenergy": "photon_energy",
                 "hv": "photon_energy", "hn": "photon_energy",
                 "workfunction": "work_function"}

Source = Union[str, bytes, bytearray]


def is_igor(head: bytes, path: str) -> bool:
    """A binary wave starts with its version (1, 2, 3, 5 in either byte order);
    a packed experiment has no signature and is known by its suffix."""
    if path.lower().endswith((".pxp", ".pxt")):
        return True
    if len(head) < 2:
        return False
    return head[:2] in {bytes([v, 0]) for v in (1, 2, 3, 5)} | \
        {bytes([0, v]) for v in (1, 2, 3, 5)}


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


def _extended_units(wave: Dict[str, Any]) -> List[str]:
    """The units longer than 3 bytes of each dimension (version 5): one string holds
    them one after the other, dimEUnitsSize[d] bytes for dimension d."""
    raw = wave.get("dimension_units") or b""
    if isinstance(raw, np.ndarray):
        raw = b"".join(bytes(v) for v in raw.reshape(-1))
    sizes = [int(n) for n in wave.get("bin_header", {}).get("dimEUnitsSize", [])]
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


def _scaling(wave: Dict[str, Any], ndim: int) -> List[Tuple[float, float, str]]:
    """(start, delta, unit) of each dimension."""
    header = wave["wave_header"]
    if "sfA" in header:  # version 5
        deltas, starts = header["sfA"], header["sfB"]
        units = [_text(u) for u in header["dimUnits"]]
        extended = _extended_units(wave)
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
    coords: Dict[str, Any] = {}
    for d, (name, (start, delta, unit)) in enumerate(zip(names, _scaling(wave, full))):
        unit_attrs = {"units": unit} if unit else {}
        if d < data.ndim:
            values = start + delta * np.arange(data.shape[d], dtype=np.float64)
            coords[name] = (name, values, unit_attrs)
        else:
            coords[name] = ((), start, unit_attrs)
    names = names[:data.ndim]
    note = _text(wave.get("note") or b"")
    attrs: Dict[str, Any] = {"source": label, "igor_wave": _text(wave["wave_header"]["bname"])}
    if note:
        attrs["igor_note"] = note
    for key, value in note_values(note).items():
        normal = re.sub(r"[\s_]", "", key.lower())
        if normal in NOTE_ENERGIES:
            try:
                attrs[NOTE_ENERGIES[normal]] = float(value.split()[0])
            except (ValueError, IndexError):
                pass
        elif normal == "energyscale" and value.lower().startswith(("kin", "bind")):
            attrs["energy_scale"] = "kinetic" if value.lower().startswith("kin") else "binding"
    units = _text(wave.get("data_units") or b"") or _text(
        wave["wave_header"].get("dataUnits", b""))
    intensity = xr.Variable(names, data, {"units": units} if units else {})
    return xr.Dataset({"intensity": intensity}, coords=coords, attrs=attrs)


def _packed_waves(source: Source, label: str) -> Dict[str, Dict[str, Any]]:
    """{name: wave} of the numeric waves of a packed experiment, found in either
    byte order (the file's first record does not say which)."""
    packed = _igor2(label, "packed")
    last: Optional[Exception] = None
    for order in (None, ">", "<"):
        handle = io.BytesIO(source) if isinstance(source, (bytes, bytearray)) else source
        try:
            records, _ = packed.load(handle, initial_byte_order=order)
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


def read(source: Source, *, wave: Optional[str] = None,
         label: Optional[str] = None) -> xarray.Dataset:
    """An Igor binary wave or a wave of a packed experiment (see the module notes)."""
    label = label or (source if isinstance(source, str) else "the Igor file")
    packed = isinstance(source, str) and source.lower().endswith((".pxp", ".pxt"))
    if not packed and isinstance(source, (bytes, bytearray)):
        packed = not is_igor(bytes(source[:2]), "")
    if not packed:
        handle = io.BytesIO(source) if isinstance(source, (bytes, bytearray)) else source
        try:
            loaded = _igor2(label, "binarywave").load(handle)
        except Exception as error:  # igor2 raises many kinds for a damaged file
            raise MeasuredDataError(f"{label}: not a readable Igor binary wave "
                                    f"({str(error).splitlines()[0] if str(error) else error!r})"
                                    ) from None
        return read_wave(loaded["wave"], label)
    waves = _packed_waves(source, label)
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
