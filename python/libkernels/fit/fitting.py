"""Fitting a measured momentum map with orbital maps: weights, orientation, background.

    model(k) = sum_i w_i * D[map_i](k) * P(k) + background(k)

map_i is orbital i's momentum map at the molecule's orientation, all orbitals at
the slice's one kinetic energy; D averages over the molecule's domains on the
surface (when asked) and P is the light's polarisation factor (when asked); the
background is none, a constant, or a constant plus slopes in kx and ky (1/Å).

At a fixed orientation the model is linear in the weights and the background,
which are solved for by bounded linear least squares (weights >= 0).  Chosen
orientation angles are fitted around that solve (variable projection): a
coarse scan over each angle's range on a subsampled copy of the measured map
finds the candidate minima (a symmetric molecule repeats itself, and local
minima are common), and scipy's least_squares refines the best few at full
resolution.  Standard errors come from the Jacobian of the full model with
respect to every fitted quantity at the optimum, scaled by the reduced
chi-square.

Residuals are weighted uniformly, or with `poisson` (counting statistics) by
1/max(I, 1) while the orientation is searched, then by 1/max(model, 1) at the
optimum, iterated to convergence (the Poisson maximum-likelihood weights):
weights from the measured counts alone favour pixels that fluctuated low and
pull a background of a few tens of counts down by about one count, far outside
its stated error.
"""

import itertools
import math
import os
import time
import warnings
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass, field
from typing import Optional

import numpy as np

from .measured import MeasuredDataError, MeasuredMap, load_measured
from .validation import InputError, angles as validated_angles, count, finite, positive
from .measured_model import OrbitalMaps
from .progress import progress_bar

ANGLES = ("alpha", "beta", "gamma")
BACKGROUNDS = {"none": (), "constant": ("constant",),
               "linear": ("constant", "kx slope", "ky slope")}
# Two orbitals whose maps (with the background projected out) have a cosine
# above this cannot be told apart by the fit: their weights trade off freely.
IDENTIFIABILITY_COSINE = 0.99
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
ERROR_STEP = 0.05  # degrees, central differences for the standard errors
POISSON_ITERATIONS = 20  # re-weightings by the model at the optimum (3-5 usually do)


class IdentifiabilityWarning(UserWarning):
    """Two or more orbitals' weights cannot be separated by the fit."""


