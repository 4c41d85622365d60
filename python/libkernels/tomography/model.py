"""3D: every pixel at its own k, and the maps' relative scale fitted.

The box's cells are coarse (k step 2 pi / (oversampling x extent), 0.5 1/Å
along z for a 4 Å support), and a map's pixels lie anywhere between the cells'
centres: on hemispheres that pass through a cell at any height, a few pixels
of a map to a cell in k_par.  Taking the mean intensity of a cell's pixels as
|F|^2 at its centre makes the data inconsistent with any object: the exact
orbital of a planar pi molecule misses such data by a Fourier error of 0.07 to
0.09 (at the nodal plane kz = 0 most, where the pixels of a hemisphere's rim
carry intensity into cells whose centre has none), more than a retrieval
reaches, and the retrieval then fits the error (unequal lobes, a filled nodal
plane).

The data model here keeps each pixel where it was measured.  For the current
estimate x (the iterate inside the support) it predicts the mean over each
cell's pixels of |F(k_p)|^2 at the pixels' own k, Q_c, and the cell's target
magnitude becomes

    T_c = sqrt(max(D_c - (Q_c - |F_c|^2), 0))

with D_c the mean measured intensity of those pixels (each map times its
scale) and F_c the estimate's transform at the cell's centre: the measured
mean moved to the centre by the offset the estimate itself predicts.  When the
estimate is the object, T_c = |F_c| exactly, whatever the pixels' offsets.
The targets are renewed every REFRESH_EVERY iterations from a share
REFRESH_FROM of the iterations on (before that the plain means, which are
close enough to find the object's rough shape), and the magnitude projection
uses them in between.

|F(k_p)|^2 comes from the estimate's transform on the box's lattice refined
twice along every axis (the 2^ndim lattices shifted by half a cell,
F(k + s) = FT[x(r) exp(-i s.r)](k): one FFT each), interpolated linearly
between the refined points.  Inside a support of 1/oversampling of the period,
|F|^2 (the transform of the autocorrelation, at most twice the support) is
smooth on the refined lattice: the exact orbital then misses the modelled data
by 0.02 to 0.03 instead of 0.07 to 0.09 (pentacene HOMO and coronene HOMO-4,
ten maps at 15-90 eV, 0.05 1/Å pixels).

Scales.  Concentric hemispheres never meet, so nothing in the data ties one
map's intensity scale to another's; the support does (a compact object's
transform is smooth across |k|).  With scales="fit" each map's scale is fitted
at every renewal, by least squares of its pixels' intensities against the
estimate's |F(k_p)|^2, the scales' intensity-weighted mean held at 1; the
median over the starts that are averaged is reported.

The mirror pixels -k_p (|F(-k)| = |F(k)| for a real function) are modelled as
pixels of their own, so the lower half of the box is treated as the upper.
"""

from __future__ import annotations

import itertools
from dataclasses import dataclass
from typing import Any, List, Sequence, Tuple

import numpy as np

from .sampling import FourierBox

REFRESH_FROM = 0.15   # share of the iterations before the first renewal of the targets
REFRESH_EVERY = 10    # iterations between renewals
SCALE_RANGE = (1e-3, 1e3)  # a fitted scale is kept within this factor of the mean


def _sparse() -> Any:
    """scipy.sparse, imported when a reconstruction runs (scipy is an extra)."""
    import scipy.sparse

    return scipy.sparse


@dataclass
class PixelModel:
    """What the targets are renewed from: per refined sublattice the matrix that
    spreads its |F|^2 over the cells' pixel means (cells x cells), the maps'
    intensity sums per cell, and what the scale fit needs."""

    shape: Tuple[int, ...]
    shifts: List[np.ndarray]          # per sublattice: k shift (1/Å) per axis
    spread: List[Any]                 # per sublattice: csr (cells, cells), 1/n_c folded in
    overlap: List[Any]                # per sublattice: csr (maps, cells): sum_p I_p w_pf
    map_sums: np.ndarray              # (maps, cells): sum of each map's pixels per cell / n_c
    map_totals: np.ndarray            # (maps,): sum of each map's intensities
    map_squares: np.ndarray           # (maps,): sum of their squares
    counts: np.ndarray                # (cells,): pixels per cell (mirror pixels included)
    fit_scales: bool

    @property
    def maps(self) -> int:
        return len(self.map_totals)

    def data(self, scales: np.ndarray) -> np.ndarray:
        """D_c per start (starts, cells): the mean scaled intensity of each cell's pixels."""
        return scales @ self.map_sums

    def predicted(self, intensities: Sequence[np.ndarray]) -> np.ndarray:
        """Q_c per start (starts, cells) from |F|^2 on each sublattice (starts, cells)."""
        total = np.zeros_like(intensities[0])
        for matrix, values in zip(self.spread, intensities):
            total += (matrix @ values.T).T
        return total

    def fitted_scales(self, intensities: Sequence[np.ndarray]) -> np.ndarray:
        """Each start's least-squares scale per map (starts, maps), intensity-weighted
        mean 1."""
        numerator = np.zeros((len(intensities[0]), self.maps))
        for matrix, values in zip(self.overlap, intensities):
            numerator += (matrix @ values.T.astype(np.float64)).T
        scales = numerator / np.maximum(self.map_squares, 1e-300)
        mean = (scales @ self.map_totals) / max(float(self.map_totals.sum()), 1e-300)
        scales = scales / np.where(mean > 0, mean, 1.0)[:, None]
        return np.clip(scales, *SCALE_RANGE)


