"""Momentum maps as figures for papers: PNG, PDF or SVG.

Everything is drawn on a matplotlib `Figure` object, never through pyplot's
global state, so the caller's backend and open figures are left alone (and
threads may draw at the same time).  matplotlib is an optional dependency
(`pip install 'libkernels[plot]'`); without it these functions raise
`MissingExtraError`, an ImportError saying so.

A figure shows the map with kx to the right and ky up, in the map's unit, a
colour bar, the dashed circle of the photoelectron's largest parallel momentum
(|k| = sqrt(2 m E_kin) / hbar, emission at 90 degrees), a caption stating what
was computed (each orbital's binding and kinetic energy among it), and, when
the molecule is given, its outline seen from above as it stands for this
map's orientation, in the margin beside the map where it hides no data.  The
title names the molecule as its file does, when the file names it.  Maps that take both signs (circular
dichroism) use a diverging colour map centred on zero.  Maps wider than
`MAX_DRAWN_PIXELS` are drawn at every k-th pixel; the data files keep them whole.
"""

from __future__ import annotations

import math
import os
import textwrap
from typing import IO, TYPE_CHECKING, Any, Dict, List, Optional, Sequence, Union

import numpy as np

from ..core.extras import require
from ..core.figures import drawer
from ..core.grids import MomentumMap, unit_text
from ..core.map_sum_call import SIGNED_POLARISATIONS
from ..core.molecule import Molecule
from ..core.orientation import laboratory_positions
from ..core.units import bohr_momentum_to

if TYPE_CHECKING:
    from matplotlib.figure import Figure

    from ..core.types import OrientationLike, PathLike

__all__ = ["require_matplotlib", "map_figure", "save_map", "map_caption",
           "colour_map_for", "FIGURE_FORMATS", "MAX_DRAWN_PIXELS"]

FIGURE_FORMATS = ("png", "pdf", "svg")
MAX_DRAWN_PIXELS = 1000
CAPTION_POINTS = 9  # readable when the figure is printed at its size
TITLE_POINTS = 11
CAPTION_CHARACTERS = 84  # per line at CAPTION_POINTS across the figure
SEQUENTIAL = "inferno"
DIVERGING = "RdBu_r"


def require_matplotlib(module: str = "matplotlib.figure") -> Any:
    """A matplotlib module (by default the one with Figure); MissingExtraError without it."""
    return require(module, "plot", "drawing maps", "matplotlib",
                   "or write the data only, e.g. libkernels map --format nc")


def new_figure(**options: Any) -> "Figure":
    """A matplotlib Figure outside pyplot: the caller's backend and figures stay as they are."""
    return require_matplotlib().Figure(**options)


def _numbers(values: Sequence[float], digits: int = 2) -> str:
    return ", ".join(f"{v:.{digits}f}" for v in values)


def map_caption(momentum_map: MomentumMap, molecule_name: str = "") -> List[str]:
    """Lines describing a map: molecule and orbitals, each orbital's binding and
    kinetic energy, light, symmetry, orientation."""
    p = momentum_map.parameters
    unit = p.get("energy_unit", "eV")
    names = list(p.get("orbitals", []))
    orbitals = "+".join(names) or "map"
    lines = [f"{molecule_name} {orbitals}".strip()]
    energies = list(p.get("kinetic_energy") or [])
    binding = list(p.get("binding_energy") or [None] * len(energies))
    if energies:
        parts = []
        for k, e_kin in enumerate(energies):
            name = f"{names[k]}: " if len(names) == len(energies) and len(energies) > 1 else ""
            e_b = binding[k] if k < len(binding) else None
            parts.append(f"{name}E_B = {e_b:.2f} {unit}, E_kin = {e_kin:.2f} {unit}"
                         if e_b is not None else f"{name}E_kin = {e_kin:.2f} {unit}")
        energy = "; ".join(parts)
        if p.get("photon_energy") is not None and not p.get("kinetic_energy_given"):
            energy += (f" (photon {p['photon_energy']:g} {unit}, work function "
                       f"{p['work_function']:g} {unit})")
        elif p.get("kinetic_energy_given") and any(b is not None for b in binding):
            energy += " (E_kin given; E_B = -orbital energy)"
        lines.append(energy)
    light = p.get("polarisation") or "none"
    if light != "none":
        text = f"{light}-polarised light" if light in ("p", "s") else f"{light} light"
        text += (f", incidence {p.get('incidence_deg', 0):g}° from the normal, plane of "
                 f"incidence at {p.get('azimuth_deg', 0):g}° from kx")
        if light == "linear":
            text += f", {p.get('s_share_percent', 0):g}% s"
        damping = p.get("kz_imaginary")
        if damping and any(damping):
            text += f", final state damped (Im kz = {', '.join(f'{v:g}' for v in damping)})"
        lines.append(text)
    elif p.get("dichroism"):
        lines.append(f"circular light, incidence {p.get('incidence_deg', 0):g}° from the "
                     f"normal, plane of incidence at {p.get('azimuth_deg', 0):g}° from kx")
    else:
        lines.append("no light-polarisation factor")
    if p.get("dichroism"):
        lines.append("circular dichroism (I_left − I_right) / (I_left + I_right)")
    if p.get("final_state") == "iac":
        waves = p.get("partial_waves") or {}
        lines.append(f"IAC final state, {p.get('continuum', 'atomic')} continuum"
                     + (", partial waves " + ", ".join(f"{c} × {a:g} e^(i {f:g})"
                                                       for c, (a, f) in waves.items())
                        if waves else ""))
    symmetry = p.get("symmetry", "none")
    orientation = tuple(p.get("orientation", (0.0, 0.0, 0.0)))
    geometry = [f"{symmetry}-fold symmetrised" if symmetry not in (None, "none") else
                "not symmetrised",
                "orientation (α, β, γ) = (" + ", ".join(f"{a:g}" for a in orientation) + ")°"]
    lines.append("; ".join(geometry))
    return [line for line in lines if line]


