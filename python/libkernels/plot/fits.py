"""Pictures of fits: measured | model | residual | normalised residual, and
orbital-projected spectra with each slice's reduced chi-square."""

from __future__ import annotations

from typing import TYPE_CHECKING, List, Optional, Tuple

import numpy as np

from ..core.figures import drawer
from ..core.orientation import ANGLES
from .maps import new_figure, require_matplotlib

if TYPE_CHECKING:
    from matplotlib.figure import Figure

    from ..core.types import Float64Array, PathLike
    from ..fit.deconvolution import DeconvolutionResult
    from ..fit.result import FitResult

# The normalised residual (data - model) / sigma is drawn on this fixed scale,
# so that pictures of different fits compare: a good fit is noise of spread 1.
NORMALISED_SCALE = 5.0
CAPTION_WIDTH = 165  # characters per caption line


def _extent(kx: Float64Array, ky: Float64Array) -> Tuple[float, float, float, float]:
    hx = (kx[1] - kx[0]) / 2
    hy = (ky[1] - ky[0]) / 2
    return (kx[0] - hx, kx[-1] + hx, ky[0] - hy, ky[-1] + hy)


def fit_caption(result: FitResult) -> str:
    """The fitted values with their errors and the fit's quality, in lines of a figure."""
    parts = [f"{name} {w:.4g} ± {e:.2g}" for name, w, e in
             zip(result.orbitals, result.weights, result.weight_errors)]
    for angle in result.fit_angles:
        index = ANGLES.index(angle)
        parts.append(f"{angle} {result.orientation[index]:.2f}° ± "
                     f"{result.orientation_errors[index]:.2g}°")
    for term, value, error in zip(result.background_terms, result.background,
                                  result.background_errors):
        parts.append(f"bg {term} {value:.3g} ± {error:.2g}")
    instrument = result.instrument
    if "k_offset" in instrument:
        parts.append("k0 ({:.3g}, {:.3g}) ± ({:.2g}, {:.2g}) Å⁻¹".format(
            *instrument["k_offset"], *instrument["k_offset_errors"]))
        parts.append(f"k resolution {instrument['k_resolution']:.3g} ± "
                     f"{instrument['k_resolution_error']:.2g} Å⁻¹")
    if "transmission" in instrument:
        parts.append("transmission ({:.3g}, {:.3g}, {:.3g})".format(*instrument["transmission"]))
    if "domain_populations" in instrument:
        parts.append("domains " + ", ".join(f"{v:.3f}" for v in
                                             instrument["domain_populations"]))
    spread = result.goodness.get("expected_spread")
    quality = (f"χ²_red = {result.chi2_reduced:.4g}"
               + (f" (expected 1 ± {spread:.2g}, p = {result.goodness['p_value']:.2g})"
                  if spread else "")
               + f", {result.errors} errors;  R = {result.r_factor:.4f}, {result.n_pixels} "
               f"pixels, E_kin {result.kinetic_energy_ev:.2f} eV, model grid {result.model_grid}")
    codes = sorted({w["code"] for w in result.warnings})
    if codes:
        quality += ";  warnings: " + ", ".join(codes)
    lines: List[str] = []
    for part in parts:  # whole parts to a line
        if lines and len(lines[-1]) + len(part) + 3 <= CAPTION_WIDTH:
            lines[-1] += ";  " + part
        else:
            lines.append(part)
    return "\n".join(lines + [quality])


