"""Energy stacks of measured maps deconvolved into orbital-projected spectra.

The orientation is fitted (or taken as given) once, on the stack summed over
binding energy, with all orbitals at the intensity-weighted mean kinetic
energy of the slices.  That one energy is an approximation of the sum, so its
chi2_red is no verdict on the data: its orientation errors are widened by
sqrt(chi2_red) when that exceeds 1, and it raises no misfit.  Each slice is
then solved for orbital weights and background at that orientation and at its
own kinetic energy, photon energy - work function - binding energy.  The
result is one weight per orbital per binding energy, with standard errors at
the fixed orientation.  The instrument's fitted parts (k offset, resolution,
transmission, domain populations) are fitted with the orientation and kept
for every slice.  Each slice states its goodness (chi2_reduced,
expected_spread) and warns of its own misfit.

In the IAC final state the fitted partial waves (fit_partial_waves) are fitted
the same way, with the orientation on the summed stack, and held for every
slice: one set of amplitude ratios and phases shared by the stack's
kinetic-energy series (a stack spans a few eV, over which the model's own phase
shifts change by hundredths of a radian), their errors widened as the
orientation's.
"""

from __future__ import annotations

import csv
import os
from dataclasses import dataclass, field, replace
from typing import TYPE_CHECKING, Any, Dict, List, Optional, Sequence, Tuple

import numpy as np

from ..core.figures import draw, draw_beside
from ..core.orientation import ANGLES
from ..core.progress import progress_bar
from ..core.record import write_json
from .map_fit import fit_map
from .result import CodedWarning, FitResult, warning_lines, with_record

if TYPE_CHECKING:
    from matplotlib.figure import Figure
    from numpy.typing import ArrayLike, NDArray

    from ..core.molecule import Molecule
    from ..core.types import Float64Array, PathLike
    from .measured import MeasuredMap
    from .plan import FitPlan


