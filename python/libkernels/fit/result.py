"""The outcome of a fit: fitted values with their errors, the model, and its pictures."""

from __future__ import annotations

import json
import os
from dataclasses import dataclass, field
import sys
from typing import TYPE_CHECKING, Any, Dict, List, Optional, Sequence, Tuple

import numpy as np

from ..core.grids import require_xarray
from ..core.orientation import ANGLES
from ..core.record import write_json
from ..core.figures import draw, draw_beside

if sys.version_info >= (3, 8):
    from typing import TypedDict
else:  # pragma: no cover
    TypedDict = dict


class CodedWarning(TypedDict):
    """What a fit says of itself: a code (misfit, degenerate-angles,
    equivalent-solutions, scaled-errors, not-identifiable, undetermined-weight)
    and a one-line message."""

    code: str
    message: str


if TYPE_CHECKING:
    import xarray
    from matplotlib.figure import Figure
    from numpy.typing import ArrayLike

    from ..core.types import BoolArray, Float64Array, PathLike


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
    over the used pixels, chi2_reduced, n_pixels, and `goodness`: chi2,
    chi2_reduced, dof, expected_spread (sqrt(2/dof): chi2_reduced's spread about
    1 when the model is right) and p_value.  `errors`: the error model used
    (sigma, poisson, uniform); sigma[i, j] the standard deviation each used
    pixel was weighed with (NaN elsewhere), so that normalised_residual =
    residual / sigma.  covariance and parameter_names: every fitted quantity's
    (weights, background, the nonlinear parameters; `ratio` and `combined`
    derive errors from them).  instrument: the instrument's values and errors
    (k_offset, k_resolution, transmission, domain_populations, when modelled).
    partial_waves (IAC fits with fitted partial waves): "fitted", each channel's
    amplitude ratio and relative phase (radians, in (-pi, pi]) with their errors;
    "reference", the channels they are relative to, with their fixed [amplitude,
    phase]; "shares", each channel's share of the model's intensity at the start;
    "parameters" and "covariance", their block of the covariance
    (`partial_wave_settings` gives them as a map request's partial_waves).
    warnings: {code, message} of each thing the fit says of itself.
    """

    orbitals: List[str]
    weights: Float64Array
    weight_errors: Float64Array
    orientation: Float64Array
    orientation_errors: Float64Array
    fit_angles: Tuple[str, ...]
    background: Float64Array
    background_errors: Float64Array
    background_terms: Tuple[str, ...]
    r_factor: float
    chi2_reduced: float
    n_pixels: int
    kinetic_energy_ev: float
    model_grid: str
    kx: Float64Array
    ky: Float64Array
    measured: Float64Array
    model: Float64Array
    residual: Float64Array
    mask: BoolArray
    covariance: Optional[Float64Array] = None
    parameter_names: List[str] = field(default_factory=list)
    # groups of orbitals whose weights only add up: {"orbitals", "sum", "error"}
    weight_sums: List[Dict[str, Any]] = field(default_factory=list)
    warnings: List[CodedWarning] = field(default_factory=list)
    n_evaluations: int = 0
    n_scan_evaluations: int = 0
    seconds_per_evaluation: float = 0.0
    elapsed_seconds: float = 0.0
    source: str = ""
    settings: Dict[str, Any] = field(default_factory=dict)
    record: Optional[Dict[str, Any]] = None  # the record of the request that made it
    goodness: Dict[str, float] = field(default_factory=dict)
    errors: str = "uniform"
    sigma: Optional[Float64Array] = None
    instrument: Dict[str, Any] = field(default_factory=dict)
    partial_waves: Dict[str, Any] = field(default_factory=dict)

    def partial_wave_settings(self) -> Dict[str, List[float]]:
        """The fitted partial waves (and the reference's values where they are not 1 and
        0) as MapRequest's partial_waves: {"C 0": [amplitude, phase], ...}; {} when none
        were fitted."""
        if not self.partial_waves:
            return {}
        found = {c: [float(a), float(p)] for c, (a, p) in
                 self.partial_waves.get("reference", {}).items() if (a, p) != (1.0, 0.0)}
        found.update({c: [v["amplitude"], v["phase"]]
                      for c, v in self.partial_waves["fitted"].items()})
        return found

    @property
    def normalised_residual(self) -> Float64Array:
        """(measured - model) / sigma on the used pixels, NaN elsewhere."""
        if self.sigma is None:
            return np.full(self.residual.shape, np.nan)
        return np.where(self.mask, self.residual / self.sigma, np.nan)

    def index_of(self, name: str) -> int:
        """The position of a fitted quantity in covariance: 'weight HOMO', 'HOMO'
        (its weight), 'background constant', 'gamma', 'kx0', ..."""
        names = list(self.parameter_names)
        for candidate in (name, f"weight {name}"):
            if candidate in names:
                return names.index(candidate)
        raise KeyError(f"{name!r} is not a fitted quantity; these are: {', '.join(names)}")

    def value_of(self, name: str) -> float:
        index = self.index_of(name)
        values = np.concatenate([self.weights, self.background])
        if index < values.size:
            return float(values[index])
        label = self.parameter_names[index]
        if label in ANGLES:
            return float(self.orientation[ANGLES.index(label)])
        raise KeyError(f"{name!r}: take its value from FitResult.instrument")

    def combined(self, names: Sequence[str], gradient: Sequence[float]) -> float:
        """The standard error of sum_k gradient[k] * value(names[k]): the covariance
        of the named quantities contracted with the gradient (errors of any smooth
        function of them, to first order)."""
        if self.covariance is None:
            raise ValueError("this fit carries no covariance")
        index = [self.index_of(n) for n in names]
        g = np.asarray(gradient, dtype=np.float64)
        variance = float(g @ self.covariance[np.ix_(index, index)] @ g)
        return float(np.sqrt(max(variance, 0.0)))

    def ratio(self, numerator: str, denominator: str) -> Tuple[float, float]:
        """(value, error) of the ratio of two fitted quantities (weights by orbital
        name), its error from their covariance."""
        a, b = self.value_of(numerator), self.value_of(denominator)
        value = a / b
        return value, self.combined([numerator, denominator], [1.0 / b, -a / b ** 2])

    def total(self, names: Sequence[str]) -> Tuple[float, float]:
        """(value, error) of the sum of fitted quantities (weights by orbital name)."""
        return (float(sum(self.value_of(n) for n in names)),
                self.combined(names, [1.0] * len(names)))

    def to_dict(self) -> Dict[str, Any]:
        """The fitted values as plain JSON-ready Python values."""
        return {
            "orbitals": list(self.orbitals),
            "weights": json_floats(self.weights),
            "weight_errors": json_floats(self.weight_errors),
            "orientation": json_floats(self.orientation),
            "orientation_errors": json_floats(self.orientation_errors),
            "background": json_floats(self.background),
            "r_factor": float(self.r_factor),
            "chi2_reduced": float(self.chi2_reduced),
            "kinetic_energy_ev": float(self.kinetic_energy_ev),
            "n_pixels": int(self.n_pixels),
            "model_grid": self.model_grid,
            "background_errors": json_floats(self.background_errors),
            "background_terms": list(self.background_terms),
            "fit_angles": list(self.fit_angles),
            "weight_sums": self.weight_sums,
            "goodness": {key: (int(v) if key == "dof" else float(v))
                         for key, v in self.goodness.items()},
            "errors": self.errors,
            "warnings": [dict(w) for w in self.warnings],
            "instrument": {key: json_floats(value) if isinstance(value, list)
                           else json_floats([value])[0] for key, value in self.instrument.items()},
            "partial_waves": _json_ready(self.partial_waves),
            "parameter_names": list(self.parameter_names),
            "covariance": None if self.covariance is None
            else [json_floats(row) for row in self.covariance],
            "n_evaluations": int(self.n_evaluations),
            "n_scan_evaluations": int(self.n_scan_evaluations),
            "seconds_per_evaluation": float(self.seconds_per_evaluation),
            "elapsed_seconds": float(self.elapsed_seconds),
            "source": self.source,
            "settings": self.settings,
        }

    def to_xarray(self) -> xarray.Dataset:
        """measured, model, residual and mask as an xarray.Dataset on (kx, ky), with
        the fitted values in its attributes."""
        xr = require_xarray()
        coords = {"kx": ("kx", self.kx, {"units": "1/angstrom"}),
                  "ky": ("ky", self.ky, {"units": "1/angstrom"})}
        variables = {name: (("kx", "ky"), getattr(self, name))
                     for name in ("measured", "model", "residual", "mask")}
        return xr.Dataset(variables, coords=coords,
                          attrs={"fit": json.dumps(self.to_dict())})

    def report(self, show_warnings: bool = True) -> str:
        """A short text table of the fitted values, the goodness of the fit and (unless
        show_warnings is False) its warnings."""
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
        if len(self.orbitals) > 1 and self.covariance is not None and \
                all(w > 0 for w in self.weights[1:2]):
            value, error = self.ratio(self.orbitals[0], self.orbitals[1])
            lines.append(f"  {'ratio ' + self.orbitals[0] + '/' + self.orbitals[1]:<24}"
                         f"{value:14.6g}{error:12.3g}")
        for label, value, error in instrument_rows(self.instrument):
            lines.append(f"  {label:<24}{value:14.6g}{error:12.3g}")
        for channel, wave in self.partial_waves.get("fitted", {}).items():
            lines.append(f"  {'amplitude ' + channel:<24}{wave['amplitude']:14.6g}"
                         f"{wave['amplitude_error']:12.3g}")
            lines.append(f"  {'phase ' + channel + ' (rad)':<24}{wave['phase']:14.6g}"
                         f"{wave['phase_error']:12.3g}")
        if self.partial_waves.get("reference"):
            lines.append("  partial waves relative to: " + ", ".join(
                self.partial_waves["reference"]))
        fixed = [a for a in ANGLES if a not in self.fit_angles]
        if fixed:
            lines.append("  fixed: " + ", ".join(
                f"{a} {self.orientation[ANGLES.index(a)]:g} deg" for a in fixed))
        spread = self.goodness.get("expected_spread")
        lines.append(f"  R-factor {self.r_factor:.4g}, reduced chi2 {self.chi2_reduced:.4g}"
                     + (f" ± {spread:.2g} expected (dof {self.goodness['dof']}, p = "
                        f"{self.goodness['p_value']:.3g})" if spread else "")
                     + f", {self.errors} errors; {self.n_evaluations} model evaluations "
                     f"(+{self.n_scan_evaluations} in the scan), {self.elapsed_seconds:.2f} s")
        shared = self.goodness.get("information_ratio")
        if shared and self.model_grid == "resampled":
            lines.append(f"  errors x {float(shared) ** 0.5:.3g} on average: the pixels were "
                         "resampled from measured ones they share (their correlation is in "
                         "the covariance)")
        elif shared:
            lines.append(f"  errors x {float(shared) ** 0.5:.3g}: the pixels were resampled from "
                         f"measured ones they share (information ratio {float(shared):.3g})")
        if show_warnings:
            lines += warning_lines(self.warnings)
        return "\n".join(lines)

    def plot(self, path: Optional[PathLike] = None, title: Optional[str] = None) -> Figure:
        """Measured | model | residual | normalised residual on the same k axes;
        saves to `path` when given and returns the matplotlib Figure."""
        return draw("fit", self, path, title)

    def save(self, directory: PathLike) -> PathLike:
        """Writes fit.json (the fitted values and their request's record), model.npy and
        then fit.png into `directory` (the figure left out, with a FigureWarning, where
        matplotlib is missing)."""
        os.makedirs(directory, exist_ok=True)
        write_json(os.path.join(directory, "fit.json"), with_record(self.to_dict(), self.record))
        np.save(os.path.join(directory, "model.npy"), self.model)
        draw_beside("fit", self, os.path.join(directory, "fit.png"))
        return directory


def warning_lines(warnings: List[CodedWarning]) -> List[str]:
    """The warnings as a report prints them, one line each with its code."""
    return [f"  warning [{w['code']}]: {w['message']}" for w in warnings]


def instrument_rows(instrument: Dict[str, Any]) -> List[Tuple[str, float, float]]:
    """(label, value, error) of each part of the instrument a fit modelled."""
    rows: List[Tuple[str, float, float]] = []
    if "k_offset" in instrument:
        for name, value, error in zip(("kx0 (1/Å)", "ky0 (1/Å)"), instrument["k_offset"],
                                      instrument["k_offset_errors"]):
            rows.append((name, value, error))
        rows.append(("k resolution (1/Å)", instrument["k_resolution"],
                     instrument["k_resolution_error"]))
    for name, value, error in zip(("transmission x", "transmission y", "transmission r2"),
                                  instrument.get("transmission", ()),
                                  instrument.get("transmission_errors", ())):
        rows.append((name, value, error))
    for k, (value, error) in enumerate(zip(instrument.get("domain_populations", ()),
                                           instrument.get("domain_population_errors", ()))):
        rows.append((f"domain {k + 1} share", value, error))
    return rows


def with_record(values: Dict[str, Any], record: Optional[Dict[str, Any]]) -> Dict[str, Any]:
    """A result's values followed by its request's record (when it has one): what
    fit.json and deconvolution.json hold."""
    return values if record is None else {**values, **record}


def _json_ready(value: Any) -> Any:
    """Nested dicts and lists with NaN and infinities as None."""
    if isinstance(value, dict):
        return {k: _json_ready(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [_json_ready(v) for v in value]
    if isinstance(value, (float, np.floating)):
        return float(value) if np.isfinite(value) else None
    return value


def json_floats(values: ArrayLike) -> List[Optional[float]]:
    """Plain floats for JSON; undetermined values (NaN) become None (null)."""
    return [float(v) if np.isfinite(v) else None
            for v in np.asarray(values, dtype=np.float64).reshape(-1)]
