"""The requests of fits: one measured map (`libkernels fit`, lk.fit_momentum_map) and an
energy stack (`libkernels deconvolve`, lk.deconvolve).

    model(k) = F(k) T(k) [ sum_i w_i (G * D[map_i] P)(k - k0) + background(k) ]

map_i is orbital i's momentum map at the molecule's orientation, all orbitals at
the slice's one kinetic energy; D averages over the molecule's domains on the
surface (when asked; with fitted populations it weighs them) and P is the
light's polarisation factor (when asked); the background is none, a constant,
or a constant plus slopes in kx and ky (1/Å).  The instrument (forward.py),
each part optional, fixed or fitted: G the blur of its momentum resolution,
k0 the offset of its k axes, T a smooth transmission, F a flat field.

At fixed nonlinear parameters (angles, instrument) the model is linear in the
weights and the background, which are solved for by bounded linear least
squares (weights >= 0).  The nonlinear parameters are fitted around that solve
(variable projection): a global scan over the orientations on a subsampled
copy of the measured map, reduced by the maps' symmetry, finds the candidate
minima, and scipy's least_squares refines the best few with every parameter at
full resolution (orientation_search.py).  Angles are reported in canonical
ranges (symmetry.py); where alpha and gamma turn about the same axis (beta
near 0 or 180 degrees) their sum is fitted instead.

Residuals are weighted by each pixel's standard deviation (`errors`): the
measurement's own (`sigma`); counting statistics (`poisson`: first 1/max(I, 1)
for the search, then the model's expected counts, with the nonlinear
parameters refined again until they settle: the Poisson maximum-likelihood
fit; weights from the measured counts alone favour pixels that fluctuated low
and pull a background down by about one count, far outside its stated error);
or one unknown common sigma (`uniform`), the errors then scaled by the
residuals' scatter.  `auto` takes sigma when the data give it, else Poisson
for non-negative whole counts, else uniform, with a warning.  Standard errors
come from the covariance, the inverse of J^T J with J the weighted model's
Jacobian with respect to every fitted quantity at the optimum.  Every fit
states its goodness: chi-square per degree of freedom with its expected spread
sqrt(2/dof) and p-value, and warns of a misfit beyond 5 spreads.

Energies: given ones first, then the measured file's (core/energies.py), for the
fit and the deconvolution alike.  A request is checked once when made; `plan`
resolves it, with the data it reads, into the small frozen FitPlan the fit
itself (map_fit.py, deconvolution.py) takes.
"""

from __future__ import annotations

import os
import time
import warnings
from dataclasses import dataclass, replace
from typing import (TYPE_CHECKING, Any, ClassVar, Dict, List, Mapping, Optional, Sequence,
                    Tuple, Union)

import numpy as np

from ..core.energies import Energies
from ..core.errors import FitWarning, IdentifiabilityWarning, InputError, MeasuredDataError
from ..core.memory import MemorySize
from ..core.molecule import Molecule
from ..core.orientation import ANGLES
from ..core.validation import angles as validated_angles, count, finite
from ..kspace.convert import Conversion, conversion_of
from ..kspace.settings import ConversionSettings
from ..requests.base import Inputs, MoleculeRequest, MoleculeSource, setting
from ..requests.maps import MapRequest, Orbitals
from .deconvolution import DeconvolutionResult, deconvolve_stack
from .forward import TRANSMISSIONS
from .linear import ERROR_MODELS, background_terms, require_scipy
from .map_fit import checked_k_range, fit_map
from .plan import FitPlan
from .measured import MeasuredMap, MeasuredSource, load_measured
from .result import CodedWarning, FitResult

if TYPE_CHECKING:
    from ..core.types import Background, BoolArray, Float64Array, Polarisation, Spin, Symmetry

__all__ = ["FitSettings", "FitRequest", "DeconvolutionRequest", "parse_fit_angles",
           "fit_momentum_map", "deconvolve", "issue_warnings", "measurement_notes",
           "notes_report"]

# The angles to fit: None, 'none', a name, 'alpha,gamma', or names or indices.
FitAngles = Union[None, str, Sequence[Union[str, int]]]
IDENTIFIABILITY_CODES = ("not-identifiable", "undetermined-weight")


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


