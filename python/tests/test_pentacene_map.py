"""The pentacene HOMO momentum map: its structure, and agreement with the
numerically Fourier-transformed real-space orbital."""

import numpy as np
import pytest

import libkernels as lk

from conftest import AGREEMENT, requires

PHOTON_ENERGY, WORK_FUNCTION = 35.0, 4.5  # eV: E_kin(HOMO) = 24.8 eV, |k| = 2.55 / angstrom


@pytest.fixture(scope="module")
def homo_map(pentacene):
    requires("momentum_map_sum")
    return lk.momentum_map_sum(pentacene, ["HOMO"], photon_energy=PHOTON_ENERGY,
                               work_function=WORK_FUNCTION, k_max=3.0, n=121)


def test_homo_map_has_the_mirror_symmetry_of_the_molecule(homo_map):
    data = homo_map.data
    scale = data.max()
    assert np.abs(data - data[::-1, :]).max() < 1e-5 * scale  # kx -> -kx
    assert np.abs(data - data[:, ::-1]).max() < 1e-5 * scale  # ky -> -ky


def test_homo_map_has_the_nodal_lines_of_the_orbital(homo_map):
    data = homo_map.data
    centre = homo_map.n // 2
    assert abs(homo_map.ky[centre]) < 1e-6
    # The HOMO is odd under y -> -y (a nodal plane through the long axis): its
    # transform vanishes on the line ky = 0.
    assert data[:, centre].max() < 1e-6 * data.max()
    # It is a pi orbital (odd under z -> -z): the intensity falls to zero at the
    # rim of the disc, where kz = 0.
    k = np.sqrt(2 * homo_map.parameters["e_kin_hartree"][0])
    kx, ky = np.meshgrid(homo_map.k_axis_bohr, homo_map.k_axis_bohr, indexing="ij")
    kz2 = k * k - kx.astype(np.float64) ** 2 - ky.astype(np.float64) ** 2
    rim = (kz2 >= 0) & (kz2 < (0.1 * k) ** 2)
    assert rim.sum() > 20 and data[rim].max() < 0.02 * data.max()
    assert np.all(data[kz2 < -1e-6] == 0)


def test_homo_map_is_brightest_in_four_lobes_off_the_axes(homo_map):
    data = homo_map.data
    i, j = np.unravel_index(np.argmax(data), data.shape)
    kx, ky = abs(homo_map.kx[i]), abs(homo_map.ky[j])
    # lobes near (+-1.1, +-1.1) / angstrom: the ring period along the long axis
    # sets kx, the nodal plane through the long axis pushes ky off zero
    assert 0.9 < kx < 1.3 and 0.8 < ky < 1.4, (kx, ky)
    centre = homo_map.n // 2
    assert data[centre, :].max() < 0.1 * data.max()  # weak on the kx = 0 line


def test_homo_map_agrees_with_numerical_fourier_transform(pentacene):
    requires("momentum_map", "scalar_field")
    e_kin = 1.0  # hartree
    m = lk.momentum_map(pentacene, "HOMO", kinetic_energy=e_kin, energy_unit="hartree",
                        k_max=1.4, n=29, k_unit="1/bohr")
    grid = lk.Grid.around(pentacene, spacing=0.2, margin=9.0, unit="bohr")
    psi = lk.scalar_field(pentacene, "HOMO", grid=grid).data  # (nz, ny, nx)
    norm = float(np.sum(psi.astype(np.float64) ** 2)) * grid.step ** 3
    x, y, z = grid.axis(0), grid.axis(1), grid.axis(2)

    axis = m.k_axis_bohr.astype(np.float64)
    kx, ky = np.meshgrid(axis, axis, indexing="ij")
    kz2 = 2 * e_kin - kx ** 2 - ky ** 2
    pick = np.argwhere(kz2 > 0)[::7]
    points = np.array([(kx[i, j], ky[i, j], np.sqrt(kz2[i, j])) for i, j in pick])
    # Riemann sum of psi(r) exp(-i k.r), factorised axis by axis
    along_x = psi.reshape(-1, len(x)) @ np.exp(-1j * np.outer(x, points[:, 0])).astype(np.complex64)
    along_x = along_x.reshape(len(z), len(y), len(points))
    amplitude = np.array([np.exp(-1j * kz_ * z) @ (along_x[:, :, p] @ np.exp(-1j * ky_ * y))
                          for p, (_, ky_, kz_) in enumerate(points)]) * grid.step ** 3
    numerical = np.abs(amplitude) ** 2 / np.pi ** 3  # the library leaves out pi^3
    library = m.data[pick[:, 0], pick[:, 1]]
    error = np.abs(library - numerical).max() / numerical.max()
    AGREEMENT[f"pentacene HOMO map vs numerical FT ({len(points)} pixels, step 0.2 bohr)"] = \
        f"max |diff| / max = {error:.2e}; grid norm of psi = {norm:.7f}"
    assert abs(norm - 1.0) < 1e-4
    assert error < 1e-4


def test_turning_the_molecule_turns_its_map(pentacene):
    """The README's convention: the map at (alpha, 0, 0) is lk.rotation of the map at
    (0, 0, 0) by -alpha, to the rotation's interpolation (4e-3 of the maximum at
    n = 201; it shrinks with the pixel, 1.5e-3 at n = 301)."""
    requires("momentum_map_sum", "rotation")
    options = dict(photon_energy=PHOTON_ENERGY, work_function=WORK_FUNCTION, k_max=3.0, n=201)
    flat = lk.momentum_map_sum(pentacene, ["HOMO"], **options)
    worst = 0.0
    for alpha in (30.0, 45.0, 90.0, 135.0):
        turned = lk.momentum_map_sum(pentacene, ["HOMO"], orientation=(alpha, 0, 0), **options)
        difference = np.abs(turned.data - lk.rotation(flat, -alpha).data).max()
        worst = max(worst, float(difference / turned.data.max()))
    AGREEMENT["map at (alpha, 0, 0) vs rotation(map, -alpha), n = 201"] = f"{worst:.1e} of max"
    assert 1e-3 < worst < 4e-3
