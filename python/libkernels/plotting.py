"""Momentum maps as PNG pictures (matplotlib, no display needed)."""

import numpy as np

from .units import bohr_momentum_to


def _unit_label(unit):
    return {"1/angstrom": "Å$^{-1}$", "1/bohr": "bohr$^{-1}$"}.get(unit, unit)


def save_map_png(momentum_map, path, title=None, cmap="inferno"):
    """Writes the map with kx horizontal, ky vertical, labelled axes and a colour bar."""
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    kx = momentum_map.kx
    half = (kx[1] - kx[0]) / 2 if len(kx) > 1 else 0.5
    extent = (kx[0] - half, kx[-1] + half, kx[0] - half, kx[-1] + half)
    figure, axes = plt.subplots(figsize=(5.6, 4.8), dpi=120)
    # data[i, j] belongs to (kx[i], ky[j]); imshow wants rows = ky, columns = kx.
    image = axes.imshow(np.asarray(momentum_map.data).T, origin="lower", extent=extent,
                        cmap=cmap, interpolation="nearest")
    e_kin = momentum_map.parameters.get("e_kin_hartree")
    if e_kin is not None:
        radius = bohr_momentum_to(np.sqrt(2 * np.max(e_kin)), momentum_map.unit)
        circle = plt.Circle((0, 0), radius, fill=False, color="white", lw=0.6, ls="--",
                            alpha=0.6)
        axes.add_patch(circle)
    unit = _unit_label(momentum_map.unit)
    axes.set_xlabel(f"$k_x$ ({unit})")
    axes.set_ylabel(f"$k_y$ ({unit})")
    axes.set_aspect("equal")
    if title:
        axes.set_title(title, fontsize=10)
    bar = figure.colorbar(image, ax=axes)
    bar.set_label("intensity (arb. units)")
    figure.tight_layout()
    figure.savefig(path)
    plt.close(figure)