@dataclass
class FitResult:
    """The outcome of fit_momentum_map.

    Arrays for display and further work (numpy):
      measured[i, j], model[i, j], residual[i, j] at (kx[i], ky[j]), kx and ky in
      1/Å; residual = measured - model, NaN where the measured pixel is NaN;
      mask[i, j] is True for the pixels the fit used (finite, inside k_range).
    Fitted values with standard errors: weights / weight_errors (one per
    orbital), orientation / orientation_errors ([alpha, beta, gamma] in degrees,
    errors 0 for angles not fitted), background / background_errors (one per
    background_terms entry).  Quality: r_factor = sum (I - model)^2 / sum I^2
    over the used pixels, chi2_reduced, n_pixels.
    """

    orbitals: list
    weights: np.ndarray
    weight_errors: np.ndarray
    orientation: np.ndarray
    orientation_errors: np.ndarray
    fit_angles: tuple
    background: np.ndarray
    background_errors: np.ndarray
    background_terms: tuple
    r_factor: float
    chi2_reduced: float
    n_pixels: int
    kinetic_energy_ev: float
    model_grid: str
    kx: np.ndarray
    ky: np.ndarray
    measured: np.ndarray
    model: np.ndarray
    residual: np.ndarray
    mask: np.ndarray
    covariance: Optional[np.ndarray] = None
    parameter_names: list = field(default_factory=list)
    weight_sums: list = field(default_factory=list)
    warnings: list = field(default_factory=list)
    n_evaluations: int = 0
    n_scan_evaluations: int = 0
    seconds_per_evaluation: float = 0.0
    elapsed_seconds: float = 0.0
    source: str = ""
    settings: dict = field(default_factory=dict)

    def to_dict(self):
        """The fitted values as plain JSON-ready Python values."""
        return {
            "orbitals": list(self.orbitals),
            "weights": _floats(self.weights),
            "weight_errors": _floats(self.weight_errors),
            "orientation": _floats(self.orientation),
            "orientation_errors": _floats(self.orientation_errors),
            "background": _floats(self.background),
            "r_factor": float(self.r_factor),
            "chi2_reduced": float(self.chi2_reduced),
            "kinetic_energy_ev": float(self.kinetic_energy_ev),
            "n_pixels": int(self.n_pixels),
            "model_grid": self.model_grid,
            "background_errors": _floats(self.background_errors),
            "background_terms": list(self.background_terms),
            "fit_angles": list(self.fit_angles),
            "weight_sums": self.weight_sums,
            "warnings": list(self.warnings),
            "n_evaluations": int(self.n_evaluations),
            "n_scan_evaluations": int(self.n_scan_evaluations),
            "seconds_per_evaluation": float(self.seconds_per_evaluation),
            "elapsed_seconds": float(self.elapsed_seconds),
            "source": self.source,
            "settings": self.settings,
        }

    def to_xarray(self):
        """measured, model, residual and mask as an xarray.Dataset on (kx, ky), with
        the fitted values in its attributes."""
        import json

        import xarray as xr

        coords = {"kx": ("kx", self.kx, {"units": "1/angstrom"}),
                  "ky": ("ky", self.ky, {"units": "1/angstrom"})}
        variables = {name: (("kx", "ky"), getattr(self, name))
                     for name in ("measured", "model", "residual", "mask")}
        return xr.Dataset(variables, coords=coords,
                          attrs={"fit": json.dumps(self.to_dict())})

    def report(self):
        """A short text table of the fitted values."""
        lines = [f"fit of {self.source}: {len(self.orbitals)} orbital(s) at E_kin "
                 f"{self.kinetic_energy_ev:.3f} eV, {self.n_pixels} pixels, model grid "
                 f"{self.model_grid}",
                 f"  {'quantity':<24}{'value':>14}{'error':>12}"]
        for name, value, error in zip(self.orbitals, self.weights, self.weight_errors):
            lines.append(f"  {'weight ' + name:<24}{value:14.6g}{error:12.3g}")
        for index in (ANGLES.index(a) for a in self.fit_angles):
            lines.append(f"  {ANGLES[index] + ' (deg)':<24}{self.orientation[index]:14.4f}"
                         f"{self.orientation_errors[index]:12.3g}")
        for name, value, error in zip(self.background_terms, self.background,
                                      self.background_errors):
            lines.append(f"  {'background ' + name:<24}{value:14.6g}{error:12.3g}")
        for group in self.weight_sums:
            lines.append(f"  {'sum ' + '+'.join(group['orbitals']):<24}{group['sum']:14.6g}"
                         f"{group['error']:12.3g}")
        fixed = [a for a in ANGLES if a not in self.fit_angles]
        if fixed:
            lines.append("  fixed: " + ", ".join(
                f"{a} {self.orientation[ANGLES.index(a)]:g} deg" for a in fixed))
        lines.append(f"  R-factor {self.r_factor:.4g}, reduced chi2 {self.chi2_reduced:.4g}; "
                     f"{self.n_evaluations} model evaluations (+{self.n_scan_evaluations} "
                     f"in the scan), {self.elapsed_seconds:.2f} s")
        lines += [f"  warning: {w}" for w in self.warnings]
        return "\n".join(lines)

    def plot(self, path=None, title=None):
        """Measured | model | residual on the same k axes and intensity scale; saves
        to `path` when given and returns the matplotlib Figure."""
        from .fit_plots import plot_fit
        return plot_fit(self, path, title)

    def save(self, directory):
        """Writes fit.json, fit.png and model.npy into `directory`."""
        import json
        os.makedirs(directory, exist_ok=True)
        with open(os.path.join(directory, "fit.json"), "w") as handle:
            json.dump(self.to_dict(), handle, indent=1)
        np.save(os.path.join(directory, "model.npy"), self.model)
        self.plot(os.path.join(directory, "fit.png"))
        return directory


