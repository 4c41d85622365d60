"""The energies of a measurement's slices and what a conversion states about them.

`slice_energies` gives every slice its kinetic (and binding) energy: the given
energies over the file's (core/energies.py), the energy axis each slice's own,
with the caller's values that contradict the file's kept for the record.  An
energy window selects on the file's own axis values (`window_slices`, within a
small share of the axis step), and every output names the slices it summed
and their energies (`describe_window`); `described` writes what was read from
the file and what was assumed into the converted data's attributes.  The
variances of raw counts: each pixel's expected count, estimated by the mean
count of its COUNT_WINDOW x COUNT_WINDOW neighbourhood (at least 1), so that a
fit's weights do not follow each pixel's own fluctuation.
"""

from __future__ import annotations

import math
from dataclasses import dataclass, field, replace
from typing import TYPE_CHECKING, Any, Dict, Optional, Tuple

import numpy as np

from ..core.energies import Energies
from ..core.errors import InputError, MeasuredDataError
from .axes import Placed
from .settings import Conversion

if TYPE_CHECKING:
    from ..core.types import Float32Array, Float64Array

__all__ = ["SliceEnergies", "stated_energies", "slice_energies", "window_slices",
           "selected_slices",
           "describe_window", "described", "expected_counts_variance", "COUNT_WINDOW",
           "WINDOW_TOLERANCE"]

# side of the neighbourhood whose mean count estimates a pixel's expected count
COUNT_WINDOW = 5


# ---- energies ---------------------------------------------------------------------------

@dataclass
class SliceEnergies:
    kinetic: Float64Array        # per slice (one value for a map)
    binding: Optional[Float64Array]
    photon_energy: Optional[float]
    work_function: Optional[float]
    sources: Dict[str, str] = field(default_factory=dict)  # energy -> given or file
    conflicts: Dict[str, Tuple[Any, Any]] = field(default_factory=dict)  # given vs file


def stated_energies(placed: Placed) -> Energies:
    """The energies the file's attributes state."""
    values = {}
    for name in ("photon_energy", "work_function", "kinetic_energy", "binding_energy"):
        value = placed.attrs.get(name)
        try:
            number = float(np.asarray(value).reshape(-1)[0]) if value is not None else None
        except (TypeError, ValueError, IndexError):
            number = None
        if number is not None and math.isfinite(number):
            values[name] = number
    return Energies.stated(values)


def slice_energies(placed: Placed, conversion: Conversion, label: str,
              required: bool = True) -> SliceEnergies:
    """The kinetic (and binding) energy of every slice: the given energies over the
    file's, the energy axis giving each slice's own.  Data already in momentum need
    none (`required` False): what is missing is NaN."""
    dim = placed.energy_dim()
    stated = stated_energies(placed)
    conflicts = conversion.energies.conflicts(stated)
    merged = conversion.energies.over(stated)
    count = 1
    if dim is not None:
        axis = np.asarray(placed.data[dim].values, dtype=np.float64)
        count = axis.size
        # the axis is each slice's own energy, whatever the file states beside it
        merged = replace(merged, kinetic_energy=tuple(axis) if dim == "kinetic_energy" else None,
                         binding_energy=None if dim == "kinetic_energy" else
                         tuple(axis if dim == "binding_energy" else -axis))
    try:
        if merged.kinetic_energy is None and (merged.photon_energy is None or
                                              merged.work_function is None):
            what = {None: "a binding energy", "binding_energy": "binding energies"}.get(
                dim, "energies E - E_F")
            missing = "photon_energy" if merged.photon_energy is None else "work_function"
            if dim is None and merged.binding_energy is None:
                raise InputError("photon_energy", f"is missing: {label} has no energy axis and "
                                                  "records no energy", "give {kinetic_energy}, "
                                                  "or {photon_energy} with {work_function}")
            raise InputError(missing, f"is missing: {label} gives {what} and records no "
                                      f"{missing.replace('_', ' ')}")
        kinetic = merged.kinetic(count, what=label)
    except InputError:
        if required:
            raise
        kinetic = np.full(count, np.nan)
    binding = merged.known_binding(count)
    if required and np.any(kinetic <= 0):
        if dim == "kinetic_energy":
            raise MeasuredDataError(f"{label}: kinetic energies down to {kinetic.min():g} eV; "
                                    "they must be positive")
        raise InputError("photon_energy", f"leaves kinetic energies down to {kinetic.min():g} "
                                          f"eV for {label}; they must be positive")
    sources = {name: merged.sources.get(name, "given") for name in
               ("photon_energy", "work_function") if getattr(merged, name) is not None}
    return SliceEnergies(kinetic, binding, merged.photon_energy, merged.work_function,
                         sources, conflicts)


# ---- energy windows ----------------------------------------------------------------------

# a slice belongs to a window when its axis value lies within this share of the
# axis step outside the window's bounds (the bounds and the values met in another
# quantity, or written in decimal, differ by rounding)
WINDOW_TOLERANCE = 1e-3


def selected_slices(placed: Placed, energies: SliceEnergies,
                    window: Optional[Tuple[float, float]], label: str
                    ) -> Tuple[Any, Optional[Tuple[str, Float64Array]]]:
    """(the indices of the slices to convert, and for an energy window its quantity and
    the summed slices' energies): every slice without a window."""
    if window is None:
        return np.arange(energies.kinetic.size), None
    selected, quantity, summed = window_slices(placed, energies, window, label)
    return selected, (quantity, summed)


