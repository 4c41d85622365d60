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
they mean is decided from their names and units (kspace/axes.py).  The file is
read through its one h5py handle (hdf5.py), the one that told it from NetCDF-4.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any, Dict, List, Optional, Tuple

import numpy as np

from ...core.errors import MeasuredDataError
from ...core.extras import require
from .base import Header, Opened, first_line, text
from .hdf5 import hdf5_handle, hdf5_header, is_hdf5

if TYPE_CHECKING:
    import xarray

__all__ = ["read", "read_header", "sniff", "SUFFIXES"]

SUFFIXES = (".nxs", ".nx5", ".nexus")
OWN_DIMS = True  # the file's own dimensions, placed by name and unit (kspace/axes.py)


def _attr(node: Any, name: str, default: Any = None) -> Any:
    return text(node.attrs.get(name, default))


def _class(node: Any) -> str:
    return str(_attr(node, "NX_class", ""))


def _entries(handle: Any) -> List[Any]:
    return [node for node in handle.values() if _class(node) == "NXentry"]


def sniff(source: Opened) -> bool:
    """An HDF5 file with an NXentry at its top."""
    try:
        return is_hdf5(source.head) and bool(_entries(hdf5_handle(source)))
    except Exception:  # not readable, or h5py missing: the NetCDF reader says why
        return False


def read_header(source: Opened, *, max_arrays: Optional[int] = None) -> Header:
    """Every dataset's shape, dtype and attributes, and the energies the first entry
    states (its groups met in the same walk); no signal is read."""
    within = _entries(hdf5_handle(source))[0].name + "/"
    classes: Dict[str, List[Any]] = {}

    def group(item: Any) -> None:
        if item.name.startswith(within):
            classes.setdefault(_class(item), []).append(item)

    found = hdf5_header(source, "nexus", max_arrays, group)
    found.attrs.update(_beam_energies(classes))
    return found


def _classes(node: Any) -> Dict[str, List[Any]]:
    """{NX_class: every group of that class below `node`, depth first}, in one walk."""
    found: Dict[str, List[Any]] = {}

    def visit(name: str, item: Any) -> None:
        if hasattr(item, "keys"):
            found.setdefault(_class(item), []).append(item)

    node.visititems(visit)
    return found


def _data_group(entry: Any, classes: Dict[str, List[Any]], label: str) -> Any:
    default = _attr(entry, "default")
    if isinstance(default, str) and default in entry and _class(entry[default]) == "NXdata":
        return entry[default]
    groups = [g for g in entry.values() if hasattr(g, "keys") and _class(g) == "NXdata"] or \
        classes.get("NXdata", [])
    if not groups:
        raise MeasuredDataError(f"{label}: the NeXus entry holds no NXdata group")
    return groups[0]


def _value_in_ev(node: Any) -> Optional[float]:
    value = np.asarray(node[()], dtype=np.float64).reshape(-1)
    if value.size == 0 or not np.isfinite(value[0]):
        return None
    unit = str(_attr(node, "units", "eV")).strip().lower()
    return float(value[0]) * {"ev": 1.0, "mev": 1e-3, "kev": 1e3}.get(unit, 1.0)


def _beam_energies(classes: Dict[str, List[Any]]) -> Dict[str, float]:
    found: Dict[str, float] = {}
    beams = list(classes.get("NXbeam", []))
    # the probe beam first: NXmpes names it beam_probe (a pump beam may come too)
    beams.sort(key=lambda g: 0 if "probe" in g.name.rsplit("/", 1)[-1] else 1)
    for beam in beams:
        if "incident_energy" in beam:
            energy = _value_in_ev(beam["incident_energy"])
            if energy is not None:
                found["photon_energy"] = energy
                break
    for analyser in classes.get("NXelectronanalyser", []):
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


def read(source: Opened, *, chunked: bool = False) -> xarray.Dataset:
    """The default NXdata of the file's first NXentry as a Dataset (module notes);
    with `chunked` the signal stays in the file, read through dask."""
    xr = require("xarray", "lab", f"{source.label}: labelled data", "xarray")
    try:
        dataset = _dataset(xr, hdf5_handle(source), source.label, chunked)
    except MeasuredDataError:
        raise
    except Exception as error:  # h5py raises many kinds for a damaged file
        raise MeasuredDataError(f"{source.label}: cannot be read as NeXus "
                                f"({first_line(error)})") from None
    return source.keep(dataset) if chunked else dataset


def _dataset(xr: Any, handle: Any, label: str, chunked: bool) -> xarray.Dataset:
    entries = _entries(handle)
    if not entries:
        raise MeasuredDataError(f"{label}: no NXentry group (not a NeXus file)")
    entry = entries[0]
    classes = _classes(entry)
    group = _data_group(entry, classes, label)
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
                               {k: _attr(signal, k) for k in ("units",) if k in signal.attrs})}
    for errors in (f"{signal_name}_errors", "errors"):
        if errors in group and group[errors].shape == signal.shape:
            variables["sigma"] = (dims, _array(group[errors], chunked), {})
            break
    attrs: Dict[str, Any] = {"source": label, "nexus_entry": entry.name,
                             "nexus_data": group.name}
    definition = entry.get("definition")
    if definition is not None:
        value = text(definition[()])
        attrs["nexus_definition"] = " ".join(value) if isinstance(value, list) else str(value)
    attrs.update(_beam_energies(classes))
    return xr.Dataset(variables, coords=coords, attrs=attrs)


def _array(node: Any, chunked: bool) -> Any:
    if not chunked:
        return np.asarray(node[()])
    da = require("dask.array", "lab", "converting a cube in chunks", "dask")
    return da.from_array(node, chunks=(1,) + tuple(node.shape[1:]) if node.ndim > 2 else -1)
