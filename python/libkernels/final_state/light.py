"""The light's polarisation as the vector eps of the dipole operator eps . grad.

The geometry is the library's (polarisation_factor in include/libkernels.h):
light in the plane of incidence at `incidence` degrees from the surface normal
(z), whose azimuth from kx is `azimuth` degrees, with the polarisation vectors

    e_p = (cos t cos f, cos t sin f, sin t),   e_s = (-sin f, cos f, 0)

(t the incidence, f the azimuth), both perpendicular to the direction the light
travels, q = e_s x e_p = (sin t cos f, sin t sin f, -cos t).

- "p", "s": eps = e_p, e_s;
- "linear": the incoherent mixture (1 - s_share) p + s_share s of the two
  intensities (s_share in %), as the library's linear factor;
- "circular+" and "circular-": eps = (e_p + i e_s)/sqrt2 and (e_p - i e_s)/sqrt2, the
  library's two helicities.  With fields varying as e^(-i omega t), (e_p - i e_s)/sqrt2
  = -i (e_s + i e_p)/sqrt2 turns from e_s towards e_p, counter-clockwise about q:
  positive helicity, left-circular as seen facing the oncoming light; hence
  "circular-left" is "circular-" and "circular-right" is "circular+";
- "radial": the p vector with the plane of incidence turned onto each pixel's own
  parallel momentum, eps = (cos t cos phi_k, cos t sin phi_k, sin t);
- any other eps: `vector`, three (complex) components in the laboratory frame,
  used as given.

The dichroism of the final-state models is left minus right, (I_left - I_right)
/ (I_left + I_right), the sign of the library's "dichroism" (circular- less
circular+).
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import TYPE_CHECKING, List, Optional, Sequence, Tuple

import numpy as np

from ..core.errors import InputError
from ..core.validation import finite, in_range

if TYPE_CHECKING:
    from numpy.typing import ArrayLike

    from ..core.types import Float64Array

POLARISATION_NAMES = ("p", "s", "linear", "circular+", "circular-", "circular-left",
                      "circular-right", "radial", "vector")
_ALIASES = {"circular-left": "circular-", "circular-right": "circular+", "left": "circular-",
            "right": "circular+"}


@dataclass(frozen=True)
class Light:
    """The light of a final-state map: polarisation, incidence and azimuth (degrees).

    `polarisation` is one of POLARISATION_NAMES; `s_share` (%) is read by
    "linear", `vector` (three complex numbers, laboratory frame) by "vector".
    """

    polarisation: str = "p"
    incidence: float = 65.0
    azimuth: float = 0.0
    s_share: float = 0.0
    vector: Optional[Tuple[complex, complex, complex]] = None

    def __post_init__(self) -> None:
        name = str(self.polarisation).strip().lower()
        name = _ALIASES.get(name, name)
        if name not in POLARISATION_NAMES:
            raise InputError("polarisation", f"must be one of {', '.join(POLARISATION_NAMES)}; "
                                             f"got {self.polarisation!r}")
        object.__setattr__(self, "polarisation", name)
        object.__setattr__(self, "incidence", in_range(self.incidence, "incidence", 0, 90, "°"))
        object.__setattr__(self, "azimuth", finite(self.azimuth, "azimuth", "°"))
        object.__setattr__(self, "s_share", in_range(self.s_share, "s_share", 0, 100, "%"))
        if name == "vector":
            if self.vector is None:
                raise InputError("vector", "must be given (three components) with polarisation "
                                           "'vector'")
            values = np.asarray(self.vector, dtype=np.complex128).ravel()
            if values.size != 3 or not np.all(np.isfinite(values)) or not np.any(values):
                raise InputError("vector", "must be three finite components, not all zero, "
                                           f"got {self.vector!r}")
            object.__setattr__(self, "vector", tuple(complex(v) for v in values))

    @property
    def per_pixel(self) -> bool:
        """Whether eps changes from pixel to pixel ("radial")."""
        return self.polarisation == "radial"

    def basis(self) -> Tuple[Float64Array, Float64Array]:
        """(e_p, e_s) in the laboratory frame."""
        t, f = math.radians(self.incidence), math.radians(self.azimuth)
        e_p = np.array([math.cos(t) * math.cos(f), math.cos(t) * math.sin(f), math.sin(t)])
        e_s = np.array([-math.sin(f), math.cos(f), 0.0])
        return e_p, e_s

    def vectors(self) -> List[Tuple[float, np.ndarray]]:
        """[(weight, eps)] whose weighted intensities sum to the map (eps complex, lab frame);
        for "radial" use `pixel_vectors`."""
        e_p, e_s = self.basis()
        name = self.polarisation
        if name == "p":
            return [(1.0, e_p.astype(np.complex128))]
        if name == "s":
            return [(1.0, e_s.astype(np.complex128))]
        if name == "linear":
            share = self.s_share / 100.0
            return [(w, v.astype(np.complex128)) for w, v in ((1.0 - share, e_p), (share, e_s))
                    if w > 0]
        if name == "circular+":
            return [(1.0, (e_p + 1j * e_s) / math.sqrt(2.0))]
        if name == "circular-":
            return [(1.0, (e_p - 1j * e_s) / math.sqrt(2.0))]
        if name == "vector":
            return [(1.0, np.asarray(self.vector, dtype=np.complex128))]
        raise InputError("polarisation", "'radial' changes from pixel to pixel: it has no one "
                                         "vector")

    def pixel_vectors(self, kx: ArrayLike, ky: ArrayLike) -> Float64Array:
        """eps of "radial" at pixels (kx, ky): (n, 3), real."""
        t = math.radians(self.incidence)
        phi = np.arctan2(np.asarray(ky, dtype=np.float64), np.asarray(kx, dtype=np.float64))
        return np.stack([math.cos(t) * np.cos(phi), math.cos(t) * np.sin(phi),
                         np.full_like(phi, math.sin(t))], axis=-1)

    def helicities(self) -> Tuple["Light", "Light"]:
        """(left, right): this light's geometry with circular- and circular+ polarisation."""
        return (Light("circular-", self.incidence, self.azimuth),
                Light("circular+", self.incidence, self.azimuth))


def as_light(light: object) -> Light:
    """A Light from a Light, a polarisation name or three components of eps."""
    if isinstance(light, Light):
        return light
    if light is None:
        return Light()
    if isinstance(light, str):
        return Light(light)
    if isinstance(light, (Sequence, np.ndarray)):
        values = [complex(v) for v in np.asarray(light, dtype=np.complex128).ravel()]
        if len(values) != 3:
            raise InputError("light", f"as a vector takes three components, got {len(values)}")
        return Light("vector", vector=(values[0], values[1], values[2]))
    raise InputError("light", f"must be a Light, a polarisation name or three components of "
                              f"the polarisation vector, got {light!r}")
