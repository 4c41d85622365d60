"""The fit of one measured map (fit_map): what the fit's request and the
deconvolution of stacks run, from the plan a request resolves (request.py).

The error model is chosen (`auto`), the orbitals' maps and the instrument set
up at the used pixels (model.py, forward.py), the nonlinear parameters searched
(orientation_search.py; symmetry.py for the orientations that give the same
maps), Poisson weights made the model's until the parameters settle, alpha and
gamma merged where they are one angle, the angles made canonical, and the
result assembled: the covariance of every fitted quantity, the goodness and
the warnings (see request.py's module notes for what each means).
"""

from __future__ import annotations

import os
import time
from concurrent.futures import ThreadPoolExecutor
from dataclasses import replace
from typing import TYPE_CHECKING, Any, Dict, List, Optional, Sequence, Tuple

import numpy as np

from ..core.errors import InputError, MeasuredDataError
from ..core.orientation import ANGLES
from ..core.validation import finite
from ..kspace.convert import INFORMATION_RATIO
from .forward import ForwardModel, Instrument
from .linear import LinearProblem, require_scipy
from .measured import MeasuredMap
from .model import ModelSettings, OrbitalMaps
from .orientation_search import ProjectedResidual, search, subsampled
from .result import CodedWarning, FitResult, json_floats
from .symmetry import Symmetry as MapSymmetry, describe

if TYPE_CHECKING:
    from ..core.molecule import Molecule
    from ..core.types import BoolArray, Float64Array
    from .plan import FitPlan

# Two orbitals whose maps (with the background projected out) have a cosine
# above this cannot be told apart by the fit: their weights trade off freely.
IDENTIFIABILITY_COSINE = 0.99
POISSON_ITERATIONS = 20  # re-weightings by the model at the optimum (3-5 usually do)
# The nonlinear parameters have settled when none moves by more than this
# share of its typical change between two re-weightings.
SETTLED = 1e-4
# A misfit: chi2_red above 1 by more than this many expected spreads sqrt(2/dof).
MISFIT_SPREADS = 5.0
# alpha and gamma are one angle when their correlation is beyond this.
DEGENERATE_CORRELATION = 0.99


def checked_k_range(k_range: Optional[Sequence[float]]) -> Optional[Tuple[float, float]]:
    """(k_min, k_max) in 1/Å with 0 <= k_min < k_max, or None."""
    if k_range is None:
        return None
    values = tuple(finite(v, "k_range", "1/Å") for v in k_range)
    if len(values) != 2 or not (0 <= values[0] < values[1]):
        raise InputError("k_range", f"must be (k_min, k_max) with 0 <= k_min < k_max in "
                                    f"1/Å, got {values}")
    return values[0], values[1]


def used_pixels(measured: MeasuredMap,
                k_range: Optional[Sequence[float]] = None) -> BoolArray:
    """Finite pixels inside the annulus k_range = (k_min, k_max) in 1/Å."""
    used = np.isfinite(measured.intensity)
    checked = checked_k_range(k_range)
    if checked is not None:
        radius = np.hypot(measured.kx[:, None], measured.ky[None, :])
        used &= (radius >= checked[0]) & (radius <= checked[1])
    return used


def resolved_errors(plan: FitPlan, measured: MeasuredMap,
                    used: BoolArray) -> Tuple[str, List[CodedWarning]]:
    """The error model a fit uses, and the warning `auto` gives when it falls back
    to uniform errors."""
    asked = plan.error_model
    if asked != "auto":
        return asked, []
    if measured.sigma is not None:
        return "sigma", []
    values = measured.intensity[used]
    if np.all(values >= 0) and np.all(values == np.round(values)):
        return "poisson", []
    return "uniform", [CodedWarning(
        code="scaled-errors",
        message=f"the measured map ({measured.source}) gives no sigma and its intensities "
                "are not whole counts: the fit weighs every pixel alike and scales the "
                "errors by the scatter of the residuals, so chi2_red cannot tell a misfit "
                "(give sigma, or --errors poisson for counts)")]