def _flat_field_values(source: Any, measured: MeasuredMap, label: str) -> Float64Array:
    """A flat field on the measured map's axes: a MeasuredMap (read from a file) or
    an array of the map's shape; pixels where it is NaN or not positive are masked."""
    if isinstance(source, MeasuredMap):
        if source.intensity.shape != measured.intensity.shape[-2:] or \
                not (np.allclose(source.kx, measured.kx) and np.allclose(source.ky, measured.ky)):
            raise MeasuredDataError(f"{label}: the flat field's axes are not the measured "
                                    f"map's ({source.intensity.shape} pixels)")
        values = source.intensity
    else:
        values = np.asarray(source, dtype=np.float64)
        if values.shape != measured.intensity.shape[-2:]:
            raise MeasuredDataError(f"{label}: the flat field has shape {values.shape}, the "
                                    f"measured map {measured.intensity.shape[-2:]}")
    return np.where(values > 0, values, np.nan)


def _pairs(text: Any) -> Dict[str, str]:
    found = {}
    for part in str(text or "").split("; "):
        what, sep, how = part.partition(": ")
        if sep:
            found[what] = how
    return found


def measurement_notes(measured: MeasuredMap, given: Energies,
                      counts_per: Optional[str] = None) -> Dict[str, Any]:
    """What a fit read from the measured file and what it assumed (for its record and
    report): the conversion's notes, the energies taken from the file, the given
    energies that contradict the file's (used as given), the slices an energy window
    summed, and what the intensity counts per."""
    stated = stated_energies(measured)
    merged = given.over(stated)
    read = _pairs(measured.attrs.get("read_from_file"))
    assumed = _pairs(measured.attrs.get("assumed"))
    for name, source in merged.provenance().items():
        if source == "file":
            read.setdefault(name, f"{getattr(merged, name)} eV (from the file)")
    for name, (mine, theirs) in given.conflicts(stated).items():
        assumed[name] = f"{mine:g} eV as given, over the file's {theirs:g} eV (the given " \
                        "value is used)"
    for name in ("photon_energy", "work_function"):
        file_value = measured.attrs.get(f"{name}_file")
        if file_value is not None and name not in assumed:
            assumed[name] = (f"{getattr(merged, name)} eV as given, over the file's "
                             f"{float(file_value):g} eV (the given value is used)")
    counted = counts_per_of(measured)
    if counts_per is not None:
        chosen = "k-area" if counts_per == "k-area" else "solid angle"
        if chosen != counted and "counts_per" in measured.attrs:
            assumed["counts_per"] = f"{chosen} as given, over the file's {counted}"
        counted = chosen
    notes: Dict[str, Any] = {"read_from_file": read, "assumed": assumed,
                             "counts_per": counted}
    if measured.attrs.get("slices_summed"):
        notes["slices_summed"] = int(measured.attrs["slices_summed"])
        notes["summed_energy_kind"] = str(measured.attrs.get("summed_energy_kind", ""))
        notes["summed_energies"] = [float(v) for v in
                                    np.atleast_1d(measured.attrs["summed_energies"])]
    return notes


def counts_per_of(measured: MeasuredMap) -> str:
    """What the measured intensity counts per: 'k-area' or 'solid angle' (the
    package's layouts, and data converted from angles)."""
    stated = str(measured.attrs.get("counts_per", "solid angle")).strip().lower()
    return "k-area" if stated in ("k-area", "k area") else "solid angle"


def notes_report(notes: Mapping[str, Any]) -> List[str]:
    """The notes as report lines."""
    lines = []
    if notes.get("slices_summed"):
        energies = ", ".join(f"{v:g}" for v in notes["summed_energies"])
        lines.append(f"summed {notes['slices_summed']} slices at "
                     f"{notes['summed_energy_kind']} energies {energies} eV")
    if notes.get("read_from_file"):
        lines.append("read from the file: " + "; ".join(
            f"{k}: {v}" for k, v in notes["read_from_file"].items()))
    if notes.get("assumed"):
        lines.append("assumed or overridden: " + "; ".join(
            f"{k}: {v}" for k, v in notes["assumed"].items()))
    if notes.get("counts_per") == "k-area":
        lines.append("counts per area in k: the model multiplied by the Jacobian K / kz")
    return lines