def window_slices(placed: Placed, energies: SliceEnergies, window: Tuple[float, float],
                  label: str) -> Tuple[Any, str, Float64Array]:
    """(the indices of the slices in the window, the window's quantity, their energies in
    it): selected on the file's own axis values, the window's bounds taken into the
    axis's quantity (binding energy when the photon energy is known, else kinetic;
    E - E_F is minus the binding energy), within WINDOW_TOLERANCE of a step."""
    dim = placed.energy_dim()
    if dim is None:
        raise InputError("energy_window", f"needs an energy axis; {label} is a single map")
    axis = np.asarray(placed.data[dim].values, dtype=np.float64)
    low, high = window
    quantity = "binding" if energies.binding is not None else "kinetic"
    if dim == "kinetic_energy" and quantity == "binding":
        assert energies.photon_energy is not None and energies.work_function is not None
        top = energies.photon_energy - energies.work_function
        bounds = (top - high, top - low)
    elif dim == "energy_above_fermi":
        bounds = (-high, -low)
    else:
        bounds = (low, high)
    step = float(np.median(np.abs(np.diff(axis)))) if axis.size > 1 else 0.0
    tolerance = WINDOW_TOLERANCE * step
    selected = np.flatnonzero((axis >= bounds[0] - tolerance) & (axis <= bounds[1] + tolerance))
    shown = energies.binding if quantity == "binding" else energies.kinetic
    assert shown is not None
    if selected.size == 0:
        raise InputError("energy_window", f"{low:g} to {high:g} eV holds no slice of {label} "
                                          f"({quantity} energies {np.nanmin(shown):g} to "
                                          f"{np.nanmax(shown):g} eV)")
    return selected, quantity, np.asarray(shown)[selected]


def _box_sum(values: Any, axis: int, half: int) -> Any:
    """Sums over windows of 2 * half + 1 along `axis`, shortened at the ends."""
    pad = [(0, 0)] * values.ndim
    pad[axis] = (half + 1, half)
    sums = np.cumsum(np.pad(values, pad), axis=axis)
    n = values.shape[axis]
    return np.take(sums, np.arange(2 * half + 1, 2 * half + 1 + n), axis=axis) - \
        np.take(sums, np.arange(n), axis=axis)


def expected_counts_variance(counts: Any) -> Float32Array:
    """Variances of the counts of one slice (a, b): each pixel's expected count, the
    mean of its COUNT_WINDOW x COUNT_WINDOW neighbourhood (NaN left out), at least 1;
    NaN where the count is."""
    values = np.asarray(counts, dtype=np.float32)
    half = COUNT_WINDOW // 2
    finite = np.isfinite(values)
    whole = bool(finite.all())
    if whole:
        n_a, n_b = values.shape
        ones_a = _box_sum(np.ones(n_a, np.float32), 0, half)
        ones_b = _box_sum(np.ones(n_b, np.float32), 0, half)
        pixels = ones_a[:, None] * ones_b[None, :]
    else:
        values = np.where(finite, values, np.float32(0))
        pixels = _box_sum(_box_sum(finite.astype(np.float32), 0, half), 1, half)
    with np.errstate(invalid="ignore", divide="ignore"):
        mean = _box_sum(_box_sum(values, 0, half), 1, half) / pixels
    variance = np.maximum(mean, np.float32(1))  # NaN (no finite neighbour) stays NaN
    if not whole:
        variance[~finite] = np.nan
    return variance


def describe_window(attrs: Dict[str, Any], quantity: str, summed: Any) -> None:
    """The slices an energy window summed, and their energies, in `attrs`."""
    attrs["slices_summed"] = int(np.size(summed))
    attrs["summed_energy_kind"] = quantity
    attrs["summed_energies"] = sorted(round(float(v), 9) for v in np.atleast_1d(summed))


def described(dataset: Any, placed: Placed, energies: Optional[SliceEnergies]) -> Any:
    """The converted data with what was read from the file and what was assumed."""
    attrs = dataset.attrs
    read = placed.stated.described()
    for name, unit in placed.angle_units.items():
        read.setdefault(f"unit of {name}", unit)
    assumed: Dict[str, str] = {}
    if energies is not None:
        for name, source in energies.sources.items():
            if source == "file":
                read.setdefault(name, f"{getattr(energies, name):g} eV (from the file)")
        for name, (given, theirs) in energies.conflicts.items():
            assumed[name] = (f"{given:g} eV as given, over the file's {theirs:g} eV (the "
                             "given value is used)")
            attrs[f"{name}_file"] = float(theirs)
    for what in ("lens_mode", "pass_energy", "temperature", "analyser",
                 "manipulator_polar", "manipulator_tilt", "manipulator_azimuth",
                 "slit_orientation", "stated_offsets"):
        if what in placed.stated.values:
            value = placed.stated.values[what]
            attrs[what] = value if isinstance(value, (int, float)) else str(value)
    if "stated_offsets" in placed.stated.values and not attrs.get("angle_offsets"):
        assumed["angle_offsets"] = "none applied (the file states some; give --angle-offsets)"
    attrs["read_from_file"] = "; ".join(f"{k}: {v}" for k, v in read.items())
    attrs["assumed"] = "; ".join(f"{k}: {v}" for k, v in assumed.items())
    return dataset
