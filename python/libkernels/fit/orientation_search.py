"""The search for the nonlinear parameters: the fitted angles and the instrument's.

The residual of the best linear solve is a function of the nonlinear
parameters alone (variable projection).  With fitted angles a scan over the
orientations on a subsampled copy of the measured map finds the candidate
minima (a symmetric molecule repeats itself, and local minima are common):
each fitted angle over its range for one or two angles, and for all three a
grid over the orientations reduced by the maps' symmetry (symmetry.py), one
point per set of equivalent orientations.  scipy's least_squares refines the
best few on that copy, orientations that give the same maps are dropped, and
the rest are refined, with every nonlinear parameter, at full resolution.
"""

from __future__ import annotations

import itertools
import math
from typing import TYPE_CHECKING, Any, List, Optional, Sequence, Tuple

import numpy as np

from ..core.progress import progress_bar
from ..core.validation import count
from .linear import require_scipy_optimize
from .measured import MeasuredMap

if TYPE_CHECKING:
    from numpy.typing import ArrayLike

    from ..core.types import BoolArray, Float64Array
    from .forward import ForwardModel
    from .symmetry import Symmetry

# The coarse scan subsamples the measured map to about this many pixels per side.
SCAN_SIDE = 64
# Scan points per angle for one or two fitted angles: one angle every 10
# degrees over its range, two on a coarser grid.
SCAN_POINTS = {1: 36, 2: 12}
# Three angles: a grid of this step (degrees; 15 keeps the grid closed under
# turns by 60, 90, 120 and 180 degrees) reduced by the symmetry.
THREE_ANGLE_STEP = 15.0
REFINE_CANDIDATES = 4  # scan minima refined on the subsampled map
REFINE_CANDIDATES_THREE = 8
# Candidates refined on the full map: distinct minima whose cost on the
# subsampled map is within this share of the best.
FULL_CANDIDATES = 2
CANDIDATE_SLACK = 0.05
# Two orientations are equivalent when their maps agree to this share of the maximum.
EQUIVALENT_MAPS = 1e-3


def subsampled(measured: MeasuredMap, used: BoolArray,
               side: int = SCAN_SIDE) -> Tuple[MeasuredMap, BoolArray]:
    """Every k-th pixel of the map and its mask, about `side` pixels per side."""
    stride = max(1, math.ceil(max(measured.intensity.shape) / side))
    if stride == 1:
        return measured, used
    sigma = None if measured.sigma is None else measured.sigma[::stride, ::stride]
    coarse = MeasuredMap(measured.intensity[::stride, ::stride], measured.kx[::stride],
                         measured.ky[::stride], None, measured.source, sigma=sigma)
    return coarse, used[::stride, ::stride]


def _scan_axes(fit_angles: Sequence[int], fold: int, points: int,
               start: Float64Array) -> List[Float64Array]:
    """Scan values of each fitted angle: evenly over its period (gamma's is
    360/fold with domains), beta from 0 to 180 degrees."""
    axes = []
    for index in fit_angles:
        count = points
        if index == 1:
            axes.append(np.linspace(0.0, 180.0, count) if count > 1 else np.array([start[1]]))
            continue
        period = 360.0 / fold if index == 2 else 360.0
        if count > 1 and index == 2 and fold > 1:
            count = max(4, int(round(count / fold)))
        axes.append(start[index] + np.arange(count) * (period / count) if count > 1
                    else np.array([start[index]]))
    return axes


def _local_minima(costs: Float64Array, periodic: Sequence[bool]) -> List[int]:
    """Flat indices of the grid points no neighbour undercuts, best first."""
    minima = np.ones(costs.shape, dtype=bool)
    for axis, wraps in enumerate(periodic):
        if costs.shape[axis] < 2:
            continue
        for shift in (1, -1):
            neighbour = np.roll(costs, shift, axis=axis)
            if not wraps:
                edge: List[Any] = [slice(None)] * costs.ndim
                edge[axis] = 0 if shift == 1 else -1
                neighbour[tuple(edge)] = np.inf
            minima &= costs <= neighbour
    order = np.argsort(costs, axis=None)
    return [int(k) for k in order if minima.reshape(-1)[k]] or [int(order[0])]


def orientation_with(start: ArrayLike, fit_angles: Sequence[int],
                     values: ArrayLike) -> Float64Array:
    """`start` with the fitted angles (indices `fit_angles`) set to `values`."""
    orientation = np.array(start, dtype=np.float64)
    orientation[list(fit_angles)] = values
    return orientation


