"""Measures 3D reconstructions of planar pi orbitals against a truth the package
does not compute: the orbital's transform from PySCF's analytic Fourier
transform of the Gaussian basis (pyscf.pbc.df.ft_ao), band-limited to the ball
of the largest hemisphere, on the image's grid.

Pentacene HOMO and coronene HOMO-4 (RHF/STO-3G, idealised planar geometries in
the xy plane), ten maps at 15-90 eV of the package's own maps (each whole
hemisphere, 0.05 1/Å pixels), reconstructed with the molecule's outline as
support: the maps as computed (also without the parity held, and with an
outline too thin for the pi lobes), the maps each scaled to its own peak
(their relative scale lost), and those with the scales fitted (scales="fit").

Prints one row per case: the aligned correlation with the truth, the share of
the image's norm above its nodal plane (0.5 for equal lobes), the Fourier
error, the warnings and the CPU time.  Needs pyscf, xarray and scipy; takes a
few minutes.  Run: python docs/measure_reconstruction_3d.py
"""

from __future__ import annotations

import time
from typing import Any, List, Tuple

import numpy as np

import libkernels as lk

ENERGIES = np.linspace(15.0, 90.0, 10)
STEP = 0.05  # 1/Å
CHUNK = 20000


def radius(kinetic_energy: float) -> float:
    """|k| (1/Å) of a free electron of `kinetic_energy` eV."""
    return float(np.sqrt(2 * kinetic_energy / lk.HARTREE_IN_EV) / lk.BOHR_IN_ANGSTROM)


def hexagons(centres: List[Tuple[float, float]], bond: float = 1.40) -> Any:
    """A planar hydrocarbon of hexagons (vertices at 0, 60, ... degrees) around
    `centres` (in units of bond * sqrt(3)), C-H 1.08 Å along the outward bisector."""
    from pyscf import gto

    carbons: List[np.ndarray] = []
    for cx, cy in centres:
        for j in range(6):
            p = np.array([cx, cy]) * bond * np.sqrt(3) + bond * np.array(
                [np.cos(np.pi * j / 3), np.sin(np.pi * j / 3)])
            if not any(np.linalg.norm(p - q) < 0.1 for q in carbons):
                carbons.append(p)
    points = np.array(carbons) - np.mean(carbons, axis=0)
    atoms = [("C", c) for c in points]
    for c in points:
        near = [q for q in points if 0.1 < np.linalg.norm(q - c) < 1.1 * bond]
        if len(near) == 2:
            out = 2 * c - near[0] - near[1]
            atoms.append(("H", c + 1.08 * out / np.linalg.norm(out)))
    return gto.M(atom=[(s, (p[0], p[1], 0.0)) for s, p in atoms], basis="sto-3g", verbose=0)


def pentacene() -> Any:
    # rings sharing vertical edges: centres along y in this hexagon orientation,
    # then the molecule turned so that its long axis is x
    mol = hexagons([(0.0, float(i)) for i in range(5)])
    coords = mol.atom_coords(unit="Angstrom")[:, [1, 0, 2]]
    from pyscf import gto

    return gto.M(atom=[(mol.atom_symbol(i), tuple(c)) for i, c in enumerate(coords)],
                 basis="sto-3g", verbose=0)


def coronene() -> Any:
    ring = [(0.0, 0.0)] + [(np.cos(np.pi / 6 + np.pi * j / 3), np.sin(np.pi / 6 + np.pi * j / 3))
                           for j in range(6)]
    return hexagons(ring)