def _floats(values):
    """Plain floats for JSON; undetermined values (NaN) become None (null)."""
    return [float(v) if np.isfinite(v) else None
            for v in np.asarray(values, dtype=np.float64).reshape(-1)]


# ---- options ---------------------------------------------------------------------

def parse_fit_angles(fit_angles):
    """Indices into (alpha, beta, gamma) of the angles to fit: None, 'none', a name,
    'alpha,gamma', or a list of names or indices."""
    if fit_angles is None:
        return ()
    if isinstance(fit_angles, str):
        fit_angles = [t for t in fit_angles.replace(",", " ").split()]
    chosen = []
    for angle in fit_angles:
        if isinstance(angle, str):
            key = angle.strip().lower()
            if key in ("", "none"):
                continue
            if key not in ANGLES:
                raise InputError("fit_angles", f"names an unknown angle {angle!r}; choose "
                                               f"from none, {', '.join(ANGLES)}")
            index = ANGLES.index(key)
        else:
            index = int(angle)
            if index not in (0, 1, 2):
                raise InputError("fit_angles", f"index {angle} is not 0, 1 or 2")
        if index not in chosen:
            chosen.append(index)
    return tuple(sorted(chosen))


def background_terms(background):
    key = "none" if background is None else str(background).strip().lower()
    if key not in BACKGROUNDS:
        raise InputError("background", f"must be none, constant or linear, got {background!r}")
    return BACKGROUNDS[key]


def slice_kinetic_energy(measured, kinetic_energy=None, photon_energy=None,
                         work_function=None, binding_energy=None):
    """The one kinetic energy (eV) of a measured slice: given, or photon energy -
    work function - binding energy (the slice's own when it carries one)."""
    if kinetic_energy is not None:
        if photon_energy is not None:
            raise InputError("kinetic_energy", "and photon_energy exclude each other; give one "
                                               "(photon_energy with work_function and "
                                               "binding_energy)")
        return positive(kinetic_energy, "kinetic_energy", "eV")
    else:
        if photon_energy is None or work_function is None:
            raise InputError("kinetic_energy", "is missing; give it, or photon_energy, "
                                               "work_function and binding_energy")
        if binding_energy is None and isinstance(measured, MeasuredMap) and \
                measured.binding_energy is not None and not measured.is_stack:
            binding_energy = measured.binding_energy
        if binding_energy is None:
            raise InputError("binding_energy", "is missing: photon_energy needs the slice's "
                                               "binding energy (E_kin = photon energy - work "
                                               "function - binding energy)")
        energy = (finite(photon_energy, "photon_energy", "eV")
                  - finite(work_function, "work_function", "eV")
                  - finite(binding_energy, "binding_energy", "eV"))
        if not energy > 0:
            raise InputError("photon_energy", f"minus work_function and binding_energy leaves "
                                              f"a kinetic energy of {energy:g} eV; it must be "
                                              "positive")
    return energy


def used_pixels(measured, k_range=None):
    """Finite pixels inside the annulus k_range = (k_min, k_max) in 1/Å."""
    used = np.isfinite(measured.intensity)
    if k_range is not None:
        k_range = tuple(finite(v, "k_range", "1/Å") for v in k_range)
        if len(k_range) != 2 or not (0 <= k_range[0] < k_range[1]):
            raise InputError("k_range", f"must be (k_min, k_max) with 0 <= k_min < k_max in "
                                        f"1/Å, got {k_range}")
        radius = np.hypot(measured.kx[:, None], measured.ky[None, :])
        used &= (radius >= k_range[0]) & (radius <= k_range[1])
    return used


# ---- the linear part ---------------------------------------------------------------

def solve_linear(design, target, n_nonnegative):
    """Coefficients c minimising |target - design c|^2 with c[:n_nonnegative] >= 0.

    The problem is reduced to its p x p normal form (the same minimiser, far
    fewer rows; columns scaled to unit length first) and solved unconstrained
    when that already respects the bounds, else by scipy's bounded-variable
    least squares.  Directions the columns do not determine (collinear maps)
    are left at the minimum-norm solution.
    """
    from scipy.optimize import lsq_linear

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


