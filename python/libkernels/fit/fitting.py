"""Fitting a measured momentum map with orbital maps: weights, orientation,
background and the instrument.

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

A FitRequest holds a fit's settings, checked once, reads the measured map and
the molecule once, and writes the record fit.json carries after the results;
fit_momentum_map builds one.  FitSettings, its settings without the data and
the energies, are shared with the deconvolution of stacks.  The fit itself is
map_fit.py's.
"""

from __future__ import annotations

import argparse
import os
import time
import warnings
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, ClassVar, Dict, List, Optional, Sequence, Tuple, Union

import numpy as np

from ..core.errors import FitWarning, IdentifiabilityWarning, InputError, MeasuredDataError
from ..core.memory import MemorySize
from ..core.molecule import Molecule
from ..core.orientation import ANGLES, CONVENTION
from ..core.validation import angles as validated_angles, count, finite, positive
from ..kspace.request import CONVERSION, ConversionOptions
from ..requests.base import MoleculeRequest, setting, state_field
from ..requests.maps import (LIGHT, Orbitals, light, quiet_setting, symmetry_option,
                             threads_setting)
from .forward import TRANSMISSIONS, Instrument
from .linear import ERROR_MODELS, background_terms, require_scipy
from .map_fit import checked_k_range, fit_map, used_pixels
from .measured import MeasuredMap, MeasuredSource, load_measured
from .result import CodedWarning, FitResult

if TYPE_CHECKING:
    from ..core.types import Background, BoolArray, Float64Array, Polarisation, Spin, Symmetry

__all__ = ["fit_momentum_map", "FitRequest", "FitSettings", "fit_map", "parse_fit_angles",
           "used_pixels", "FitResult"]


ENERGY = "photoelectron energy (eV)"
GEOMETRY = "orientation and domains"
FIT = "fit"
INSTRUMENT = "instrument"

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


def _joined(values: List[str]) -> str:
    """--fit-angles alpha gamma (or alpha,gamma) as one setting."""
    return ",".join(values)


def _pair(values: List[float]) -> Tuple[float, float]:
    return values[0], values[1]


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


# ---- the requests ------------------------------------------------------------------

