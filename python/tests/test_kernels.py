"""Each kernel through its Python binding, against independent evaluations:
PySCF's own basis functions in real space, and the analytic Fourier transform
(reference_harmonics.py, double precision) in momentum space."""

import numpy as np
import pytest

import libkernels as lk

from conftest import AGREEMENT, requires, water_like
from reference_harmonics import momentum_amplitude


def _pyscf_molecules():
    pytest.importorskip("pyscf")
    return {
        "water cc-pVTZ (d, f)": water_like("cc-pvtz"),
        "water cc-pVQZ (d, f, g)": water_like("cc-pvqz"),
        "H2CO def2-TZVP (d, f)": water_like(
            "def2-tzvp", atoms="C 0 0 0; O 0 0.1 1.2; H 0.94 0 -0.59; H -0.9 0.05 -0.6"),
    }


@pytest.mark.parametrize("name", ["water cc-pVTZ (d, f)", "water cc-pVQZ (d, f, g)",
                                  "H2CO def2-TZVP (d, f)"])
def test_scalar_field_matches_pyscf(name):
    requires("scalar_field")
    mol = _pyscf_molecules()[name]
    coeff = np.random.default_rng(7).normal(size=(mol.nao, 3))
    molecule = lk.from_pyscf(mol, coeff)
    grid = lk.Grid((-2.3, -2.1, -1.9), 0.37, (13, 12, 14))
    x, y, z = grid.axis(0), grid.axis(1), grid.axis(2)
    points = np.stack(np.meshgrid(x, y, z, indexing="ij"), axis=-1).reshape(-1, 3)
    values = mol.eval_gto("GTOval_sph", points) @ coeff
    worst = 0.0
    for o in range(3):
        field = lk.scalar_field(molecule, o, grid=grid)
        assert field.data.shape == (14, 12, 13)
        reference = values[:, o].reshape(13, 12, 14).transpose(2, 1, 0)
        error = np.abs(field.data - reference).max() / np.abs(reference).max()
        worst = max(worst, error)
    AGREEMENT[f"scalar_field vs PySCF eval_gto, {name}"] = f"max |diff| / max |psi| = {worst:.2e}"
    assert worst < 5e-6


@pytest.fixture(scope="module")
def h2_rhf():
    scf = pytest.importorskip("pyscf.scf")
    mol = water_like("cc-pvtz", atoms="H 0 0 -0.37; H 0.02 0.01 0.37")
    mf = scf.RHF(mol).run()
    return lk.from_pyscf(mf)


def test_charge_density_integrates_to_electron_count(h2_rhf):
    requires("charge_density_sum")
    counts = {}
    for step in (0.16, 0.08):
        grid = lk.Grid.around(h2_rhf, spacing=step, margin=7.0, unit="bohr")
        density = lk.charge_density_sum(h2_rhf, "occupied", grid=grid)
        counts[step] = float(density.data.sum(dtype=np.float64)) * grid.step ** 3
    AGREEMENT["charge density of H2 RHF/cc-pVTZ summed on grids (2 electrons)"] = \
        ", ".join(f"step {s} bohr: {n:.6f}" for s, n in counts.items())
    assert counts[0.08] == pytest.approx(2.0, abs=2e-3)
    assert abs(counts[0.08] - 2.0) <= abs(counts[0.16] - 2.0) + 1e-4


def test_charge_density_is_the_weighted_sum_of_squared_orbitals(benzene):
    requires("charge_density_sum", "scalar_field")
    grid = lk.Grid.around(benzene, spacing=0.5, margin=2.0, unit="bohr")
    rows = ["HOMO", "HOMO-1", 3]
    density = lk.charge_density_sum(benzene, rows, weights=[2.0, 0.5, 1.0], grid=grid)
    expected = sum(w * lk.scalar_field(benzene, o, grid=grid).data.astype(np.float64) ** 2
                   for o, w in zip(rows, (2.0, 0.5, 1.0)))
    np.testing.assert_allclose(density.data, expected, rtol=1e-5, atol=1e-7 * expected.max())