def stated_energies(measured: MeasuredMap) -> Energies:
    """The energies a measured map states (a single slice's binding energy among them)."""
    values: Dict[str, Any] = dict(measured.energies)
    if measured.binding_energy is not None and not measured.is_stack:
        values["binding_energy"] = float(np.asarray(measured.binding_energy))
    return Energies.stated(values)


# ---- the requests ------------------------------------------------------------------------

@dataclass(frozen=True)
class FitSettings(ConversionSettings, MoleculeRequest):
    """What a fit of measured maps with orbital maps takes besides the data and the
    energies: shared by the fit of one map and the deconvolution of a stack (and, for
    raw files in angles, the conversion's settings)."""

    # the setting naming the measured data (a map, or a stack)
    data_setting: ClassVar[str] = ""

    orbitals: Orbitals = setting([])
    orientation: Sequence[float] = setting((0.0, 0.0, 0.0))
    fit_angles: FitAngles = setting(None)
    starts: Optional[int] = setting(None)
    symmetry: Symmetry = setting(None)
    mirrors: bool = setting(True)
    fit_domain_populations: bool = setting(False)
    polarisation: Optional[Polarisation] = setting(None)
    incidence: float = setting(65.0)
    azimuth: float = setting(0.0)
    s_share: float = setting(0.0)
    background: Background = setting("constant")
    k_range: Optional[Tuple[float, float]] = setting(None)
    errors: str = setting("auto")
    poisson: bool = setting(False)
    k_offset: Tuple[float, float] = setting((0.0, 0.0))
    fit_k_offset: bool = setting(False)
    k_resolution: float = setting(0.0)
    fit_k_resolution: bool = setting(False)
    flat_field: Optional[Any] = setting(None)
    fit_transmission: str = setting("none")
    model_image: bool = setting(True)
    threads: Optional[int] = setting(None, recorded=False)
    progress: bool = setting(True, recorded=False)
    max_memory: MemorySize = setting(None, recorded=False)

    def check(self) -> None:
        if self.data_setting and getattr(self, self.data_setting) is None:
            raise InputError(self.data_setting, "is missing: give the measured data")
        super().check()
        self._set("orientation", validated_angles(self.orientation))
        parse_fit_angles(self.fit_angles)
        background_terms(self.background)
        if self.starts is not None:
            self._set("starts", count(self.starts, "starts", 1))
        self._set("k_range", checked_k_range(self.k_range))
        if not self.names:
            raise InputError("orbitals", "selects no orbital: give at least one (HOMO, "
                                         "HOMO-1, ... or a 0-based index)")
        if self.threads is not None:
            self._set("threads", count(self.threads, "threads", 1))
        if self.errors not in ERROR_MODELS:
            raise InputError("errors", f"must be one of {', '.join(ERROR_MODELS)}, got "
                                       f"{self.errors!r}")
        if self.poisson and self.errors not in ("auto", "poisson"):
            raise InputError("poisson", f"contradicts errors={self.errors!r}",
                             "give {errors} only")
        self._set("k_offset", (finite(self.k_offset[0], "k_offset", "1/Å"),
                               finite(self.k_offset[1], "k_offset", "1/Å")))
        self._set("k_resolution", finite(self.k_resolution, "k_resolution", "1/Å"))
        if self.k_resolution < 0:
            raise InputError("k_resolution", f"must be >= 0 (1/Å), got {self.k_resolution:g}")
        if self.fit_transmission not in TRANSMISSIONS:
            raise InputError("fit_transmission", f"must be one of {', '.join(TRANSMISSIONS)}, "
                                                 f"got {self.fit_transmission!r}")
        if self.fit_domain_populations and self.symmetry is None:
            raise InputError("fit_domain_populations", "needs domains: give {symmetry}")
        self.energies  # the energies checked now too
        require_scipy()  # one line naming the extra before any work

    @property
    def names(self) -> List[str]:
        return [str(o) for o in ([self.orbitals] if isinstance(self.orbitals, (str, int,
                                                                                np.integer))
                                 else self.orbitals)]

    @property
    def energies(self) -> Energies:
        """The energies given (eV); the measured file's complete them."""
        return Energies()

    @property
    def error_model(self) -> str:
        """The errors as asked: 'poisson' for the --poisson shorthand."""
        return "poisson" if self.poisson else self.errors

    def conversion(self) -> Conversion:
        """How raw data in angles (or windows of a cube) are converted for the fit."""
        return conversion_of(self, self.energies, self.max_memory)

    def read_measured(self, inputs: Inputs) -> MeasuredMap:
        """The measured map (or stack), read and checked."""
        value = getattr(self, self.data_setting)
        conversion = self.conversion()
        if isinstance(value, (str, os.PathLike)):
            return inputs.read(self.data_setting,
                               lambda path: load_measured(path, conversion=conversion))
        data = load_measured(value, conversion=conversion)
        inputs.in_memory(self.data_setting, f"{data.source} (in memory)")
        return data

    def read_flat(self, inputs: Inputs, measured: MeasuredMap) -> Optional[Float64Array]:
        """The flat field on the measured axes (NaN where it masks)."""
        if self.flat_field is None:
            return None
        if isinstance(self.flat_field, (str, os.PathLike)):
            source = inputs.read("flat_field", load_measured)
            return _flat_field_values(source, measured, os.fspath(self.flat_field))
        inputs.in_memory("flat_field", "a flat field in memory")
        return _flat_field_values(self.flat_field, measured, "flat_field")

    def plan(self, flat: Optional[Float64Array], k_area: bool = False) -> FitPlan:
        """The settings resolved for the fit itself (`k_area`: the data count per area
        in k, and the model takes the Jacobian)."""
        start = validated_angles(self.orientation)
        return FitPlan(k_area=k_area,
            names=tuple(self.names), start=start, angles=parse_fit_angles(self.fit_angles),
            terms=tuple(background_terms(self.background)), spin=self.spin,
            symmetry=self.symmetry, polarisation=self.polarisation, incidence=self.incidence,
            azimuth=self.azimuth, s_share=self.s_share, mirrors=bool(self.mirrors), k_range=self.k_range, error_model=self.error_model,
            starts=self.starts, threads=self.threads, max_memory=self.max_memory,
            k_offset=self.k_offset, fit_k_offset=self.fit_k_offset,
            k_resolution=self.k_resolution, fit_k_resolution=self.fit_k_resolution,
            transmission=self.fit_transmission, populations=self.fit_domain_populations,
            flat=flat, model_image=self.model_image, progress=self.progress)


