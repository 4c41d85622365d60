"""From emission angles to parallel momentum, and back, for each kind of set-up.

An electron leaving the sample with kinetic energy E_kin in the direction
v_S (a unit vector in the sample's frame, z along the surface normal) has the
parallel momentum

    (kx, ky) = K(E_kin) * (v_S,x, v_S,y),   K = sqrt(2 m_e E_kin) / hbar
                                              = 0.5123 1/Å * sqrt(E_kin / eV)

The analyser sees the direction v_L in its own frame (z along the lens axis).
The manipulator turns the sample by R = Ry(theta) Rx(beta) Rz(chi): polar
angle theta about the laboratory's y axis, tilt beta about its x axis, and the
sample azimuth chi about the surface normal, so v_S = R^T v_L.  The analyser's
angles give v_L (the mapping functions of Ishida and Shin, Rev. Sci. Instrum.
89, 043903 (2018)):

    deflector      slit along y, deflector across it: with phi along the slit
                   and psi across, eta = sqrt(phi^2 + psi^2) and
                   v_L = (psi sin(eta)/eta, phi sin(eta)/eta, cos(eta));
                   theta and beta are fixed
    polar          slit along y, the sample turned by theta (a polar scan):
                   v_L = (0, sin(phi), cos(phi)); beta fixed
    tilt           slit along x, the sample tilted by beta (a tilt scan):
                   v_L = (sin(phi), 0, cos(phi)); theta fixed
    polar-azimuth  emission angles measured from the surface normal (a
                   toroidal analyser, or an azimuthal scan): v_S =
                   Rz(chi)^T (sin(theta) cos(azimuth), sin(theta) sin(azimuth),
                   cos(theta))

With every angle zero the slit's angle phi runs along ky (along kx for tilt
scans) and the angle across it along kx.  Each angle is used as measured minus
its offset, the reading at normal emission.

The inverse (`angles_of`) is solved in closed form for each set-up, and
`solid_angle_density` is the solid angle per unit of the two measured angles
(rad^-2 . sr): the counts of a pixel in angle space divided by it are counts
per solid angle, which is what a momentum map computed by this package
describes.
"""

from __future__ import annotations

import math
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Dict, Mapping, Tuple

import numpy as np

from ..core.errors import InputError

if TYPE_CHECKING:
    from ..core.types import Float64Array

__all__ = ["GEOMETRIES", "SCANNED", "Geometry", "K_PER_SQRT_EV", "k_of_energy"]

# sqrt(2 m_e * 1 eV) / hbar in 1/Å (CODATA 2018)
K_PER_SQRT_EV = math.sqrt(2 * 9.1093837015e-31 * 1.602176634e-19) / 1.054571817e-34 * 1e-10

# the two angles each set-up measures (the dimensions of the data)
SCANNED: Dict[str, Tuple[str, str]] = {
    "deflector": ("phi", "psi"),
    "polar": ("phi", "theta"),
    "tilt": ("phi", "beta"),
    "polar-azimuth": ("theta", "azimuth"),
}
GEOMETRIES = tuple(SCANNED)


def k_of_energy(kinetic_energy: float) -> float:
    """K(E_kin) in 1/Å: the momentum of a free electron of that kinetic energy (eV)."""
    return K_PER_SQRT_EV * math.sqrt(kinetic_energy)


def _rx(angle: float) -> Float64Array:
    c, s = math.cos(angle), math.sin(angle)
    return np.array([[1.0, 0.0, 0.0], [0.0, c, -s], [0.0, s, c]])


def _ry(angle: float) -> Float64Array:
    c, s = math.cos(angle), math.sin(angle)
    return np.array([[c, 0.0, s], [0.0, 1.0, 0.0], [-s, 0.0, c]])


def _rz(angle: float) -> Float64Array:
    c, s = math.cos(angle), math.sin(angle)
    return np.array([[c, -s, 0.0], [s, c, 0.0], [0.0, 0.0, 1.0]])


def _apply(matrix: Float64Array, x: Float64Array, y: Float64Array, z: Float64Array
           ) -> Tuple[Float64Array, Float64Array, Float64Array]:
    m = matrix
    if np.array_equal(m, np.eye(3)):  # nothing turned: most maps, and the fast path
        return x, y, z
    return (m[0, 0] * x + m[0, 1] * y + m[0, 2] * z, m[1, 0] * x + m[1, 1] * y + m[1, 2] * z,
            m[2, 0] * x + m[2, 1] * y + m[2, 2] * z)


def _sinc(eta: Float64Array) -> Float64Array:
    """sin(eta) / eta, 1 at 0."""
    with np.errstate(invalid="ignore", divide="ignore"):
        out = np.sin(eta) / eta
    return np.where(eta > 1e-12, out, 1.0)