def fit_map(plan: FitPlan, measured: MeasuredMap, molecule: Molecule, energy: float, *,
            instrument_values: Optional[Dict[str, Any]] = None) -> FitResult:
    """The fit of one measured slice at kinetic energy `energy` (eV), starting from
    the plan's orientation and fitting its angles; with `instrument_values` the
    instrument is fixed at them.  Warnings go into result.warnings."""
    clock = time.perf_counter()
    start, angles, terms, names = np.asarray(plan.start, float), plan.angles, plan.terms, \
        list(plan.names)
    used = used_pixels(measured, plan.k_range)
    flat = plan.flat_at(measured.kx, measured.ky, energy)
    if flat is not None:
        used &= np.isfinite(flat)
    errors, notes = resolved_errors(plan, measured, used)
    instrument = plan.instrument(used, instrument_values, flat)
    n_used = int(np.count_nonzero(used))
    n_fitted = len(names) + len(terms) + len(angles) + _instrument_count(instrument, plan)
    if n_used <= n_fitted:
        raise MeasuredDataError(f"{measured.source}: {n_used} usable pixel(s) (finite"
                                + (", inside k_range" if plan.k_range is not None else "")
                                + f") for {n_fitted} fitted quantities")
    if not np.any(measured.intensity[used]):
        raise MeasuredDataError(f"{measured.source}: every pixel to fit is 0; there is "
                                "nothing to fit")
    threads = plan.threads or os.cpu_count() or 1
    executor = ThreadPoolExecutor(max_workers=threads) if threads > 1 and len(names) > 1 \
        else None
    model = ModelSettings(plan.maps_at(molecule, energy), plan.mirrors, executor,
                          plan.max_memory, instrument.populations, instrument.margin)
    try:
        maps = OrbitalMaps(molecule, model, measured.kx, measured.ky, used)
        forward = _forward(maps, LinearProblem(measured, used, errors, terms), measured, used,
                           start, angles, instrument)
        symmetry = None
        coarse = None
        if angles:
            small, small_used = subsampled(measured, used)
            small_maps = OrbitalMaps(molecule, model, small.kx, small.ky, small_used)
            small_instrument = plan.instrument(small_used, instrument_values,
                                               None if flat is None else
                                               _subsampled_flat(flat, measured, small))
            coarse = _forward(small_maps, LinearProblem(small, small_used, errors, terms), small,
                              small_used, start, angles, small_instrument, forward.reach)
            symmetry = MapSymmetry.found(lambda o: _plain_columns(small_maps, o),
                                         maps.fold, plan.mirrors, maps.populations)
        values, n_scan = search(forward, coarse, symmetry, plan.starts, plan.progress)
        if errors == "poisson":
            values = _settled_poisson(forward, values)
        result_warnings = list(notes)
        fitted = angles
        if 0 in angles and 2 in angles:
            forward, values, fitted, note = _merged_if_degenerate(forward, values, errors)
            result_warnings += note
        if symmetry is not None and fitted:
            values = _canonical(forward, values, symmetry, fitted, result_warnings)
        result = _result(forward, values, measured, molecule, names, plan.model_image,
                         model, errors, result_warnings, flat)
    finally:
        if executor is not None:
            executor.shutdown()
    result.n_scan_evaluations = n_scan
    result.elapsed_seconds = time.perf_counter() - clock
    result.settings = {"symmetry": plan.symmetry, "mirrors": bool(plan.mirrors),
                       "polarisation": plan.polarisation,
                       "incidence": float(plan.incidence),
                       "azimuth": float(plan.azimuth), "s_share": float(plan.s_share),
                       "k_range": None if plan.k_range is None
                       else [float(v) for v in plan.k_range],
                       "errors": errors, "spin": plan.spin,
                       "orientation_start": json_floats(start)}
    return result


def _instrument_count(instrument: Instrument, plan: FitPlan) -> int:
    """How many of the instrument's parameters are fitted."""
    shares = (int(plan.symmetry or 1) - 1 if instrument.populations
              and instrument.fixed_populations is None else 0)
    return (2 * instrument.fit_k_offset + instrument.fit_k_resolution
            + 3 * instrument.fits_transmission + shares)


