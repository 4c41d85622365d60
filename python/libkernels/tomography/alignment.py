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
AGREEMENT = 0.8  # overlap with the consensus from which a start counts as agreeing
MIN_SHELL_CELLS = {2: 8, 3: 24}  # cells a shell needs to count for the resolution
NODE_SHARE = 0.1  # and its rms magnitude, as a share of the largest shell's


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
          upsample: int, with_twins: bool = True) -> Alignment:
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
        for twin, candidate in ((False, spectrum), (True, np.conj(spectrum)))[:2 if with_twins
                                                                             else 1]:
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


def consensus(spectra: np.ndarray, errors: np.ndarray, box: FourierBox, band: np.ndarray,
              upsample: int) -> Tuple[Alignment, np.ndarray]:
    """The starts aligned onto the consensus, and which of them agree with it.

    The reference is first the start with the lowest Fourier error; the starts
    whose overlap with it reaches AGREEMENT are averaged into the consensus,
    every start is aligned onto that, and the agreeing ones are chosen again
    (the best start always among them).  Starts that found another solution
    (a different local minimum, an image half its size) are thereby left out of
    the average rather than blurring it."""
    best = int(np.argmin(errors))
    first = align(spectra[best], spectra, box, band, upsample)
    agree = first.overlap >= AGREEMENT
    agree[best] = True
    aligned = align(first.spectra[agree].mean(axis=0), spectra, box, band, upsample)
    agree = aligned.overlap >= AGREEMENT
    agree[best] = True
    return aligned, agree


def data_overlap(spectra: np.ndarray, targets: np.ndarray, measured: np.ndarray,
                 band: np.ndarray) -> np.ndarray:
    """Per start, the normalised correlation within the band between the start as
    the data would have it (the measured magnitudes with its phases; its own
    coefficients where nothing was measured) and the average of `spectra`.  It
    is near 1 when the start agrees with the others and meets the data, and
    falls when either fails: a support that cannot hold the data gives starts
    that agree with each other but not with the magnitudes."""
    mean = spectra.mean(axis=0) * band
    modulus = np.maximum(np.abs(spectra), 1e-30)
    consistent = np.where(measured, targets * spectra / modulus, spectra) * band
    inner = np.real(np.sum(consistent * np.conj(mean), axis=tuple(range(1, spectra.ndim))))
    norms = np.sqrt(np.sum(np.abs(consistent) ** 2, axis=tuple(range(1, spectra.ndim)))
                    * np.sum(np.abs(mean) ** 2))
    return inner / np.maximum(norms, 1e-300)


@dataclass
class Transfer:
    """The PRTF per shell of |k|: centres (1/Å), values, cells, and which shells
    count for the resolution (enough cells, not a node)."""

    centres: np.ndarray
    values: np.ndarray
    cells: np.ndarray
    counted: np.ndarray


def prtf(spectra: np.ndarray, targets: np.ndarray, measured: np.ndarray,
         box: FourierBox) -> Transfer:
    """The phase-retrieval transfer function of the aligned `spectra` against the
    measured magnitudes `targets` (full arrays; one per start or one for all).

    Per measured cell, the agreement of the starts' phases |mean F_s| / mean |F_s|
    times that of their magnitudes with the data, min(mean |F_s|, A) / max(...):
    |mean F_s| / A where the starts fall short of the data (the usual definition),
    and as strict where they exceed it.  Per shell of |k| the cells are weighted by
    A, so that cells at a node of the transform, where a phase means nothing, do
    not decide; a shell counts for the resolution when it holds MIN_SHELL_CELLS
    cells and its root-mean-square magnitude is at least NODE_SHARE of the
    largest shell's (the innermost shell of a pi orbital, one cell at k = 0 where
    its transform vanishes, does not)."""
    amplitude = targets.mean(axis=0) if targets.ndim == spectra.ndim else targets
    used = measured & (amplitude > MIN_SHELL_AMPLITUDE * amplitude.max())
    cells = spectra[:, used]
    moduli = np.abs(cells).mean(axis=0)
    phase = np.abs(cells.mean(axis=0)) / np.maximum(moduli, 1e-30)
    wanted = amplitude[used]
    magnitude = np.minimum(moduli, wanted) / np.maximum(np.maximum(moduli, wanted), 1e-30)
    values = phase * magnitude
    k_grid = box.k_grid()
    radius = np.sqrt(sum(np.broadcast_to(k ** 2, box.shape) for k in k_grid))[used]
    width = max(box.k_step)
    shell = np.floor(radius / width).astype(int)
    n_shells = int(shell.max()) + 1 if shell.size else 0
    counts = np.bincount(shell, minlength=n_shells)
    weights = np.bincount(shell, weights=wanted, minlength=n_shells)
    sums = np.bincount(shell, weights=values * wanted, minlength=n_shells)
    squares = np.bincount(shell, weights=wanted ** 2, minlength=n_shells)
    centres = (np.arange(n_shells) + 0.5) * width
    keep = counts > 0
    rms = np.sqrt(squares[keep] / counts[keep])
    counted = (counts[keep] >= MIN_SHELL_CELLS[box.ndim]) & (rms >= NODE_SHARE * rms.max())
    return Transfer(centres[keep], sums[keep] / np.maximum(weights[keep], 1e-300),
                    counts[keep], counted)


def resolution(transfer: Transfer) -> Optional[float]:
    """|k| (1/Å) where the PRTF first falls below 1/e over the shells that count
    (linear between them); None when it never does."""
    centres = transfer.centres[transfer.counted]
    values = transfer.values[transfer.counted]
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
