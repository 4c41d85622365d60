"""The search for the fitted orientation angles (variable projection).

The residual of the best linear solve is a function of the fitted angles
alone.  A coarse scan over each angle's range on a subsampled copy of the
measured map finds the candidate minima (a symmetric molecule repeats itself,
and local minima are common); scipy's least_squares refines the best few on
that copy, orientations that give the same maps are dropped, and the rest are
refined at full resolution.
"""

from __future__ import annotations

import itertools
import math
from typing import TYPE_CHECKING, Any, Dict, List, Optional, Sequence, Tuple, Union

import numpy as np

from ..core.progress import progress_bar
from ..core.validation import count
from .linear import LinearProblem, require_scipy_optimize
from .measured import MeasuredMap
from .model import OrbitalMaps

if TYPE_CHECKING:
    from numpy.typing import ArrayLike

    from ..core.molecule import Molecule
    from ..core.types import BoolArray, Float64Array

# The coarse scan subsamples the measured map to about this many pixels per side.
SCAN_SIDE = 64
# Scan points per angle: one fitted angle every 10 degrees over its range; with
# more angles a coarser grid keeps the scan near a few hundred maps.
SCAN_POINTS = {1: 36, 2: 12, 3: 8}
REFINE_CANDIDATES = 4  # scan minima refined on the subsampled map
# Candidates refined on the full map: distinct minima whose cost on the
# subsampled map is within this share of the best.
FULL_CANDIDATES = 2
CANDIDATE_SLACK = 0.05
# Two orientations are equivalent when their maps agree to this share of the maximum.
EQUIVALENT_MAPS = 1e-4
JACOBIAN_STEP = 0.01  # degrees, forward differences in the refinement


def subsampled(measured: MeasuredMap, used: BoolArray,
               side: int = SCAN_SIDE) -> Tuple[MeasuredMap, BoolArray]:
    """Every k-th pixel of the map and its mask, about `side` pixels per side."""
    stride = max(1, math.ceil(max(measured.intensity.shape) / side))
    if stride == 1:
        return measured, used
    coarse = MeasuredMap(measured.intensity[::stride, ::stride], measured.kx[::stride],
                         measured.ky[::stride], None, measured.source)
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
                edge: List[Union[slice, int]] = [slice(None)] * costs.ndim
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
    """The residual of the best linear solve as a function of the fitted angles
    (variable projection), with a forward-difference Jacobian; remembers the
    last point so least_squares' paired calls cost one evaluation."""

    _last: Tuple[Optional[Float64Array], Optional[Float64Array]]

    def __init__(self, maps: OrbitalMaps, problem: LinearProblem, start: Float64Array,
                 angles: Sequence[int]) -> None:
        self.maps, self.problem, self.start, self.angles = maps, problem, start, angles
        self._last = (None, None)

    def residual(self, values: ArrayLike) -> Float64Array:
        values = np.asarray(values, dtype=np.float64)
        last_values, last_result = self._last
        if last_values is not None and last_result is not None \
                and np.array_equal(values, last_values):
            return last_result
        columns = self.maps.columns(orientation_with(self.start, self.angles, values))
        result = self.problem.solve(columns)[1]
        self._last = (values.copy(), result)
        return result

    def jacobian(self, values: ArrayLike) -> Float64Array:
        base = self.residual(values)
        columns = []
        for a in range(np.size(values)):
            shifted = np.array(values, dtype=np.float64)
            shifted[a] += JACOBIAN_STEP
            columns.append((self.residual(shifted) - base) / JACOBIAN_STEP)
        return np.stack(columns, axis=1)

    def refine(self, values: ArrayLike) -> Tuple[Float64Array, float]:
        """Local least-squares refinement from `values`: (angles, cost)."""
        least_squares = require_scipy_optimize().least_squares
        fit = least_squares(self.residual, np.asarray(values, dtype=np.float64),
                            jac=self.jacobian, method="trf", x_scale=10.0, xtol=1e-6,
                            ftol=1e-9, gtol=1e-10, max_nfev=40)
        return fit.x, float(fit.cost)


