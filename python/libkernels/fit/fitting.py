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

A FitRequest holds a fit's settings, checked once, reads the measured map and
the molecule once, and writes the record fit.json carries after the results;
fit_momentum_map builds one.  FitSettings, its settings without the data and
the energies, are shared with the deconvolution of stacks.
"""

from __future__ import annotations

import os
import time
import warnings
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, ClassVar, Dict, List, Optional, Sequence, Tuple, Union

import numpy as np

from ..core.errors import IdentifiabilityWarning, InputError, MeasuredDataError
from ..core.memory import MemorySize
from ..core.molecule import Molecule
from ..core.orientation import ANGLES, CONVENTION
from ..core.validation import angles as validated_angles, count, finite, positive
from ..kspace.request import CONVERSION, ConversionOptions
from ..requests.base import MoleculeRequest, setting, state_field
from ..requests.maps import (LIGHT, Orbitals, light, quiet_setting, symmetry_option,
                             threads_setting)
from .linear import LinearProblem, background_terms
from .measured import MeasuredMap, MeasuredSource, load_measured
from .model import OrbitalMaps
from .orientation_search import search_orientation, wrap_angles
from .result import FitResult, json_floats

if TYPE_CHECKING:
    from ..core.types import Background, BoolArray, Float64Array, Polarisation, Spin, Symmetry

__all__ = ["fit_momentum_map", "FitRequest", "FitSettings", "fit_map", "parse_fit_angles",
           "used_pixels", "FitResult"]

# Two orbitals whose maps (with the background projected out) have a cosine
# above this cannot be told apart by the fit: their weights trade off freely.
IDENTIFIABILITY_COSINE = 0.99
ERROR_STEP = 0.05  # degrees, central differences for the standard errors
POISSON_ITERATIONS = 20  # re-weightings by the model at the optimum (3-5 usually do)

ENERGY = "photoelectron energy (eV)"
GEOMETRY = "orientation and domains"
FIT = "fit"

# The angles to fit: None, 'none', a name, 'alpha,gamma', or names or indices.
FitAngles = Union[None, str, Sequence[Union[str, int]]]


# ---- options ---------------------------------------------------------------------

def parse_fit_angles(fit_angles: FitAngles) -> Tuple[int, ...]:
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


def _joined(values: List[str]) -> str:
    """--fit-angles alpha gamma (or alpha,gamma) as one setting."""
    return ",".join(values)


def _pair(values: List[float]) -> Tuple[float, float]:
    return values[0], values[1]


# ---- the requests ------------------------------------------------------------------

@dataclass
class FitSettings(ConversionOptions, MoleculeRequest):
    """What a fit of measured maps with orbital maps takes besides the data and
    the energies: shared by the fit of one map and the deconvolution of a stack.

    Checked and put in the form the fit uses on construction: `start` (the
    orientation, degrees), `angles` (indices of the fitted angles), `terms`
    (the background's columns), `names` (the orbitals).
    """

    option_groups: ClassVar[Tuple[str, ...]] = (ENERGY, GEOMETRY, LIGHT, FIT, CONVERSION)
    # the setting naming the measured data (a map, or a stack)
    data_setting: ClassVar[str] = ""

    orbitals: Orbitals = setting(
        [], "-O", "--orbital", action="append", metavar="ORBITAL",
        help="orbital by name (HOMO, HOMO-1, ...) or 0-based index; repeat for several")
    orientation: Sequence[float] = setting(
        (0.0, 0.0, 0.0), "--orientation", group=GEOMETRY, type=float, nargs=3,
        metavar=("ALPHA", "BETA", "GAMMA"),
        help="orientation in degrees, the start of fitted angles and the value of the others "
             "(default: 0 0 0); " + CONVENTION)
    fit_angles: FitAngles = setting(
        None, "--fit-angles", group=GEOMETRY, nargs="+", metavar="ANGLES", convert=_joined,
        help="angles to fit: none, alpha, beta, gamma or a comma-separated set such as "
             "alpha,beta,gamma (default: none)")
    starts: Optional[int] = setting(
        None, "--starts", group=GEOMETRY, type=int, metavar="N",
        help="scan points per fitted angle (default: 36 for one angle, 12 for two, 8 for "
             "three; 1 refines from --orientation only)")
    symmetry: Symmetry = setting(
        None, "--symmetry", group=GEOMETRY, choices=("none", "2", "3", "4"),
        convert=symmetry_option, help="average over n-fold domains about k = 0 (default: none)")
    mirrors: bool = setting(True, "--no-mirrors", group=GEOMETRY, action="store_false",
                            help="domains by rotation only, without their mirror images")
    polarisation: Optional[Polarisation] = light("polarisation")
    incidence: float = light("incidence")
    azimuth: float = light("azimuth")
    s_share: float = light("s_share")
    background: Background = setting(
        "constant", "--background", group=FIT, choices=("none", "constant", "linear"),
        help="background: none, a constant, or a constant plus slopes in kx and ky "
             "(default: constant)")
    k_range: Optional[Tuple[float, float]] = setting(
        None, "--k-range", group=FIT, type=float, nargs=2, metavar=("KMIN", "KMAX"),
        convert=_pair, help="fit only pixels with KMIN <= |k| <= KMAX (1/Å)")
    poisson: bool = setting(False, "--poisson", group=FIT, action="store_true",
                            help="weight residuals by 1/max(I, 1) (intensities are counts)")
    model_image: bool = setting(True)
    threads: Optional[int] = threads_setting("threads for the orbital maps (default: all CPUs)")
    progress: bool = quiet_setting()
    max_memory: MemorySize = setting(None, recorded=False)

    start: Float64Array = state_field()
    angles: Tuple[int, ...] = state_field()
    terms: Tuple[str, ...] = state_field()
    names: List[str] = state_field()
    _data: Optional[MeasuredMap] = state_field()

    def __post_init__(self) -> None:
        if self.data_setting and getattr(self, self.data_setting) is None:
            raise InputError(self.data_setting, "is missing: give the measured data")
        self.start = np.array(validated_angles(self.orientation), dtype=np.float64)
        self.orientation = (float(self.start[0]), float(self.start[1]), float(self.start[2]))
        self.angles = parse_fit_angles(self.fit_angles)
        self.terms = background_terms(self.background)
        if self.starts is not None:
            self.starts = count(self.starts, "starts", 1)
        self.k_range = checked_k_range(self.k_range)
        self.names = [str(o) for o in ([self.orbitals]
                                       if isinstance(self.orbitals, (str, int, np.integer))
                                       else self.orbitals)]
        if not self.names:
            raise InputError("orbitals", "selects no orbital: give at least one (HOMO, "
                                         "HOMO-1, ... or a 0-based index)")
        if self.threads is not None:
            self.threads = count(self.threads, "threads", 1)

    def measured_data(self) -> MeasuredMap:
        """The measured map (or stack), read and checked on the first call."""
        if self._data is None:
            value = getattr(self, self.data_setting)
            conversion = self.conversion(self.max_memory)  # raw data in angles, or windows
            if isinstance(value, (str, os.PathLike)):
                self._data = self.read_input(
                    self.data_setting, lambda path: load_measured(path, conversion=conversion))
            else:
                self._data = load_measured(value, conversion=conversion)
                self.in_memory(self.data_setting, f"{self._data.source} (in memory)")
        return self._data


@dataclass
class FitRequest(FitSettings):
    """A fit of one measured map (fit_momentum_map; `libkernels fit`).

    `measured`: a file (.npz, .nc, .h5), or data in memory as load_measured
    takes them.  Energies in eV: `kinetic_energy`, or `photon_energy`,
    `work_function` and `binding_energy` (the slice's own when it carries one).
    """

    kind: ClassVar[str] = "fit"
    positionals: ClassVar[Tuple[str, ...]] = ("measured", "molecule")
    input_files: ClassVar[Tuple[str, ...]] = ("measured", "molecule")
    data_setting: ClassVar[str] = "measured"

    measured: Optional[MeasuredSource] = setting(None, "measured",
                                                 help="the measured map (.npz, .nc, .h5)")
    kinetic_energy: Optional[float] = setting(
        None, "--kinetic-energy", group=ENERGY, type=float, metavar="EV",
        help="kinetic energy of the map (all orbitals)")
    photon_energy: Optional[float] = setting(None, "--photon-energy", group=ENERGY,
                                             type=float, metavar="EV")
    work_function: Optional[float] = setting(None, "--work-function", group=ENERGY,
                                             type=float, metavar="EV")
    binding_energy: Optional[float] = setting(
        None, "--binding-energy", group=ENERGY, type=float, metavar="EV",
        help="with --photon-energy and --work-function: E_kin = photon energy - work "
             "function - binding energy (default: the file's binding energy, when it gives "
             "one)")

    def __post_init__(self) -> None:
        super().__post_init__()
        if self.kinetic_energy is not None:
            if self.photon_energy is not None or self.binding_energy is not None:
                raise InputError("kinetic_energy", "and the photon energy exclude each other",
                                 "give {kinetic_energy}, or {photon_energy} with "
                                 "{work_function} and {binding_energy}, not both")
            self.kinetic_energy = positive(self.kinetic_energy, "kinetic_energy", "eV")
        elif self.photon_energy is None or self.work_function is None:
            raise InputError("kinetic_energy", "is missing",
                             "give it, or {photon_energy} with {work_function} and "
                             "{binding_energy}")
        else:
            self.photon_energy = finite(self.photon_energy, "photon_energy", "eV")
            self.work_function = finite(self.work_function, "work_function", "eV")
            if self.binding_energy is not None:
                self.binding_energy = finite(self.binding_energy, "binding_energy", "eV")

    def kinetic_energy_of(self, measured: MeasuredMap) -> float:
        """The one kinetic energy (eV) of the slice: given, or photon energy - work
        function - binding energy (the slice's own when it carries one)."""
        if self.kinetic_energy is not None:
            return float(self.kinetic_energy)
        binding = self.binding_energy
        if binding is None and measured.binding_energy is not None and not measured.is_stack:
            binding = float(np.asarray(measured.binding_energy))
        if binding is None:
            raise InputError("binding_energy", "is missing: photon_energy needs the slice's "
                                               "binding energy (E_kin = photon energy - work "
                                               "function - binding energy)")
        energy = float(self.photon_energy or 0.0) - float(self.work_function or 0.0) - binding
        if not energy > 0:
            raise InputError("photon_energy", f"minus work_function and binding_energy leaves "
                                              f"a kinetic energy of {energy:g} eV; it must be "
                                              "positive")
        return energy

    def fit(self) -> FitResult:
        """The fit, its warnings left in result.warnings; the measured map is read
        first (a bad file fails before the molecule is read)."""
        clock = time.perf_counter()
        measured = self.measured_data()
        if measured.is_stack:
            raise MeasuredDataError(f"{measured.source}: a stack of "
                                    f"{measured.intensity.shape[0]} slices; fit one slice, or "
                                    "use deconvolve for the stack")
        molecule = self.load_molecule()
        result = fit_map(self, measured, molecule, self.kinetic_energy_of(measured),
                         start=self.start, angles=self.angles, model_image=self.model_image,
                         progress=self.progress)
        result.elapsed_seconds = time.perf_counter() - clock
        result.request = self
        return result

    def run(self) -> FitResult:
        """The fit; warns (IdentifiabilityWarning) when orbitals cannot be told apart."""
        result = self.fit()
        for message in result.warnings:
            warnings.warn(message, IdentifiabilityWarning, stacklevel=2)
        return result


def fit_momentum_map(measured: MeasuredSource, molecule: Union[Molecule, str],
                     orbitals: Orbitals, *,
                     kinetic_energy: Optional[float] = None,
                     photon_energy: Optional[float] = None,
                     work_function: Optional[float] = None,
                     binding_energy: Optional[float] = None, spin: Spin = "alpha",
                     symmetry: Symmetry = None, mirrors: bool = True,
                     polarisation: Optional[Polarisation] = None, incidence: float = 65.0,
                     azimuth: float = 0.0, s_share: float = 0.0,
                     orientation: Sequence[float] = (0.0, 0.0, 0.0),
                     fit_angles: FitAngles = None,
                     background: Background = "constant",
                     k_range: Optional[Tuple[float, float]] = None, poisson: bool = False,
                     starts: Optional[int] = None, threads: Optional[int] = None,
                     progress: bool = True, model_image: bool = True,
                     max_memory: MemorySize = None) -> FitResult:
    """Fits orbital weights, chosen orientation angles and a background to a
    measured momentum map; returns a FitResult.

    measured: a MeasuredMap, a file path, an xarray.DataArray or (intensity, kx,
    ky).  molecule: a Molecule, or a file or example name.  orbitals: names
    ('HOMO', 'HOMO-1', ...) or indices.  Options (FitRequest holds them):
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
    request = FitRequest(
        measured=measured, molecule=molecule, orbitals=orbitals, kinetic_energy=kinetic_energy,
        photon_energy=photon_energy, work_function=work_function,
        binding_energy=binding_energy, spin=spin, symmetry=symmetry, mirrors=mirrors,
        polarisation=polarisation, incidence=incidence, azimuth=azimuth, s_share=s_share,
        orientation=orientation, fit_angles=fit_angles, background=background,
        k_range=k_range, poisson=poisson, starts=starts, threads=threads, progress=progress,
        model_image=model_image, max_memory=max_memory)
    result = request.fit()
    for message in result.warnings:
        warnings.warn(message, IdentifiabilityWarning, stacklevel=2)
    return result


# ---- the fit -----------------------------------------------------------------------

def fit_map(settings: FitSettings, measured: MeasuredMap, molecule: Molecule, energy: float, *,
            start: Float64Array, angles: Tuple[int, ...], model_image: bool,
            progress: bool) -> FitResult:
    """The fit of one measured slice at kinetic energy `energy` (eV), starting from
    the orientation `start` and fitting the angles `angles`; warnings go into
    result.warnings."""
    clock = time.perf_counter()
    terms = settings.terms
    names = settings.names
    used = used_pixels(measured, settings.k_range)
    n_parameters = len(names) + len(terms) + len(angles)
    n_used = int(np.count_nonzero(used))
    if n_used <= n_parameters:
        raise MeasuredDataError(f"{measured.source}: {n_used} usable pixel(s) (finite"
                                + (", inside k_range" if settings.k_range is not None else "")
                                + f") for {n_parameters} fitted quantities")
    if not np.any(measured.intensity[used]):
        raise MeasuredDataError(f"{measured.source}: every pixel to fit is 0; there is "
                                "nothing to fit")
    threads = settings.threads or os.cpu_count() or 1
    executor = ThreadPoolExecutor(max_workers=threads) if threads > 1 and len(names) > 1 \
        else None
    model_options: Dict[str, Any] = dict(
        kinetic_energy=energy, spin=settings.spin, symmetry=settings.symmetry,
        mirrors=settings.mirrors, polarisation=settings.polarisation,
        incidence=settings.incidence, azimuth=settings.azimuth, s_share=settings.s_share,
        executor=executor, max_memory=settings.max_memory)
    try:
        maps = OrbitalMaps(molecule, names, measured.kx, measured.ky, used, **model_options)
        problem = LinearProblem(measured, used, settings.poisson, terms)
        if angles:
            best, n_scan = search_orientation(measured, used, molecule, names, problem, maps,
                                              start, angles, terms, settings.poisson,
                                              settings.starts, model_options, progress)
        else:
            best, n_scan = start, 0
        result = _result(measured, molecule, names, maps, problem, best, angles, terms,
                         energy, model_image, model_options, settings.poisson)
    finally:
        if executor is not None:
            executor.shutdown()
    result.n_scan_evaluations = n_scan
    result.elapsed_seconds = time.perf_counter() - clock
    result.settings = {"symmetry": settings.symmetry, "mirrors": bool(settings.mirrors),
                       "polarisation": settings.polarisation,
                       "incidence": float(settings.incidence),
                       "azimuth": float(settings.azimuth), "s_share": float(settings.s_share),
                       "k_range": None if settings.k_range is None
                       else [float(v) for v in settings.k_range],
                       "poisson": bool(settings.poisson), "spin": settings.spin,
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