def _forward(maps: OrbitalMaps, problem: LinearProblem, measured: MeasuredMap, used: BoolArray,
             start: Float64Array, angles: Tuple[int, ...], instrument: Instrument,
             reach: float = 0.0) -> ForwardModel:
    i, j = np.nonzero(used)
    return ForwardModel(maps, problem, measured.kx[i], measured.ky[j],
                        np.asarray(start, dtype=np.float64), angles, instrument, reach)


def _subsampled_flat(flat: Float64Array, measured: MeasuredMap,
                     small: MeasuredMap) -> Float64Array:
    """The flat field at the pixels of the subsampled copy."""
    rows = np.searchsorted(measured.kx, small.kx)
    cols = np.searchsorted(measured.ky, small.ky)
    return flat[np.ix_(rows, cols)]


def _plain_columns(maps: OrbitalMaps, orientation: Float64Array) -> Float64Array:
    """Each orbital's map at the used pixels, domains at equal shares: what the
    symmetry of the orientations is tried on."""
    squares = maps.squares(orientation).sum(axis=1)
    return np.stack([maps.grid.take(s) for s in squares], axis=1)


def _settled_poisson(forward: ForwardModel, values: Float64Array) -> Float64Array:
    """Poisson weights from the model, the nonlinear parameters refined again with
    them, until both settle: the Poisson maximum-likelihood fit."""
    problem = forward.problem
    n_orbitals = forward.maps.n_orbitals
    scales = np.array([p.scale for p in forward.parameters])
    coefficients = None
    for _ in range(POISSON_ITERATIONS):
        design = forward.design(values)
        fitted, _ = problem.solve_design(design, n_orbitals)
        problem.reweight(design @ fitted)
        previous, coefficients = coefficients, fitted
        if forward.parameters:
            refined = ProjectedResidual(forward).refine(values)[0]
            moved = np.max(np.abs(refined - values) / scales)
            values = refined
            if moved > SETTLED:
                continue
        if previous is not None and np.allclose(coefficients, previous, rtol=1e-7, atol=0):
            break
    return values


def _jacobian(forward: ForwardModel, values: Float64Array,
              coefficients: Float64Array) -> Float64Array:
    """d(weighted model)/d(nonlinear parameters) by central differences (one-sided
    at a bound)."""
    weight = forward.problem.sqrt_weight
    columns = []
    for a, parameter in enumerate(forward.parameters):
        plus, minus = np.array(values), np.array(values)
        step = parameter.step
        low = max(values[a] - step, parameter.lower)
        high = min(values[a] + step, parameter.upper)
        plus[a], minus[a] = high, low
        difference = (forward.design(plus) - forward.design(minus)) @ coefficients
        columns.append(weight * difference / (high - low))
    return np.stack(columns, axis=1) if columns else np.zeros((weight.size, 0))


def _covariance(jacobian: Float64Array) -> Float64Array:
    norms = np.linalg.norm(jacobian, axis=0)
    norms[norms == 0] = 1.0
    scaled = jacobian / norms
    return np.linalg.pinv(scaled.T @ scaled, hermitian=True) / np.outer(norms, norms)


def _merged_if_degenerate(forward: ForwardModel, values: Float64Array, errors: str
                          ) -> Tuple[ForwardModel, Float64Array, Tuple[int, ...],
                                     List[CodedWarning]]:
    """Where alpha and gamma are not separately determined (beta near 0 or 180
    degrees: both turn about z), alpha is fixed at 0 and gamma stands for their
    sum (or difference) and is fitted again."""
    design = forward.design(values)
    n_orbitals = forward.maps.n_orbitals
    coefficients, _ = forward.problem.solve_design(design, n_orbitals)
    jacobian = np.concatenate([design * forward.problem.sqrt_weight[:, None],
                               _jacobian(forward, values, coefficients)], axis=1)
    covariance = _covariance(jacobian)
    offset = design.shape[1]
    a, g = offset + forward.angles.index(0), offset + forward.angles.index(2)
    scale = np.sqrt(max(covariance[a, a] * covariance[g, g], 0.0))
    correlation = covariance[a, g] / scale if scale > 0 else 1.0
    if not (abs(correlation) > DEGENERATE_CORRELATION or not np.isfinite(correlation)):
        return forward, values, forward.angles, []
    state = forward.state(values)
    alpha, beta, gamma = state.orientation
    upright = np.cos(np.radians(beta)) >= 0
    start = np.array([0.0, beta, (alpha + gamma) if upright else (gamma - alpha)])
    angles = tuple(i for i in forward.angles if i != 0)
    merged = ForwardModel(forward.maps, forward.problem, forward.kx, forward.ky, start, angles,
                          forward.instrument, forward.reach)
    old = dict(zip(forward.names, values))
    guess = np.array([start[ANGLES.index(p.name)] if p.name in ANGLES else old[p.name]
                      for p in merged.parameters])
    found = ProjectedResidual(merged).refine(guess)[0]
    if errors == "poisson":
        found = _settled_poisson(merged, found)
    kind = "alpha + gamma" if upright else "gamma - alpha"
    message = (f"alpha and gamma are not separately determined (correlation "
               f"{correlation:+.4f}) at beta = {abs(beta):.2f}°: near beta 0° and 180° both "
               f"turn the molecule about the same axis; alpha is fixed at 0 and gamma stands for "
               f"{kind}")
    return merged, found, angles, [CodedWarning(code="degenerate-angles", message=message)]