def search_orientation(measured: MeasuredMap, used: BoolArray, molecule: Molecule,
                       names: Sequence[str], problem: LinearProblem, maps: OrbitalMaps,
                       start: Float64Array, angles: Sequence[int], terms: Sequence[str],
                       poisson: bool, starts: Optional[int], model_options: Dict[str, Any],
                       progress: bool) -> Tuple[Float64Array, int]:
    """Variable projection over the chosen angles.

    A scan over each angle's range on a subsampled copy of the map finds the
    local minima; the best few are refined on that copy, orientations giving
    the same maps (a symmetric molecule's repeats) are dropped, and the rest
    are refined on the full map.  Returns (orientation, scan evaluations).
    """
    points = SCAN_POINTS[len(angles)] if starts is None else count(starts, "starts", 1)
    full = ProjectedResidual(maps, problem, start, angles)
    if points == 1:
        return orientation_with(start, angles, full.refine(start[list(angles)])[0]), 0

    coarse, coarse_used = subsampled(measured, used)
    scan_maps = OrbitalMaps(molecule, names, coarse.kx, coarse.ky, coarse_used,
                            **model_options)
    scan = ProjectedResidual(scan_maps, LinearProblem(coarse, coarse_used, poisson, terms),
                             start, angles)
    axes = _scan_axes(angles, maps.fold, points, start)
    grid = list(itertools.product(*axes))
    costs = np.empty(len(grid))
    bar = progress_bar(len(grid), "orientation scan", progress, unit="orientation")
    try:
        for k, point in enumerate(grid):
            costs[k] = np.sum(scan.residual(point) ** 2)
            bar.update()
    finally:
        bar.close()
    periodic = [index != 1 for index in angles]
    minima = _local_minima(costs.reshape([len(a) for a in axes]), periodic)

    refined = sorted((scan.refine(np.array(grid[k])) for k in minima[:REFINE_CANDIDATES]),
                     key=lambda pair: pair[1])
    kept: List[Float64Array] = []
    kept_maps: List[Float64Array] = []
    for candidate, cost in refined:
        if cost > refined[0][1] * (1 + CANDIDATE_SLACK) or len(kept) == FULL_CANDIDATES:
            break
        these = scan_maps.columns(orientation_with(start, angles, candidate))
        if any(np.max(np.abs(these - other)) <= 10 * EQUIVALENT_MAPS * np.max(np.abs(other))
               for other in kept_maps):
            continue  # the same maps as a candidate already kept: an equivalent orientation
        kept.append(candidate)
        kept_maps.append(these)
    best, best_cost = full.refine(kept[0])  # the best of the scan is always kept
    for candidate in kept[1:]:
        values, cost = full.refine(candidate)
        if cost < best_cost:
            best, best_cost = values, cost
    if len(angles) == 1:
        best = _nearest_equivalent(scan_maps, start, angles, best)
    return orientation_with(start, angles, best), scan_maps.evaluations


def _nearest_equivalent(maps: OrbitalMaps, start: Float64Array, angles: Sequence[int],
                        values: Float64Array) -> Float64Array:
    """Of the angles giving the same maps as `values` (a symmetric molecule's
    repeats: quarter turns and mirror images of the angle), the one nearest the
    start, so that equivalent answers come out alike."""
    (index,), (value,) = angles, values
    if index == 1:
        options = [value, -value, 180.0 - value, 180.0 + value]
    else:
        options = [sign * value + 90.0 * k for k in range(4) for sign in (1, -1)]
    reference = maps.columns(orientation_with(start, angles, values))
    scale = np.max(np.abs(reference))
    chosen = value
    for option in options:
        distance = abs((option - start[index] + 180.0) % 360.0 - 180.0)
        current = abs((chosen - start[index] + 180.0) % 360.0 - 180.0)
        if distance >= current - 1e-9:
            continue
        other = maps.columns(orientation_with(start, angles, [option]))
        if np.max(np.abs(other - reference)) <= EQUIVALENT_MAPS * scale:
            chosen = option
    return np.array([chosen])


def wrap_angles(orientation: ArrayLike, angles: Sequence[int], fold: int) -> Float64Array:
    """The fitted angles within one period (gamma's is 360/fold with domains)."""
    wrapped = np.array(orientation, dtype=np.float64)
    for index in angles:
        period = 360.0 / fold if index == 2 and fold > 1 else 360.0
        wrapped[index] = wrapped[index] % period
    return wrapped