class ProjectedResidual:
    """The weighted residual of the best linear solve as a function of the
    nonlinear parameters (variable projection), with a forward-difference
    Jacobian; remembers the last point so least_squares' paired calls cost one
    evaluation."""

    def __init__(self, forward: ForwardModel) -> None:
        self.forward = forward
        self.n_orbitals = forward.maps.n_orbitals
        self._last: Optional[Tuple[Float64Array, Float64Array]] = None
        self.steps = np.array([p.step for p in forward.parameters]) / 5.0

    def residual(self, values: ArrayLike) -> Float64Array:
        values = np.asarray(values, dtype=np.float64)
        if self._last is not None and np.array_equal(values, self._last[0]):
            return self._last[1]
        result = self.forward.problem.solve_design(self.forward.design(values),
                                                   self.n_orbitals)[1]
        self._last = (values.copy(), result)
        return result

    def cost(self, values: ArrayLike) -> float:
        return float(np.sum(self.residual(values) ** 2))

    def jacobian(self, values: ArrayLike) -> Float64Array:
        base = self.residual(values)
        columns = []
        upper = np.array([p.upper for p in self.forward.parameters])
        for a in range(np.size(values)):
            shifted = np.array(values, dtype=np.float64)
            step = self.steps[a] if shifted[a] + self.steps[a] <= upper[a] else -self.steps[a]
            shifted[a] += step
            columns.append((self.residual(shifted) - base) / step)
        return np.stack(columns, axis=1)

    def refine(self, values: ArrayLike, max_evaluations: int = 40) -> Tuple[Float64Array, float]:
        """Local least-squares refinement from `values`: (values, cost)."""
        least_squares = require_scipy_optimize().least_squares
        parameters = self.forward.parameters
        lower = np.array([p.lower for p in parameters])
        upper = np.array([p.upper for p in parameters])
        start = np.clip(np.asarray(values, dtype=np.float64), lower, upper)
        fit = least_squares(self.residual, start, jac=self.jacobian, method="trf",
                            bounds=(lower, upper),
                            x_scale=np.array([p.scale for p in parameters]), xtol=1e-7,
                            ftol=1e-10, gtol=1e-10, max_nfev=max_evaluations)
        return fit.x, 0.5 * self.cost(fit.x)


def search(full: ForwardModel, coarse: Optional[ForwardModel], symmetry: Optional[Symmetry],
           starts: Optional[int], progress: bool) -> Tuple[Float64Array, int]:
    """The nonlinear parameters at the best minimum found (see the module notes);
    returns (values, model evaluations of the scan)."""
    angles = full.angles
    values = full.start_values()
    refine_full = ProjectedResidual(full)
    if not angles:
        return (refine_full.refine(values)[0] if values.size else values), 0
    points = (SCAN_POINTS.get(len(angles), 0) if starts is None
              else count(starts, "starts", 1))
    if points == 1 or coarse is None:
        return refine_full.refine(values)[0], 0

    scan = ProjectedResidual(coarse)
    n = len(angles)
    if n == 3 and starts is None:
        grid = _three_angle_grid(symmetry, coarse.maps.fold)
        shape = None
    else:
        axes = _scan_axes(angles, full.maps.fold, points, full.start)
        grid = np.array(list(itertools.product(*axes)))
        shape = [len(a) for a in axes]
    costs = np.empty(len(grid))
    bar = progress_bar(len(grid), "orientation scan", progress, unit="orientation")
    try:
        for k, point in enumerate(grid):
            values[:n] = point
            costs[k] = scan.cost(values)
            bar.update()
    finally:
        bar.close()
    if shape is not None:
        minima = _local_minima(costs.reshape(shape), [index != 1 for index in angles])
        chosen = minima[:REFINE_CANDIDATES]
    else:
        chosen = [int(k) for k in np.argsort(costs)[:REFINE_CANDIDATES_THREE]]

    refined = []
    for k in chosen:
        values[:n] = grid[k]
        refined.append(scan.refine(values.copy(), max_evaluations=20 if n < 3 else 30))
    refined.sort(key=lambda pair: pair[1])
    kept: List[Float64Array] = []
    kept_maps: List[Float64Array] = []
    for candidate, cost in refined:
        if cost > refined[0][1] * (1 + CANDIDATE_SLACK) or len(kept) == FULL_CANDIDATES:
            break
        these = coarse.design(candidate)
        if any(np.max(np.abs(these - other)) <= EQUIVALENT_MAPS * np.max(np.abs(other))
               for other in kept_maps):
            continue  # the same maps as a candidate already kept: an equivalent orientation
        kept.append(candidate)
        kept_maps.append(these)
    best, best_cost = refine_full.refine(kept[0])  # the best of the scan is always kept
    for candidate in kept[1:]:
        found, cost = refine_full.refine(candidate)
        if cost < best_cost:
            best, best_cost = found, cost
    return best, coarse.maps.evaluations


def _three_angle_grid(symmetry: Optional[Symmetry], fold: int) -> Float64Array:
    """Orientations every THREE_ANGLE_STEP degrees, one per set of equivalent ones."""
    step = THREE_ANGLE_STEP
    alphas = np.arange(0.0, 360.0, step)
    betas = np.arange(0.0, 180.0 + step / 2, step)
    gammas = np.arange(0.0, 360.0, step)
    grid = np.array(list(itertools.product(alphas, betas, gammas)))
    # at beta 0 and 180 only alpha +- gamma counts: alpha 0 stands for the rest
    flat = (grid[:, 1] == 0.0) | (grid[:, 1] == 180.0)
    grid = grid[~flat | (grid[:, 0] == 0.0)]
    return symmetry.reduced_grid(grid) if symmetry is not None else grid