def truth_on(image: Any, mol: Any, coefficients: np.ndarray, k_max: float) -> np.ndarray:
    """The orbital band-limited to |k| < k_max on the grid of `image` (x, y, z in
    Å), real, from ft_ao."""
    from pyscf.pbc.df.ft_ao import ft_ao

    axes = [np.asarray(image[d].values) for d in image.dims]
    shape = [len(a) for a in axes]
    ks = np.meshgrid(*[2 * np.pi * np.fft.fftfreq(n, a[1] - a[0]) for n, a in
                       zip(shape, axes)], indexing="ij")
    inside = sum(k ** 2 for k in ks) < k_max ** 2
    points = np.stack([k[inside] for k in ks], axis=-1) * lk.BOHR_IN_ANGSTROM  # 1/bohr
    values = np.concatenate([ft_ao(mol, points[i:i + CHUNK]) @ coefficients
                             for i in range(0, len(points), CHUNK)])
    spectrum = np.zeros(shape, dtype=complex)
    spectrum[inside] = values
    origin = [a[n // 2] for a, n in zip(axes, shape)]
    spectrum *= np.exp(1j * sum(k * o for k, o in zip(ks, origin)))
    truth = np.fft.ifftn(spectrum)
    truth *= np.exp(-0.5j * np.angle(np.sum(truth ** 2)))
    return np.fft.fftshift(truth.real)


def aligned_correlation(truth: np.ndarray, image: np.ndarray, upsample: int = 2) -> float:
    """Normalised correlation at the best shift (to 1/upsample pixel), sign and twin."""
    a = np.fft.fftn(truth)
    best = 0.0
    for candidate in (image, image[::-1, ::-1, ::-1]):
        product = np.fft.fftshift(a * np.conj(np.fft.fftn(candidate)))
        pad = [(n * (upsample - 1) // 2, n * (upsample - 1) - n * (upsample - 1) // 2)
               for n in product.shape]
        correlation = np.fft.ifftn(np.fft.ifftshift(np.pad(product, pad))).real
        best = max(best, float(np.abs(correlation).max()) * upsample ** 3)
    return best / float(np.sqrt(np.sum(truth ** 2) * np.sum(image ** 2)))


def upper_share(image: Any) -> float:
    """The share of the image's squared norm above its nodal plane: the least of
    the xy-summed profile between its two highest maxima, the profile first
    rolled (the image is periodic, its position free) to put its circular
    centroid in the middle.  With one maximum only, the least within 2 Å of it."""
    z = np.asarray(image.z.values)
    profile = (np.asarray(image.values) ** 2).sum(axis=(0, 1))
    n = len(profile)
    angle = np.angle(np.sum(profile * np.exp(2j * np.pi * np.arange(n) / n)))
    profile = np.roll(profile, n // 2 - int(round(angle / (2 * np.pi) * n)) % n)
    inner = np.arange(1, n - 1)
    peaks = inner[(profile[inner] >= profile[inner - 1]) & (profile[inner] >= profile[inner + 1])]
    peaks = sorted(peaks, key=lambda i: -profile[i])[:2]
    if len(peaks) == 2:
        low, high = sorted(peaks)
        node = low + int(np.argmin(profile[low:high + 1]))
    else:
        near = np.flatnonzero(np.abs(z - z[peaks[0]]) <= 2.0)
        node = int(near[np.argmin(profile[near])])
    return float(profile[node + 1:].sum() / profile.sum())


def maps(molecule: Any, orbital: str) -> List[Tuple[np.ndarray, np.ndarray, np.ndarray]]:
    out = []
    for energy in ENERGIES:
        n = 2 * int(np.ceil(radius(energy) / STEP)) + 1
        m = lk.momentum_map_sum(molecule, [orbital], kinetic_energy=float(energy), n=n,
                                k_min=-(n // 2) * STEP, k_step=STEP)
        out.append((np.asarray(m.data, float), np.asarray(m.kx, float),
                    np.asarray(m.ky, float)))
    return out


def main() -> None:
    from pyscf import scf

    rows = []
    for name, build, orbital in (("pentacene", pentacene, "HOMO"),
                                 ("coronene", coronene, "HOMO-4")):
        mol = build()
        mf = scf.RHF(mol).run()
        molecule = lk.from_pyscf(mf)
        index = molecule.orbital_index(orbital)
        pz = [i for i, label in enumerate(mol.ao_labels()) if "pz" in label]
        coefficients = mf.mo_coeff[:, index]
        pi_share = float(np.sum(coefficients[pz] ** 2) / np.sum(coefficients ** 2))
        series = maps(molecule, orbital)
        peaked = [(i / i.max(), kx, ky) for i, kx, ky in series]
        truth = None
        for case, data, scales, mirror, margin in (
                ("as computed", series, "given", "auto", None),
                ("as computed, no parity held", series, "given", "none", None),
                ("as computed, outline margin 1.5 Å (too thin)", series, "given", "auto",
                 1.5),
                ("each map to its peak", peaked, "given", "auto", None),
                ("each map to its peak, scales fitted", peaked, "fit", "auto", None)):
            clock = time.process_time()
            result = lk.reconstruct(data, kinetic_energy=list(ENERGIES), support=molecule,
                                    margin=margin, shape=96, scales=scales, mirror=mirror,
                                    progress=False)
            seconds = time.process_time() - clock
            if truth is None:
                truth = truth_on(result.image, mol, coefficients, radius(ENERGIES.max()))
            rows.append((f"{name} {orbital} (pz share {pi_share:.2f})", case,
                         aligned_correlation(truth, result.image.values),
                         upper_share(result.image), upper_share_of(truth, result.image),
                         result.record["fourier_error"]["best"],
                         result.record["mirror"]["parity"],
                         ", ".join(w["code"] for w in result.warnings) or "none", seconds))
            print(*rows[-1], sep=" | ", flush=True)
    print("\n| orbital | maps | correlation | upper lobe share (truth) | Fourier error | "
          "parity | warnings | CPU s |")
    print("|---|---|---|---|---|---|---|---|")
    for row in rows:
        print(f"| {row[0]} | {row[1]} | {row[2]:.3f} | {row[3]:.2f} ({row[4]:.2f}) | "
              f"{row[5]:.3f} | {row[6]} | {row[7]} | {row[8]:.0f} |")


def upper_share_of(truth: np.ndarray, like: Any) -> float:
    """upper_share of the truth on the grid of `like`."""
    return upper_share(like.copy(data=truth))


if __name__ == "__main__":
    main()