@dataclass
class FitSettings(ConversionOptions, MoleculeRequest):
    """What a fit of measured maps with orbital maps takes besides the data and
    the energies: shared by the fit of one map and the deconvolution of a stack.

    Checked and put in the form the fit uses on construction: `start` (the
    orientation, degrees), `angles` (indices of the fitted angles), `terms`
    (the background's columns), `names` (the orbitals).
    """

    option_groups: ClassVar[Tuple[str, ...]] = (ENERGY, GEOMETRY, LIGHT, FIT, INSTRUMENT,
                                                CONVERSION)
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
    mirrors: bool = setting(True, "--mirrors", group=GEOMETRY,
                            action=argparse.BooleanOptionalAction,
                            help="domains with their mirror images (over kx), or by rotation "
                                 "only (--no-mirrors) (default: with)")
    fit_domain_populations: bool = setting(
        False, "--fit-domain-populations", group=GEOMETRY, action="store_true",
        help="with --symmetry N: fit the shares of the N domains (summing to 1) instead of "
             "taking them equal")
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
    errors: str = setting(
        "auto", "--errors", group=FIT, choices=ERROR_MODELS,
        help="the intensities' standard deviations: the file's sigma, Poisson counts, or "
             "uniform (the errors then scaled by the scatter); auto takes sigma when given, "
             "else poisson for non-negative whole counts, else uniform (default: auto)")
    poisson: bool = setting(False, "--poisson", group=FIT, action="store_true",
                            help="the intensities are counts: --errors poisson")
    k_offset: Tuple[float, float] = setting(
        (0.0, 0.0), "--k-offset", group=INSTRUMENT, type=float, nargs=2,
        metavar=("KX0", "KY0"), convert=_pair,
        help="where the measured axes put the map's k = 0, in 1/Å: the value, or the start "
             "of --fit-k-offset (default: 0 0)")
    fit_k_offset: bool = setting(False, "--fit-k-offset", group=INSTRUMENT,
                                 action="store_true", help="fit the k offset (kx0, ky0)")
    k_resolution: float = setting(
        0.0, "--k-resolution", group=INSTRUMENT, type=float, metavar="SIGMA",
        help="the momentum resolution: the model blurred by a Gaussian of this standard "
             "deviation in 1/Å, the value or the start of --fit-k-resolution (default: 0)")
    fit_k_resolution: bool = setting(False, "--fit-k-resolution", group=INSTRUMENT,
                                     action="store_true", help="fit the momentum resolution")
    flat_field: Optional[Any] = setting(
        None, "--flat-field", group=INSTRUMENT, metavar="FILE",
        help="a multiplicative response on the measured axes (.npz with intensity, kx, ky, "
             "or NetCDF/HDF5), applied to the whole model")
    fit_transmission: str = setting(
        "none", "--fit-transmission", group=INSTRUMENT, choices=TRANSMISSIONS,
        help="fit a smooth detector response: radial2 is 1 + a x + b y + c (x^2 + y^2) with "
             "(x, y) = k / the largest fitted |k| (default: none)")
    model_image: bool = setting(True)
    threads: Optional[int] = threads_setting("threads for the orbital maps (default: all CPUs)")
    progress: bool = quiet_setting()
    max_memory: MemorySize = setting(None, recorded=False)

    start: Float64Array = state_field()
    angles: Tuple[int, ...] = state_field()
    terms: Tuple[str, ...] = state_field()
    names: List[str] = state_field()
    _data: Optional[MeasuredMap] = state_field()
    _flat: Optional[Float64Array] = state_field()

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
        if self.errors not in ERROR_MODELS:
            raise InputError("errors", f"must be one of {', '.join(ERROR_MODELS)}, got "
                                       f"{self.errors!r}")
        if self.poisson and self.errors not in ("auto", "poisson"):
            raise InputError("poisson", f"contradicts errors={self.errors!r}",
                             "give {errors} only")
        self.k_offset = (finite(self.k_offset[0], "k_offset", "1/Å"),
                         finite(self.k_offset[1], "k_offset", "1/Å"))
        self.k_resolution = finite(self.k_resolution, "k_resolution", "1/Å")
        if self.k_resolution < 0:
            raise InputError("k_resolution", f"must be >= 0 (1/Å), got {self.k_resolution:g}")
        if self.fit_transmission not in TRANSMISSIONS:
            raise InputError("fit_transmission", f"must be one of {', '.join(TRANSMISSIONS)}, "
                                                 f"got {self.fit_transmission!r}")
        if self.fit_domain_populations and self.symmetry is None:
            raise InputError("fit_domain_populations", "needs domains: give {symmetry}")
        require_scipy()  # one line naming the extra before any work

    @property
    def error_model(self) -> str:
        """The errors as asked: 'poisson' for the --poisson shorthand."""
        return "poisson" if self.poisson else self.errors

    def instrument(self, measured: MeasuredMap, used: BoolArray,
                   values: Optional[Dict[str, Any]] = None) -> Instrument:
        """The instrument model at the used pixels; with `values` (a FitResult's
        `instrument`, or {} for the settings' own values) every part fixed."""
        flat = self.flat_field_data(measured)
        instrument = Instrument(
            k_offset=self.k_offset, fit_k_offset=self.fit_k_offset,
            k_resolution=self.k_resolution, fit_k_resolution=self.fit_k_resolution,
            transmission=self.fit_transmission,
            flat_field=None if flat is None else flat[used],
            populations=self.fit_domain_populations)
        if values is not None:
            instrument.k_offset = tuple(values.get("k_offset", instrument.k_offset))
            instrument.k_resolution = float(values.get("k_resolution", instrument.k_resolution))
            instrument.fit_k_offset = instrument.fit_k_resolution = False
            instrument.fixed_transmission = values.get("transmission")
            instrument.fixed_populations = values.get("domain_populations")
        return instrument

    def flat_field_data(self, measured: MeasuredMap) -> Optional[Float64Array]:
        """The flat field on the measured axes (NaN where it masks), read once."""
        if self.flat_field is None:
            return None
        if self._flat is None:
            if isinstance(self.flat_field, (str, os.PathLike)):
                source = self.read_input("flat_field", load_measured)
                label = os.fspath(self.flat_field)
            else:
                source, label = self.flat_field, "flat_field"
                self.in_memory("flat_field", "a flat field in memory")
            self._flat = _flat_field_values(source, measured, label)
        return self._flat

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
    input_files: ClassVar[Tuple[str, ...]] = ("measured", "molecule", "flat_field")
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
        else:
            for name in ("photon_energy", "work_function", "binding_energy"):
                if getattr(self, name) is not None:
                    setattr(self, name, finite(getattr(self, name), name, "eV"))

    def kinetic_energy_of(self, measured: MeasuredMap) -> float:
        """The one kinetic energy (eV) of the slice: given, or photon energy - work
        function - binding energy (the slice's own when it carries one); what is
        not given is taken from the measurement when it states it."""
        if self.kinetic_energy is not None:
            return float(self.kinetic_energy)
        photon = self.photon_energy if self.photon_energy is not None else measured.photon_energy
        work = self.work_function if self.work_function is not None else measured.work_function
        if photon is None and measured.kinetic_energy is not None:
            return float(measured.kinetic_energy)
        if photon is None or work is None:
            raise InputError("kinetic_energy", f"is missing: the measured map "
                                               f"({measured.source}) states no energy",
                             "give it, or {photon_energy} with {work_function} and "
                             "{binding_energy}")
        binding = self.binding_energy
        if binding is None and measured.binding_energy is not None and not measured.is_stack:
            binding = float(np.asarray(measured.binding_energy))
        if binding is None:
            raise InputError("binding_energy", "is missing: photon_energy needs the slice's "
                                               "binding energy (E_kin = photon energy - work "
                                               "function - binding energy)")
        energy = float(photon) - float(work) - binding
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
        """The fit; its warnings are also issued (IdentifiabilityWarning when orbitals
        cannot be told apart, FitWarning for the rest)."""
        result = self.fit()
        issue_warnings(result.warnings)
        return result


