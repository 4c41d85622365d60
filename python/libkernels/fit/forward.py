"""The model at the measured pixels as a function of the fit's nonlinear parameters.

    model(k) = F(k) T(k) [ sum_i w_i (G * S_i)(k - k0) + background(k) ]

S_i is orbital i's map at the orientation (alpha, beta, gamma), its domains
averaged (or weighed by fitted populations) and the light's factor applied;
G a Gaussian of standard deviation `k_resolution` (1/Å), the blur of the
instrument's momentum resolution; k0 = (kx0, ky0) where the measured axes put
the map's k = 0; T the detector's smooth transmission and F a given flat
field, both multiplying everything the detector counts.  The weights w_i and
the background are linear and solved for at every point (linear.py); the rest
are the nonlinear parameters, each fixed or fitted.

The blur and the shift are applied together in Fourier space, where they are
exact for the sampled map (a Gaussian factor and a phase ramp), on a square
that reaches beyond the pixels by `margin`.  The resolution is fitted as its
square, whose derivative does not vanish at 0 as that of sigma does.

In the IAC final state the fitted partial waves (model.py) are nonlinear
parameters too: for each fitted channel c ("C 2": carbon's l' = 2) an
amplitude ratio a_c >= 0 and a relative phase phi_c (radians), the factor
a_c e^{i phi_c} on that channel's waves, relative to the channels not fitted,
which keep their values (the model's own: 1 and 0 unless partial_waves set
them) and so are the reference.

`radial2` transmission: T(k) = 1 + t_x x + t_y y + t_r (x^2 + y^2) with
(x, y) = k / K and K the largest |k| of the fitted pixels: a tilt across the
detector and a radial fall-off (or rise) to its edge, +-|t| at the edge.
"""

from __future__ import annotations

import math
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, List, Optional, Sequence, Tuple

import numpy as np

from ..core.orientation import ANGLES
from .linear import LinearProblem, require_scipy

if TYPE_CHECKING:
    from numpy.typing import ArrayLike

    from ..core.types import Float64Array
    from .model import OrbitalMaps

TRANSMISSIONS = ("none", "radial2")
# How far (1/Å) the model's square reaches beyond the pixels when the blur or
# the offset is modelled: 4 standard deviations of a resolution up to this
# fitted one, plus an offset up to 0.1 / Å.
FITTED_RESOLUTION_REACH = 0.1
OFFSET_REACH = 0.1


@dataclass(frozen=True)
class Parameter:
    """One nonlinear parameter: its name as reported, start, bounds, the size of
    a typical change (the optimiser's scale) and the step of its differences."""

    name: str
    start: float
    lower: float = -math.inf
    upper: float = math.inf
    scale: float = 1.0
    step: float = 1e-3
    needs_maps: bool = False  # a change needs new orbital maps (the angles)


@dataclass
class Instrument:
    """What of the instrument is modelled: each part fixed, fitted or absent.

    k_offset: (kx0, ky0) in 1/Å, the value or the start; k_resolution: sigma of
    the blur in 1/Å (0: none), the value or the start; transmission: 'none' or
    'radial2' (fitted); flat_field: F at the fitted pixels, or None;
    populations: fit the domains' shares (with symmetry n: n - 1 free).
    """

    k_offset: Tuple[float, float] = (0.0, 0.0)
    fit_k_offset: bool = False
    k_resolution: float = 0.0
    fit_k_resolution: bool = False
    transmission: str = "none"
    flat_field: Optional[Float64Array] = None
    populations: bool = False
    # the transmission's coefficients and the domains' populations when fixed
    fixed_transmission: Optional[Sequence[float]] = None
    fixed_populations: Optional[Sequence[float]] = None

    @property
    def fits_transmission(self) -> bool:
        return self.transmission == "radial2" and self.fixed_transmission is None

    @property
    def moves_pixels(self) -> bool:
        """Whether the blur or the offset is modelled (the Fourier step)."""
        return (self.fit_k_offset or self.fit_k_resolution or self.k_resolution > 0
                or any(self.k_offset))

    @property
    def margin(self) -> float:
        """1/Å of model square needed beyond the pixels."""
        if not self.moves_pixels:
            return 0.0
        reach = max(self.k_resolution, FITTED_RESOLUTION_REACH if self.fit_k_resolution else 0)
        return 4 * reach + max(OFFSET_REACH, *(abs(v) for v in self.k_offset))


@dataclass
class State:
    """The nonlinear parameters' values, unpacked."""

    orientation: Float64Array
    k_offset: Tuple[float, float]
    resolution_squared: float
    transmission: Float64Array
    populations: Float64Array
    partial_waves: Optional[Float64Array] = None  # fitted amplitudes, then their phases


