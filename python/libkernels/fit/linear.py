"""The linear part of a fit: at a fixed orientation the model is linear in the
orbitals' weights and the background, solved by bounded linear least squares.

Residuals are weighted by 1/sigma of each pixel: the measurement's own
standard deviations (`sigma`), counting statistics (`poisson`: sigma^2 is the
expected count, first taken from the counts, max(I, 1), then from the model
itself) or one common unknown sigma (`uniform`: the errors are then scaled by
the scatter of the residuals).

A converted map's pixels interpolate measured ones: a pixel's variance is its
expected value times its `counting` factor (kspace/footprint.py), below 1
where it averages several measured pixels, and its first Poisson weights are
the conversion's own estimate of its sigma when it made one from the counts."""

from __future__ import annotations

from typing import TYPE_CHECKING, Dict, Optional, Sequence, Tuple

import numpy as np

from ..core.errors import InputError
from ..core.extras import require
from ..kspace.footprint import COUNTS, SIGMA_SOURCE

if TYPE_CHECKING:
    from types import ModuleType

    from ..core.types import Background, BoolArray, Float64Array
    from .measured import MeasuredMap

BACKGROUNDS: Dict[str, Tuple[str, ...]] = {
    "none": (), "constant": ("constant",), "linear": ("constant", "kx slope", "ky slope")}
ERROR_MODELS = ("auto", "sigma", "poisson", "uniform")
# The smallest expected count a Poisson weight takes: pixels the model leaves
# (nearly) empty would otherwise weigh without bound.
POISSON_FLOOR = 0.1


def require_scipy(module: str = "scipy.optimize") -> ModuleType:
    """A scipy module (MissingExtraError without scipy, naming the 'fit' extra)."""
    return require(module, "fit", "fitting", "scipy")


def require_scipy_optimize() -> ModuleType:
    """scipy.optimize (MissingExtraError without scipy)."""
    return require_scipy("scipy.optimize")


def counted(measured: MeasuredMap) -> bool:
    """Whether the map's sigma is a conversion's estimate from its counts."""
    return measured.attrs.get(SIGMA_SOURCE) == COUNTS


def background_terms(background: Background) -> Tuple[str, ...]:
    """The background's columns, by name: none, a constant, or also slopes in kx and ky."""
    key = "none" if background is None else str(background).strip().lower()
    if key not in BACKGROUNDS:
        raise InputError("background", f"must be none, constant or linear, got {background!r}")
    return BACKGROUNDS[key]


def solve_linear(design: Float64Array, target: Float64Array,
                 n_nonnegative: int) -> Float64Array:
    """Coefficients c minimising |target - design c|^2 with c[:n_nonnegative] >= 0.

    The problem is reduced to its p x p normal form (the same minimiser, far
    fewer rows; columns scaled to unit length first) and solved unconstrained
    when that already respects the bounds, else by scipy's bounded-variable
    least squares.  Directions the columns do not determine (collinear maps)
    are left at the minimum-norm solution.
    """
    lsq_linear = require_scipy_optimize().lsq_linear
    gram = design.T @ design
    projection = design.T @ target
    norms = np.sqrt(np.diag(gram))
    norms[norms == 0] = 1.0
    gram = gram / np.outer(norms, norms)
    projection = projection / norms
    values, vectors = np.linalg.eigh(gram)
    keep = values > values.max() * 1e-13
    root = np.sqrt(values[keep])
    matrix = (vectors[:, keep] * root).T  # matrix^T matrix = gram on the kept space
    rhs = (vectors[:, keep].T @ projection) / root
    coefficients = vectors[:, keep] @ (rhs / root)  # minimum-norm unconstrained solution
    if np.any(coefficients[:n_nonnegative] < 0):
        lower = np.full(design.shape[1], -np.inf)
        lower[:n_nonnegative] = 0.0
        coefficients = lsq_linear(matrix, rhs, bounds=(lower, np.inf), method="bvls",
                                  tol=1e-12).x
    return coefficients / norms


class LinearProblem:
    """One measured map's used pixels, their weights and background columns.

    errors: 'sigma' (the map's own), 'poisson' or 'uniform' (see the module
    notes); True and False stand for 'poisson' and 'uniform'."""

    def __init__(self, measured: MeasuredMap, used: BoolArray, errors: object,
                 terms: Sequence[str], counting: Optional[Float64Array] = None) -> None:
        i, j = np.nonzero(used)
        self.used = used
        self.terms = tuple(terms)
        self.intensity = measured.intensity[used]
        # each pixel's variance per expected count (1: the pixel is a count)
        self.counting = np.ones_like(self.intensity) if counting is None else \
            np.asarray(counting, dtype=np.float64)
        if isinstance(errors, bool):  # the older poisson flag
            errors = "poisson" if errors else "uniform"
        self.errors = str(errors)
        if self.errors == "sigma":
            if measured.sigma is None:
                raise InputError("errors", f"'sigma' needs the measurement's standard "
                                           f"deviations; {measured.source} gives none")
            self.sqrt_weight = 1.0 / measured.sigma[used]
        elif self.errors == "poisson":
            if measured.sigma is not None and counted(measured):
                self.sqrt_weight = 1.0 / measured.sigma[used]  # until the model's
            else:
                self.sqrt_weight = 1.0 / np.sqrt(np.maximum(self.intensity, 1.0)
                                                 * self.counting)
        else:
            self.sqrt_weight = np.ones_like(self.intensity)
        columns = {"constant": np.ones_like(self.intensity), "kx slope": measured.kx[i],
                   "ky slope": measured.ky[j]}
        self.background = np.stack([columns[t] for t in terms], axis=1) if terms else \
            np.zeros((self.intensity.size, 0))
        self.target = self.sqrt_weight * self.intensity

    def reweight(self, model: Float64Array) -> None:
        """Poisson weights from the model's expected counts instead of the measured."""
        self.sqrt_weight = 1.0 / np.sqrt(np.maximum(model, POISSON_FLOOR) * self.counting)
        self.target = self.sqrt_weight * self.intensity

    def design(self, orbital_columns: Float64Array) -> Float64Array:
        """Weighted design matrix [orbital maps | background], column-major."""
        n_orbitals = orbital_columns.shape[1]
        design = np.empty((self.intensity.size, n_orbitals + self.background.shape[1]),
                          order="F")
        design[:, :n_orbitals] = orbital_columns
        design[:, n_orbitals:] = self.background
        design *= self.sqrt_weight[:, None]
        return design

    def solve(self, orbital_columns: Float64Array) -> Tuple[Float64Array, Float64Array]:
        """(coefficients, weighted residual) at these orbital maps."""
        n_orbitals = orbital_columns.shape[1]
        full = np.empty((self.intensity.size, n_orbitals + self.background.shape[1]),
                        order="F")
        full[:, :n_orbitals] = orbital_columns
        full[:, n_orbitals:] = self.background
        return self.solve_design(full, n_orbitals)

    def solve_design(self, unweighted: Float64Array,
                     n_orbitals: int) -> Tuple[Float64Array, Float64Array]:
        """(coefficients, weighted residual) of a whole unweighted design matrix whose
        first `n_orbitals` columns take weights >= 0."""
        design = unweighted * self.sqrt_weight[:, None]
        coefficients = solve_linear(design, self.target, n_orbitals)
        return coefficients, self.target - design @ coefficients