class _Problem:
    """One measured map's used pixels, their weights and background columns."""

    def __init__(self, measured, used, poisson, terms):
        i, j = np.nonzero(used)
        self.used = used
        self.intensity = measured.intensity[used]
        self.sqrt_weight = (1.0 / np.sqrt(np.maximum(self.intensity, 1.0)) if poisson
                            else np.ones_like(self.intensity))
        columns = {"constant": np.ones_like(self.intensity), "kx slope": measured.kx[i],
                   "ky slope": measured.ky[j]}
        self.background = np.stack([columns[t] for t in terms], axis=1) if terms else \
            np.zeros((self.intensity.size, 0))
        self.target = self.sqrt_weight * self.intensity

    def reweight(self, model):
        """Poisson weights from the model's expected counts instead of the measured."""
        self.sqrt_weight = 1.0 / np.sqrt(np.maximum(model, 1.0))
        self.target = self.sqrt_weight * self.intensity

    def design(self, orbital_columns):
        """Weighted design matrix [orbital maps | background], column-major."""
        n_orbitals = orbital_columns.shape[1]
        design = np.empty((self.intensity.size, n_orbitals + self.background.shape[1]),
                          order="F")
        design[:, :n_orbitals] = orbital_columns
        design[:, n_orbitals:] = self.background
        design *= self.sqrt_weight[:, None]
        return design

    def solve(self, orbital_columns):
        """(coefficients, weighted residual) at these orbital maps."""
        design = self.design(orbital_columns)
        coefficients = solve_linear(design, self.target, orbital_columns.shape[1])
        return coefficients, self.target - design @ coefficients


# ---- the fit -----------------------------------------------------------------------

def _subsampled(measured, used, side=SCAN_SIDE):
    stride = max(1, math.ceil(max(measured.intensity.shape) / side))
    if stride == 1:
        return measured, used
    coarse = MeasuredMap(measured.intensity[::stride, ::stride], measured.kx[::stride],
                         measured.ky[::stride], None, measured.source)
    return coarse, used[::stride, ::stride]


def _scan_axes(fit_angles, fold, points, start):
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


def _local_minima(costs, periodic):
    """Flat indices of the grid points no neighbour undercuts, best first."""
    minima = np.ones(costs.shape, dtype=bool)
    for axis, wraps in enumerate(periodic):
        if costs.shape[axis] < 2:
            continue
        for shift in (1, -1):
            neighbour = np.roll(costs, shift, axis=axis)
            if not wraps:
                edge = [slice(None)] * costs.ndim
                edge[axis] = 0 if shift == 1 else -1
                neighbour[tuple(edge)] = np.inf
            minima &= costs <= neighbour
    order = np.argsort(costs, axis=None)
    return [int(k) for k in order if minima.reshape(-1)[k]] or [int(order[0])]


def _orientation_with(start, fit_angles, values):
    orientation = np.array(start, dtype=np.float64)
    orientation[list(fit_angles)] = values
    return orientation