def test_momentum_density_matches_analytic_transform(benzene):
    requires("momentum_density", "momentum_density_sum")
    grid = lk.Grid.momentum_cube(k_max=1.2, n=9, unit="1/bohr")
    x, y, z = grid.axis(0), grid.axis(1), grid.axis(2)
    k = np.stack(np.meshgrid(x, y, z, indexing="ij"), axis=-1).reshape(-1, 3)
    rows = [benzene.orbital_index(o) for o in ("HOMO", "HOMO-2")]
    expected = [np.abs(momentum_amplitude(benzene, benzene.mo_coeff[r], k)) ** 2 for r in rows]
    expected = [e.reshape(9, 9, 9).transpose(2, 1, 0) for e in expected]
    single = lk.momentum_density(benzene, "HOMO", grid=grid)
    scale = expected[0].max()
    error = np.abs(single.data - expected[0]).max() / scale
    AGREEMENT["benzene HOMO momentum_density vs analytic transform"] = \
        f"max |diff| / max = {error:.2e}"
    assert error < 2e-5
    summed = lk.momentum_density_sum(benzene, ["HOMO", "HOMO-2"], weights=[1.0, 0.5], grid=grid)
    np.testing.assert_allclose(summed.data, expected[0] + 0.5 * expected[1],
                               atol=3e-5 * scale)


def _hemisphere_points(momentum_map, e_kin):
    axis = momentum_map.k_axis_bohr.astype(np.float64)
    kx, ky = np.meshgrid(axis, axis, indexing="ij")
    kz2 = 2 * e_kin - kx ** 2 - ky ** 2
    inside = kz2 > 1e-6
    outside = kz2 < -1e-6
    return np.stack([kx[inside], ky[inside], np.sqrt(kz2[inside])], axis=1), inside, outside


def test_momentum_map_matches_analytic_transform_for_each_orientation(benzene):
    requires("momentum_map")
    e_kin = 1.0  # hartree
    for orientation in ((0, 0, 0), (30, 50, -20)):
        m = lk.momentum_map(benzene, "HOMO", kinetic_energy=e_kin, energy_unit="hartree",
                            k_max=1.5, n=31, k_unit="1/bohr", orientation=orientation)
        points, inside, outside = _hemisphere_points(m, e_kin)
        a, b, g = np.radians(orientation)
        rz = lambda t: np.array([[np.cos(t), -np.sin(t), 0], [np.sin(t), np.cos(t), 0],
                                 [0, 0, 1]])
        rx = np.array([[1, 0, 0], [0, np.cos(b), -np.sin(b)], [0, np.sin(b), np.cos(b)]])
        turned = points @ (rz(a) @ rx @ rz(g)).T
        expected = np.abs(momentum_amplitude(benzene, benzene.mo_coeff[
            benzene.orbital_index("HOMO")], turned)) ** 2
        error = np.abs(m.data[inside] - expected).max() / expected.max()
        AGREEMENT[f"benzene HOMO momentum_map vs analytic transform, orientation "
                  f"{orientation}"] = f"max |diff| / max = {error:.2e}"
        assert error < 1e-4, orientation
        assert np.all(m.data[outside] == 0)


def test_map_sum_of_one_orbital_is_its_map_and_weights_add(benzene):
    requires("momentum_map", "momentum_map_sum")
    options = dict(photon_energy=30.0, work_function=4.0, k_max=2.5, n=41)
    single = lk.momentum_map(benzene, "HOMO", **options)
    summed = lk.momentum_map_sum(benzene, ["HOMO"], **options)
    np.testing.assert_array_equal(single.data, summed.data)
    # E_kin = photon energy - work function + orbital energy
    homo = benzene.orbital_index("HOMO")
    assert single.parameters["e_kin_hartree"][0] == pytest.approx(
        (30.0 - 4.0) / lk.HARTREE_IN_EV + benzene.mo_energy[homo], rel=1e-6)
    # the same energy in the caller's unit beside it
    assert single.parameters["energy_unit"] == "eV"
    assert single.parameters["kinetic_energy"][0] == pytest.approx(
        30.0 - 4.0 + benzene.mo_energy[homo] * lk.HARTREE_IN_EV, rel=1e-6)
    pair = lk.momentum_map_sum(benzene, ["HOMO", "HOMO-1"], weights=[2.0, 0.5], **options)
    other = lk.momentum_map(benzene, "HOMO-1", **options)
    np.testing.assert_allclose(pair.data, 2 * single.data + 0.5 * other.data, rtol=1e-5,
                               atol=1e-6 * pair.data.max())