def _canonical(forward: ForwardModel, values: Float64Array, symmetry: MapSymmetry,
               fitted: Tuple[int, ...], notes: List[CodedWarning]) -> Float64Array:
    """The fitted angles moved to the canonical one of the equivalent orientations;
    notes `equivalent-solutions` when there are several."""
    orientation = forward.state(values).orientation
    equivalents = symmetry.equivalents(orientation, fitted)
    chosen = equivalents[0]
    values = np.array(values)
    for k, index in enumerate(forward.angles):
        values[k] = chosen[index]
    if len(equivalents) > 1:
        notes.append(CodedWarning(
            code="equivalent-solutions",
            message=f"{len(equivalents)} orientations give the same maps: "
                    f"{describe(equivalents, fitted)}; the one reported has the smallest "
                    "|beta|, then alpha, then gamma (the maps' symmetry: the molecule's own "
                    "and its domains')"))
    return values


def _result(forward: ForwardModel, values: Float64Array, measured: MeasuredMap,
            molecule: Molecule, names: List[str], model_image: bool,
            model_settings: ModelSettings, errors: str, notes: List[CodedWarning],
            flat: Optional[Float64Array]) -> FitResult:
    problem = forward.problem
    maps = forward.maps
    n_orbitals = len(names)
    terms = problem.terms
    timer = time.perf_counter()
    design = forward.design(values)
    one_evaluation = time.perf_counter() - timer
    coefficients, residual = problem.solve_design(design, n_orbitals)
    weights, background = coefficients[:n_orbitals], coefficients[n_orbitals:]

    # Jacobian of the weighted model with respect to every fitted quantity.
    weighted = design * problem.sqrt_weight[:, None]
    jacobian = np.concatenate([weighted, _jacobian(forward, values, coefficients)], axis=1)
    n_used = problem.intensity.size
    dof = max(n_used - jacobian.shape[1], 1)
    chi2 = float(np.sum(residual ** 2))
    chi2_reduced = chi2 / dof
    covariance = _covariance(jacobian)
    if errors == "uniform":
        covariance *= chi2_reduced
    # Pixels resampled from shared measured ones hold less information than their
    # count says: the covariance grows by that ratio.
    shared = max(float(measured.attrs.get(INFORMATION_RATIO, 1.0) or 1.0), 1.0)
    covariance *= shared
    error_values = np.sqrt(np.clip(np.diag(covariance), 0, None))
    blank = np.flatnonzero(~np.any(design[:, :n_orbitals], axis=0))
    error_values[blank] = np.nan  # a map that is 0 on every fitted pixel fixes no weight
    # nor does a parameter the model does not change (all weights 0, say)
    error_values[~np.any(jacobian, axis=0)] = np.nan

    offset = n_orbitals + len(terms)
    state = forward.state(values)
    orientation = state.orientation
    orientation_errors = np.zeros(3)
    for k, index in enumerate(forward.angles):
        orientation_errors[index] = error_values[offset + k]
    fitted_angles = tuple(ANGLES[i] for i in forward.angles)

    model_values = design @ coefficients
    unweighted = problem.intensity - model_values
    r_factor = float(np.sum(unweighted ** 2) / np.sum(problem.intensity ** 2))
    goodness = _goodness(chi2, dof, shared)

    sums, found = _identifiability(names, problem, design[:, :n_orbitals], coefficients,
                                   covariance)
    found += [CodedWarning(code="undetermined-weight",
                      message=f"the map of {names[o]} is 0 on every fitted pixel (beyond its "
                              f"photoemission disc, |k| > {maps.disc_radius:.3g} 1/Å?): its "
                              "weight is undetermined") for o in blank]
    found = notes + found + _angle_notes(forward, covariance, offset)
    if errors in ("sigma", "poisson") and \
            chi2_reduced - 1.0 > MISFIT_SPREADS * goodness["expected_spread"]:
        found.append(CodedWarning(code="misfit", message=_misfit_message(goodness, errors)))

    # The model and the normalised residual on every measured pixel.
    model = np.full(measured.intensity.shape, np.nan)
    if model_image and not problem.used.all():
        full = np.ones(measured.intensity.shape, dtype=bool)
        image_maps = OrbitalMaps(molecule, model_settings, measured.kx, measured.ky, full)
        image_instrument = replace(forward.instrument,
                                   flat_field=None if flat is None else flat.reshape(-1))
        image = _forward(image_maps, LinearProblem(measured, full, "uniform", terms), measured,
                         full, forward.start, forward.angles, image_instrument, forward.reach)
        model[full] = image.design(values) @ coefficients
    else:
        model[problem.used] = model_values
    sigma = np.full(measured.intensity.shape, np.nan)
    sigma[problem.used] = 1.0 / problem.sqrt_weight
    if errors == "uniform":
        sigma *= np.sqrt(chi2_reduced)

    parameter_names = ([f"weight {n}" for n in names] + [f"background {t}" for t in terms]
                       + forward.names)
    instrument = _instrument_values(forward, state, error_values[offset:],
                                    covariance[offset:, offset:])
    return FitResult(
        orbitals=names, weights=weights, weight_errors=error_values[:n_orbitals],
        orientation=orientation, orientation_errors=orientation_errors,
        fit_angles=fitted_angles, background=background,
        background_errors=error_values[n_orbitals:offset], background_terms=terms,
        r_factor=r_factor, chi2_reduced=chi2_reduced, n_pixels=n_used,
        kinetic_energy_ev=maps.kinetic_energy, model_grid=maps.grid.kind,
        kx=measured.kx, ky=measured.ky, measured=measured.intensity, model=model,
        residual=measured.intensity - model, mask=problem.used, covariance=covariance,
        parameter_names=parameter_names, weight_sums=sums, warnings=found,
        n_evaluations=maps.evaluations, seconds_per_evaluation=one_evaluation,
        source=measured.source, goodness=goodness, errors=errors, sigma=sigma,
        instrument=instrument)


