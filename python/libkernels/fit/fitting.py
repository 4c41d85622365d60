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

from __future__ import annotations

import os
import time
import warnings
from concurrent.futures import ThreadPoolExecutor
from typing import TYPE_CHECKING, Any, Dict, List, Optional, Sequence, Tuple, Union

import numpy as np

from ..core.errors import IdentifiabilityWarning, InputError, MeasuredDataError
from ..core.orientation import ANGLES
from ..core.validation import angles as validated_angles, count, finite, positive
from .linear import LinearProblem, background_terms
from .measured import MeasuredMap, load_measured
from .model import OrbitalMaps
from .orientation_search import search_orientation, wrap_angles
from .result import FitResult, json_floats

if TYPE_CHECKING:
    from ..core.molecule import Molecule
    from ..core.types import BoolArray, Float64Array

__all__ = ["fit_momentum_map", "fit_single_map", "parse_fit_angles", "slice_kinetic_energy",
           "used_pixels", "FitResult"]

# Two orbitals whose maps (with the background projected out) have a cosine
# above this cannot be told apart by the fit: their weights trade off freely.
IDENTIFIABILITY_COSINE = 0.99
ERROR_STEP = 0.05  # degrees, central differences for the standard errors
POISSON_ITERATIONS = 20  # re-weightings by the model at the optimum (3-5 usually do)


# ---- options ---------------------------------------------------------------------

def parse_fit_angles(fit_angles: Union[None, str, Sequence[Union[str, int]]]
                     ) -> Tuple[int, ...]:
    """Indices into (alpha, beta, gamma) of the angles to fit: None, 'none', a name,
    'alpha,gamma', or a list of names or indices."""
    if fit_angles is None:
        return ()
    if isinstance(fit_angles, str):
        fit_angles = [t for t in fit_angles.replace(",", " ").split()]
    chosen: List[int] = []
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


def slice_kinetic_energy(measured: object, kinetic_energy: Optional[float] = None,
                         photon_energy: Optional[float] = None,
                         work_function: Optional[float] = None,
                         binding_energy: Union[float, Float64Array, None] = None) -> float:
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


def used_pixels(measured: MeasuredMap,
                k_range: Optional[Sequence[float]] = None) -> BoolArray:
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
        raise MeasuredDataError(f"{measured.source}: {n_used} usable pixel(s) (finite"
                                + (", inside k_range" if k_range is not None else "")
                                + f") for {n_parameters} fitted quantities")
    if not np.any(measured.intensity[used]):
        raise MeasuredDataError(f"{measured.source}: every pixel to fit is 0; there is "
                                "nothing to fit")
    threads = threads or os.cpu_count() or 1
    executor = ThreadPoolExecutor(max_workers=threads) if threads > 1 and len(names) > 1 \
        else None
    model_options = dict(kinetic_energy=energy, spin=spin, symmetry=symmetry, mirrors=mirrors,
                         polarisation=polarisation, incidence=incidence, azimuth=azimuth,
                         s_share=s_share, executor=executor, max_memory=max_memory)
    try:
        maps = OrbitalMaps(molecule, names, measured.kx, measured.ky, used, **model_options)
        problem = LinearProblem(measured, used, poisson, terms)
        if angles:
            best, n_scan = search_orientation(measured, used, molecule, names, problem, maps,
                                              start, angles, terms, poisson, starts,
                                              model_options, progress)
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
                       "orientation_start": json_floats(start)}
    return result


def _result(measured: MeasuredMap, molecule: Molecule, names: List[str], maps: OrbitalMaps,
            problem: LinearProblem, orientation: Float64Array, angles: Tuple[int, ...],
            terms: Tuple[str, ...], energy: float, model_image: bool,
            model_options: Dict[str, Any], poisson: bool) -> FitResult:
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
        image_problem = LinearProblem(measured, image_used, False, terms)
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
        orientation=wrap_angles(orientation, angles, maps.fold),
        orientation_errors=orientation_errors, fit_angles=tuple(ANGLES[i] for i in angles),
        background=background, background_errors=errors[n_orbitals:n_orbitals + len(terms)],
        background_terms=terms, r_factor=r_factor, chi2_reduced=chi2_reduced,
        n_pixels=n_used, kinetic_energy_ev=energy, model_grid=maps.grid.kind,
        kx=measured.kx, ky=measured.ky, measured=measured.intensity, model=model,
        residual=measured.intensity - model, mask=problem.used, covariance=covariance,
        parameter_names=parameter_names, weight_sums=sums, warnings=messages,
        n_evaluations=maps.evaluations, seconds_per_evaluation=one_evaluation,
        source=measured.source)


def _identifiability(names: List[str], problem: LinearProblem, columns: Float64Array,
                     coefficients: Float64Array, covariance: Float64Array
                     ) -> Tuple[List[Dict[str, Any]], List[str]]:
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

    def root(a: int) -> int:
        while group[a] != a:
            a = group[a]
        return a

    for a in range(n):
        for b in range(a + 1, n):
            if cosine[a, b] > IDENTIFIABILITY_COSINE:
                group[root(b)] = root(a)
    sums: List[Dict[str, Any]] = []
    messages: List[str] = []
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