def sublattice_shifts(box: FourierBox) -> List[np.ndarray]:
    """The k shifts (1/Å) of the 2^ndim lattices that together refine the box's
    lattice twice along every axis: 0 or half a step per axis."""
    steps = np.asarray(box.k_step)
    return [np.asarray(corner) * steps / 2
            for corner in itertools.product((0, 1), repeat=box.ndim)]


def pixel_model(pixels: Sequence[Tuple[np.ndarray, np.ndarray]], box: FourierBox,
                fit_scales: bool) -> PixelModel:
    """The model of `pixels`: per map (k of its valid pixels, (n, ndim) in 1/Å;
    their intensities), mirror pixels added here."""
    sparse = _sparse()
    ndim = box.ndim
    shape = box.shape
    cells = int(np.prod(shape))
    steps = np.asarray(box.k_step)
    n_maps = len(pixels)
    rows: List[List[np.ndarray]] = [[] for _ in range(2 ** ndim)]
    cols: List[List[np.ndarray]] = [[] for _ in range(2 ** ndim)]
    values: List[List[np.ndarray]] = [[] for _ in range(2 ** ndim)]
    map_rows: List[List[np.ndarray]] = [[] for _ in range(2 ** ndim)]
    map_values: List[List[np.ndarray]] = [[] for _ in range(2 ** ndim)]
    map_sums = np.zeros((n_maps, cells))
    counts = np.zeros(cells)
    totals = np.zeros(n_maps)
    squares = np.zeros(n_maps)
    for m, (k, intensity) in enumerate(pixels):
        k = np.concatenate([k, -k])  # the mirror pixels
        intensity = np.concatenate([intensity, intensity])
        index = np.rint(k / steps).astype(np.int64)
        inside = np.all(np.abs(index) <= np.asarray(shape) // 2 - 1, axis=1)
        k, intensity, index = k[inside], intensity[inside], index[inside]
        cell = np.ravel_multi_index(tuple((index % np.asarray(shape)).T), shape)
        map_sums[m] += np.bincount(cell, weights=intensity, minlength=cells)
        counts += np.bincount(cell, minlength=cells)
        totals[m] = intensity.sum()
        squares[m] = np.sum(intensity ** 2)
        # the refined lattice: points j / 2 cells; linear weights to the 2^ndim around k
        position = k / (steps / 2)
        low = np.floor(position).astype(np.int64)
        fraction = position - low
        for corner in itertools.product((0, 1), repeat=ndim):
            point = low + np.asarray(corner)
            weight = np.prod(np.where(np.asarray(corner) == 1, fraction, 1 - fraction), axis=1)
            sub = point % 2  # which sublattice: the point's parity per axis
            base = ((point - sub) // 2) % np.asarray(shape)
            which = np.ravel_multi_index(tuple(sub.T), (2,) * ndim)
            column = np.ravel_multi_index(tuple(base.T), shape)
            for s in range(2 ** ndim):
                chosen = which == s
                rows[s].append(cell[chosen])
                cols[s].append(column[chosen])
                values[s].append(weight[chosen])
                map_rows[s].append(np.full(int(chosen.sum()), m))
                map_values[s].append(weight[chosen] * intensity[chosen])
    per_cell = 1.0 / np.maximum(counts, 1.0)
    spread, overlap = [], []
    for s in range(2 ** ndim):
        r, c = np.concatenate(rows[s]), np.concatenate(cols[s])
        spread.append(sparse.csr_matrix((np.concatenate(values[s]) * per_cell[r], (r, c)),
                                        shape=(cells, cells), dtype=np.float32))
        overlap.append(sparse.csr_matrix((np.concatenate(map_values[s]),
                                          (np.concatenate(map_rows[s]), c)),
                                         shape=(n_maps, cells)))
    return PixelModel(tuple(shape), sublattice_shifts(box), spread, overlap,
                      map_sums * per_cell[None], totals, squares, counts, fit_scales)