def _goodness(chi2: float, dof: int, shared: float = 1.0) -> Dict[str, float]:
    """chi2_red with its expected spread sqrt(2/dof) and the p-value of chi2, and the
    information ratio of resampled pixels when above 1 (the errors grew by its root;
    chi2 keeps its distribution closely: measured on converted maps, chi2_red
    scattered by 0.026 where sqrt(2/dof) is 0.025)."""
    special = require_scipy("scipy.special")
    goodness = {"chi2": chi2, "chi2_reduced": chi2 / dof, "dof": int(dof),
                "expected_spread": float(np.sqrt(2.0 / dof)),
                "p_value": float(special.chdtrc(dof, chi2))}
    if shared > 1.0:
        goodness[INFORMATION_RATIO] = shared
    return goodness


def _misfit_message(goodness: Dict[str, float], errors: str) -> str:
    spreads = (goodness["chi2_reduced"] - 1.0) / goodness["expected_spread"]
    return (f"chi2_red {goodness['chi2_reduced']:.4g} is {spreads:.1f} expected spreads "
            f"(± {goodness['expected_spread']:.2g}) above 1 under {errors} errors (p = "
            f"{goodness['p_value']:.2g}): the model does not describe the data, and the "
            "stated errors assume it does.  Look at the normalised residual (fit.png); try "
            "the instrument (--fit-k-offset, --k-resolution or --fit-k-resolution, "
            "--flat-field or --fit-transmission radial2, --fit-domain-populations, "
            "--no-mirrors) and the set of orbitals")