@dataclass(frozen=True)
class FitRequest(FitSettings):
    """A fit of one measured map (fit_momentum_map; `libkernels fit`).

    `measured`: a file (.npz, .nc, .h5, or raw data in angles), or data in memory as
    load_measured takes them.  Energies in eV: `kinetic_energy`, or `photon_energy`,
    `work_function` and `binding_energy`; what is not given is the measured file's.
    """

    kind: ClassVar[str] = "fit"
    input_files: ClassVar[Tuple[str, ...]] = ("measured", "molecule", "flat_field")
    data_setting: ClassVar[str] = "measured"

    measured: Optional[MeasuredSource] = setting(None)
    kinetic_energy: Optional[float] = setting(None)
    photon_energy: Optional[float] = setting(None)
    work_function: Optional[float] = setting(None)
    binding_energy: Optional[float] = setting(None)

    def check(self) -> None:
        if self.kinetic_energy is not None and (self.photon_energy is not None or
                                                self.binding_energy is not None):
            raise InputError("kinetic_energy", "and the photon energy exclude each other",
                             "give {kinetic_energy}, or {photon_energy} with "
                             "{work_function} and {binding_energy}, not both")
        super().check()

    @property
    def energies(self) -> Energies:
        return Energies(photon_energy=self.photon_energy, work_function=self.work_function,
                        binding_energy=self.binding_energy, kinetic_energy=self.kinetic_energy)

    def kinetic_energy_of(self, measured: MeasuredMap) -> float:
        """The one kinetic energy (eV) of the slice: the given energies over the
        measurement's."""
        energies = self.energies.over(stated_energies(measured))
        if not energies.given:
            raise InputError("kinetic_energy", f"is missing: the measured map "
                                               f"({measured.source}) states no energy",
                             "give it, or {photon_energy} with {work_function} and "
                             "{binding_energy}")
        energy = float(energies.kinetic(1, what="the slice")[0])
        if not energy > 0:
            raise InputError("photon_energy", f"minus work_function and binding_energy leaves "
                                              f"a kinetic energy of {energy:g} eV; it must be "
                                              "positive")
        return energy

    def fit(self) -> FitResult:
        """The fit, its warnings left in result.warnings; the measured map is read
        first (a bad file fails before the molecule is read)."""
        clock = time.perf_counter()
        inputs = Inputs(self)
        measured = self.read_measured(inputs)
        if measured.is_stack:
            raise MeasuredDataError(f"{measured.source}: a stack of "
                                    f"{measured.intensity.shape[0]} slices; fit one slice, or "
                                    "use deconvolve for the stack")
        energy = self.kinetic_energy_of(measured)
        notes = measurement_notes(measured, self.energies, self.counts_per)
        molecule = self.read_molecule(inputs)
        result = fit_map(self.plan(self.read_flat(inputs, measured),
                                   notes["counts_per"] == "k-area"), measured, molecule, energy)
        result.elapsed_seconds = time.perf_counter() - clock
        result.record = self.to_record(inputs.found, **notes)
        return result

    def run(self) -> FitResult:
        """The fit; its warnings are also issued (IdentifiabilityWarning when orbitals
        cannot be told apart, FitWarning for the rest)."""
        result = self.fit()
        issue_warnings(result.warnings)
        return result


