"""Resampling a slice measured in angles onto a square lattice in momentum.

The lattice is k = step * integer in both kx and ky (one step), so that the
fit computes its model on the very same pixels.  Each pixel's angles come
from the inverse transform; its value is the bilinear interpolation of the
four measured pixels around them, divided by the solid angle per unit of the
two angles: counts per solid angle, in units of the solid angle a measured
pixel covers at normal emission (so a flat emitter reads the counts such a
pixel holds everywhere).  Variances follow the same linear map: the interpolation's weights
squared and the same division squared.  Pixels whose angles fall outside the
measured ranges, or beyond the photoemission horizon, are NaN.

Neighbouring lattice pixels that interpolate from the same measured pixels
are not independent: taken as independent, they would claim more information
than the measurement holds.  `information_ratio` says how much more (for a
model smooth on the scale of a pixel): the sum over the lattice of each
pixel's inverse variance share 1 / sum(w^2) over the number of measured
pixels they draw on.  A fit multiplies its covariance by it (when above 1).
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import TYPE_CHECKING, Tuple

import numpy as np

from .geometry import Geometry, k_of_energy

if TYPE_CHECKING:
    from numpy.typing import NDArray

    from ..core.types import Float32Array, Float64Array

__all__ = ["AngleAxis", "lattice", "Resampler"]

# angle axes count as evenly spaced within this share of a step (then the
# fractional index is one multiply-add, else a search in the axis)
UNIFORM = 1e-6


@dataclass(frozen=True)
class AngleAxis:
    """An ascending angle axis in radians, after its offset."""

    values: Float64Array

    @property
    def step(self) -> float:
        return float(self.values[-1] - self.values[0]) / max(self.values.size - 1, 1)

    @property
    def uniform(self) -> bool:
        line = self.values[0] + self.step * np.arange(self.values.size)
        return bool(np.max(np.abs(self.values - line)) <= UNIFORM * abs(self.step))

    def index(self, angle: Float64Array) -> Float64Array:
        """Fractional index of each angle; NaN outside the axis."""
        n = self.values.size
        if self.uniform:
            f = (angle - self.values[0]) * (1.0 / self.step)
        else:
            f = np.interp(angle, self.values, np.arange(n, dtype=np.float64))
            f[(angle < self.values[0]) | (angle > self.values[-1])] = np.nan
        with np.errstate(invalid="ignore"):
            f[~((f >= -1e-9) & (f <= n - 1 + 1e-9))] = np.nan
        return f


def lattice(low: float, high: float, step: float) -> Float64Array:
    """step * i for every integer i with low <= step * i <= high (at least two)."""
    first = math.floor(low / step + 1e-9)
    last = max(math.ceil(high / step - 1e-9), first + 1)
    return np.arange(first, last + 1, dtype=np.float64) * step


class Resampler:
    """Converts slices measured on the angle axes (a, b) of `geometry` onto (kx, ky)."""

    def __init__(self, geometry: Geometry, a: AngleAxis, b: AngleAxis, kx: Float64Array,
                 ky: Float64Array) -> None:
        self.geometry = geometry
        self.a, self.b = a, b
        self.kx, self.ky = kx, ky
        self.periodic_b = geometry.kind == "polar-azimuth"

    def _indices(self, kinetic_energy: float) -> Tuple[Float64Array, Float64Array,
                                                       Float64Array]:
        k = k_of_energy(kinetic_energy)
        qx = (self.kx / k)[:, None] * np.ones((1, self.ky.size))
        qy = (self.ky / k)[None, :] * np.ones((self.kx.size, 1))
        a, b, density = self.geometry.angles_and_density(qx, qy)
        if self.periodic_b:
            a, b = self._chart(a, b)
        return self.a.index(a), self.b.index(b), density

    def _chart(self, theta: Float64Array, azimuth: Float64Array
               ) -> Tuple[Float64Array, Float64Array]:
        """Emission angles within the measured ranges: the azimuth turned by whole turns
        into them, or (-theta, azimuth + 180 degrees) for axes through the normal."""
        start = self.b.values[0]
        turned = start + np.mod(azimuth - start, 2 * math.pi)
        low, high = self.a.values[0], self.a.values[-1]
        inside = (theta >= low) & (theta <= high)
        other = start + np.mod(azimuth + math.pi - start, 2 * math.pi)
        use_other = ~inside & (-theta >= low) & (-theta <= high)
        return (np.where(use_other, -theta, theta), np.where(use_other, other, turned))

    def _weights(self, kinetic_energy: float) -> Tuple[NDArray[np.intp], Tuple[Float32Array, ...],
                                                        Tuple[int, ...], NDArray[np.bool_],
                                                        Float64Array]:
        """For each lattice pixel: the flat index of its first measured neighbour, the
        four bilinear weights and their offsets from it, whether it lies outside
        the data, and the solid angle density there."""
        fa, fb, density = self._indices(kinetic_energy)
        invalid = np.isnan(fa) | np.isnan(fb) | ~(density > 0)
        fa[invalid] = 0.0
        fb[invalid] = 0.0
        na, nb = self.a.values.size, self.b.values.size
        i0 = np.minimum(fa.astype(np.intp), max(na - 2, 0))
        j0 = np.minimum(fb.astype(np.intp), max(nb - 2, 0))
        # float32 from here: the weights and sums need no more, and move half the bytes
        ta = (fa - i0).astype(np.float32)
        tb = (fb - j0).astype(np.float32)
        ua, ub = 1 - ta, 1 - tb
        return (i0 * nb + j0, (ua * ub, ua * tb, ta * ub, ta * tb), (0, 1, nb, nb + 1),
                invalid, density)

    def neighbours(self, kinetic_energy: float) -> Tuple[NDArray[np.intp],
                                                         Tuple[Float32Array, ...],
                                                         Tuple[int, ...], NDArray[np.bool_],
                                                         Float64Array]:
        """The measured pixels each lattice pixel interpolates, as `convert` does: the
        flat index of the first, the four weights and their offsets from it, whether
        the pixel lies outside the data, and the solid angle density there
        (footprint.py rebuilds a converted map's pixels from them)."""
        return self._weights(kinetic_energy)

    def information_ratio(self, kinetic_energy: float) -> float:
        """The information the lattice's pixels claim, taken as independent, over the
        information of the measured pixels they draw on (equal variances, a smooth
        model): above 1 where the lattice pixels share measured ones."""
        flat, weights, offsets, invalid, _ = self._weights(kinetic_energy)
        valid = ~invalid
        if not valid.any():
            return 1.0
        share = sum(np.square(w[valid], dtype=np.float64) for w in weights)
        used = np.unique(np.concatenate([(flat[valid] + o)[w[valid] > 0]
                                         for w, o in zip(weights, offsets)]))
        return float(np.sum(1.0 / share) / max(used.size, 1))

    def convert(self, intensity: NDArray[np.floating], variance: NDArray[np.floating],
                kinetic_energy: float) -> Tuple[Float32Array, Float32Array]:
        """(intensity, variance) on (kx, ky) of one slice measured on (a, b)."""
        flat, weights, offsets, invalid, density = self._weights(kinetic_energy)
        values = np.ascontiguousarray(intensity, dtype=np.float32).reshape(-1)
        variances = np.ascontiguousarray(variance, dtype=np.float32).reshape(-1)
        out = np.zeros(flat.shape, np.float32)
        var = np.zeros(flat.shape, np.float32)
        for weight, offset in zip(weights, offsets):
            index = flat + offset if offset else flat
            out += weight * values[index]
            weight *= weight
            var += weight * variances[index]
        scale = (1.0 / np.where(invalid, 1.0, density)).astype(np.float32)
        out *= scale
        scale *= scale
        var *= scale
        out[invalid] = np.nan
        var[invalid] = np.nan
        return out, var