def fit_momentum_map(measured, molecule, orbitals, *, kinetic_energy=None, photon_energy=None,
                     work_function=None, binding_energy=None, spin="alpha", symmetry=None,
                     mirrors=True, polarisation=None, incidence=65.0, azimuth=0.0,
                     s_share=0.0, orientation=(0.0, 0.0, 0.0), fit_angles=None,
                     background="constant", k_range=None, poisson=False, starts=None,
                     threads=None, progress=True, model_image=True, max_memory=None):
    """Fits orbital weights, chosen orientation angles and a background to a
    measured momentum map; returns a FitResult.

    measured: a MeasuredMap, a file path, an xarray.DataArray or (intensity, kx,
    ky).  orbitals: names ('HOMO', 'HOMO-1', ...) or indices.  Options:
      kinetic_energy, or photon_energy + work_function + binding_energy (eV; the
        slice's own binding energy when it carries one): one E_kin for all orbitals;
      symmetry: None, 2, 3 or 4 domains about k = 0, with their mirror images
        unless mirrors=False;
      polarisation, incidence, azimuth, s_share: the light, as momentum_map_sum;
      orientation: [alpha, beta, gamma] in degrees, the start and the value of
        angles not fitted; fit_angles: None, 'gamma', 'alpha,beta,gamma', ...;
      background: 'none', 'constant' (default) or 'linear';
      k_range: (k_min, k_max) in 1/Å, the annulus of pixels to fit;
      poisson: counts: weight residuals by 1/max(I, 1) in the orientation search
        and by 1/max(model, 1) at the optimum (see the module notes);
      starts: scan points per fitted angle (1: refine from `orientation` only);
      threads: orbitals computed in parallel (default: all CPUs); progress;
      spin; model_image: also compute the model on the pixels not fitted
      (masked or outside k_range) for FitResult.model; max_memory: the memory
      guard's limit for the model maps (bytes or '8G'; default: half the
      available memory, or LIBKERNELS_MAX_MEMORY).
    Warns (IdentifiabilityWarning) when orbitals cannot be told apart.
    """
    options = {k: v for k, v in locals().items()
               if k not in ("measured", "molecule", "orbitals")}
    result = fit_single_map(measured, molecule, orbitals, **options)
    for message in result.warnings:
        warnings.warn(message, IdentifiabilityWarning, stacklevel=2)
    return result


def fit_single_map(measured, molecule, orbitals, *, kinetic_energy=None, photon_energy=None,
                     work_function=None, binding_energy=None, spin="alpha", symmetry=None,
                     mirrors=True, polarisation=None, incidence=65.0, azimuth=0.0,
                     s_share=0.0, orientation=(0.0, 0.0, 0.0), fit_angles=None,
                     background="constant", k_range=None, poisson=False, starts=None,
                     threads=None, progress=True, model_image=True, max_memory=None):
    """fit_momentum_map without the warnings (they are in result.warnings)."""
    clock = time.perf_counter()
    measured = load_measured(measured)
    if measured.is_stack:
        raise MeasuredDataError(f"{measured.source}: a stack of {measured.intensity.shape[0]} "
                                "slices; fit one slice, or use deconvolve for the stack")
    energy = slice_kinetic_energy(measured, kinetic_energy, photon_energy, work_function,
                                  binding_energy)
    angles = parse_fit_angles(fit_angles)
    terms = background_terms(background)
    start = np.array(validated_angles(orientation), dtype=np.float64)
    starts = None if starts is None else count(starts, "starts", 1)
    names = [str(o) for o in ([orbitals] if isinstance(orbitals, (str, int, np.integer))
                              else orbitals)]
    if not names:
        raise InputError("orbitals", "selects no orbital")
    used = used_pixels(measured, k_range)
    n_parameters = len(names) + len(terms) + len(angles)
    n_used = int(np.count_nonzero(used))
    if n_used <= n_parameters:
        raise ValueError(f"{measured.source}: {n_used} usable pixel(s) (finite"
                         + (", inside k_range" if k_range is not None else "")
                         + f") for {n_parameters} fitted quantities")
    if not np.any(measured.intensity[used]):
        raise ValueError(f"{measured.source}: every pixel to fit is 0; there is nothing to fit")
    threads = threads or os.cpu_count() or 1
    executor = ThreadPoolExecutor(max_workers=threads) if threads > 1 and len(names) > 1 \
        else None
    model_options = dict(kinetic_energy=energy, spin=spin, symmetry=symmetry, mirrors=mirrors,
                         polarisation=polarisation, incidence=incidence, azimuth=azimuth,
                         s_share=s_share, executor=executor, max_memory=max_memory)
    try:
        maps = OrbitalMaps(molecule, names, measured.kx, measured.ky, used, **model_options)
        problem = _Problem(measured, used, poisson, terms)
        if angles:
            best, n_scan = _fit_angles(measured, used, molecule, names, problem, maps, start,
                                       angles, terms, poisson, starts, model_options,
                                       progress)
        else:
            best, n_scan = start, 0
        result = _result(measured, molecule, names, maps, problem, best, angles, terms,
                         energy, model_image, model_options, poisson)
    finally:
        if executor is not None:
            executor.shutdown()
    result.n_scan_evaluations = n_scan
    result.elapsed_seconds = time.perf_counter() - clock
    result.settings = {"symmetry": symmetry, "mirrors": bool(mirrors),
                       "polarisation": polarisation, "incidence": float(incidence),
                       "azimuth": float(azimuth), "s_share": float(s_share),
                       "k_range": None if k_range is None else [float(v) for v in k_range],
                       "poisson": bool(poisson), "spin": spin,
                       "orientation_start": _floats(start)}
    return result