def test_prepared_map_sum_call_repeats_the_one_shot_bits(benzene):
    # The prepared call takes its arrays' addresses once and writes into a
    # given map: the bits of the one-shot function, for the whole selection
    # and for a subset, and an output that does not fit is refused (the
    # library would write n * n floats into it).
    requires("momentum_map_sum")
    from libkernels.core.map_sum_call import MapSumCall
    options = dict(kinetic_energy=[25.0, 27.0], weights=[2.0, 0.5], k_max=2.5, n=37,
                   symmetry=2, polarisation="p")
    call = MapSumCall(benzene, ["HOMO", "HOMO-1"], **options)
    out = np.full((37, 37), np.nan, dtype=np.float32)
    for orientation in [(0, 0, 0), (10, 20, 30), (-5, 45, 0)]:
        want = lk.momentum_map_sum(benzene, ["HOMO", "HOMO-1"], orientation=orientation,
                                   **options).data
        assert call.run(orientation, out=out) is out
        np.testing.assert_array_equal(out, want)
        np.testing.assert_array_equal(call.run(orientation), want)
    first = lk.momentum_map_sum(benzene, ["HOMO"], orientation=(10, 20, 30), **{
        **options, "kinetic_energy": 25.0, "weights": 2.0}).data
    np.testing.assert_array_equal(call.run((10, 20, 30), rows=[0]), first)
    for wrong in (np.empty((36, 37), np.float32), np.empty((37, 37), np.float64),
                  np.empty((37, 74), np.float32)[:, ::2], np.empty(37 * 37, np.float32)):
        with pytest.raises(lk.InputError, match="out"):
            call.run((0, 0, 0), out=wrong)


def test_polarisation_factor_linear_p_and_s(benzene):
    requires("momentum_map", "polarisation_factor")
    e_kin = 20.0
    m = lk.momentum_map(benzene, "HOMO", kinetic_energy=e_kin, k_max=2.5, n=25)
    axis = m.k_axis_bohr.astype(np.float64)
    kx, ky = np.meshgrid(axis, axis, indexing="ij")
    kz = np.sqrt(np.clip(2 * e_kin / lk.HARTREE_IN_EV - kx ** 2 - ky ** 2, 0, None))
    theta, phi = np.radians(65.0), np.radians(30.0)
    p = lk.polarisation_factor(m, polarisation="p", kinetic_energy=e_kin, incidence=65,
                               azimuth=30)
    factor = (kx * np.cos(theta) * np.cos(phi) + ky * np.cos(theta) * np.sin(phi)
              + kz * np.sin(theta)) ** 2
    np.testing.assert_allclose(p.data, m.data * factor, rtol=1e-4, atol=1e-6 * p.data.max())
    s = lk.polarisation_factor(m, polarisation="s", kinetic_energy=e_kin, azimuth=30)
    np.testing.assert_allclose(s.data, m.data * (-kx * np.sin(phi) + ky * np.cos(phi)) ** 2,
                               rtol=1e-4, atol=1e-6 * s.data.max())
    assert m.data is not p.data  # the input map is left alone