@dataclass
class DeconvolutionResult:
    """Orbital weights against binding energy.

    weights[s, o] and weight_errors[s, o]: slice s (binding_energy[s], eV),
    orbital o; background[s] the slice's background coefficients;
    orientation / orientation_errors as fitted on the summed stack (degrees);
    orientation_fit the FitResult of that fit (None when nothing was fitted).
    """

    orbitals: List[str]
    binding_energy: Float64Array
    kinetic_energy_ev: Float64Array
    weights: Float64Array
    weight_errors: Float64Array
    background: Float64Array
    background_errors: Float64Array
    background_terms: Sequence[str]
    orientation: Float64Array
    orientation_errors: Float64Array
    fit_angles: Sequence[str]
    r_factor: Float64Array
    chi2_reduced: Float64Array
    n_pixels: NDArray[np.int_]
    model_grid: str
    orientation_fit: Optional[FitResult] = None
    warnings: List[CodedWarning] = field(default_factory=list)
    expected_spread: Optional[Float64Array] = None  # sqrt(2/dof) of each slice
    partial_waves: Dict[str, Any] = field(default_factory=dict)  # as FitResult's, shared
    elapsed_seconds: float = 0.0
    source: str = ""
    record: Optional[Dict[str, Any]] = None
    energies: Dict[str, str] = field(default_factory=dict)  # each energy: given or file

    def to_dict(self) -> Dict[str, Any]:
        """The results as plain JSON-ready Python values."""
        def rows(array: ArrayLike) -> List[List[float]]:
            return [[float(v) for v in row] for row in np.asarray(array)]

        return {
            "orbitals": list(self.orbitals),
            "binding_energy": [float(e) for e in self.binding_energy],
            "weights": rows(self.weights),
            "weight_errors": rows(self.weight_errors),
            "orientation": [float(a) for a in self.orientation],
            "orientation_errors": [float(a) for a in self.orientation_errors],
            "fit_angles": list(self.fit_angles),
            "kinetic_energy_ev": [float(e) for e in self.kinetic_energy_ev],
            "background": rows(self.background),
            "background_errors": rows(self.background_errors),
            "background_terms": list(self.background_terms),
            "r_factor": [float(v) for v in self.r_factor],
            "chi2_reduced": [float(v) for v in self.chi2_reduced],
            "expected_spread": None if self.expected_spread is None
            else [float(v) for v in self.expected_spread],
            "n_pixels": [int(v) for v in self.n_pixels],
            "model_grid": self.model_grid,
            "instrument": {} if self.orientation_fit is None
            else self.orientation_fit.instrument,
            "warnings": [dict(w) for w in self.warnings],
            "partial_waves": self.partial_waves,
            "elapsed_seconds": float(self.elapsed_seconds),
            "source": self.source,
        }

    def report(self, show_warnings: bool = True) -> str:
        """A short text table: one row per slice, weight ± error per orbital, and
        (unless show_warnings is False) the warnings."""
        angles = ", ".join(f"{a:.3f}" for a in self.orientation)
        fitted = (" (fitted: " + ", ".join(
            f"{a} ± {self.orientation_errors[ANGLES.index(a)]:.2g}" for a in self.fit_angles)
            + ")") if self.fit_angles else ""
        lines = [f"deconvolution of {self.source}: {len(self.binding_energy)} slices, "
                 f"orientation [{angles}] deg{fitted}",
                 f"  {'E_B (eV)':>9}" + "".join(f"{name:>24}" for name in self.orbitals)
                 + f"{'R-factor':>10}{'chi2_red':>10}"]
        for s, energy in enumerate(self.binding_energy):
            cells = "".join(f"{self.weights[s, o]:>13.4g} ± {self.weight_errors[s, o]:<8.2g}"
                            for o in range(len(self.orbitals)))
            lines.append(f"  {energy:9.3f}{cells}{self.r_factor[s]:10.4f}"
                         f"{self.chi2_reduced[s]:10.4g}")
        if show_warnings:
            lines += warning_lines(self.warnings)
        return "\n".join(lines)

    def plot(self, path: Optional[PathLike] = None, title: Optional[str] = None) -> Figure:
        """Each orbital's weight against binding energy; returns the Figure."""
        return draw("deconvolution", self, path, title)

    def save(self, directory: PathLike) -> PathLike:
        """Writes deconvolution.json (the results and their request's record),
        deconvolution.csv and then deconvolution.png (the figure left out, with a
        FigureWarning, where matplotlib is missing)."""
        os.makedirs(directory, exist_ok=True)
        write_json(os.path.join(directory, "deconvolution.json"),
                   with_record(self.to_dict(), self.record))
        with open(os.path.join(directory, "deconvolution.csv"), "w", newline="") as handle:
            writer = csv.writer(handle)
            writer.writerow(["binding_energy_ev", "kinetic_energy_ev"]
                            + [f"weight {o}" for o in self.orbitals]
                            + [f"weight_error {o}" for o in self.orbitals]
                            + ["r_factor", "chi2_reduced"])
            for s, energy in enumerate(self.binding_energy):
                writer.writerow([f"{energy:.6g}", f"{self.kinetic_energy_ev[s]:.6g}"]
                                + [f"{v:.8g}" for v in self.weights[s]]
                                + [f"{v:.8g}" for v in self.weight_errors[s]]
                                + [f"{self.r_factor[s]:.6g}", f"{self.chi2_reduced[s]:.6g}"])
        draw_beside("deconvolution", self, os.path.join(directory, "deconvolution.png"))
        return directory


