"""Pictures of fits: measured | model | residual, and orbital-projected spectra."""

from __future__ import annotations

from typing import TYPE_CHECKING, List, Optional, Tuple

import numpy as np

from ..core.orientation import ANGLES
from .maps import new_figure, require_matplotlib

if TYPE_CHECKING:
    from matplotlib.figure import Figure

    from ..core.types import Float64Array, PathLike
    from ..fit.deconvolution import DeconvolutionResult
    from ..fit.result import FitResult


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
    quality = (f"R = {result.r_factor:.4f}, χ²_red = {result.chi2_reduced:.3g}, "
               f"{result.n_pixels} pixels, E_kin {result.kinetic_energy_ev:.2f} eV, "
               f"model grid {result.model_grid}")
    lines: List[str] = []
    line = ""
    for part in parts:
        if len(line) + len(part) > 110:
            lines.append(line)
            line = ""
        line = f"{line};  {part}" if line else part
    lines.append(line)
    return "\n".join(lines + [quality])


def plot_fit(result: FitResult, path: Optional[PathLike] = None,
             title: Optional[str] = None) -> Figure:
    """Three panels on the same k axes: measured and model share one colour
    scale; the residual is shown with a diverging map spanning the same
    intensity range, on the fitted pixels only (the others grey)."""
    colormaps = require_matplotlib("matplotlib").colormaps
    Circle = require_matplotlib("matplotlib.patches").Circle
    extent = _extent(result.kx, result.ky)
    measured = np.where(result.mask, result.measured, np.nan)
    low = float(np.nanmin(measured))
    high = float(np.nanmax(measured))
    span = max(high - low, 1e-300)
    residual = np.where(result.mask, result.residual, np.nan)
    rms = float(np.sqrt(np.nanmean(residual ** 2)))
    figure = new_figure(figsize=(13.5, 5.0), dpi=110)
    axes = figure.subplots(1, 3, sharex=True, sharey=True)
    panels = [("measured", result.measured, "inferno", low, high),
              ("model", result.model, "inferno", low, high),
              (f"residual (measured − model), rms {rms:.3g}", residual, "RdBu_r", -span / 2, span / 2)]
    for ax, (name, data, cmap, vmin, vmax) in zip(axes, panels):
        colours = colormaps[cmap].copy()
        colours.set_bad("0.75")
        # data[i, j] is at (kx[i], ky[j]); imshow wants rows = ky.
        image = ax.imshow(np.asarray(data).T, origin="lower", extent=extent, cmap=colours,
                          vmin=vmin, vmax=vmax, interpolation="nearest", aspect="equal")
        ax.set_title(name, fontsize=11)
        ax.set_xlabel("$k_x$ (Å$^{-1}$)")
        k_range = result.settings.get("k_range") if result.settings else None
        for radius in (k_range or ()):
            if radius > 0:
                ax.add_patch(Circle((0, 0), radius, fill=False, color="0.3", lw=0.6,
                                        ls="--"))
        figure.colorbar(image, ax=ax, fraction=0.046, pad=0.03)
    axes[0].set_ylabel("$k_y$ (Å$^{-1}$)")
    figure.suptitle(title or f"fit of {result.source}", fontsize=11)
    figure.text(0.5, 0.015, fit_caption(result), ha="center", va="bottom", fontsize=8.5)
    figure.tight_layout(rect=(0, 0.1, 1, 0.95))
    if path is not None:
        figure.savefig(path)
    return figure


def plot_spectra(result: DeconvolutionResult, path: Optional[PathLike] = None,
                 title: Optional[str] = None) -> Figure:
    """Each orbital's weight against binding energy, with its standard error."""
    figure = new_figure(figsize=(7.0, 4.5), dpi=110)
    ax = figure.subplots()
    energy = np.asarray(result.binding_energy)
    for k, name in enumerate(result.orbitals):
        ax.errorbar(energy, result.weights[:, k], yerr=result.weight_errors[:, k], marker="o",
                    ms=3, capsize=2, lw=1, label=name)
    ax.set_xlabel("binding energy (eV)")
    ax.set_ylabel("orbital weight")
    ax.axhline(0, color="0.6", lw=0.6)
    ax.legend(fontsize=9)
    angles = ", ".join(f"{a:.2f}" for a in result.orientation)
    ax.set_title(title or f"orbital-projected spectra of {result.source}\n"
                 f"orientation [{angles}]°", fontsize=10)
    figure.tight_layout()
    if path is not None:
        figure.savefig(path)
    return figure
