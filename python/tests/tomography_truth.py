"""Ground truths of reconstructions, from the true orbital, and their comparison.

2D: the band-limited function whose 2D transform is psi~(k_par, kz(k_par)) on
the disc of the hemisphere inside the map's window, made real by the global
phase that makes it most nearly real.  3D: the orbital band-limited to the
ball of the largest hemisphere inside the window.  Both on the grid of the
reconstruction's image: the same period (its number of points times its
pixel), so that truth and image are sampled alike.  psi~ comes from the
plain numpy evaluation in reference_harmonics.py, not from the library.
"""

import numpy as np

import libkernels as lk
from reference_harmonics import momentum_amplitude


def hemisphere_radius(kinetic_energy):
    """|k| in 1/Å of a kinetic energy in eV."""
    return np.sqrt(2 * kinetic_energy / lk.HARTREE_IN_EV) / lk.BOHR_IN_ANGSTROM


def band_limited_truth(image, molecule, orbital, radius, window):
    """The truth on `image`'s grid (an xarray.DataArray over x, y[, z] in Å):
    psi~ on the k grid of the image's period inside |k| < radius (|k_par| in
    2D, where kz is that of the hemisphere of this radius) and |kx|, |ky| <=
    window (1/Å), inverse transformed, made real."""
    axes = [np.asarray(image[d].values) for d in image.dims]
    shape = [len(a) for a in axes]
    ks = np.meshgrid(*[2 * np.pi * np.fft.fftfreq(n, a[1] - a[0]) for n, a in
                       zip(shape, axes)], indexing="ij")
    k_squared = sum(k ** 2 for k in ks)
    inside = (k_squared < radius ** 2) & (np.abs(ks[0]) <= window) & (np.abs(ks[1]) <= window)
    if len(shape) == 2:
        points = np.stack([ks[0][inside], ks[1][inside],
                           np.sqrt(radius ** 2 - k_squared[inside])], axis=-1)
    else:
        points = np.stack([k[inside] for k in ks], axis=-1)
    row = molecule.mo_coeff[molecule.orbital_index(orbital)]
    spectrum = np.zeros(shape, dtype=complex)
    spectrum[inside] = momentum_amplitude(molecule, row, points * lk.BOHR_IN_ANGSTROM)
    # index 0 of the FFT stands for the image's point at index n // 2
    origin = [a[n // 2] for a, n in zip(axes, shape)]
    spectrum *= np.exp(1j * sum(k * o for k, o in zip(ks, origin)))
    truth = np.fft.ifftn(spectrum)
    truth *= np.exp(-0.5j * np.angle(np.sum(truth ** 2)))
    return np.fft.fftshift(truth.real)


def aligned_correlation(truth, image, upsample=4):
    """The normalised correlation of `image` with `truth` (same grid) at the best
    shift (to a quarter of a pixel), sign and choice between image and its
    inversion twin."""
    a = np.fft.fftn(truth)
    best = 0.0
    for candidate in (image, image[tuple(slice(None, None, -1) for _ in image.shape)]):
        product = np.fft.fftshift(a * np.conj(np.fft.fftn(candidate)))
        pad = [(n * (upsample - 1) // 2, n * (upsample - 1) - n * (upsample - 1) // 2)
               for n in product.shape]
        correlation = np.fft.ifftn(np.fft.ifftshift(np.pad(product, pad))).real
        best = max(best, np.abs(correlation).max() * upsample ** truth.ndim)
    return best / np.sqrt(np.sum(truth ** 2) * np.sum(image ** 2))


def hemisphere_maps(molecule, orbital, energies, step=0.05):
    """One map per kinetic energy (eV), each holding its whole hemisphere on a
    square grid of `step` (1/Å) centred on k = 0."""
    maps = []
    for energy in energies:
        n = 2 * int(np.ceil(hemisphere_radius(energy) / step)) + 1
        maps.append(lk.momentum_map_sum(molecule, [orbital], kinetic_energy=energy, n=n,
                                        k_min=-(n // 2) * step, k_step=step))
    return maps


def perylene():
    """Perylene C20H12 (32 atoms), RHF/STO-3G with PySCF, idealised planar geometry
    in the xy plane, long axis along x: five rings of a honeycomb of 1.40 Å bonds,
    C-H 1.08 Å along the outward bisector."""
    from pyscf import gto, scf

    a = 1.40
    h = a * np.sqrt(3) / 2
    carbons = []
    for cx, cy in ((0, h), (0, -h), (1.5 * a, 0), (3 * a, h), (3 * a, -h)):
        for j in range(6):
            p = np.array([cx + a * np.cos(np.pi * j / 3), cy + a * np.sin(np.pi * j / 3)])
            if not any(np.linalg.norm(p - q) < 0.1 for q in carbons):
                carbons.append(p)
    carbons = np.array(carbons) - np.mean(carbons, axis=0)
    atoms = [("C", c) for c in carbons]
    for c in carbons:
        near = [q for q in carbons if 0.1 < np.linalg.norm(q - c) < 1.1 * a]
        if len(near) == 2:
            out = 2 * c - near[0] - near[1]
            atoms.append(("H", c + 1.08 * out / np.linalg.norm(out)))
    mol = gto.M(atom=[(s, (p[0], p[1], 0.0)) for s, p in atoms], basis="sto-3g", verbose=0)
    return lk.from_pyscf(scf.RHF(mol).run())