class _Projected:
    """The residual of the best linear solve as a function of the fitted angles
    (variable projection), with a forward-difference Jacobian; remembers the
    last point so least_squares' paired calls cost one evaluation."""

    def __init__(self, maps, problem, start, angles):
        self.maps, self.problem, self.start, self.angles = maps, problem, start, angles
        self._last = (None, None)

    def residual(self, values):
        values = np.asarray(values, dtype=np.float64)
        if self._last[0] is not None and np.array_equal(values, self._last[0]):
            return self._last[1]
        columns = self.maps.columns(_orientation_with(self.start, self.angles, values))
        result = self.problem.solve(columns)[1]
        self._last = (values.copy(), result)
        return result

    def jacobian(self, values):
        base = self.residual(values)
        columns = []
        for a in range(len(values)):
            shifted = np.array(values, dtype=np.float64)
            shifted[a] += JACOBIAN_STEP
            columns.append((self.residual(shifted) - base) / JACOBIAN_STEP)
        return np.stack(columns, axis=1)

    def refine(self, values):
        """Local least-squares refinement from `values`: (angles, cost)."""
        from scipy.optimize import least_squares

        fit = least_squares(self.residual, np.asarray(values, dtype=np.float64),
                            jac=self.jacobian, method="trf", x_scale=10.0, xtol=1e-6,
                            ftol=1e-9, gtol=1e-10, max_nfev=40)
        return fit.x, float(fit.cost)


def _fit_angles(measured, used, molecule, names, problem, maps, start, angles, terms,
                poisson, starts, model_options, progress):
    """Variable projection over the chosen angles.

    A scan over each angle's range on a subsampled copy of the map finds the
    local minima; the best few are refined on that copy, orientations giving
    the same maps (a symmetric molecule's repeats) are dropped, and the rest
    are refined on the full map.  Returns (orientation, scan evaluations).
    """
    points = SCAN_POINTS[len(angles)] if starts is None else count(starts, "starts", 1)
    full = _Projected(maps, problem, start, angles)
    if points == 1:
        return _orientation_with(start, angles, full.refine(start[list(angles)])[0]), 0

    coarse, coarse_used = _subsampled(measured, used)
    scan_maps = OrbitalMaps(molecule, names, coarse.kx, coarse.ky, coarse_used,
                            **model_options)
    scan = _Projected(scan_maps, _Problem(coarse, coarse_used, poisson, terms), start, angles)
    axes = _scan_axes(angles, maps.fold, points, start)
    grid = list(itertools.product(*axes))
    costs = np.empty(len(grid))
    bar = progress_bar(len(grid), "orientation scan", progress, unit="orientation")
    try:
        for k, values in enumerate(grid):
            costs[k] = np.sum(scan.residual(values) ** 2)
            bar.update()
    finally:
        bar.close()
    periodic = [index != 1 for index in angles]
    minima = _local_minima(costs.reshape([len(a) for a in axes]), periodic)

    refined = sorted((scan.refine(np.array(grid[k]))[::-1] for k in minima[:REFINE_CANDIDATES]),
                     key=lambda pair: pair[0])
    kept, kept_maps = [], []
    for cost, values in refined:
        if cost > refined[0][0] * (1 + CANDIDATE_SLACK) or len(kept) == FULL_CANDIDATES:
            break
        these = scan_maps.columns(_orientation_with(start, angles, values))
        if any(np.max(np.abs(these - other)) <= 10 * EQUIVALENT_MAPS * np.max(np.abs(other))
               for other in kept_maps):
            continue  # the same maps as a candidate already kept: an equivalent orientation
        kept.append(values)
        kept_maps.append(these)
    best, best_cost = None, np.inf
    for values in kept:
        values, cost = full.refine(values)
        if cost < best_cost:
            best, best_cost = values, cost
    if len(angles) == 1:
        best = _nearest_equivalent(scan_maps, start, angles, best)
    return _orientation_with(start, angles, best), scan_maps.evaluations


