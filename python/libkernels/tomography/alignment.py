"""The starts aligned for the trivial ambiguities, averaged; their spread and the PRTF.

The magnitudes of F(k) do not change when the real image g(r) changes sign,
is turned into its inversion twin g(-r) (F into its complex conjugate) or is
moved (F times exp(-i k.t)).  Each start is brought onto a reference by the
choice among these that maximises their cross-correlation within the covered
band: the peak of |IFT(F_ref conj(F))| on a grid upsampled in real space,
refined to a fraction of a cell by a parabola through the peak, gives the
shift; twin or not, whichever peak is higher; the sign is the peak's.  The
reference is the start with the lowest Fourier error, then the average of all
aligned starts (one more pass, so that no start is favoured).

The phase-retrieval transfer function PRTF(k) = |mean over starts of
F_s(k) / |F_s(k)||, averaged over shells of |k| on the measured cells, is 1
where every start found the same phase and falls towards 0 where the phases
are random: the resolution achieved is where it drops below 1/e.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import List, Optional, Tuple

import numpy as np

from .sampling import FourierBox, resize_spectrum

PRTF_LEVEL = float(np.exp(-1.0))
MIN_SHELL_AMPLITUDE = 1e-3  # cells below this share of the largest magnitude are left out


@dataclass
class Alignment:
    spectra: np.ndarray      # (starts, *shape) complex, aligned, full spectra
    shifts: np.ndarray       # (starts, ndim) Å applied
    twins: np.ndarray        # (starts,) bool: replaced by the inversion twin
    signs: np.ndarray        # (starts,) +-1
    overlap: np.ndarray      # (starts,) normalised correlation with the reference


def _peak(values: np.ndarray) -> Tuple[Tuple[int, ...], np.ndarray]:
    """Index of the largest |value| and its sub-cell offset per axis (parabola)."""
    index = tuple(int(i) for i in np.unravel_index(int(np.argmax(np.abs(values))),
                                                   values.shape))
    offsets = []
    for axis, n in enumerate(values.shape):
        around = []
        for step in (-1, 0, 1):
            at = list(index)
            at[axis] = (at[axis] + step) % n
            around.append(abs(values[tuple(at)]))
        low, mid, high = around
        curvature = low - 2 * mid + high
        offsets.append(0.5 * (low - high) / curvature if curvature < 0 else 0.0)
    return index, np.clip(np.asarray(offsets), -0.5, 0.5)


def align(reference: np.ndarray, spectra: np.ndarray, box: FourierBox, band: np.ndarray,
          upsample: int) -> Alignment:
    """`spectra` (starts, *shape: full FFTs of real images) aligned onto `reference`."""
    fine = tuple(n * upsample for n in box.shape)
    k_grid = box.k_grid()
    reference = reference * band
    ref_norm = np.sqrt(np.sum(np.abs(reference) ** 2))
    out = np.empty_like(spectra)
    count = len(spectra)
    shifts = np.zeros((count, box.ndim))
    twins = np.zeros(count, dtype=bool)
    signs = np.ones(count)
    overlap = np.zeros(count)
    for s, spectrum in enumerate(spectra):
        best: Optional[tuple] = None
        for twin, candidate in ((False, spectrum), (True, np.conj(spectrum))):
            product = resize_spectrum(reference * np.conj(candidate * band), fine)
            correlation = np.fft.ifftn(product).real
            index, offset = _peak(correlation)
            value = correlation[index]
            if best is None or abs(value) > abs(best[0]):
                best = (value, twin, candidate, index, offset)
        assert best is not None
        value, twin, candidate, index, offset = best
        shift = np.array([((i + o + n / 2) % n - n / 2) / upsample * d for i, o, n, d in
                          zip(index, offset, fine, box.pixel)])
        phase = sum(k * t for k, t in zip(k_grid, shift))
        sign = 1.0 if value >= 0 else -1.0
        out[s] = sign * candidate * np.exp(-1j * phase)
        norm = np.sqrt(np.sum(np.abs(candidate * band) ** 2))
        overlap[s] = abs(value) * np.prod(fine) / max(ref_norm * norm, 1e-300)
        shifts[s], twins[s], signs[s] = shift, twin, sign
    return Alignment(out, shifts, twins, signs, overlap)


def align_all(spectra: np.ndarray, errors: np.ndarray, box: FourierBox, band: np.ndarray,
              upsample: int) -> Alignment:
    """Aligned onto the best start, then onto the average of that alignment."""
    first = align(spectra[int(np.argmin(errors))], spectra, box, band, upsample)
    return align(first.spectra.mean(axis=0), spectra, box, band, upsample)


def prtf(spectra: np.ndarray, amplitude: np.ndarray, measured: np.ndarray,
         box: FourierBox) -> Tuple[np.ndarray, np.ndarray, np.ndarray]:
    """(shell centres |k| in 1/Å, PRTF per shell, cells per shell)."""
    used = measured & (amplitude > MIN_SHELL_AMPLITUDE * amplitude.max())
    unit = spectra[:, used] / np.maximum(np.abs(spectra[:, used]), 1e-30)
    values = np.abs(unit.mean(axis=0))
    k_grid = box.k_grid()
    radius = np.sqrt(sum(np.broadcast_to(k ** 2, box.shape) for k in k_grid))[used]
    width = max(box.k_step)
    shell = np.floor(radius / width).astype(int)
    n_shells = int(shell.max()) + 1 if shell.size else 0
    counts = np.bincount(shell, minlength=n_shells)
    sums = np.bincount(shell, weights=values, minlength=n_shells)
    centres = (np.arange(n_shells) + 0.5) * width
    keep = counts > 0
    return centres[keep], sums[keep] / counts[keep], counts[keep]


def resolution(centres: np.ndarray, values: np.ndarray) -> Optional[float]:
    """|k| (1/Å) where the PRTF first falls below 1/e (linear between shells);
    None when it never does."""
    below = np.flatnonzero(values < PRTF_LEVEL)
    if below.size == 0:
        return None
    i = int(below[0])
    if i == 0:
        return float(centres[0])
    k0, k1, v0, v1 = centres[i - 1], centres[i], values[i - 1], values[i]
    return float(k0 + (v0 - PRTF_LEVEL) / (v0 - v1) * (k1 - k0))


def band_limited_images(spectra: np.ndarray, band: np.ndarray,
                        shape: Tuple[int, ...]) -> List[np.ndarray]:
    """Each spectrum restricted to the band, as a real image on a finer grid of
    `shape` over the same period (zero padding)."""
    scale = np.prod(shape) / np.prod(band.shape)
    return [np.fft.ifftn(resize_spectrum(s * band, shape)).real * scale for s in spectra]