@dataclass(frozen=True)
class DeconvolutionRequest(FitSettings):
    """The deconvolution of an energy stack (deconvolve; `libkernels deconvolve`).

    `stack`: a file (.npz, .nc, .h5) or data in memory as load_measured takes them,
    with a binding_energy axis.  Energies in eV: each slice's kinetic energy is
    photon_energy - work_function - its binding energy, the file's photon energy and
    work function where none is given.
    """

    kind: ClassVar[str] = "deconvolve"
    input_files: ClassVar[Tuple[str, ...]] = ("stack", "molecule", "flat_field")
    data_setting: ClassVar[str] = "stack"

    stack: Optional[MeasuredSource] = setting(None)
    photon_energy: Optional[float] = setting(None)
    work_function: Optional[float] = setting(None)

    @property
    def energies(self) -> Energies:
        return Energies(photon_energy=self.photon_energy, work_function=self.work_function)

    def slice_energies(self, stack: MeasuredMap) -> Tuple[Energies, Float64Array]:
        """The stack's energies (the given ones over the file's, each slice's binding
        energy from its axis) and each slice's kinetic energy (eV)."""
        binding = np.asarray(stack.binding_energy, dtype=np.float64)
        energies = replace(self.energies.over(stated_energies(stack)), kinetic_energy=None,
                           binding_energy=tuple(binding))
        for name in ("photon_energy", "work_function"):
            if getattr(energies, name) is None:
                raise InputError(name, f"is missing: {stack.source} states none, and each "
                                       "slice's kinetic energy is photon energy - work "
                                       "function - its binding energy")
        kinetic = energies.kinetic(len(binding), what="the slices")
        if np.any(kinetic <= 0):
            bad = int(np.flatnonzero(kinetic <= 0)[0])
            raise InputError("photon_energy", f"is too low for slice {bad} of {stack.source} "
                                              f"(binding energy {binding[bad]:g} eV): its "
                                              f"kinetic energy would be {kinetic[bad]:g} eV")
        return energies, kinetic

    def fit(self) -> DeconvolutionResult:
        """The deconvolution, its warnings left in result.warnings."""
        clock = time.perf_counter()
        inputs = Inputs(self)
        stack = self.read_measured(inputs)
        if not stack.is_stack:
            raise MeasuredDataError(f"{stack.source}: a single map, not a stack; use "
                                    "fit_momentum_map, or give a binding_energy axis")
        energies, kinetic = self.slice_energies(stack)
        notes = measurement_notes(stack, self.energies, self.counts_per)
        molecule = self.read_molecule(inputs)
        result = deconvolve_stack(self.plan(self.read_flat(inputs, stack),
                                            notes["counts_per"] == "k-area"), stack, molecule,
                                  kinetic)
        result.elapsed_seconds = time.perf_counter() - clock
        result.energies = energies.provenance()
        result.record = self.to_record(inputs.found, **notes)
        return result

    def run(self) -> DeconvolutionResult:
        """The deconvolution; its warnings are also issued (IdentifiabilityWarning,
        FitWarning)."""
        result = self.fit()
        issue_warnings(result.warnings)
        return result