def _nearest_equivalent(maps, start, angles, values):
    """Of the angles giving the same maps as `values` (a symmetric molecule's
    repeats: quarter turns and mirror images of the angle), the one nearest the
    start, so that equivalent answers come out alike."""
    (index,), (value,) = angles, values
    if index == 1:
        options = [value, -value, 180.0 - value, 180.0 + value]
    else:
        options = [sign * value + 90.0 * k for k in range(4) for sign in (1, -1)]
    reference = maps.columns(_orientation_with(start, angles, values))
    scale = np.max(np.abs(reference))
    chosen = value
    for option in options:
        distance = abs((option - start[index] + 180.0) % 360.0 - 180.0)
        current = abs((chosen - start[index] + 180.0) % 360.0 - 180.0)
        if distance >= current - 1e-9:
            continue
        other = maps.columns(_orientation_with(start, angles, [option]))
        if np.max(np.abs(other - reference)) <= EQUIVALENT_MAPS * scale:
            chosen = option
    return np.array([chosen])


def _wrap(orientation, angles, fold):
    wrapped = np.array(orientation, dtype=np.float64)
    for index in angles:
        period = 360.0 / fold if index == 2 and fold > 1 else 360.0
        wrapped[index] = wrapped[index] % period
    return wrapped


def _result(measured, molecule, names, maps, problem, orientation, angles, terms, energy,
            model_image, model_options, poisson):
    timer = time.perf_counter()
    columns = maps.columns(orientation)
    one_evaluation = time.perf_counter() - timer
    coefficients, residual = problem.solve(columns)
    if poisson:
        for _ in range(POISSON_ITERATIONS):
            unweighted = np.concatenate([columns, problem.background], axis=1)
            problem.reweight(unweighted @ coefficients)
            previous = coefficients
            coefficients, residual = problem.solve(columns)
            if np.allclose(coefficients, previous, rtol=1e-7, atol=0):
                break
    n_orbitals = len(names)
    weights, background = coefficients[:n_orbitals], coefficients[n_orbitals:]

    # Jacobian of the weighted model with respect to every fitted quantity.
    design = problem.design(columns)
    blocks = [design]
    for index in angles:
        step = np.zeros(3)
        step[index] = ERROR_STEP
        plus = maps.columns(orientation + step) @ weights
        minus = maps.columns(orientation - step) @ weights
        blocks.append((problem.sqrt_weight * (plus - minus) / (2 * ERROR_STEP))[:, None])
    jacobian = np.concatenate(blocks, axis=1)
    n_used = problem.intensity.size
    dof = max(n_used - jacobian.shape[1], 1)
    chi2_reduced = float(np.sum(residual ** 2) / dof)
    norms = np.linalg.norm(jacobian, axis=0)
    norms[norms == 0] = 1.0
    scaled = jacobian / norms
    covariance = np.linalg.pinv(scaled.T @ scaled, hermitian=True) / np.outer(norms, norms)
    covariance *= chi2_reduced
    errors = np.sqrt(np.clip(np.diag(covariance), 0, None))
    blank = np.flatnonzero(~np.any(columns, axis=0))
    errors[blank] = np.nan  # a map that is 0 on every fitted pixel fixes no weight

    orientation_errors = np.zeros(3)
    for k, index in enumerate(angles):
        orientation_errors[index] = errors[n_orbitals + len(terms) + k]

    unweighted = problem.intensity - (problem.design(columns) @ coefficients) / \
        problem.sqrt_weight
    r_factor = float(np.sum(unweighted ** 2) / np.sum(problem.intensity ** 2))

    sums, messages = _identifiability(names, problem, columns, coefficients, covariance)
    messages += [f"the map of {names[o]} is 0 on every fitted pixel (beyond its photoemission "
                 f"disc, |k| > {maps.disc_radius:.3g} 1/Å?): its weight is undetermined"
                 for o in blank]

    # The model on every measured pixel, for pictures and model.npy.
    full = np.ones(measured.intensity.shape, dtype=bool)
    if model_image:
        if problem.used.all():
            image_columns, image_used = columns, problem.used
        else:
            image_maps = OrbitalMaps(molecule, names, measured.kx, measured.ky, full,
                                     **model_options)
            image_columns, image_used = image_maps.columns(orientation), full
        image_problem = _Problem(measured, image_used, False, terms)
        model = np.full(measured.intensity.shape, np.nan)
        model[image_used] = np.concatenate([image_columns, image_problem.background],
                                           axis=1) @ coefficients
    else:
        model = np.full(measured.intensity.shape, np.nan)
        model[problem.used] = problem.intensity - unweighted

    parameter_names = ([f"weight {n}" for n in names] + [f"background {t}" for t in terms]
                       + [ANGLES[i] for i in angles])
    return FitResult(
        orbitals=names, weights=weights, weight_errors=errors[:n_orbitals],
        orientation=_wrap(orientation, angles, maps.fold),
        orientation_errors=orientation_errors, fit_angles=tuple(ANGLES[i] for i in angles),
        background=background, background_errors=errors[n_orbitals:n_orbitals + len(terms)],
        background_terms=terms, r_factor=r_factor, chi2_reduced=chi2_reduced,
        n_pixels=n_used, kinetic_energy_ev=energy, model_grid=maps.grid.kind,
        kx=measured.kx, ky=measured.ky, measured=measured.intensity, model=model,
        residual=measured.intensity - model, mask=problem.used, covariance=covariance,
        parameter_names=parameter_names, weight_sums=sums, warnings=messages,
        n_evaluations=maps.evaluations, seconds_per_evaluation=one_evaluation,
        source=measured.source)


