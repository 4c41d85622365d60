"""Iterative phase retrieval, many random starts at once.

Two constraints: the Fourier magnitudes where there are data (P_M: each
measured coefficient keeps its phase and takes the measured magnitude, free
coefficients are left as they are) and the support with reality (P_S: zero
outside the support; the iterates are real arrays and their transforms real
FFTs, so reality holds throughout).  With y = P_M(x), one iteration is

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

from typing import Any, Callable, Optional, Tuple

import numpy as np

from .sampling import to_half
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


class Retrieval:
    """One batch of starts: magnitudes and mask (half spectra), supports, iterates."""

    def __init__(self, amplitude: np.ndarray, measured: np.ndarray, support: np.ndarray,
                 algorithm: str, beta: float):
        self.shape = amplitude.shape
        self.axes = tuple(range(1, amplitude.ndim + 1))
        self.amplitude = to_half(amplitude).astype(np.float32)[None]
        self.measured = to_half(measured)[None]
        self.free = (~self.measured).astype(np.float32)
        self.target = np.where(self.measured, self.amplitude, 0.0).astype(np.float32)
        self.support = support
        self.algorithm = algorithm
        self.beta = np.float32(beta)
        self.fft = _fft()

    def start(self, phases: np.ndarray) -> np.ndarray:
        """Real iterates from random phases (B, half shape) on the magnitudes."""
        spectrum = (self.amplitude * np.exp(1j * phases)).astype(np.complex64)
        x = self.fft.irfftn(spectrum, s=self.shape, axes=self.axes, workers=1)
        return (x * self.support).astype(np.float32)

    def magnitudes(self, x: np.ndarray) -> np.ndarray:
        """P_M: measured magnitudes with the iterate's phases; free cells unchanged."""
        spectrum = self.fft.rfftn(x, axes=self.axes, workers=1)
        modulus = np.abs(spectrum)
        np.maximum(modulus, _TINY, out=modulus)
        spectrum *= self.target / modulus + self.free
        return self.fft.irfftn(spectrum, s=self.shape, axes=self.axes, workers=1)

    def step(self, x: np.ndarray, polishing: bool) -> np.ndarray:
        y = self.magnitudes(x)
        if polishing or self.algorithm == "er":
            return y * self.support
        if self.algorithm == "hio":
            return np.where(self.support, y, x - self.beta * y)
        return np.where(self.support, y, self.beta * x + (1 - 2 * self.beta) * y)

    def finish(self, x: np.ndarray) -> Tuple[np.ndarray, np.ndarray]:
        """The estimates P_S(P_M(x)) and their Fourier errors
        || |F| - A || / || A || over the measured cells."""
        estimate = (self.magnitudes(x) * self.support).astype(np.float32)
        spectrum = self.fft.rfftn(estimate, axes=self.axes, workers=1)
        weights = half_weights(self.shape)
        miss = (np.abs(spectrum) - self.amplitude) ** 2 * self.measured * weights
        norm = np.sum(self.target.astype(np.float64) ** 2 * weights)
        errors = np.sqrt(miss.reshape(len(x), -1).sum(axis=1) / max(norm, 1e-300))
        return estimate, errors


def run_batch(retrieval: Retrieval, phases: np.ndarray, iterations: int, polish: int,
              shrink_limit: Optional[np.ndarray],
              tick: Callable[[int], object]) -> Tuple[np.ndarray, np.ndarray, np.ndarray]:
    """Runs one batch; returns estimates, Fourier errors and the final supports."""
    x = retrieval.start(phases)
    updates = max(1, iterations // SHRINK_EVERY - 1)
    done = 0
    for iteration in range(iterations + polish):
        polishing = iteration >= iterations
        x = retrieval.step(x, polishing)
        if shrink_limit is not None and not polishing and iteration % SHRINK_EVERY == \
                SHRINK_EVERY - 1 and iteration < iterations - SHRINK_EVERY:
            share = min(done / updates, 1.0)
            blur = SHRINK_BLUR[0] + share * (SHRINK_BLUR[1] - SHRINK_BLUR[0])
            retrieval.support = shrink(retrieval.magnitudes(x) * retrieval.support,
                                       shrink_limit, blur)
            done += 1
        tick(1)
    estimates, errors = retrieval.finish(x)
    supports = np.broadcast_to(retrieval.support, estimates.shape)
    return estimates, errors, supports