def deconvolve_stack(plan: FitPlan, stack: MeasuredMap, molecule: Molecule,
                     energies: Float64Array) -> DeconvolutionResult:
    """The deconvolution of `stack`, each slice at its kinetic energy `energies[s]` (eV)
    (see the module notes); warnings left in result.warnings."""
    binding = np.asarray(stack.binding_energy)
    orientation_fit = None
    orientation: Any = plan.start
    orientation_errors = np.zeros(3)
    fitted: Tuple[str, ...] = ()
    instrument = None
    waves: Dict[str, Any] = {}
    held = plan.partial_waves
    if plan.angles or plan.fits_instrument or plan.fit_partial_waves:
        totals = np.clip(np.nansum(stack.intensity, axis=(1, 2)), 0, None)
        mean_energy = (float(np.sum(totals * energies) / np.sum(totals))
                       if np.sum(totals) > 0 else float(np.mean(energies)))
        orientation_fit = fit_map(plan, stack.summed(), molecule, mean_energy)
        orientation = orientation_fit.orientation
        # The summed stack is modelled at one mean kinetic energy, an
        # approximation its chi2 shows: no misfit of the data, but errors
        # widened by the scatter it leaves (the slices' own chi2 test the fit).
        widen = max(1.0, float(np.sqrt(orientation_fit.chi2_reduced)))
        orientation_errors = orientation_fit.orientation_errors * widen
        orientation_fit.warnings = [w for w in orientation_fit.warnings
                                    if w["code"] != "misfit"]
        fitted = orientation_fit.fit_angles
        instrument = orientation_fit.instrument
        if orientation_fit.partial_waves:
            held = orientation_fit.partial_wave_settings()
            waves = widened(orientation_fit.partial_waves, widen)

    slices = []
    # each slice at the orientation (and instrument) found, fitting weights and background
    alpha, beta, gamma = (float(a) for a in orientation)
    at_orientation = replace(plan, start=(alpha, beta, gamma), angles=(),
                             model_image=False, progress=False, fit_partial_waves=False,
                             partial_waves=held)
    bar = progress_bar(len(energies), "slices", plan.progress, unit="slice")
    try:
        for s, energy in enumerate(energies):
            slices.append(fit_map(at_orientation, stack.slice(s), molecule, float(energy),
                                  instrument_values=instrument or {}))
            bar.update()
    finally:
        bar.close()

    messages = list(orientation_fit.warnings) if orientation_fit is not None else []
    groups: Dict[Tuple[str, ...], List[int]] = {}
    for s, result in enumerate(slices):
        for group in result.weight_sums:
            groups.setdefault(tuple(group["orbitals"]), []).append(s)
    for labels, where in groups.items():
        messages.append(CodedWarning(
            code="not-identifiable",
            message=f"the weights of {', '.join(labels)} are not separately identifiable "
                    f"in {len(where)} of {len(slices)} slices (nearly collinear maps); use "
                    "their sum"))
    misfits = [s for s, r in enumerate(slices)
               if any(w["code"] == "misfit" for w in r.warnings)]
    if misfits:
        messages.append(CodedWarning(
            code="misfit",
            message=f"{len(misfits)} of {len(slices)} slices are misfits (chi2_red more "
                    "than 5 expected spreads above 1), at binding energies "
                    + ", ".join(f"{binding[s]:g}" for s in misfits[:6])
                    + (" ..." if len(misfits) > 6 else "") + " eV"))
    return DeconvolutionResult(
        orbitals=slices[0].orbitals, binding_energy=binding,
        kinetic_energy_ev=energies,
        weights=np.array([r.weights for r in slices]),
        weight_errors=np.array([r.weight_errors for r in slices]),
        background=np.array([r.background for r in slices]),
        background_errors=np.array([r.background_errors for r in slices]),
        background_terms=slices[0].background_terms, orientation=np.asarray(orientation),
        orientation_errors=np.asarray(orientation_errors), fit_angles=fitted,
        r_factor=np.array([r.r_factor for r in slices]),
        chi2_reduced=np.array([r.chi2_reduced for r in slices]),
        expected_spread=np.array([r.goodness["expected_spread"] for r in slices]),
        n_pixels=np.array([r.n_pixels for r in slices]),
        model_grid=slices[0].model_grid, orientation_fit=orientation_fit,
        warnings=messages, source=stack.source, partial_waves=waves)


def widened(waves: Dict[str, Any], factor: float) -> Dict[str, Any]:
    """A fit's partial waves with their errors (and covariance) widened by `factor`."""
    fitted = {c: {**v, "amplitude_error": v["amplitude_error"] * factor,
                  "phase_error": v["phase_error"] * factor}
              for c, v in waves["fitted"].items()}
    covariance = [[None if x is None else x * factor ** 2 for x in row]
                  for row in waves["covariance"]]
    return {**waves, "fitted": fitted, "covariance": covariance}