def bar_label(parameters: Dict[str, Any], signed: bool) -> str:
    """What the colour bar shows: the plane wave's |FT psi|^2 / pi^3, the IAC model's
    (16/pi) |M|^2, their differences, or the dichroism's asymmetry."""
    if parameters.get("dichroism"):
        return "(I_left − I_right) / (I_left + I_right)"
    if parameters.get("final_state") == "iac":
        return "IAC intensity (16/π)|M|² (bohr³)" if not signed else \
            "IAC intensity difference (bohr³)"
    return "intensity |FT ψ|²/π³ (bohr³)" if not signed else "intensity difference (bohr³)"


def colour_map_for(momentum_map: MomentumMap) -> str:
    """Diverging for signed maps (dichroism, or any negative value), sequential otherwise."""
    signed = momentum_map.parameters.get("polarisation") in SIGNED_POLARISATIONS or \
        bool(momentum_map.parameters.get("dichroism"))
    data = np.asarray(momentum_map.data)
    return DIVERGING if signed or (data.size and np.nanmin(data) < 0) else SEQUENTIAL


def _outline(axes: Any, molecule: Molecule, orientation: OrientationLike) -> None:
    """The molecule seen from above as it stands in the laboratory for this map
    (core/orientation.py: its atom at r stands at M^T r)."""
    positions = laboratory_positions(molecule.positions, orientation)
    positions -= positions.mean(axis=0)
    heavy = np.asarray(molecule.atomic_numbers) > 1
    for a in range(len(positions)):
        for b in range(a + 1, len(positions)):
            limit = 3.4 if heavy[a] and heavy[b] else 2.6  # bohr: bonded neighbours
            if np.linalg.norm(positions[a] - positions[b]) < limit:
                axes.plot(positions[[a, b], 0], positions[[a, b], 1], color="0.75", lw=0.8)
    axes.scatter(positions[:, 0], positions[:, 1], s=np.where(heavy, 9, 3),
                 c=np.where(heavy, "white", "0.6"), linewidths=0, zorder=3)
    axes.set_aspect("equal")
    extent = float(np.abs(positions[:, :2]).max()) * 1.15 + 1.0
    axes.set_xlim(-extent, extent)
    axes.set_ylim(-extent, extent)
    axes.set_xticks([])
    axes.set_yticks([])
    axes.set_facecolor((0, 0, 0, 0.35))
    for spine in axes.spines.values():
        spine.set_color("0.6")


@drawer("map-figure")
def map_figure_to(momentum_map: MomentumMap, path: Optional[PathLike] = None, *,
                  molecule: Optional[Molecule] = None, molecule_name: str = "",
                  dpi: float = 150) -> "Figure":
    """map_figure, also written to `path` when given."""
    figure = map_figure(momentum_map, molecule=molecule, molecule_name=molecule_name, dpi=dpi)
    if path is not None:
        figure.savefig(path, dpi=dpi)
    return figure