@dataclass
class ForwardModel:
    """The unweighted design matrix [orbital columns | background columns] at the
    used pixels for any values of the nonlinear parameters (see the module notes)."""

    maps: OrbitalMaps
    problem: LinearProblem
    kx: Float64Array  # the used pixels' coordinates, 1/Å
    ky: Float64Array
    start: Float64Array  # the orientation: start of fitted angles, value of the others
    angles: Tuple[int, ...]
    instrument: Instrument
    reach: float = 0.0  # K of the transmission (1/Å); 0: the largest |k| of the pixels
    parameters: List[Parameter] = field(init=False)

    def __post_init__(self) -> None:
        inst = self.instrument
        params = [Parameter(ANGLES[i], float(self.start[i]), scale=10.0, step=0.05,
                            needs_maps=True) for i in self.angles]
        if inst.fit_k_offset:
            params += [Parameter(name, value, scale=0.02, step=2e-3)
                       for name, value in zip(("kx0", "ky0"), inst.k_offset)]
        if inst.fit_k_resolution:
            params.append(Parameter("k_resolution^2", inst.k_resolution ** 2, lower=0.0,
                                    scale=2e-3, step=1e-4))
        if inst.fits_transmission:
            params += [Parameter(f"transmission {t}", 0.0, scale=0.1, step=1e-3)
                       for t in ("x", "y", "r2")]
        if self.maps.populations and inst.fixed_populations is None:
            n = self.maps.fold
            params += [Parameter(f"population {r + 1}", 1.0 / n, scale=0.1, step=1e-3)
                       for r in range(1, n)]
        if self.maps.partial_waves:
            amplitudes, phases = self.maps.partial_wave_start()
            params += [Parameter(f"amplitude {c}", float(a), lower=0.0, scale=0.3, step=1e-3)
                       for c, a in zip(self.maps.partial_waves, amplitudes)]
            params += [Parameter(f"phase {c}", float(p), scale=0.3, step=1e-3)
                       for c, p in zip(self.maps.partial_waves, phases)]
        self.parameters = params
        if not self.reach:
            self.reach = float(np.hypot(self.kx, self.ky).max()) or 1.0
        self._fourier: Optional[Tuple[Float64Array, Float64Array]] = None

    # ---- the parameters --------------------------------------------------------------

    @property
    def names(self) -> List[str]:
        return [p.name for p in self.parameters]

    def start_values(self) -> Float64Array:
        return np.array([p.start for p in self.parameters], dtype=np.float64)

    def state(self, values: ArrayLike) -> State:
        inst = self.instrument
        it = iter(float(v) for v in np.asarray(values, dtype=np.float64).reshape(-1))
        orientation = np.array(self.start, dtype=np.float64)
        for i in self.angles:
            orientation[i] = next(it)
        offset = (next(it), next(it)) if inst.fit_k_offset else inst.k_offset
        resolution = next(it) if inst.fit_k_resolution else inst.k_resolution ** 2
        if inst.fits_transmission:
            transmission = np.array([next(it) for _ in range(3)])
        else:
            transmission = np.asarray(inst.fixed_transmission or np.zeros(3), dtype=np.float64)
        if not self.maps.populations:
            populations = np.ones(1)
        elif inst.fixed_populations is not None:
            populations = np.asarray(inst.fixed_populations, dtype=np.float64)
        else:
            rest = np.array([next(it) for _ in range(self.maps.fold - 1)])
            populations = np.concatenate([[1.0 - rest.sum()], rest])
        waves = np.array([next(it) for _ in range(2 * len(self.maps.partial_waves))]) \
            if self.maps.partial_waves else None
        return State(orientation, (float(offset[0]), float(offset[1])), float(resolution),
                     transmission, populations, waves)

    # ---- the model ------------------------------------------------------------------

    def design(self, values: ArrayLike) -> Float64Array:
        """(pixels, orbitals + background terms): the model's columns, unweighted."""
        state = self.state(values)
        squares = self.maps.squares(state.orientation, state.partial_waves)  # (o, d, n, n)
        if squares.shape[1] == 1:
            combined = squares[:, 0]
        else:
            combined = np.einsum("odij,d->oij", squares, state.populations)
        if self.instrument.moves_pixels:
            columns = self._moved(combined, state)
        else:
            columns = np.stack([self.maps.grid.take(c) for c in combined], axis=1)
        design = np.empty((columns.shape[0], columns.shape[1] + self.problem.background.shape[1]),
                          order="F")
        design[:, :columns.shape[1]] = columns
        design[:, columns.shape[1]:] = self.problem.background
        factor = self.multiplier(state)
        if factor is not None:
            design *= factor[:, None]
        return design

    def multiplier(self, state: State) -> Optional[Float64Array]:
        """T(k) F(k) at the used pixels, or None when both are 1."""
        factor = None
        if self.instrument.transmission == "radial2":
            x, y = self.kx / self.reach, self.ky / self.reach
            t = state.transmission
            factor = 1.0 + t[0] * x + t[1] * y + t[2] * (x * x + y * y)
        if self.instrument.flat_field is not None:
            factor = self.instrument.flat_field if factor is None \
                else factor * self.instrument.flat_field
        return factor

    def _moved(self, combined: Float64Array, state: State) -> Float64Array:
        """Each map blurred and shifted by k0 in Fourier space, at the used pixels."""
        fft = require_scipy("scipy.fft")
        grid = self.maps.grid
        n = grid.n
        if self._fourier is None:
            self._fourier = (2 * np.pi * np.fft.fftfreq(n, grid.k_step),
                             2 * np.pi * np.fft.rfftfreq(n, grid.k_step))
        qx, qy = self._fourier
        kx0, ky0 = state.k_offset
        s2 = max(state.resolution_squared, 0.0)
        kernel = (np.exp(-0.5 * s2 * qx ** 2 - 1j * qx * kx0)[:, None]
                  * np.exp(-0.5 * s2 * qy ** 2 - 1j * qy * ky0)[None, :])
        moved = fft.irfft2(fft.rfft2(combined, axes=(-2, -1)) * kernel, s=(n, n),
                           axes=(-2, -1))
        return np.stack([grid.take(m) for m in moved], axis=1)
