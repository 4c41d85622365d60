"""Draws docs/reconstruction.png: reconstructions of pentacene's HOMO beside the truth.

Top row, 2D: a map at 30 eV with Poisson noise (peak 200 counts) | the image
reconstructed from it with the molecule's outline as the support | the truth,
the band-limited function whose transform is psi~ on the map's hemisphere.
The 2D transfer function.  Bottom row, 3D from twenty maps at 15 to 100 eV:
the reconstructed orbital and the true orbital band-limited to the ball the
maps cover, on the plane z = 0.8 Å above the molecule and on the plane
y = 1.3 Å across its lobes.

    python docs/make_reconstruction_figure.py      # about half a minute

The truths come from the test suite's plain numpy evaluation of psi~
(python/tests/tomography_truth.py), the same ones the tests compare with.
"""

import sys
from pathlib import Path

import numpy as np

import libkernels as lk

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "python" / "tests"))

from noise import poisson_counts  # noqa: E402
from tomography_truth import (aligned_correlation, band_limited_truth,  # noqa: E402
                              hemisphere_maps, hemisphere_radius)


def aligned_to(truth, image):
    """`image` moved, turned or negated onto `truth` by whole pixels, for display."""
    best = None
    for candidate in (image, image[tuple(slice(None, None, -1) for _ in image.shape)]):
        product = np.fft.fftn(truth) * np.conj(np.fft.fftn(candidate))
        correlation = np.fft.ifftn(product).real
        index = np.unravel_index(np.argmax(np.abs(correlation)), correlation.shape)
        value = correlation[index]
        if best is None or abs(value) > abs(best[0]):
            best = (value, np.sign(value) * np.roll(candidate, index, axis=tuple(range(
                image.ndim))))
    return best[1]


def show(axes, data, horizontal, vertical, title, atoms=None, limits=(10, 4.5)):
    span = float(np.abs(data).max())
    axes.imshow(data.T, origin="lower", cmap="RdBu_r", vmin=-span, vmax=span,
                extent=(horizontal[0], horizontal[-1], vertical[0], vertical[-1]))
    if atoms is not None:
        for a in range(len(atoms)):
            for b in range(a + 1, len(atoms)):
                if np.linalg.norm(atoms[a] - atoms[b]) < 1.6:
                    axes.plot(atoms[[a, b], 0], atoms[[a, b], 1], color="0.2", lw=0.6)
    axes.set_xlim(-limits[0], limits[0])
    axes.set_ylim(-limits[1], limits[1])
    axes.set_aspect("equal")
    axes.set_title(title, fontsize=9)
    axes.set_xlabel("x (Å)")


def main():
    from matplotlib.figure import Figure

    pentacene = lk.load_example("pentacene")
    atoms = pentacene.positions * lk.BOHR_IN_ANGSTROM
    figure = Figure(figsize=(17, 6.2), dpi=100)
    axes = figure.subplots(2, 4)

    m = lk.momentum_map_sum(pentacene, ["HOMO"], kinetic_energy=30.0, k_max=3.0, n=201)
    counts = poisson_counts(m.data, 200, seed=1)
    flat = lk.reconstruct((counts, m.kx, m.ky), kinetic_energy=30.0, support=pentacene,
                          progress=False)
    truth = band_limited_truth(flat.image, pentacene, "HOMO", hemisphere_radius(30.0), 3.0)
    found = aligned_correlation(truth, flat.image.values)
    axes[0, 0].imshow(counts.T, origin="lower", extent=(-3, 3, -3, 3), cmap="inferno")
    axes[0, 0].set_title("map at 30 eV, Poisson noise (peak 200 counts)", fontsize=9)
    axes[0, 0].set_xlabel("kx (1/Å)")
    axes[0, 0].set_ylabel("ky (1/Å)")
    x, y = flat.image.x.values, flat.image.y.values
    show(axes[0, 1], aligned_to(truth, flat.image.values), x, y,
         f"2D reconstruction from it: correlation {found:.3f}", atoms)
    show(axes[0, 2], truth, x, y, "truth: band-limited to the hemisphere", atoms)
    axes[0, 3].plot(flat.prtf.k, flat.prtf, "o-", ms=3)
    axes[0, 3].axhline(np.exp(-1), color="0.5", ls="--", lw=0.8)
    axes[0, 3].set_ylim(0, 1.05)
    axes[0, 3].set_xlabel("|k| (1/Å)")
    axes[0, 3].set_title("2D: phase-retrieval transfer function", fontsize=9)

    energies = np.linspace(15.0, 100.0, 20)
    maps = hemisphere_maps(pentacene, "HOMO", energies)
    volume = lk.reconstruct(maps, support=(14, 5, 4), progress=False)
    truth = band_limited_truth(volume.image, pentacene, "HOMO",
                               hemisphere_radius(energies.max()), np.inf)
    found = aligned_correlation(truth, volume.image.values, upsample=2)
    image = aligned_to(truth, volume.image.values)
    x, y, z = (volume.image[d].values for d in ("x", "y", "z"))
    plane = int(np.argmin(np.abs(z - 0.8)))
    row = int(np.argmin(np.abs(y - 1.3)))
    show(axes[1, 0], image[:, :, plane], x, y,
         f"3D from 20 maps, 15-100 eV (correlation {found:.3f}): z = {z[plane]:.2f} Å",
         atoms)
    show(axes[1, 1], truth[:, :, plane], x, y, "true orbital, band-limited: same plane",
         atoms)
    show(axes[1, 2], image[:, row, :], x, z, f"3D reconstruction: y = {y[row]:.2f} Å",
         limits=(10, 3))
    show(axes[1, 3], truth[:, row, :], x, z, "true orbital, band-limited: same plane",
         limits=(10, 3))
    for ax in axes[1, 2:]:
        ax.set_ylabel("z (Å)")
    figure.tight_layout()
    figure.savefig(HERE / "reconstruction.png")


if __name__ == "__main__":
    main()