def test_map_operations(benzene):
    requires("rotation", "flip_over_x", "flip_over_y", "symmetrisation", "normalisation")
    data = np.random.default_rng(2).random((21, 21)).astype(np.float32)
    np.testing.assert_array_equal(lk.flip_over_x(data), data[::-1])
    np.testing.assert_array_equal(lk.flip_over_y(data), data[:, ::-1])
    # exact turns about the centre; pixels fed by the last row or column are 0
    half = lk.rotation(data, 180.0)
    np.testing.assert_array_equal(half[1:, 1:], data[::-1, ::-1][1:, 1:])
    assert not half[0].any() and not half[:, 0].any()
    quarter = lk.rotation(data, 90.0)
    np.testing.assert_array_equal(quarter[1:, :-1], np.rot90(data)[1:, :-1])
    normalised = lk.normalisation(data)
    assert normalised.max() == np.float32(255) and data.max() < 1.0
    framed = np.zeros_like(data)
    framed[3:-3, 3:-3] = data[3:-3, 3:-3]  # like a map, zero towards its edges
    for symmetry, turn in ((2, lambda d: d[::-1, ::-1]), (4, np.rot90)):
        averaged = lk.symmetrisation(framed, symmetry)
        np.testing.assert_allclose(averaged, turn(averaged), rtol=1e-5, atol=1e-6)
        np.testing.assert_allclose(averaged, averaged[:, ::-1], rtol=1e-5, atol=1e-6)
    np.testing.assert_allclose(lk.symmetrisation(data, None), data)
    with pytest.raises(ValueError, match="square"):
        lk.rotation(np.zeros((3, 4)), 10.0)
    with pytest.raises(ValueError, match="symmetry must be none, 2, 3 or 4"):
        lk.symmetrisation(data, 5)


def test_scan_matches_single_calls_on_any_thread_count(benzene):
    requires("momentum_map_sum")
    orientations = [(0, 0, 0), (10, 20, 30), (90, 45, 0), (-30, 10, 5)]
    options = dict(kinetic_energy=25.0, k_max=2.5, n=33, symmetry=None)
    one, _ = lk.scan_momentum_maps(benzene, ["HOMO", "HOMO-1"], orientations, threads=1,
                                   progress=False, **options)
    two, _ = lk.scan_momentum_maps(benzene, ["HOMO", "HOMO-1"], orientations, threads=2,
                                   progress=False, **options)
    np.testing.assert_array_equal(one, two)
    for o, orientation in enumerate(orientations):
        for i, orbital in enumerate(["HOMO", "HOMO-1"]):
            expected = lk.momentum_map_sum(benzene, [orbital], orientation=orientation, **options)
            np.testing.assert_array_equal(one[o, i], expected.data)


def test_symmetry_and_light_names_select_the_library_modes(benzene):
    requires("momentum_map", "momentum_map_sum", "symmetrisation", "polarisation_factor")
    options = dict(kinetic_energy=25.0, k_max=2.5, n=41)
    single = lk.momentum_map(benzene, "HOMO", **options)
    for symmetry in (2, 3, 4, "4-fold"):
        summed = lk.momentum_map_sum(benzene, ["HOMO"], symmetry=symmetry, **options)
        np.testing.assert_array_equal(summed.data, lk.symmetrisation(single, symmetry).data)

    def light(name, **extra):
        return lk.momentum_map_sum(benzene, ["HOMO"], polarisation=name, **options,
                                   **extra).data
    np.testing.assert_array_equal(light("linear", s_share=100.0), light("s"))
    np.testing.assert_array_equal(light("linear", s_share=0.0), light("p"))
    # without an imaginary kz the two helicities agree and their dichroism vanishes
    np.testing.assert_allclose(light("circular+"), light("circular-"), rtol=1e-6)
    assert np.abs(light("dichroism")).max() == 0
    tilted = dict(kz_imaginary=0.3)
    difference = light("circular-", **tilted) - light("circular+", **tilted)
    np.testing.assert_allclose(light("dichroism", **tilted), difference, rtol=1e-4,
                               atol=1e-5 * np.abs(difference).max())
    assert np.abs(difference).max() > 0