def issue_warnings(found: Sequence[CodedWarning]) -> None:
    """A fit's warnings as Python warnings, each of its class."""
    for warning in found:
        category = IdentifiabilityWarning if warning["code"] in IDENTIFIABILITY_CODES \
            else FitWarning
        warnings.warn(f"{warning['code']}: {warning['message']}", category, stacklevel=3)


IDENTIFIABILITY_CODES = ("not-identifiable", "undetermined-weight")


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
                     errors: str = "auto", starts: Optional[int] = None,
                     threads: Optional[int] = None, progress: bool = True,
                     model_image: bool = True, max_memory: MemorySize = None,
                     **instrument: Any) -> FitResult:
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
      errors: 'auto' (default), 'sigma', 'poisson' or 'uniform' (see the module
        notes); poisson=True is errors='poisson';
      instrument (see forward.py): k_offset=(kx0, ky0) and fit_k_offset;
        k_resolution (sigma, 1/Å) and fit_k_resolution; flat_field (a file or an
        array of the map's shape); fit_transmission='radial2';
        fit_domain_populations (with symmetry);
      starts: scan points per fitted angle (1: refine from `orientation` only);
      threads: orbitals computed in parallel (default: all CPUs); progress;
      spin; model_image: also compute the model on the pixels not fitted
      (masked or outside k_range) for FitResult.model; max_memory: the memory
      guard's limit for the model maps (bytes or '8G'; default: half the
      available memory, or LIBKERNELS_MAX_MEMORY).
    Issues the fit's warnings (result.warnings): IdentifiabilityWarning when
    orbitals cannot be told apart, FitWarning for a misfit, angles not
    separately determined, equivalent orientations and errors scaled by the
    scatter.
    """
    request = FitRequest(
        measured=measured, molecule=molecule, orbitals=orbitals, kinetic_energy=kinetic_energy,
        photon_energy=photon_energy, work_function=work_function,
        binding_energy=binding_energy, spin=spin, symmetry=symmetry, mirrors=mirrors,
        polarisation=polarisation, incidence=incidence, azimuth=azimuth, s_share=s_share,
        orientation=orientation, fit_angles=fit_angles, background=background,
        k_range=k_range, poisson=poisson, errors=errors, starts=starts, threads=threads,
        progress=progress, model_image=model_image, max_memory=max_memory, **instrument)
    result = request.fit()
    issue_warnings(result.warnings)
    return result