@dataclass(frozen=True)
class Geometry:
    """One set-up: `kind` (GEOMETRIES), `offsets` {angle: reading at normal
    emission, degrees}, `sample_azimuth` chi (degrees), and `fixed` {angle:
    value} of the manipulator angles held during the scan (degrees, before
    their offsets)."""

    kind: str
    offsets: Mapping[str, float] = field(default_factory=dict)
    sample_azimuth: float = 0.0
    fixed: Mapping[str, float] = field(default_factory=dict)

    def __post_init__(self) -> None:
        if self.kind not in SCANNED:
            raise InputError("geometry", f"must be one of {', '.join(GEOMETRIES)}, got "
                                         f"{self.kind!r}")
        for name, value in {**self.offsets, **self.fixed}.items():
            if name not in ("phi", "psi", "theta", "beta", "azimuth"):
                raise InputError("angle_offsets", f"names an unknown angle {name!r}; angles: "
                                                  "phi, psi, theta, beta, azimuth")
            if not math.isfinite(float(value)):
                raise InputError("angle_offsets", f"of {name} must be finite, got {value}")
        if not math.isfinite(float(self.sample_azimuth)):
            raise InputError("sample_azimuth", f"must be finite, got {self.sample_azimuth}")

    @property
    def scanned(self) -> Tuple[str, str]:
        return SCANNED[self.kind]

    def angle(self, name: str) -> float:
        """A fixed angle in radians: its value (0 when not given) minus its offset."""
        return math.radians(float(self.fixed.get(name, 0.0)) - float(self.offsets.get(name, 0.0)))

    def offset(self, name: str) -> float:
        return float(self.offsets.get(name, 0.0))

    def _rotation(self) -> Float64Array:
        """R: sample frame -> laboratory frame (polar, tilt and sample azimuth)."""
        chi = math.radians(float(self.sample_azimuth))
        return _ry(self.angle("theta")) @ _rx(self.angle("beta")) @ _rz(chi)

    # ---- angles -> momentum (per unit of K) ----------------------------------------------

    def direction(self, a: Float64Array, b: Float64Array
                  ) -> Tuple[Float64Array, Float64Array, Float64Array]:
        """v_S of the measured angles (a, b) = self.scanned, in radians after offsets."""
        chi = math.radians(float(self.sample_azimuth))
        if self.kind == "polar-azimuth":
            x, y, z = np.sin(a) * np.cos(b), np.sin(a) * np.sin(b), np.cos(a)
            return _apply(_rz(chi).T, x, y, z)
        if self.kind == "deflector":
            eta = np.hypot(a, b)
            sinc = _sinc(eta)
            return _apply(self._rotation().T, b * sinc, a * sinc, np.cos(eta))
        zero = np.zeros_like(a + b)
        if self.kind == "polar":
            # u = Ry(theta)^T (0, sin a, cos a), each direction by its own polar angle
            cb, sb = np.cos(b), np.sin(b)
            x, y, z = -sb * np.cos(a) + zero, np.sin(a) + zero, cb * np.cos(a) + zero
            return _apply((_rx(self.angle("beta")) @ _rz(chi)).T, x, y, z)
        # tilt: v_L = (sin a, 0, cos a); v_S = Rz^T Rx(b)^T Ry(theta)^T v_L
        x, y, z = _apply(_ry(self.angle("theta")).T, np.sin(a) + zero, zero, np.cos(a) + zero)
        cb, sb = np.cos(b), np.sin(b)
        y, z = cb * y + sb * z, -sb * y + cb * z
        return _apply(_rz(chi).T, x, y, z)

    # ---- momentum (per unit of K) -> angles ------------------------------------------------

    def angles_of(self, qx: Float64Array, qy: Float64Array
                  ) -> Tuple[Float64Array, Float64Array]:
        """The measured angles (radians, after offsets) of the parallel momenta
        (qx, qy) = k / K; NaN beyond the photoemission horizon |q| > 1."""
        a, b, _ = self.angles_and_density(qx, qy)
        return a, b

    def angles_and_density(self, qx: Float64Array, qy: Float64Array
                           ) -> Tuple[Float64Array, Float64Array, Float64Array]:
        """angles_of and the solid_angle_density there, computed together."""
        q2 = qx * qx + qy * qy
        with np.errstate(invalid="ignore"):
            qz = np.sqrt(1.0 - q2)  # NaN beyond the horizon
        chi = math.radians(float(self.sample_azimuth))
        if self.kind == "polar-azimuth":
            x, y, z = _apply(_rz(chi), qx, qy, qz)
            sin_theta = np.hypot(x, y)
            return np.arctan2(sin_theta, z), np.arctan2(y, x), sin_theta
        if self.kind == "deflector":
            x, y, z = _apply(self._rotation(), qx, qy, qz)
            sinc = _sinc(np.arccos(np.clip(z, -1.0, 1.0)))
            return y / sinc, x / sinc, sinc
        if self.kind == "polar":
            ux, uy, uz = _apply(_rx(self.angle("beta")) @ _rz(chi), qx, qy, qz)
            across = np.hypot(ux, uz)  # cos(phi)
            return np.arctan2(uy, across), np.arctan2(-ux, uz), across
        wx, wy, wz = _apply(_rz(chi), qx, qy, qz)  # tilt
        beta = np.arctan2(wy, wz)
        lx, _, lz = _apply(_ry(self.angle("theta")), wx, np.zeros_like(wx), np.hypot(wy, wz))
        phi = np.arctan2(lx, lz)
        return phi, beta, np.cos(phi - self.angle("theta"))

    def solid_angle_density(self, a: Float64Array, b: Float64Array) -> Float64Array:
        """Steradians per rad^2 of the measured angles at (a, b) (radians, after offsets)."""
        if self.kind == "deflector":
            return _sinc(np.hypot(a, b))
        if self.kind == "polar":
            return np.cos(a) + np.zeros_like(b)
        if self.kind == "tilt":
            return np.cos(a - self.angle("theta")) + np.zeros_like(b)
        return np.abs(np.sin(a)) + np.zeros_like(b)
