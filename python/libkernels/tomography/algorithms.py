"""Iterative phase retrieval, many random starts at once.

Two constraints: the Fourier magnitudes where there are data (P_M: each
measured coefficient keeps its phase and takes the measured magnitude, free
coefficients are left as they are) and the support with reality (P_S: zero
outside the support; the iterates are real arrays and their transforms real
FFTs, so reality holds throughout).  In 3D a start may also be held to one
parity about a planar molecule's plane (mirror.py): P_S then keeps the part of
that parity inside the support, and the iterations take their general form,
HIO x <- P_S(y) + (1 - P_S)(x - beta y), RAAR x <- beta (x + P_S(2y - x) - y)
+ (1 - beta) y, which are the ones below when P_S is the support alone.

With y = P_M(x), one iteration is

- error reduction (ER):        x <- P_S(y)
- hybrid input-output (HIO):   x <- y inside the support, x - beta y outside
- RAAR (relaxed averaged alternating reflections):
                               x <- y inside the support, beta x + (1 - 2 beta) y outside

and every run ends with a few ER iterations, which settle the iterate into the
nearest point that satisfies the support.  The starts are independent random
phases on the measured magnitudes; they run together as one stack of FFTs over
a leading axis (float32 / complex64, one thread), a batch at a time so that
memory stays bounded and Ctrl-C is seen between iterations.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any, Callable, List, Optional, Tuple

import numpy as np

from .mirror import hold_parity
from .model import REFRESH_EVERY, REFRESH_FROM, PixelModel
from .sampling import FourierBox, to_half
from .support import SHRINK_BLUR, shrink

ALGORITHMS = ("raar", "hio", "er")
DEFAULT_ALGORITHM = "hio"
DEFAULT_BETA = {"raar": 0.87, "hio": 0.9, "er": 0.0}
SHRINK_EVERY = 20  # iterations between shrink-wrap updates
_TINY = np.float32(1e-30)


def _fft() -> Any:
    """scipy.fft, imported when a reconstruction runs (scipy is an extra)."""
    import scipy.fft

    return scipy.fft


def half_weights(shape: Tuple[int, ...]) -> np.ndarray:
    """How often each coefficient of a real FFT's half spectrum stands for the full
    one: once on the last axis' 0 and Nyquist columns, twice elsewhere."""
    weights = np.full(shape[-1] // 2 + 1, 2.0)
    weights[0] = 1.0
    if shape[-1] % 2 == 0:
        weights[-1] = 1.0
    return weights


@dataclass
class Finished:
    """A batch's outcome: estimates (B, *shape), Fourier errors (B,); in 3D each
    start's targets (B, *shape) and maps' scales (B, maps), else None."""

    estimates: np.ndarray
    errors: np.ndarray
    targets: Optional[np.ndarray]
    scales: Optional[np.ndarray]


class Retrieval:
    """One batch of starts: magnitudes and mask (half spectra), supports, iterates;
    in 3D the pixel model (model.py) whose targets are renewed from the iterates."""

    def __init__(self, amplitude: np.ndarray, measured: np.ndarray, support: np.ndarray,
                 algorithm: str, beta: float, model: Optional[PixelModel] = None,
                 box: Optional[FourierBox] = None, signs: Optional[np.ndarray] = None):
        self.shape = amplitude.shape
        self.axes = tuple(range(1, amplitude.ndim + 1))
        self.amplitude = to_half(amplitude).astype(np.float32)[None]
        self.measured = to_half(measured)[None]
        self.full_measured = measured
        self.free = (~self.measured).astype(np.float32)
        self.target = np.where(self.measured, self.amplitude, 0.0).astype(np.float32)
        self.support = support
        self.algorithm = algorithm
        self.beta = np.float32(beta)
        self.fft = _fft()
        self.model = model
        self.signs = signs  # each start's mirror parity (-1 odd, +1 even), or None
        self.scales: Optional[np.ndarray] = None
        self.phases: List[np.ndarray] = []
        if model is not None:
            assert box is not None
            # positions relative to the box's centre, within half a period: the
            # estimate lies inside the support there
            positions = np.meshgrid(*box.offsets(), indexing="ij", sparse=True)
            self.phases = [np.exp(-1j * sum(s * r for s, r in zip(shift, positions)))
                           .astype(np.complex64) for shift in model.shifts]

    def start(self, phases: np.ndarray) -> np.ndarray:
        """Real iterates from random phases (B, half shape) on the magnitudes."""
        spectrum = (self.amplitude * np.exp(1j * phases)).astype(np.complex64)
        x = self.fft.irfftn(spectrum, s=self.shape, axes=self.axes, workers=1)
        if self.model is not None:
            self.scales = np.ones((len(phases), self.model.maps))
        return (self.symmetric(x) * self.support).astype(np.float32)

    def symmetric(self, x: np.ndarray) -> np.ndarray:
        """The iterates' parts of their starts' parities (unchanged without any)."""
        return x if self.signs is None else hold_parity(x, self.signs)

    def magnitudes(self, x: np.ndarray) -> np.ndarray:
        """P_M: measured magnitudes with the iterate's phases; free cells unchanged."""
        spectrum = self.fft.rfftn(x, axes=self.axes, workers=1)
        modulus = np.abs(spectrum)
        np.maximum(modulus, _TINY, out=modulus)
        spectrum *= self.target / modulus + self.free
        return self.fft.irfftn(spectrum, s=self.shape, axes=self.axes, workers=1)

    def constrained(self, y: np.ndarray) -> np.ndarray:
        """P_S: inside the support, and of each start's parity when it has one."""
        return self.symmetric(y) * self.support

    def step(self, x: np.ndarray, polishing: bool) -> np.ndarray:
        y = self.magnitudes(x)
        if polishing or self.algorithm == "er":
            return self.constrained(y)
        if self.signs is not None:
            if self.algorithm == "hio":
                rest = x - self.beta * y
                return self.constrained(y) + rest - self.constrained(rest)
            return (self.beta * (x + self.constrained(2 * y - x) - y)
                    + (1 - self.beta) * y).astype(np.float32)
        if self.algorithm == "hio":
            return np.where(self.support, y, x - self.beta * y)
        return np.where(self.support, y, self.beta * x + (1 - 2 * self.beta) * y)

    # ---- the pixel model (3D) ------------------------------------------------------------

    def _pixel_intensities(self, estimate: np.ndarray) -> List[np.ndarray]:
        """|F|^2 of the estimates on each refined sublattice, (B, cells) float32."""
        out = []
        for phase in self.phases:
            spectrum = self.fft.fftn(estimate * phase, axes=self.axes, workers=1)
            out.append((spectrum.real ** 2 + spectrum.imag ** 2).reshape(len(estimate), -1)
                       .astype(np.float32))
        return out

    def _modelled(self, estimate: np.ndarray) -> Tuple[np.ndarray, np.ndarray, np.ndarray]:
        """(D, Q, |F_c|^2) per start and cell for the estimates: the scaled data, the
        estimates' pixel means and their values at the cells' centres."""
        assert self.model is not None and self.scales is not None
        intensities = self._pixel_intensities(estimate)
        if self.model.fit_scales:
            self.scales = self.model.fitted_scales(intensities)
        data = self.model.data(self.scales)
        return data, self.model.predicted(intensities), intensities[0]

    def renew(self, x: np.ndarray) -> None:
        """New targets from the iterates inside the support: each cell's measured mean
        moved to its centre by the offset the estimate predicts (model.py)."""
        if self.model is None:
            return
        data, predicted, centre = self._modelled(x * self.support)
        target = np.sqrt(np.clip(data - (predicted - centre), 0.0, None))
        target = target.reshape((len(x),) + self.shape) * self.full_measured
        self.target = to_half(target).astype(np.float32)

    def finish(self, x: np.ndarray) -> Finished:
        """The estimates P_S(P_M(x)) and their Fourier errors
        || |F| - A || / || A || over the measured cells; in 3D || sqrt(Q) - sqrt(D) ||
        / || sqrt(D) ||, the estimates' pixel means against the measured ones, with
        each start's targets (full arrays) and the maps' scales."""
        estimate = self.constrained(self.magnitudes(x)).astype(np.float32)
        if self.model is not None:
            data, predicted, centre = self._modelled(estimate)
            used = self.full_measured.ravel()
            miss = (np.sqrt(np.clip(predicted, 0, None)) - np.sqrt(np.clip(data, 0, None)))
            errors = np.sqrt(np.sum(miss[:, used] ** 2, axis=1)
                             / np.maximum(np.sum(data[:, used], axis=1), 1e-300))
            targets = np.sqrt(np.clip(data - (predicted - centre), 0.0, None))
            targets = targets.reshape((len(x),) + self.shape) * self.full_measured
            return Finished(estimate, errors, targets.astype(np.float32), self.scales)
        spectrum = self.fft.rfftn(estimate, axes=self.axes, workers=1)
        weights = half_weights(self.shape)
        miss = (np.abs(spectrum) - self.amplitude) ** 2 * self.measured * weights
        norm = np.sum(self.target.astype(np.float64) ** 2 * weights)
        errors = np.sqrt(miss.reshape(len(x), -1).sum(axis=1) / max(norm, 1e-300))
        return Finished(estimate, errors, None, None)


def run_batch(retrieval: Retrieval, phases: np.ndarray, iterations: int, polish: int,
              shrink_limit: Optional[np.ndarray],
              tick: Callable[[int], object]) -> Tuple[Finished, np.ndarray]:
    """Runs one batch; returns what it found and the final supports."""
    x = retrieval.start(phases)
    updates = max(1, iterations // SHRINK_EVERY - 1)
    first_renewal = int(REFRESH_FROM * iterations)
    done = 0
    for iteration in range(iterations + polish):
        polishing = iteration >= iterations
        if iteration >= first_renewal and (iteration - first_renewal) % REFRESH_EVERY == 0:
            retrieval.renew(x)
        x = retrieval.step(x, polishing)
        if shrink_limit is not None and not polishing and iteration % SHRINK_EVERY == \
                SHRINK_EVERY - 1 and iteration < iterations - SHRINK_EVERY:
            share = min(done / updates, 1.0)
            blur = SHRINK_BLUR[0] + share * (SHRINK_BLUR[1] - SHRINK_BLUR[0])
            retrieval.support = shrink(retrieval.constrained(retrieval.magnitudes(x)),
                                       shrink_limit, blur)
            done += 1
        tick(1)
    found = retrieval.finish(x)
    return found, np.broadcast_to(retrieval.support, found.estimates.shape)
