"""Supports: where the reconstructed function may be non-zero.

- a box (Lx, Ly[, Lz]) in Å, centred on the box's origin;
- a molecule's outline: every point within `margin` Å of an atom (in 2D of
  the atoms' positions projected on the xy plane), the molecule standing as
  `orientation` turns it;
- shrink-wrap: each start's support is renewed every few iterations as the
  points where its current image, blurred, exceeds a share of its maximum
  (within the first support, a box, an outline, or the autocorrelation's
  support when none is given).
"""

from __future__ import annotations

from typing import Any, Sequence, Tuple

import numpy as np

from ..core.errors import InputError
from ..core.orientation import laboratory_positions
from ..core.units import bohr_to
from ..core.validation import positive
from .sampling import AXES, FourierBox

# shrink-wrap: threshold (share of the blurred image's maximum) and the blur
# (real-space pixels) at the first and last update
SHRINK_THRESHOLD = 0.15
SHRINK_BLUR = (1.5, 0.6)
AUTOCORRELATION_THRESHOLD = 0.04  # share of the autocorrelation's maximum


def box_extent(support: Any, ndim: int) -> Tuple[float, ...]:
    """A box (Lx, Ly[, Lz]) in Å, checked."""
    values = list(np.atleast_1d(np.asarray(support, dtype=object)))
    if len(values) != ndim:
        raise InputError("support", f"has {len(values)} lengths; a {ndim}D reconstruction "
                                    f"needs ({', '.join('L' + a for a in AXES[:ndim])}) in Å")
    return tuple(positive(v, "support", "Å") for v in values)


def outline_points(molecule: Any, ndim: int, orientation: Sequence[float]) -> np.ndarray:
    """The atoms' positions (Å) as the molecule stands, (n, ndim)."""
    positions = laboratory_positions(np.asarray(molecule.positions, dtype=np.float64),
                                     orientation)
    return bohr_to(positions, "angstrom")[:, :ndim]


def outline_extent(points: np.ndarray,
                   margin: float) -> Tuple[Tuple[float, ...], Tuple[float, ...]]:
    """(extent, centre) in Å of the outline's bounding box."""
    low, high = points.min(axis=0) - margin, points.max(axis=0) + margin
    return tuple(float(v) for v in high - low), tuple(float(v) for v in (high + low) / 2)


def box_mask(box: FourierBox, extent: Sequence[float]) -> np.ndarray:
    offsets = np.meshgrid(*box.offsets(), indexing="ij", sparse=True)
    mask = np.ones(box.shape, dtype=bool)
    for offset, size in zip(offsets, extent):
        mask &= np.abs(offset) <= size / 2 + 1e-9
    return mask


def outline_mask(box: FourierBox, points: np.ndarray, margin: float) -> np.ndarray:
    """Cells within `margin` Å of any point, on the periodic box."""
    positions = box.position_grid()
    nearest = np.full(box.shape, np.inf)
    period = box.period
    for point in points:
        squared = np.zeros(box.shape)
        for axis, (position, p) in enumerate(zip(positions, point)):
            offset = position - p
            offset = offset - period[axis] * np.round(offset / period[axis])
            squared = squared + offset ** 2
        np.minimum(nearest, squared, out=nearest)
    return nearest <= margin ** 2


def autocorrelation_extent(intensity: np.ndarray, steps: Sequence[float]) -> Tuple[float, ...]:
    """The extent (Å per axis) of the region where the autocorrelation of the
    function exceeds a few per cent of its peak, from an intensity on a grid
    with these k steps (NaN where free): about twice the object's extent."""
    data = np.where(np.isfinite(intensity), intensity, 0.0)
    patterson = np.abs(np.fft.fftshift(np.fft.ifftn(np.fft.ifftshift(data))))
    mask = patterson >= AUTOCORRELATION_THRESHOLD * patterson.max()
    extent = []
    for axis, step in enumerate(steps):
        other = tuple(a for a in range(mask.ndim) if a != axis)
        used = np.flatnonzero(mask.any(axis=other))
        pixel = 2 * np.pi / (step * mask.shape[axis])
        extent.append(float((used.max() - used.min() + 1) * pixel))
    return tuple(extent)


def autocorrelation_mask(box: FourierBox, amplitude: np.ndarray) -> np.ndarray:
    """The support of the autocorrelation on the box: a support that holds the
    object wherever it lies."""
    patterson = np.abs(np.fft.ifftn(amplitude ** 2))
    return patterson >= AUTOCORRELATION_THRESHOLD * patterson.max()


def shrink(images: np.ndarray, limit: np.ndarray, blur: float) -> np.ndarray:
    """Each start's new support: its image's magnitude blurred by a Gaussian of
    `blur` pixels (periodic), above SHRINK_THRESHOLD of its maximum, within `limit`."""
    from scipy import ndimage

    sigma = (0.0,) + (blur,) * (images.ndim - 1)
    smooth = ndimage.gaussian_filter(np.abs(images), sigma=sigma, mode="wrap")
    peak = smooth.reshape(len(smooth), -1).max(axis=1)
    peak = peak.reshape((-1,) + (1,) * (images.ndim - 1))
    return (smooth >= SHRINK_THRESHOLD * peak) & limit[None]

