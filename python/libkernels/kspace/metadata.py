"""What a measured file states about its measurement, found under the names its
writers use, for the converted file's attributes and the record.

| what | names looked for (attributes or scalar coordinates, any case) |
|---|---|
| photon_energy (eV) | photon_energy, hv, excitation_energy, hn; NeXus beam incident_energy and the SES note's Excitation Energy arrive as photon_energy |
| work_function (eV) | work_function, workfunction |
| lens_mode | lens_mode, lens_mode_name, lensmode |
| pass_energy (eV) | pass_energy |
| temperature (K) | temperature, sample_temperature |
| analyser | analyzer_name, analyser_name, analyzer, analyser, instrument |
| manipulator_polar, _tilt, _azimuth (degrees) | SES [Manipulator] P, T, A; the field's layout: scalar theta, beta, chi (radians there) |
| slit_orientation (degrees) | alpha of the field's layout |
| stated_offsets (degrees) | phi_offset, theta_offset, beta_offset, psi_offset, chi_offset |

`stated` gives {what: value} and `where` {what: the name it was found under};
nothing here is applied to the conversion except the photon energy and work
function (through core/energies.py): offsets and manipulator angles stated by
a file are recorded, and applied only when the caller gives them
(--angle-offsets, --sample-azimuth), since writers differ in their sense.
"""

from __future__ import annotations

import math
import re
from dataclasses import dataclass, field
from typing import Any, Dict, Mapping, Optional, Tuple

import numpy as np

__all__ = ["Stated", "stated", "ENERGY_NAMES"]

ENERGY_NAMES: Dict[str, Tuple[str, ...]] = {
    "photon_energy": ("photon_energy", "hv", "excitation_energy", "excitationenergy", "hn",
                      "photonenergy"),
    "work_function": ("work_function", "workfunction"),
}
TEXT_NAMES: Dict[str, Tuple[str, ...]] = {
    "lens_mode": ("lens_mode", "lens_mode_name", "lensmode"),
    "pass_energy": ("pass_energy", "passenergy"),
    "temperature": ("temperature", "sample_temperature"),
    "analyser": ("analyzer_name", "analyser_name", "analyzer", "analyser", "instrument"),
    "acquisition_mode": ("acquisition_mode",),
    "angle_sense": ("angle_sense",),
}
MANIPULATOR = {"manipulator_polar": "theta", "manipulator_tilt": "beta",
               "manipulator_azimuth": "chi"}
OFFSETS = ("phi", "theta", "beta", "psi", "chi")


@dataclass
class Stated:
    """What a file states: `values` {what: value}, `where` {what: name found under}."""

    values: Dict[str, Any] = field(default_factory=dict)
    where: Dict[str, str] = field(default_factory=dict)

    def put(self, what: str, value: Any, where: str) -> None:
        if what not in self.values:
            self.values[what] = value
            self.where[what] = where

    def described(self) -> Dict[str, str]:
        """{what: 'value (from NAME)'} for the record."""
        return {what: f"{_shown(value)} (from {self.where[what]})"
                for what, value in self.values.items()}


def _shown(value: Any) -> str:
    if isinstance(value, float):
        return f"{value:.6g}"
    return str(value)


def _number(value: Any) -> Optional[float]:
    try:
        array = np.asarray(value, dtype=np.float64).reshape(-1)
    except (TypeError, ValueError):
        return None
    return float(array[0]) if array.size == 1 and math.isfinite(array[0]) else None


def _degrees(value: float, unit: str) -> Optional[float]:
    unit = unit.strip().lower()
    if unit in ("rad", "radian", "radians"):
        return math.degrees(value)
    if unit in ("deg", "degree", "degrees", "°"):
        return value
    return None


def stated(dataset: Any) -> Stated:
    """What the Dataset (as a reader gave it) states about the measurement."""
    found = Stated()
    scalars = {str(k): v for k, v in dataset.coords.items() if v.ndim == 0}
    attrs: Mapping[str, Any] = dataset.attrs
    lower = {re.sub(r"\s", "", str(k).lower()): k for k in attrs}
    scanned = {str(d) for d in dataset.dims}
    for what, names in ENERGY_NAMES.items():
        if what == "photon_energy" and scanned & set(names):
            continue  # a photon-energy scan: the axis is each slice's own
        for name in names:
            if name in scalars and (number := _number(scalars[name].values)) is not None:
                found.put(what, number, f"coordinate {name}")
            elif name in lower and (number := _number(attrs[lower[name]])) is not None:
                found.put(what, number, f"attribute {lower[name]}")
    for what, names in TEXT_NAMES.items():
        for name in names:
            if name in lower and attrs[lower[name]] not in ("", None):
                value = attrs[lower[name]]
                number = _number(value)
                found.put(what, number if number is not None else str(value),
                          f"attribute {lower[name]}")
    for what, name in MANIPULATOR.items():
        if what in attrs and (number := _number(attrs[what])) is not None:
            found.put(what, number, "the note's [Manipulator] block")
        elif name in scalars:
            unit = str(scalars[name].attrs.get("units", ""))
            number = _number(scalars[name].values)
            degrees = None if number is None else _degrees(number, unit)
            if degrees is not None:
                found.put(what, degrees, f"coordinate {name} ({unit})")
    if "alpha" in scalars:
        number = _number(scalars["alpha"].values)
        degrees = None if number is None else _degrees(
            number, str(scalars["alpha"].attrs.get("units", "")))
        if degrees is not None:
            found.put("slit_orientation", degrees, "coordinate alpha")
    offsets = {}
    for name in OFFSETS:
        key = f"{name}_offset"
        if key in attrs and (number := _number(attrs[key])) is not None:
            unit = str(dataset.coords[name].attrs.get("units", "")) \
                if name in dataset.coords else ""
            degrees = _degrees(number, unit)
            if degrees is not None and degrees != 0.0:
                offsets[name] = round(degrees, 6)
    if offsets:
        found.put("stated_offsets", ", ".join(f"{k}={v:g}" for k, v in offsets.items()),
                  "attributes *_offset, degrees, not applied unless given as "
                  "--angle-offsets")
    if "writer" in attrs:
        found.put("writer", str(attrs["writer"]), "the reader")
    return found
