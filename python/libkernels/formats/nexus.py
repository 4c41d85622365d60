"""NeXus files in the NXmpes layout (photoemission), read with h5py.

What is read, as the application definition lays it out:
- the entry (`NX_class` NXentry, `definition` NXmpes) and its default NXdata
  group (the entry's `default` attribute, else its first NXdata group);
- the signal (the group's `signal` attribute) and its axes (`axes`, with
  `AXISNAME_indices` placing an axis on a dimension of the signal), each
  axis with its `units`; an energy axis says with its `type` attribute
  whether it is kinetic or binding energy; uncertainties in `errors` or
  `<signal>_errors`;
- the photon energy from the incident_energy of an NXbeam of the instrument
  (the probe beam), the work function from the electron analyser.

Axes keep the file's names (angular0, angular1, energy, kx, ky, ...): what
they mean is decided from their names and units (kspace/axes.py).
"""

from __future__ import annotations

import io
from typing import TYPE_CHECKING, Any, Dict, List, Optional, Tuple, Union

import numpy as np

from ..core.errors import MeasuredDataError
from ..core.extras import require

if TYPE_CHECKING:
    import xarray

__all__ = ["read", "is_nexus"]

Source = Union[str, bytes, bytearray]


def _h5py(label: str) -> Any:
    return require("h5py", "lab", f"{label}: reading NeXus files", "h5py")


def _open(source: Source, label: str) -> Any:
    h5py = _h5py(label)
    target = io.BytesIO(bytes(source)) if isinstance(source, (bytes, bytearray)) else source
    try:
        return h5py.File(target, "r")
    except OSError as error:
        raise MeasuredDataError(f"{label}: not a readable HDF5 file ({error})") from None


def _attr(node: Any, name: str, default: Any = None) -> Any:
    value = node.attrs.get(name, default)
    if isinstance(value, bytes):
        return value.decode("utf-8", "replace")
    if isinstance(value, np.ndarray) and value.dtype.kind in "SOU":
        return [v.decode() if isinstance(v, bytes) else str(v) for v in value.reshape(-1)]
    return value


def _class(node: Any) -> str:
    return str(_attr(node, "NX_class", ""))


def _entries(handle: Any) -> List[Any]:
    return [node for node in handle.values() if _class(node) == "NXentry"]


def is_nexus(source: Source) -> bool:
    """An HDF5 file with an NXentry at its top."""
    try:
        with _open(source, "the file") as handle:
            return bool(_entries(handle))
    except Exception:  # not HDF5, or h5py missing: not NeXus for the dispatch
        return False


def _groups(node: Any, nx_class: str) -> List[Any]:
    """Every group of that class below `node`, depth first."""
    found = []

    def visit(name: str, item: Any) -> None:
        if hasattr(item, "keys") and _class(item) == nx_class:
            found.append(item)

    node.visititems(visit)
    return found


def _data_group(entry: Any, label: str) -> Any:
    default = _attr(entry, "default")
    if isinstance(default, str) and default in entry and _class(entry[default]) == "NXdata":
        return entry[default]
    groups = [g for g in entry.values() if hasattr(g, "keys") and _class(g) == "NXdata"] or \
        _groups(entry, "NXdata")
    if not groups:
        raise MeasuredDataError(f"{label}: the NeXus entry holds no NXdata group")
    return groups[0]


def _value_in_ev(node: Any) -> Optional[float]:
    value = np.asarray(node[()], dtype=np.float64).reshape(-1)
    if value.size == 0 or not np.isfinite(value[0]):
        return None
    unit = str(_attr(node, "units", "eV")).strip().lower()
    return float(value[0]) * {"ev": 1.0, "mev": 1e-3, "kev": 1e3}.get(unit, 1.0)


def _beam_energies(entry: Any) -> Dict[str, float]:
    found: Dict[str, float] = {}
    beams = _groups(entry, "NXbeam")
    # the probe beam first: NXmpes names it beam_probe (a pump beam may come too)
    beams.sort(key=lambda g: 0 if "probe" in g.name.rsplit("/", 1)[-1] else 1)
    for beam in beams:
        if "incident_energy" in beam:
            energy = _value_in_ev(beam["incident_energy"])
            if energy is not None:
                found["photon_energy"] = energy
                break
    for analyser in _groups(entry, "NXelectronanalyser"):
        if "work_function" in analyser:
            energy = _value_in_ev(analyser["work_function"])
            if energy is not None:
                found["work_function"] = energy
                break
    return found


