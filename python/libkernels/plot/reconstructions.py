"""Pictures of reconstructions: the image with the molecule's outline, the spread, the PRTF."""

from __future__ import annotations

import re
from typing import TYPE_CHECKING, Any, Dict, Optional, Sequence, Tuple

import numpy as np

from ..core.figures import drawer
from .maps import DIVERGING, new_figure

if TYPE_CHECKING:
    from ..tomography.result import Reconstruction

PRTF_LEVEL = float(np.exp(-1.0))
VIEW_MARGIN = 3.0  # Å shown around the support
BOND = {True: 1.8, False: 1.25}  # Å: bonded neighbours between heavy atoms / with hydrogen


IMAGE_LABEL = "value (largest |value| 1)"
SPREAD_LABEL = "standard deviation (as the image)"


def _file_name(source: str) -> str:
    """`source` with every path in it cut to the file's name."""
    return re.sub(r"[^\s(),]*[/\\]([^\s/\\(),]+)", r"\1", source)


def _extent(x: np.ndarray, y: np.ndarray) -> Tuple[float, float, float, float]:
    """imshow's extent: the outer edges of the first and last pixels."""
    hx, hy = (x[1] - x[0]) / 2, (y[1] - y[0]) / 2
    return (x[0] - hx, x[-1] + hx, y[0] - hy, y[-1] + hy)


def _outline(axes: Any, atoms: np.ndarray, heavy: np.ndarray,
             columns: Sequence[int] = (0, 1)) -> None:
    """Bonds and atoms of the molecule, in Å, on an image's axes."""
    points = atoms[:, list(columns)]
    for a in range(len(atoms)):
        for b in range(a + 1, len(atoms)):
            if np.linalg.norm(atoms[a] - atoms[b]) < BOND[bool(heavy[a] and heavy[b])]:
                axes.plot(points[[a, b], 0], points[[a, b], 1], color="0.15", lw=0.7,
                          alpha=0.7)
    axes.scatter(points[:, 0], points[:, 1], s=np.where(heavy, 8, 3), c="0.15", zorder=3,
                 linewidths=0)


def _panel(figure: Any, axes: Any, data: Any, horizontal: str, vertical: str,
           title: str, signed: bool, view: Dict[str, Tuple[float, float]], label: str,
           atoms: Optional[np.ndarray] = None, heavy: Optional[np.ndarray] = None,
           columns: Sequence[int] = (0, 1)) -> None:
    """One image panel over (horizontal, vertical): signed values on a diverging
    scale, magnitudes from 0; the molecule's bonds and atoms when given."""
    values = np.asarray(data.transpose(horizontal, vertical).values)
    x, y = np.asarray(data[horizontal].values), np.asarray(data[vertical].values)
    if signed:
        span = float(np.abs(values).max()) or 1.0
        image = axes.imshow(values.T, origin="lower", extent=_extent(x, y), cmap=DIVERGING,
                            vmin=-span, vmax=span, interpolation="nearest")
    else:
        image = axes.imshow(values.T, origin="lower", extent=_extent(x, y), cmap="viridis",
                            vmin=0, interpolation="nearest")
    if atoms is not None and heavy is not None:
        _outline(axes, atoms, heavy, columns)
    axes.set_xlim(*view[horizontal])
    axes.set_ylim(*view[vertical])
    axes.set_xlabel(f"{horizontal} (Å)")
    axes.set_ylabel(f"{vertical} (Å)")
    axes.set_title(title, fontsize=9)
    axes.set_aspect("equal")
    figure.colorbar(image, ax=axes, shrink=0.8, label=label)


def _view(result: "Reconstruction") -> Dict[str, Tuple[float, float]]:
    """Axis limits (Å): the support's bounding box and VIEW_MARGIN, within the image."""
    support = result.record["support"]
    view = {}
    for name, size, centre in zip(result.image.dims, support["extent_angstrom"],
                                  support["centre_angstrom"]):
        axis = result.image[name].values
        half = size / 2 + VIEW_MARGIN
        view[name] = (max(centre - half, float(axis[0])), min(centre + half, float(axis[-1])))
    return view


@drawer("reconstruction")
def plot_reconstruction(result: "Reconstruction", path: Any = None,
                        title: Optional[str] = None) -> Any:
    """2D: image | spread | PRTF.  3D: the image on the xy plane and the xz plane
    through its largest value, the spread on that xy plane, the PRTF.  The
    panels show the support with a margin, not the whole period."""
    image, spread = result.image, result.spread
    atoms = result.atoms
    heavy = result.heavy
    three_d = image.ndim == 3
    view = _view(result)
    record = result.record
    angles = record["support"].get("orientation_deg")
    outline = ("" if atoms is None or angles is None else
               "; outline at orientation " + ", ".join(f"{a:g}" for a in angles) + "°")
    figure = new_figure(figsize=(17.0 if three_d else 13.5, 4.8), dpi=110)
    axes = figure.subplots(1, 4 if three_d else 3)
    if three_d:
        peak = np.unravel_index(int(np.argmax(np.abs(image.values))), image.shape)
        z0, y0 = float(image.z[peak[2]]), float(image.y[peak[1]])
        _panel(figure, axes[0], image.isel(z=peak[2]), "x", "y",
               f"image at z = {z0:.2f} Å{outline}", True, view, IMAGE_LABEL, atoms, heavy,
               (0, 1))
        _panel(figure, axes[1], image.isel(y=peak[1]), "x", "z", f"image at y = {y0:.2f} Å",
               True, view, IMAGE_LABEL, atoms, heavy, (0, 2))
        _panel(figure, axes[2], spread.isel(z=peak[2]), "x", "y",
               f"spread of the starts at z = {z0:.2f} Å", False, view, SPREAD_LABEL)
        curve = axes[3]
    else:
        _panel(figure, axes[0], image, "x", "y", f"image{outline}", True, view, IMAGE_LABEL,
               atoms, heavy)
        _panel(figure, axes[1], spread, "x", "y", "spread of the starts (same scale)", False,
               view, SPREAD_LABEL)
        curve = axes[2]
    prtf = result.prtf
    curve.plot(prtf.k.values, prtf.values, "o-", ms=3)
    curve.axhline(PRTF_LEVEL, color="0.5", ls="--", lw=0.8)
    curve.set_ylim(0, 1.05)
    curve.set_xlabel("|k| (1/Å)")
    curve.set_ylabel("PRTF")
    k = result.record["resolution"]["k_inverse_angstrom"]
    curve.set_title("transfer function" + ("" if k is None else
                                           f": 1/e at {k:.2f} 1/Å (half period "
                                           f"{np.pi / k:.2f} Å)"), fontsize=9)
    energies = record["kinetic_energy_ev"]
    energy = (f"E_kin {energies[0]:g} eV" if len(energies) == 1 else
              f"E_kin {min(energies):g}–{max(energies):g} eV")
    warned = len(record.get("warnings", []))
    figure.suptitle(title or f"{_file_name(record['source'])}: {energy}, "
                             f"{record['algorithm'].upper()}, {record['starts_averaged']} "
                             f"starts averaged, support {record['support']['kind']}"
                    + (f" ({warned} warning{'s' if warned > 1 else ''}: see the record)"
                       if warned else ""), fontsize=10)
    figure.tight_layout()
    if path is not None:
        figure.savefig(path)
    return figure