def _angle_notes(forward: ForwardModel, covariance: Float64Array,
                 offset: int) -> List[CodedWarning]:
    """degenerate-angles for fitted angles that the covariance does not tell apart
    (a near-singular block), or a beta within its error of 0 or 180 degrees."""
    notes: List[CodedWarning] = []
    angles = forward.angles
    for x in range(len(angles)):
        for y in range(x + 1, len(angles)):
            a, b = offset + x, offset + y
            scale = np.sqrt(max(covariance[a, a] * covariance[b, b], 0.0))
            rho = covariance[a, b] / scale if scale > 0 else 0.0
            if abs(rho) > DEGENERATE_CORRELATION:
                notes.append(CodedWarning(
                    code="degenerate-angles",
                    message=f"{ANGLES[angles[x]]} and {ANGLES[angles[y]]} are not separately "
                            f"determined (correlation {rho:+.4f}); only a combination of "
                            "them is"))
    return notes


def _instrument_values(forward: ForwardModel, state: Any, errors: Float64Array,
                       covariance: Float64Array) -> Dict[str, Any]:
    """The instrument's values and errors by part (the fitted ones with errors)."""
    found: Dict[str, Any] = {}
    inst = forward.instrument
    names = forward.names
    error = dict(zip(names, errors))
    if inst.moves_pixels:
        found["k_offset"] = list(state.k_offset)
        found["k_offset_errors"] = [float(error.get("kx0", 0.0)), float(error.get("ky0", 0.0))]
        variance = max(state.resolution_squared, 0.0)
        sigma = float(np.sqrt(variance))
        found["k_resolution"] = sigma
        # sigma's error from its square's, to first order; where the square is
        # within its error of 0 that is unbounded, and the error given is how far
        # one error of the square reaches above: sqrt(sigma^2 + error) - sigma.
        variance_error = float(error.get("k_resolution^2", 0.0))
        found["k_resolution_error"] = (variance_error / (2 * sigma) if variance > variance_error
                                       else float(np.sqrt(variance + variance_error)) - sigma)
    if inst.transmission == "radial2":
        found["transmission"] = [float(v) for v in state.transmission]
        found["transmission_errors"] = [float(error.get(f"transmission {t}", 0.0))
                                        for t in ("x", "y", "r2")]
        found["transmission_reach"] = float(forward.reach)
    if forward.maps.populations:
        found["domain_populations"] = [float(v) for v in state.populations]
        shares = [k for k, n in enumerate(names) if n.startswith("population ")]
        if shares:
            block = covariance[np.ix_(shares, shares)]
            first = float(np.sqrt(max(np.sum(block), 0.0)))
            found["domain_population_errors"] = [first] + [float(errors[k]) for k in shares]
        else:
            found["domain_population_errors"] = [0.0] * len(state.populations)
    return found


def _identifiability(names: List[str], problem: LinearProblem, columns: Float64Array,
                     coefficients: Float64Array, covariance: Float64Array
                     ) -> Tuple[List[Dict[str, Any]], List[CodedWarning]]:
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
    messages: List[CodedWarning] = []
    for leader in sorted({root(a) for a in range(n)}):
        members = [a for a in range(n) if root(a) == leader]
        if len(members) < 2:
            continue
        total = float(np.sum(coefficients[members]))
        error = float(np.sqrt(max(np.sum(covariance[np.ix_(members, members)]), 0.0)))
        labels = [names[a] for a in members]
        worst = max(cosine[a, b] for a in members for b in members if a < b)
        sums.append({"orbitals": labels, "sum": total, "error": error})
        messages.append(CodedWarning(
            code="not-identifiable",
            message=f"the weights of {', '.join(labels)} are not separately identifiable "
                    f"(their maps are nearly collinear, cosine {worst:.4f}); their sum is "
                    f"{total:.6g} +- {error:.3g}"))
    return sums, messages