def _identifiability(names, problem, columns, coefficients, covariance):
    """Groups of orbitals whose maps are nearly collinear once the background is
    projected out: their weights trade off; their sum is still determined."""
    weighted = problem.sqrt_weight[:, None] * columns
    background = problem.sqrt_weight[:, None] * problem.background
    if background.shape[1]:
        basis, _ = np.linalg.qr(background)
        weighted = weighted - basis @ (basis.T @ weighted)
    norms = np.linalg.norm(weighted, axis=0)
    norms[norms == 0] = 1.0
    cosine = np.abs((weighted / norms).T @ (weighted / norms))
    n = len(names)
    group = list(range(n))

    def root(a):
        while group[a] != a:
            a = group[a]
        return a

    for a in range(n):
        for b in range(a + 1, n):
            if cosine[a, b] > IDENTIFIABILITY_COSINE:
                group[root(b)] = root(a)
    sums, messages = [], []
    for leader in sorted({root(a) for a in range(n)}):
        members = [a for a in range(n) if root(a) == leader]
        if len(members) < 2:
            continue
        total = float(np.sum(coefficients[members]))
        error = float(np.sqrt(max(np.sum(covariance[np.ix_(members, members)]), 0.0)))
        labels = [names[a] for a in members]
        worst = max(cosine[a, b] for a in members for b in members if a < b)
        sums.append({"orbitals": labels, "sum": total, "error": error})
        messages.append(f"the weights of {', '.join(labels)} are not separately identifiable "
                        f"(their maps are nearly collinear, cosine {worst:.4f}); their sum is "
                        f"{total:.6g} +- {error:.3g}")
    return sums, messages
