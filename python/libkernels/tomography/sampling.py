"""The Fourier box the phases are retrieved in: its k steps, size and real-space period.

A measured map samples |psi~(k)|^2 far more finely than phase retrieval needs:
a map with k step dk repeats in real space with period 2 pi / dk (209 Å for
0.03 1/Å), while a molecule is a few Å across.  Retrieval needs the period to
hold the support at least twice along every axis (the oversampling ratio,
period / support extent, >= 2: the map then samples the support's
autocorrelation without overlap).  The box is therefore chosen from the
support: k step 2 pi / (oversampling x extent) per axis, coarser than the data,
and just enough points to cover the measured k region.  Fewer points make the
iterations fast; the data are averaged into the coarser cells, which also
averages down their noise.

Arrays on the box are kept in FFT order: index j along an axis of n points is
at k = j dk for j < n / 2 and (j - n) dk above, and at position j dx (and
(j - n) dx) in real space around the box's centre, dx = period / n.
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import List, Optional, Sequence, Tuple

import numpy as np

from ..core.errors import InputError

MIN_OVERSAMPLING = 2.0  # period / support extent along each axis, at the least
AXES = ("x", "y", "z")


def fft_size(minimum: int) -> int:
    """The smallest even n >= minimum whose prime factors are 2, 3 and 5 (fast FFTs)."""
    n = max(2, int(minimum))
    while True:
        if n % 2 == 0:
            rest = n
            for p in (2, 3, 5):
                while rest % p == 0:
                    rest //= p
            if rest == 1:
                return n
        n += 1


@dataclass(frozen=True)
class FourierBox:
    """The FFT box: `shape` points per axis, `k_step` (1/Å) per axis, real-space
    `centre` (Å) of the periodic cell; x, y (and z)."""

    shape: Tuple[int, ...]
    k_step: Tuple[float, ...]
    centre: Tuple[float, ...]

    @property
    def ndim(self) -> int:
        return len(self.shape)

    @property
    def period(self) -> np.ndarray:
        """Real-space period (Å) per axis, 2 pi / k_step."""
        return 2 * np.pi / np.asarray(self.k_step)

    @property
    def pixel(self) -> np.ndarray:
        """Real-space pixel (Å) per axis."""
        return self.period / np.asarray(self.shape)

    @property
    def half_shape(self) -> Tuple[int, ...]:
        """Shape of a real FFT's half spectrum (the last axis halved)."""
        return self.shape[:-1] + (self.shape[-1] // 2 + 1,)

    def k_axes(self) -> List[np.ndarray]:
        """k (1/Å) of each axis in FFT order."""
        return [np.fft.fftfreq(n, 1.0 / n) * step for n, step in zip(self.shape, self.k_step)]

    def offsets(self) -> List[np.ndarray]:
        """Real-space position (Å) of each axis in FFT order, relative to the centre."""
        return [np.fft.fftfreq(n, 1.0 / n) * d for n, d in zip(self.shape, self.pixel)]

    def k_grid(self) -> List[np.ndarray]:
        """Broadcastable k components (1/Å), FFT order."""
        return list(np.meshgrid(*self.k_axes(), indexing="ij", sparse=True))

    def position_grid(self) -> List[np.ndarray]:
        """Broadcastable real-space positions (Å, absolute), FFT order."""
        axes = [o + c for o, c in zip(self.offsets(), self.centre)]
        return list(np.meshgrid(*axes, indexing="ij", sparse=True))

    def describe(self) -> dict:
        return {"shape": list(self.shape), "k_step": [float(s) for s in self.k_step],
                "period": [float(p) for p in self.period],
                "pixel": [float(p) for p in self.pixel],
                "centre": [float(c) for c in self.centre]}


def choose_box(extent: Sequence[float], k_cover: Sequence[float], data_step: Sequence[float],
               oversampling: float, centre: Sequence[float] = (),
               what: str = "support") -> Tuple[FourierBox, List[float]]:
    """The box for a support of `extent` (Å per axis) and data reaching |k| <=
    k_cover (1/Å per axis), sampled no finer than `data_step` (1/Å per axis, 0
    where the data set no limit); returns the box and the oversampling ratio
    reached per axis.

    Raises InputError when the data's sampling cannot hold the support twice:
    the message gives the ratio found and the largest support (or the k step)
    that would do.
    """
    shape, steps, reached = [], [], []
    for axis, (size, cover, finest) in enumerate(zip(extent, k_cover, data_step)):
        name = AXES[axis]
        wanted = 2 * math.pi / (oversampling * size)
        step = max(wanted, finest)
        ratio = 2 * math.pi / (step * size)
        if ratio < MIN_OVERSAMPLING - 1e-9:
            allowed = 2 * math.pi / (MIN_OVERSAMPLING * finest)
            raise InputError(
                "support", f"of {size:g} Å along {name} is larger than the sampling allows: "
                           f"the data's k step of {finest:.4g} 1/Å repeats every "
                           f"{2 * math.pi / finest:.3g} Å, an oversampling ratio of "
                           f"{ratio:.2f}, and phase retrieval needs at least "
                           f"{MIN_OVERSAMPLING:g}",
                f"give a {what} of at most {allowed:.3g} Å along {name}, or data with a k "
                f"step of at most {2 * math.pi / (MIN_OVERSAMPLING * size):.3g} 1/Å")
        shape.append(fft_size(2 * math.floor(cover / step) + 2))
        steps.append(step)
        reached.append(ratio)
    centre = tuple(float(c) for c in centre) or (0.0,) * len(shape)
    return FourierBox(tuple(shape), tuple(steps), centre), reached


def mirrored(array: np.ndarray, axes: Optional[Sequence[int]] = None) -> np.ndarray:
    """array at -k (or -r) for an array in FFT order: index j goes to (n - j) % n
    along `axes` (default every axis)."""
    axes = tuple(range(array.ndim)) if axes is None else tuple(axes)
    return np.roll(np.flip(array, axis=axes), 1, axis=axes)


def to_half(array: np.ndarray) -> np.ndarray:
    """The half spectrum a real FFT keeps (last axis 0 .. n/2)."""
    return array[..., : array.shape[-1] // 2 + 1]


def resize_spectrum(spectrum: np.ndarray, shape: Sequence[int]) -> np.ndarray:
    """A full spectrum in FFT order placed in a larger FFT-order array of `shape`
    (zeros beyond): the band-limited interpolation of its real-space image onto a
    finer grid over the same period."""
    out = np.zeros(tuple(shape), dtype=spectrum.dtype)
    index = [np.fft.fftfreq(n, 1.0 / n).astype(int) % m for n, m in zip(spectrum.shape, shape)]
    out[np.ix_(*index)] = spectrum
    return out
