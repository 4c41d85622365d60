"""The outcome of a fit: fitted values with their errors, the model, and its pictures."""

from __future__ import annotations

import json
import os
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, Dict, List, Optional, Tuple

import numpy as np

from ..core.grids import require_xarray
from ..core.orientation import ANGLES
from ..core.record import write_json
from ..plot.fits import plot_fit

if TYPE_CHECKING:
    import xarray
    from matplotlib.figure import Figure
    from numpy.typing import ArrayLike

    from ..core.types import BoolArray, Float64Array, PathLike
    from ..requests.base import Request


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
    warnings: List[str] = field(default_factory=list)
    n_evaluations: int = 0
    n_scan_evaluations: int = 0
    seconds_per_evaluation: float = 0.0
    elapsed_seconds: float = 0.0
    source: str = ""
    settings: Dict[str, Any] = field(default_factory=dict)
    request: Optional[Request] = None

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
            "warnings": list(self.warnings),
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

    def report(self) -> str:
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

    def plot(self, path: Optional[PathLike] = None, title: Optional[str] = None) -> Figure:
        """Measured | model | residual on the same k axes and intensity scale; saves
        to `path` when given and returns the matplotlib Figure."""
        return plot_fit(self, path, title)

    def save(self, directory: PathLike) -> PathLike:
        """Writes fit.json (the fitted values and their request's record), fit.png and
        model.npy into `directory`."""
        os.makedirs(directory, exist_ok=True)
        write_json(os.path.join(directory, "fit.json"), with_record(self.to_dict(), self.request))
        np.save(os.path.join(directory, "model.npy"), self.model)
        self.plot(os.path.join(directory, "fit.png"))
        return directory


def with_record(values: Dict[str, Any], request: Optional[Request]) -> Dict[str, Any]:
    """A result's values followed by its request's record (when it has a request):
    what fit.json and deconvolution.json hold."""
    return values if request is None else {**values, **request.record()}


def json_floats(values: ArrayLike) -> List[Optional[float]]:
    """Plain floats for JSON; undetermined values (NaN) become None (null)."""
    return [float(v) if np.isfinite(v) else None
            for v in np.asarray(values, dtype=np.float64).reshape(-1)]