def map_figure(momentum_map: MomentumMap, caption: Optional[Sequence[str]] = None, *,
               molecule: Optional[Molecule] = None, molecule_name: str = "",
               cmap: Optional[str] = None, dpi: float = 150, math_text: bool = False) -> "Figure":
    """A matplotlib Figure of the map (nothing global is touched).

    The title names the molecule as `molecule_name`, else as the molecule's file
    calls it (Molecule.name), else by its file.  Caption lines are shown as
    written (a $ in a file name stays a $) unless `math_text`.
    """
    data = np.asarray(momentum_map.data)
    stride = max(1, math.ceil(data.shape[0] / MAX_DRAWN_PIXELS))
    kx = momentum_map.kx
    shown = data[::stride, ::stride]
    axis = kx[::stride]
    half = (axis[1] - axis[0]) / 2 if len(axis) > 1 else 0.5
    extent = (axis[0] - half, axis[-1] + half, axis[0] - half, axis[-1] + half)
    if not molecule_name and molecule is not None:
        molecule_name = molecule.name or os.path.splitext(molecule.title)[0]
    lines = list(caption) if caption is not None else map_caption(momentum_map, molecule_name)
    if stride > 1:
        lines.append(f"drawn at one pixel in {stride} per axis of {data.shape[0]}; the data file "
                     "holds them all")
    e_kin = momentum_map.parameters.get("e_kin_hartree")
    circle = e_kin is not None and len(np.atleast_1d(e_kin)) > 0
    if circle:
        lines.append("dashed circle: largest parallel momentum, |k| = √(2m E_kin)/ħ "
                     "(emission at 90°)")
    if molecule is not None:
        lines.append("top right: the molecule seen from above as it stands for this "
                     "orientation")
    body = [wrapped for line in lines[1:]
            for wrapped in textwrap.wrap(line, CAPTION_CHARACTERS) or [""]]

    # Inches: the square map on the left, the molecule's outline and the colour bar in
    # the margin to its right (never over the data), the caption below.
    width, side, left, gap = 5.6, 3.9, 0.72, 0.12
    line = CAPTION_POINTS / 72 * 1.35
    caption_height = 0.12 + line * len(body)
    bottom = caption_height + 0.5
    height = bottom + side + 0.38
    figure = new_figure(figsize=(width, height), dpi=dpi)
    axes = figure.add_axes((left / width, bottom / height, side / width, side / height))
    cmap = cmap or colour_map_for(momentum_map)
    vmin: Optional[float] = None  # the colour scale: the data's range by default
    vmax: Optional[float] = None
    if cmap == DIVERGING:
        limit = float(np.nanmax(np.abs(shown))) if shown.size else 0.0
        limit = limit if limit > 0 else 1.0  # an all-zero signed map shows as neutral
        vmin, vmax = -limit, limit
    # data[i, j] belongs to (kx[i], ky[j]); imshow wants rows = ky, columns = kx.
    image = axes.imshow(shown.T, origin="lower", extent=extent, cmap=cmap,
                        interpolation="nearest", vmin=vmin, vmax=vmax)
    if circle:
        Circle = require_matplotlib("matplotlib.patches").Circle
        assert e_kin is not None
        radius = float(bohr_momentum_to(np.sqrt(2 * np.max(e_kin)), momentum_map.unit))
        axes.add_patch(Circle((0, 0), radius, fill=False, color="0.5" if cmap == DIVERGING
                              else "white", lw=0.7, ls="--", alpha=0.75))
    unit = unit_text(momentum_map.unit)
    axes.set_xlabel(f"kx ({unit})", fontsize=CAPTION_POINTS + 1)
    axes.set_ylabel(f"ky ({unit})", fontsize=CAPTION_POINTS + 1)
    axes.tick_params(labelsize=CAPTION_POINTS)
    axes.set_aspect("equal")
    x_margin = left + side + gap
    inset_side = width - x_margin - 0.08 if molecule is not None else 0.0
    bar_height = side - (inset_side + 0.15 if molecule is not None else 0.0)
    bar_axes = figure.add_axes((x_margin / width, bottom / height, 0.14 / width,
                                bar_height / height))
    bar = figure.colorbar(image, cax=bar_axes)
    bar.ax.tick_params(labelsize=CAPTION_POINTS - 1)
    bar.set_label(bar_label(momentum_map.parameters, cmap == DIVERGING),
                  fontsize=CAPTION_POINTS)
    if molecule is not None:
        inset = figure.add_axes((x_margin / width, (bottom + side - inset_side) / height,
                                 inset_side / width, inset_side / height), label="molecule")
        _outline(inset, molecule, momentum_map.parameters.get("orientation", (0, 0, 0)))
    axes.set_title(lines[0], fontsize=TITLE_POINTS, parse_math=math_text)
    figure.text(0.1 / width, 0.1 / height, "\n".join(body), fontsize=CAPTION_POINTS,
                va="bottom", ha="left", linespacing=1.2, parse_math=math_text)
    return figure


@drawer("map")
def save_map(momentum_map: MomentumMap, path: Union[PathLike, IO[bytes]], *,
             caption: Optional[Sequence[str]] = None,
             molecule: Optional[Molecule] = None, molecule_name: str = "",
             dpi: float = 150, format: Optional[str] = None, cmap: Optional[str] = None) -> None:
    """Writes the figure of map_figure to `path` (format from `format` or the suffix)."""
    figure = map_figure(momentum_map, caption, molecule=molecule, molecule_name=molecule_name,
                        cmap=cmap, dpi=dpi)
    figure.savefig(path, format=format, dpi=dpi)