def _axes(group: Any, signal_ndim: int, label: str) -> List[Tuple[str, Any]]:
    """(name, dataset) of the axis on each dimension of the signal."""
    axes = _attr(group, "axes", [])
    if isinstance(axes, str):
        axes = [a for a in axes.replace(",", ":").split(":")]
    names: List[Optional[str]] = [None] * signal_ndim
    for position, name in enumerate(axes):
        if name in (".", "") or name not in group:
            continue
        index = _attr(group, f"{name}_indices", position)
        index = int(np.asarray(index).reshape(-1)[0])
        if 0 <= index < signal_ndim:
            names[index] = name
    missing = [d for d, name in enumerate(names) if name is None]
    if missing:
        raise MeasuredDataError(f"{label}: the NXdata group gives no axis for dimension(s) "
                                f"{', '.join(map(str, missing))} of its signal (axes: "
                                f"{', '.join(map(str, axes)) or 'none'})")
    return [(str(name), group[name]) for name in names]


def read(source: Source, *, chunked: bool = False,
         label: Optional[str] = None) -> xarray.Dataset:
    """The default NXdata of the file's first NXentry as a Dataset (module notes);
    with `chunked` the signal stays in the file, read through dask."""
    label = label or (source if isinstance(source, str) else "the NeXus file")
    xr = require("xarray", "lab", f"{label}: labelled data", "xarray")
    handle = _open(source, label)
    try:
        entries = _entries(handle)
        if not entries:
            raise MeasuredDataError(f"{label}: no NXentry group (not a NeXus file)")
        entry = entries[0]
        group = _data_group(entry, label)
        signal_name = _attr(group, "signal")
        if not isinstance(signal_name, str) or signal_name not in group:
            raise MeasuredDataError(f"{label}: the NXdata group {group.name} names no signal")
        signal = group[signal_name]
        if signal.size == 0:
            raise MeasuredDataError(f"{label}: the signal {signal.name} is empty")
        coords = {}
        for name, axis in _axes(group, signal.ndim, label):
            kept = {key: _attr(axis, key) for key in ("units", "type") if key in axis.attrs}
            coords[name] = (name, np.asarray(axis[()], dtype=np.float64).reshape(-1), kept)
        dims = list(coords)
        variables = {"intensity": (dims, _array(signal, chunked),
                                   {k: _attr(signal, k) for k in ("units",)
                                    if k in signal.attrs})}
        for errors in (f"{signal_name}_errors", "errors"):
            if errors in group and group[errors].shape == signal.shape:
                variables["sigma"] = (dims, _array(group[errors], chunked), {})
                break
        attrs: Dict[str, Any] = {"source": label, "nexus_entry": entry.name,
                                 "nexus_data": group.name}
        definition = entry.get("definition")
        if definition is not None:
            attrs["nexus_definition"] = _text(definition[()])
        attrs.update(_beam_energies(entry))
        dataset = xr.Dataset(variables, coords=coords, attrs=attrs)
    except MeasuredDataError:
        handle.close()
        raise
    except Exception as error:  # h5py raises many kinds for a damaged file
        handle.close()
        raise MeasuredDataError(f"{label}: cannot be read as NeXus ({error})") from None
    if not chunked:
        handle.close()
    return dataset


def _array(node: Any, chunked: bool) -> Any:
    if not chunked:
        return np.asarray(node[()])
    da = require("dask.array", "lab", "converting a cube in chunks", "dask")
    return da.from_array(node, chunks=(1,) + tuple(node.shape[1:]) if node.ndim > 2 else -1)


def _text(value: Any) -> str:
    if isinstance(value, bytes):
        return value.decode("utf-8", "replace")
    if isinstance(value, np.ndarray):
        return _text(value.reshape(-1)[0]) if value.size else ""
    return str(value)