def issue_warnings(found: Sequence[CodedWarning]) -> None:
    """A fit's warnings as Python warnings, each of its class."""
    for warning in found:
        category = IdentifiabilityWarning if warning["code"] in IDENTIFIABILITY_CODES \
            else FitWarning
        warnings.warn(f"{warning['code']}: {warning['message']}", category, stacklevel=3)


# ---- the Python functions ----------------------------------------------------------------

def fit_momentum_map(measured: MeasuredSource, molecule: MoleculeSource, orbitals: Orbitals,
                     *, kinetic_energy: Optional[float] = None,
                     photon_energy: Optional[float] = None,
                     work_function: Optional[float] = None,
                     binding_energy: Optional[float] = None, spin: Spin = "alpha",
                     symmetry: Symmetry = None, mirrors: bool = True,
                     polarisation: Optional[Polarisation] = None, incidence: float = 65.0,
                     azimuth: float = 0.0, s_share: float = 0.0,
                     orientation: Sequence[float] = (0.0, 0.0, 0.0),
                     fit_angles: FitAngles = None, background: Background = "constant",
                     k_range: Optional[Tuple[float, float]] = None, poisson: bool = False,
                     errors: str = "auto", starts: Optional[int] = None,
                     k_offset: Tuple[float, float] = (0.0, 0.0), fit_k_offset: bool = False,
                     k_resolution: float = 0.0, fit_k_resolution: bool = False,
                     flat_field: Optional[Any] = None, fit_transmission: str = "none",
                     fit_domain_populations: bool = False, threads: Optional[int] = None,
                     progress: bool = True, model_image: bool = True,
                     max_memory: MemorySize = None,
                     geometry: Optional[str] = None,
                     angle_offsets: Optional[Mapping[str, float]] = None,
                     sample_azimuth: float = 0.0,
                     energy_window: Optional[Tuple[float, float]] = None,
                     k_step: Optional[float] = None, dims: Optional[Mapping[str, str]] = None,
                     angle_unit: Optional[str] = None, counts_per: Optional[str] = None
                     ) -> FitResult:
    """Fits orbital weights, chosen orientation angles and a background to a
    measured momentum map; returns a FitResult.

    measured: a MeasuredMap, a file path, an xarray.DataArray or (intensity, kx,
    ky).  molecule: a Molecule, or a file or example name.  orbitals: names
    ('HOMO', 'HOMO-1', ...) or indices.  Options (FitRequest holds them):
      kinetic_energy, or photon_energy + work_function + binding_energy (eV; the
        measured file's where not given): one E_kin for all orbitals;
      symmetry: None, 2, 3 or 4 domains about k = 0, with their mirror images
        unless mirrors=False;
      polarisation, incidence, azimuth, s_share: the light, as momentum_map_sum;
      orientation: [alpha, beta, gamma] in degrees, the start and the value of
        angles not fitted; fit_angles: None, 'gamma', 'alpha,beta,gamma', ...;
      background: 'none', 'constant' (default) or 'linear';
      k_range: (k_min, k_max) in 1/Å, the annulus of pixels to fit;
      errors: 'auto' (default), 'sigma', 'poisson' or 'uniform' (see the module
        notes); poisson=True is errors='poisson';
      the instrument (see forward.py): k_offset=(kx0, ky0) and fit_k_offset;
        k_resolution (sigma, 1/Å) and fit_k_resolution; flat_field (a file or an
        array of the map's shape); fit_transmission='radial2';
        fit_domain_populations (with symmetry);
      starts: scan points per fitted angle (1: refine from `orientation` only);
      threads: orbitals computed in parallel (default: all CPUs); progress;
      spin; model_image: also compute the model on the pixels not fitted
      (masked or outside k_range) for FitResult.model; max_memory: the memory
      guard's limit for the model maps (bytes or '8G'; default: half the
      available memory, or LIBKERNELS_MAX_MEMORY);
      data measured in angles (or a cube to window) are converted first, with
      geometry, angle_offsets, sample_azimuth, energy_window, k_step, dims and
      angle_unit as lk.to_momentum takes them; counts_per 'solid-angle' or
      'k-area' (a momentum microscope: the model takes the Jacobian K / kz) where
      the file does not say.
    Issues the fit's warnings (result.warnings): IdentifiabilityWarning when
    orbitals cannot be told apart, FitWarning for a misfit, angles not
    separately determined, equivalent orientations and errors scaled by the
    scatter.
    """
    return FitRequest(
        measured=measured, molecule=molecule, orbitals=orbitals, kinetic_energy=kinetic_energy,
        photon_energy=photon_energy, work_function=work_function,
        binding_energy=binding_energy, spin=spin, symmetry=symmetry, mirrors=mirrors,
        polarisation=polarisation, incidence=incidence, azimuth=azimuth, s_share=s_share,
        orientation=orientation, fit_angles=fit_angles, background=background,
        k_range=k_range, poisson=poisson, errors=errors, starts=starts, k_offset=k_offset,
        fit_k_offset=fit_k_offset, k_resolution=k_resolution,
        fit_k_resolution=fit_k_resolution, flat_field=flat_field,
        fit_transmission=fit_transmission, fit_domain_populations=fit_domain_populations,
        threads=threads, progress=progress, model_image=model_image, max_memory=max_memory,
        geometry=geometry, angle_offsets=None if angle_offsets is None else dict(angle_offsets),
        sample_azimuth=sample_azimuth, energy_window=energy_window, k_step=k_step,
        dims=None if dims is None else dict(dims), angle_unit=angle_unit,
        counts_per=counts_per).run()