@drawer("fit")
def plot_fit(result: FitResult, path: Optional[PathLike] = None,
             title: Optional[str] = None) -> Figure:
    """Four panels on the same k axes: measured and model on one colour scale; the
    residual on a symmetric scale of its own; the normalised residual
    (data - model) / sigma on a fixed ±5 scale.  Pixels not fitted are grey."""
    colormaps = require_matplotlib("matplotlib").colormaps
    Circle = require_matplotlib("matplotlib.patches").Circle
    extent = _extent(result.kx, result.ky)
    measured = np.where(result.mask, result.measured, np.nan)
    low = float(np.nanmin(measured))
    high = float(np.nanmax(measured))
    residual = np.where(result.mask, result.residual, np.nan)
    rms = float(np.sqrt(np.nanmean(residual ** 2)))
    # the residual's own scale: its largest values bar a few outliers
    reach = float(np.nanpercentile(np.abs(residual), 99.5)) or max(rms, 1e-300)
    unit = "counts" if result.errors == "poisson" else "intensity"
    figure = new_figure(figsize=(17.0, 5.2), dpi=110, layout="constrained")
    grid = figure.add_gridspec(2, 4, height_ratios=(1.0, 0.16))
    axes = [figure.add_subplot(grid[0, 0])]
    axes += [figure.add_subplot(grid[0, k], sharex=axes[0], sharey=axes[0]) for k in (1, 2, 3)]
    panels = [("measured", result.measured, "inferno", low, high, unit),
              ("model", result.model, "inferno", low, high, unit),
              (f"residual (measured − model), rms {rms:.3g}", residual, "RdBu_r", -reach,
               reach, unit),
              ("normalised residual", result.normalised_residual, "RdBu_r",
               -NORMALISED_SCALE, NORMALISED_SCALE, "(measured − model) / σ")]
    k_range = result.settings.get("k_range") if result.settings else None
    for ax, (name, data, cmap, vmin, vmax, label) in zip(axes, panels):
        colours = colormaps[cmap].with_extremes(bad="0.75")
        # data[i, j] is at (kx[i], ky[j]); imshow wants rows = ky.
        image = ax.imshow(np.asarray(data).T, origin="lower", extent=extent, cmap=colours,
                          vmin=vmin, vmax=vmax, interpolation="nearest", aspect="equal")
        ax.set_title(name, fontsize=10)
        ax.set_xlabel("$k_x$ (Å$^{-1}$)")
        for radius in (k_range or ()):
            if radius > 0:
                ax.add_patch(Circle((0, 0), radius, fill=False, color="0.3", lw=0.6, ls="--"))
        figure.colorbar(image, ax=ax, fraction=0.046, pad=0.02, shrink=0.9).set_label(
            label, fontsize=9)
    axes[0].set_ylabel("$k_y$ (Å$^{-1}$)")
    for ax in axes[1:]:
        ax.tick_params(labelleft=False)
    caption = figure.add_subplot(grid[1, :])
    caption.axis("off")
    caption.text(0.5, 1.0, fit_caption(result), ha="center", va="top", fontsize=8.5,
                 transform=caption.transAxes)
    figure.suptitle(title or f"fit of {result.source}", fontsize=11)
    if path is not None:
        figure.savefig(path)
    return figure


@drawer("deconvolution")
def plot_spectra(result: DeconvolutionResult, path: Optional[PathLike] = None,
                 title: Optional[str] = None) -> Figure:
    """Each orbital's weight against binding energy with its standard error, and
    below each slice's reduced chi-square against its expected band 1 ± sqrt(2/dof)."""
    figure = new_figure(figsize=(7.5, 6.0), dpi=110, layout="constrained")
    ax, quality = figure.subplots(2, 1, sharex=True, gridspec_kw={"height_ratios": (3, 1.3)})
    energy = np.asarray(result.binding_energy)
    for k, name in enumerate(result.orbitals):
        ax.errorbar(energy, result.weights[:, k], yerr=result.weight_errors[:, k], marker="o",
                    ms=3, capsize=2, lw=1, label=name)
    ax.set_ylabel("orbital weight")
    ax.axhline(0, color="0.6", lw=0.6)
    ax.legend(fontsize=9)
    angles = ", ".join(f"{a:.2f}" for a in result.orientation)
    ax.set_title(title or f"orbital-projected spectra of {result.source}\n"
                 f"orientation [{angles}]°", fontsize=10)
    chi2 = np.asarray(result.chi2_reduced)
    if result.expected_spread is not None:
        spread = np.asarray(result.expected_spread)
        quality.fill_between(energy, 1 - 5 * spread, 1 + 5 * spread, color="0.88", lw=0,
                             label="1 ± 5 expected spreads")
    quality.axhline(1.0, color="0.5", lw=0.7)
    quality.plot(energy, chi2, "o-", ms=3, lw=1, color="k", label="χ²_red of the slice")
    quality.set_ylabel("χ²_red")
    quality.set_xlabel("binding energy (eV)")
    quality.legend(fontsize=8, loc="upper right")
    if path is not None:
        figure.savefig(path)
    return figure

