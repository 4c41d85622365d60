"""How data measured in angles go to momentum: the conversion's settings, declared once.

`ConversionSettings` are the set-up (geometry, offsets, the sample's azimuth),
the names of the file's dimensions where they say nothing, the energy window
summed into one map and the lattice step.  `libkernels convert` (ConvertRequest),
`fit` and `deconvolve` (whose requests take raw files too) inherit them, so a raw
file given to `fit` is converted with exactly what `convert` would use; the
conversion itself (`Conversion`, convert.py) adds the energies and the memory
limit to them.
"""

from __future__ import annotations

import math
from dataclasses import dataclass, field, fields
from typing import Any, Dict, Mapping, Optional, Tuple

from ..core.energies import Energies
from ..core.errors import InputError
from ..core.memory import MemorySize
from ..requests.base import setting
from .axes import check_angle_unit, parse_dims
from .geometry import GEOMETRIES

__all__ = ["ConversionSettings", "Conversion", "conversion_of", "parse_offsets"]


def parse_offsets(value: Any) -> Dict[str, float]:
    """{angle: degrees} from a mapping or 'NAME=DEGREES' strings (also comma-separated)."""
    if value is None:
        return {}
    if isinstance(value, Mapping):
        items = list(value.items())
    else:
        items = []
        for item in [value] if isinstance(value, str) else list(value):
            for part in str(item).split(","):
                if part.strip():
                    name, sep, number = part.partition("=")
                    if not sep:
                        raise InputError("angle_offsets", f"takes NAME=DEGREES, got "
                                                          f"{part.strip()!r}")
                    items.append((name.strip(), number.strip()))
    offsets = {}
    for name, number in items:
        try:
            offsets[str(name)] = float(number)
        except (TypeError, ValueError):
            raise InputError("angle_offsets", f"of {name} must be a number of degrees, got "
                                              f"{number!r}") from None
    return offsets


@dataclass(frozen=True)
class ConversionSettings:
    """The set-up that measured the angles (`geometry`: GEOMETRIES, or None for data
    already in momentum), `angle_offsets` {angle: degrees at normal emission},
    `sample_azimuth` (degrees), `energy_window` (low, high) eV summed into one map,
    `k_step` (1/Å; default: the angle step at normal emission), `dims` {file's
    name: role}, `counts_per` ('solid-angle' or 'k-area': what data already in
    momentum count per, where the file does not say), `angle_unit` ('deg' or 'rad': the unit of every angle, over what
    the file states; default: the file's, never guessed); checked when made."""

    geometry: Optional[str] = setting(None)
    angle_offsets: Optional[Dict[str, float]] = setting(None)
    sample_azimuth: float = setting(0.0)
    energy_window: Optional[Tuple[float, float]] = setting(None)
    k_step: Optional[float] = setting(None)
    dims: Optional[Dict[str, str]] = setting(None)
    angle_unit: Optional[str] = setting(None)
    counts_per: Optional[str] = setting(None)

    def check(self) -> None:
        if self.geometry is not None and self.geometry not in GEOMETRIES + ("momentum",):
            raise InputError("geometry", f"must be one of {', '.join(GEOMETRIES)} or momentum, "
                                         f"got {self.geometry!r}")
        object.__setattr__(self, "angle_offsets", parse_offsets(self.angle_offsets))
        object.__setattr__(self, "dims", parse_dims(self.dims) or None)
        try:
            object.__setattr__(self, "angle_unit", check_angle_unit(self.angle_unit))
        except Exception:
            raise InputError("angle_unit", f"must be deg or rad, got {self.angle_unit!r}") \
                from None
        if self.counts_per is not None and self.counts_per not in ("solid-angle", "k-area"):
            raise InputError("counts_per", f"must be solid-angle or k-area, got "
                                           f"{self.counts_per!r}")
        if self.k_step is not None and not (math.isfinite(float(self.k_step))
                                            and float(self.k_step) > 0):
            raise InputError("k_step", f"must be a positive number, got {self.k_step}")
        if self.energy_window is not None:
            low, high = (float(v) for v in self.energy_window)
            if not (math.isfinite(low) and math.isfinite(high) and low <= high):
                raise InputError("energy_window", f"must be LOW HIGH with LOW <= HIGH (eV), "
                                                  f"got {tuple(self.energy_window)}")
            object.__setattr__(self, "energy_window", (low, high))
        later = getattr(super(), "check", None)
        if later is not None:
            later()

    @property
    def active(self) -> bool:
        """Whether data in momentum change too (dims named, slices summed), or angles
        are expected (a geometry)."""
        return self.geometry is not None or self.energy_window is not None or bool(self.dims)


@dataclass(frozen=True)
class Conversion(ConversionSettings):
    """A conversion: its settings (ConversionSettings), the energies given for it
    (`energies`, in eV; the file's fill in what they leave open) and the memory
    guard's limit (`max_memory`)."""

    energies: Energies = field(default_factory=Energies)
    max_memory: MemorySize = None

    def __post_init__(self) -> None:
        self.check()


def conversion_of(settings: ConversionSettings, energies: Energies,
                  max_memory: MemorySize = None) -> Conversion:
    """The conversion a request's settings (ConversionSettings) describe, with `energies`."""
    return Conversion(**{f.name: getattr(settings, f.name) for f in fields(ConversionSettings)},
                      energies=energies, max_memory=max_memory)