def deconvolve(measured_stack: MeasuredSource, molecule: MoleculeSource, orbitals: Orbitals,
               *, photon_energy: Optional[float] = None,
               work_function: Optional[float] = None,
               orientation: Sequence[float] = (0.0, 0.0, 0.0), fit_angles: FitAngles = None,
               spin: Spin = "alpha", symmetry: Symmetry = None, mirrors: bool = True,
               polarisation: Optional[Polarisation] = None, incidence: float = 65.0,
               azimuth: float = 0.0, s_share: float = 0.0,
               background: Background = "constant",
               k_range: Optional[Tuple[float, float]] = None, poisson: bool = False,
               errors: str = "auto", starts: Optional[int] = None,
               k_offset: Tuple[float, float] = (0.0, 0.0), fit_k_offset: bool = False,
               k_resolution: float = 0.0, fit_k_resolution: bool = False,
               flat_field: Optional[Any] = None, fit_transmission: str = "none",
               fit_domain_populations: bool = False, threads: Optional[int] = None,
               progress: bool = True, max_memory: MemorySize = None,
               geometry: Optional[str] = None,
               angle_offsets: Optional[Mapping[str, float]] = None,
               sample_azimuth: float = 0.0,
               energy_window: Optional[Tuple[float, float]] = None,
               k_step: Optional[float] = None, dims: Optional[Mapping[str, str]] = None,
               angle_unit: Optional[str] = None, counts_per: Optional[str] = None
               ) -> DeconvolutionResult:
    """Orbital weights of every slice of an energy stack; returns a DeconvolutionResult.

    measured_stack: a stack (file, xarray.DataArray with a binding_energy
    dimension, or MeasuredMap).  Energies in eV: each slice's kinetic energy is
    photon_energy - work_function - its binding energy (the file's photon energy
    and work function where not given).  orientation and fit_angles: the start
    and the angles fitted on the summed stack.  The other options as
    fit_momentum_map's.
    """
    return DeconvolutionRequest(
        stack=measured_stack, molecule=molecule, orbitals=orbitals,
        photon_energy=photon_energy, work_function=work_function, orientation=orientation,
        fit_angles=fit_angles, spin=spin, symmetry=symmetry, mirrors=mirrors,
        polarisation=polarisation, incidence=incidence, azimuth=azimuth, s_share=s_share,
        background=background, k_range=k_range, poisson=poisson, errors=errors,
        starts=starts, k_offset=k_offset, fit_k_offset=fit_k_offset,
        k_resolution=k_resolution, fit_k_resolution=fit_k_resolution, flat_field=flat_field,
        fit_transmission=fit_transmission, fit_domain_populations=fit_domain_populations,
        threads=threads, progress=progress, max_memory=max_memory,
        geometry=geometry, angle_offsets=None if angle_offsets is None else dict(angle_offsets),
        sample_azimuth=sample_azimuth, energy_window=energy_window, k_step=k_step,
        dims=None if dims is None else dict(dims), angle_unit=angle_unit,
        counts_per=counts_per).run()
