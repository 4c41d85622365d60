"""Where a converted map's pixels came from, so that a fit models them as the
conversion made them.

A lattice pixel L of a converted slice is d_L = sum_m w_Lm c_m / rho_L: the
bilinear weights w_Lm of the four measured pixels m around its angles, their
counts c_m and the solid angle density rho_L at L (resample.py).  A measured
pixel at momentum k_m counts on average rho_m I(k_m), I the intensity per
solid angle, so

    E[d_L]   = sum_m w_Lm   rho_m I(k_m) / rho_L
    Var[d_L] = sum_m w_Lm^2 rho_m I(k_m) / rho_L^2     (counting statistics)

The first is what a fit must compare d_L with: I(k_L) itself differs from it
by the interpolation's error where I curves within a measured pixel, which
biased fitted weights and backgrounds by about one standard error at 0.5
degree steps and 500 counts.  `Footprint.operator` gives the first as a
sparse matrix acting on a model map computed on a square lattice: I at each
measured pixel's own momentum by cubic convolution of the square (third-order
accurate, 4 x 4 points), then the conversion's own weights.  The second, over
the first for I smooth on the scale of a pixel, is the lattice pixel's
variance per expected count (`Footprint.counting`): the Poisson weights of a
fit are the model's expected values times it.  For the slices summed into one
map (an energy window) the operators are averaged, the model standing for the
sum as a fit's weights always have, and the counts' variances added.

The converted file states what rebuilds this (`footprint_attributes`): the
set-up as the conversion writes it (geometry, angle offsets, sample azimuth,
fixed angles), the measured angle axes (degrees, as in the file), the lattice
step and the kinetic energies of the slices a map sums; a cube's slices have
theirs in its kinetic_energy coordinate, which a slice cut from it keeps
(core/measured.py reads either into SLICE_KINETIC_ENERGY).
`SIGMA_SOURCE` says whether the file's sigma is the counts' estimate (the
fit may then take the model's expected counts instead) or the measurement's.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Dict, Mapping, Optional, Tuple

import numpy as np

from ..core.errors import LibkernelsError
from ..core.measured import SLICE_KINETIC_ENERGY
from ..core.memory import MemorySize, check
from .geometry import GEOMETRIES, Geometry, k_of_energy
from .resample import AngleAxis, Resampler
from .settings import parse_offsets

if TYPE_CHECKING:
    from numpy.typing import ArrayLike
    from scipy.sparse import csr_matrix

    from ..core.measured import MeasuredMap
    from ..core.types import BoolArray, Float64Array

__all__ = ["Footprint", "footprint_attributes", "SIGMA_SOURCE", "COUNTS", "MAX_SLICES"]

# the attribute saying where a converted file's sigma came from: COUNTS (the
# counts' own estimate, the mean of a neighbourhood) or "file" (the measurement's)
SIGMA_SOURCE = "sigma_source"
COUNTS = "counts"
# the attributes holding each measured angle axis: MEASURED_PREFIX + its name
MEASURED_PREFIX = "measured_"
LATTICE_STEP = "k_step"
# A map summing more slices than this is modelled with this many of them, evenly
# chosen: the operator's size and the time to make it grow with the slices, what
# it corrects does not.
MAX_SLICES = 8
# Lattice pixels lie on the conversion's lattice when every coordinate is within
# this share of a step of a whole multiple of it.
ON_LATTICE = 1e-4
# The operator is made this many rows at a time; an entry takes about this many
# bytes while it is made (value, row and column, their sorting) and a row about
# this many entries once made (of 64 before the four measured pixels' 4 x 4
# squares overlap), each of 12 bytes.
CHUNK_ROWS = 4096
BYTES_PER_ENTRY = 40
ENTRIES_PER_ROW = 36


def footprint_attributes(geometry: Geometry, axes: Mapping[str, Any],
                         kinetic: Optional[ArrayLike], step: float) -> Dict[str, Any]:
    """The attributes of a converted map that rebuild its footprint: the measured angle
    axes `axes` {name: degrees, as in the file}, the kinetic energies of the slices a
    map sums (eV; None for a cube, whose kinetic_energy coordinate gives each
    slice's) and the lattice step (1/Å); the set-up's own attributes are the
    conversion's."""
    found: Dict[str, Any] = {f"{MEASURED_PREFIX}{name}": np.asarray(axes[name], np.float64)
                             for name in geometry.scanned}
    if kinetic is not None:
        found[SLICE_KINETIC_ENERGY] = np.asarray(kinetic, np.float64).reshape(-1)
    found[LATTICE_STEP] = float(step)
    return found


def _cubic(f: Float64Array) -> Tuple[Any, Float64Array]:
    """First index and the four weights of cubic convolution (Keys, a = -1/2) at the
    fractional indices f: exact for quadratics, third-order accurate."""
    i0 = np.floor(f).astype(np.intp)
    t = f - i0
    t2, t3 = t * t, t * t * t
    weights = np.stack([0.5 * (-t3 + 2 * t2 - t), 0.5 * (3 * t3 - 5 * t2 + 2),
                        0.5 * (-3 * t3 + 4 * t2 + t), 0.5 * (t3 - t2)], axis=-1)
    return i0 - 1, weights


@dataclass(frozen=True)
class Footprint:
    """How a converted map's lattice pixels were made from measured pixels: the set-up,
    the measured angle axes (a, b), the kinetic energies of the slices it sums with
    each one's share of the sum (the model stands for the whole sum, as it does for
    the map itself) and the lattice step (see the module notes)."""

    geometry: Geometry
    a: AngleAxis
    b: AngleAxis
    kinetic_energies: Tuple[float, ...]
    shares: Tuple[float, ...]
    step: float

    @classmethod
    def of(cls, measured: MeasuredMap) -> Optional[Footprint]:
        """The footprint a converted map states, or None (not converted from angles, or
        its axes no longer the conversion's lattice: binned, say)."""
        attrs = measured.attrs
        kind = attrs.get("geometry")
        if kind not in GEOMETRIES or SLICE_KINETIC_ENERGY not in attrs:
            return None
        try:
            geometry = Geometry(str(kind), parse_offsets(str(attrs.get("angle_offsets", ""))),
                                float(attrs.get("sample_azimuth", 0.0)),
                                parse_offsets(str(attrs.get("fixed_angles", ""))))
            axes = [AngleAxis(np.radians(np.asarray(attrs[f"{MEASURED_PREFIX}{name}"],
                                                    np.float64).reshape(-1)
                                         - geometry.offset(name)))
                    for name in geometry.scanned]
            energies = np.asarray(attrs[SLICE_KINETIC_ENERGY], np.float64).reshape(-1)
            step = float(attrs[LATTICE_STEP])
        except (KeyError, TypeError, ValueError, LibkernelsError):  # not what we wrote
            return None
        if measured.is_stack or energies.size == 0 or not np.all(energies > 0) or \
                not all(axis.values.size >= 2 and np.all(np.diff(axis.values) > 0)
                        for axis in axes) or not step > 0:
            return None
        for axis in (measured.kx, measured.ky):
            if np.max(np.abs(axis / step - np.round(axis / step))) > ON_LATTICE:
                return None
        if energies.size > MAX_SLICES:
            chosen = np.round(np.linspace(0, energies.size - 1, MAX_SLICES)).astype(int)
            energies = energies[chosen]
        shares = np.full(energies.size, 1.0 / energies.size)
        return cls(geometry, axes[0], axes[1], tuple(float(e) for e in energies),
                   tuple(float(s) for s in shares), step)

    def reach(self) -> float:
        """How far (1/Å) a lattice pixel's measured pixels may lie from it: one angle
        step at the largest momentum, with room to spare."""
        k = k_of_energy(max(self.kinetic_energies))
        return 1.5 * k * max(abs(self.a.step), abs(self.b.step))

    def _slices(self, kx: Float64Array, ky: Float64Array, used: BoolArray) -> Any:
        """For each slice: its kinetic energy and share, the angles (a, b) and the
        weights of the four measured pixels each used pixel interpolates, the density
        at the used pixel, whether it lies outside the measured angles, and the
        measured pixels' flat indices."""
        resampler = Resampler(self.geometry, self.a, self.b, kx, ky)
        nb = self.b.values.size
        for energy, share in zip(self.kinetic_energies, self.shares):
            flat, weights, offsets, invalid, density = resampler.neighbours(energy)
            first = flat[used]
            pixels = np.stack([first + o for o in offsets], axis=1)
            w = np.stack([np.asarray(x, np.float64)[used] for x in weights], axis=1)
            outside = invalid[used]
            a = self.a.values[pixels // nb]
            b = self.b.values[pixels % nb]
            yield (energy, share, a, b, w, np.where(outside, 1.0, density[used]), outside,
                   pixels)

    def counting(self, kx: Float64Array, ky: Float64Array, used: BoolArray) -> Float64Array:
        """Each used pixel's variance per expected count (1 for a pixel that is a
        measured one; less where the interpolation averages several)."""
        variance = np.zeros(int(np.count_nonzero(used)))
        mean = np.zeros_like(variance)
        for _, share, a, b, w, density, outside, _ in self._slices(kx, ky, used):
            rho = self.geometry.solid_angle_density(a, b)
            variance += share * np.where(outside, 1.0, np.sum(w * w * rho, axis=1)
                                         / density ** 2)
            mean += share * np.where(outside, 1.0, np.sum(w * rho, axis=1) / density)
        return variance / mean

    def sharing(self, kx: Float64Array, ky: Float64Array, used: BoolArray) -> csr_matrix:
        """(used pixels, measured pixels of every slice) sparse, each row of unit length:
        G with G G^T the correlation of the used pixels' values, for variances of the
        measured counts smooth on the scale of a pixel (a used pixel outside the
        measured angles is a measurement of its own)."""
        from scipy import sparse

        rows_used = int(np.count_nonzero(used))
        measured = self.a.values.size * self.b.values.size
        parts = []
        for s, (_, share, a, b, w, density, outside, pixels) in \
                enumerate(self._slices(kx, ky, used)):
            rho = self.geometry.solid_angle_density(a, b)
            values = np.sqrt(share) * w * np.sqrt(rho) / density[:, None]
            columns = s * measured + pixels
            own = len(self.kinetic_energies) * measured + np.arange(rows_used)
            values = np.where(outside[:, None], np.array([1.0, 0.0, 0.0, 0.0]), values)
            columns = np.where(outside[:, None], own[:, None], columns)
            rows = np.broadcast_to(np.arange(rows_used)[:, None], columns.shape)
            parts.append(sparse.csr_matrix(
                (values.ravel(), (rows.ravel(), columns.ravel())),
                shape=(rows_used, (len(self.kinetic_energies) * measured + rows_used))))
        total = parts[0]
        for part in parts[1:]:
            total = total + part
        norms = np.sqrt(np.asarray(total.multiply(total).sum(axis=1)).reshape(-1))
        return sparse.diags(1.0 / np.where(norms > 0, norms, 1.0)) @ total

    def operator(self, kx: Float64Array, ky: Float64Array, used: BoolArray, k_min: float,
                 k_step: float, n: int, max_memory: MemorySize = None) -> csr_matrix:
        """(used pixels, n * n) sparse: a map on the square k_min + k_step * (0 .. n-1)
        in kx and ky (flat index i * n + j) to what the conversion made of it at each
        used pixel (the module notes); a used pixel outside the measured angles takes
        the map at its own momentum."""
        from scipy import sparse

        rows_used = int(np.count_nonzero(used))
        check(rows_used * len(self.kinetic_energies) * ENTRIES_PER_ROW * 12
              + CHUNK_ROWS * 64 * BYTES_PER_ENTRY,
              f"the conversion's footprint of {rows_used} pixels", "narrow {k_range}",
              max_memory)
        i, j = np.nonzero(used)
        total = None
        for energy, share, a, b, w, density, outside, _ in self._slices(kx, ky, used):
            k = k_of_energy(energy)
            x, y, _ = self.geometry.direction(a, b)
            qx = np.where(outside[:, None], kx[i][:, None], k * x)
            qy = np.where(outside[:, None], ky[j][:, None], k * y)
            rho = np.where(outside[:, None], 1.0, self.geometry.solid_angle_density(a, b))
            w = np.where(outside[:, None], np.array([1.0, 0.0, 0.0, 0.0]), w)
            scale = share * w * rho / density[:, None]  # (rows, 4 measured pixels)
            blocks = [_block(qx[r:r + CHUNK_ROWS], qy[r:r + CHUNK_ROWS],
                             scale[r:r + CHUNK_ROWS], k_min, k_step, n)
                      for r in range(0, rows_used, CHUNK_ROWS)]
            part = sparse.vstack(blocks, format="csr")
            total = part if total is None else total + part
        assert total is not None
        return total


def _block(qx: Float64Array, qy: Float64Array, scale: Float64Array, k_min: float,
           k_step: float, n: int) -> csr_matrix:
    """Rows of Footprint.operator: the measured pixels' momenta (rows, 4) and their
    weights times densities; each read from the square by cubic convolution."""
    from scipy import sparse

    ix, wx = _cubic((qx - k_min) / k_step)
    iy, wy = _cubic((qy - k_min) / k_step)
    steps = np.arange(4)
    cx = np.clip(ix[..., None] + steps, 0, n - 1)  # (rows, 4, 4): beyond the square never
    cy = np.clip(iy[..., None] + steps, 0, n - 1)  # happens, its margin sees to that
    columns = cx[..., :, None] * n + cy[..., None, :]  # (rows, 4, 4, 4)
    values = scale[..., None, None] * wx[..., :, None] * wy[..., None, :]
    rows = qx.shape[0]
    block = sparse.csr_matrix((values.reshape(-1), columns.reshape(-1),
                               np.arange(0, 64 * rows + 1, 64)), shape=(rows, n * n))
    block.sum_duplicates()  # the four measured pixels' squares overlap
    return block
