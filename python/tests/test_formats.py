"""Every wavefunction file the qc-iodata wheel ships, read through lk.read;
the package's Molden reader against IOData's on the same Molden files; a
Gaussian fchk against PySCF; IOData's component labels against PySCF and
against IOData's own harmonics."""

import warnings

import numpy as np
import pytest

import libkernels as lk
from libkernels.formats.api import format_of
from libkernels.formats.iodata import angular_map, read_with_iodata

from conftest import AGREEMENT, molden_data, requires, wheel_data
from test_molden_files import EXPECTED as MOLDEN_FILES

WHEEL = wheel_data()

# outcome of lk.read per file: "loads" (as written), "corrected" (a writer's
# deviation corrected), ", N refused" (N orbitals lose more than 1% of their
# norm to parts the library cannot hold: pure functions with l >= 5), ", parts
# left out" (some orbitals lose less than that), "refused: <message>".  Cartesian
# shells load whole: their r^2 parts are represented by fitted pure shells
OUTCOMES = {
    'corrected': [
        'F.molden', 'ethanol.mkl', 'h2_sto3g.mkl', 'h2o.molden.input',
        'h2o_ccpvdz_cfour.molden', 'h2o_psi4_1.3.2_6-31G_d_cart.molden',
        'h_donly_cart_cfour.molden', 'h_donly_sph_cfour.molden', 'h_fonly_cart_cfour.molden',
        'h_fonly_sph_cfour.molden', 'h_gonly_cart_cfour.molden', 'h_gonly_sph_cfour.molden',
        'li2.mkl', 'li2.molden.input', 'neon_turbomole_def2-qzvp.molden', 'nh3_orca.molden',
        'nh3_psi4.molden', 'nh3_psi4_1.3.2_aug_cc_pvqz_cart.molden', 'nh3_turbomole.molden',
    ],
    'corrected, 1 refused': [
        'orca_zn_cc_pvqz_pure.molden',
    ],
    'corrected, parts left out': [
        'orca_cuh_cc_pvqz_pure.molden',
    ],
    'loads': [
        '2h-azirine-cc.fchk', '2h-azirine-ci.fchk', '2h-azirine-mp2.fchk',
        '2h-azirine-mp3.fchk', 'atom_om2.cp2k.out', 'atom_si.cp2k.out',
        'be_cisd_321g_psi4_singlet.molden', 'cah110_hf_sto3g_g09.wfn',
        'cah110_hf_sto3g_g09.wfx', 'carbon_gs_ae_contracted.cp2k.out',
        'carbon_gs_ae_uncontracted.cp2k.out', 'carbon_gs_pp_contracted.cp2k.out',
        'carbon_gs_pp_uncontracted.cp2k.out', 'carbon_sc_ae_contracted.cp2k.out',
        'carbon_sc_ae_uncontracted.cp2k.out', 'carbon_sc_pp_contracted.cp2k.out',
        'carbon_sc_pp_uncontracted.cp2k.out', 'ch3_hf_sto3g.fchk',
        'ch3_hf_sto3g_fchk_multiwfn3.7.mwfn', 'ch3_rohf_sto3g_g03.fchk',
        'ch3_rohf_sto3g_g03_fchk_multiwfn3.7.mwfn', 'h2_ccpvqz.wfn', 'h2_ub3lyp_ccpvtz.wfx',
        'h2_ub3lyp_ccpvtz_with_comments.wfx', 'h2o_sto3g.fchk', 'h2o_sto3g.wfn',
        'h2o_sto3g_decontracted.wfn', 'h_ponly_cart_cfour.molden', 'h_ponly_sph_cfour.molden',
        'h_sonly_cart_cfour.molden', 'h_sonly_sph_cfour.molden', 'h_sto3g.fchk',
        'he2_ghost_psi4_1.0.molden', 'he_d_orbital.wfn', 'he_p_orbital.wfn',
        'he_s_orbital.fchk', 'he_s_orbital.wfn', 'he_s_virtual.fchk', 'he_s_virtual.wfn',
        'he_sp_orbital.fchk', 'he_sp_orbital.wfn', 'he_spd_orbital.fchk', 'he_spd_orbital.wfn',
        'he_spdf_orbital.fchk', 'he_spdf_orbital.wfn', 'hf_sto3g.fchk',
        'li2_g09_nbasis_indep.fchk', 'li_h_3-21G_hf_g09.fchk', 'li_sp_orbital.wfn',
        'li_sp_virtual.wfn', 'lif_fci.wfn', 'lih_cation_cisd.wfn', 'lih_cation_cisd.wfx',
        'lih_cation_fci.wfn', 'lih_cation_rohf.wfn', 'lih_cation_rohf.wfx',
        'lih_cation_uhf.wfn', 'lih_cation_uhf.wfx', 'monosilicic_acid_hf_lan.fchk',
        'nh3_molden_cart.molden', 'nh3_molden_pure.molden', 'nh3_molpro2012.molden',
        'nh3_psi4_1.0.molden', 'nitrogen-cc.fchk', 'nitrogen-ci.fchk', 'nitrogen-mp2.fchk',
        'nitrogen-mp3.fchk', 'o2_cc_pvtz_cart.fchk', 'o2_cc_pvtz_pure.fchk', 'o2_uhf.wfn',
        'o2_uhf_virtual.wfn', 'peroxide_irc.fchk', 'peroxide_opt.fchk',
        'peroxide_relaxed_scan.fchk', 'peroxide_tsopt.fchk', 'water_atcharges.fchk',
        'water_ccpvdz_pure_hf_g03.fchk', 'water_dimer_ghost.fchk',
        'water_hf_sto3g_qchem5.2.fchk', 'water_hfs_321g.fchk', 'water_sto3g_hf.wfx',
        'water_sto3g_hf_g03.fchk', 'water_wrong_spinmult.mkl',
    ],
    'loads, 11 refused': [
        'he_spdfgh_orbital.fchk', 'he_spdfgh_virtual.fchk', 'he_spdfgh_virtual.wfn',
        'he_spdfgh_virtual_fchk_multiwfn3.7.mwfn',
    ],
    'loads, parts left out': [
        'he_spdfgh_orbital.wfn', 'psi4_cuh_cc_pvqz_pure.molden', 'psi4_mn_cc_pvqz_pure.molden',
        'psi4_zn_cc_pvqz_pure.molden',
    ],
    'refused: Expecting line </Number of Nuclei>': [
        'h2o_error.wfx',
    ],
    "refused: lacks its 'Shell types' section": [
        'methanol_g16_opt.fchk', 'methanol_g16_scan.fchk',
    ],
}
EXPECTED = {name: outcome for outcome, names in OUTCOMES.items() for name in names}


def _quietly(read, *args, **options):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        molecule = read(*args, **options)
    return molecule, caught


def test_the_table_covers_every_wavefunction_file_of_the_wheel():
    readable = set()
    for path in WHEEL.iterdir():
        try:
            format_of(path)
            readable.add(path.name)
        except lk.ReadError:
            pass
    assert readable == set(EXPECTED)


@pytest.mark.parametrize("name", sorted(EXPECTED))
def test_each_wheel_file_loads_checked_or_is_refused_in_one_line(name):
    path = WHEEL / name
    outcome = EXPECTED[name]
    if outcome.startswith("refused"):
        with pytest.raises(lk.ReadError) as refusal:
            lk.read(path)
        message = str(refusal.value)
        assert message.startswith(f"{path}: ") and "\n" not in message
        assert outcome.split(": ", 1)[1] in message
        return
    molecule, caught = _quietly(lk.read, path)
    record = molecule.conversion
    assert record.error_after <= record.tolerance
    corrected = [w for w in caught if issubclass(w.category, lk.MoldenCorrectionWarning)]
    assert bool(record.correction) == bool(corrected) == outcome.startswith("corrected")
    refused = int(np.count_nonzero(record.dropped_fraction > record.max_dropped_fraction))
    assert refused == (int(outcome.split()[-2]) if outcome.endswith("refused") else 0)
    assert bool(record.dropped) == ("," in outcome)
    assert molecule.n_orbitals > 0 and np.all(np.isfinite(molecule.mo_coeff))


def _aligned_difference(ours, theirs):
    """Largest |c_ours - c_theirs| / max |c| after putting both molecules' orbitals
    on the same functions: the readers may scale a contracted shell differently
    (our Molden reader normalises every contraction), which shows as a ratio of
    their contraction coefficients that is constant within the shell."""
    assert list(ours.shell_l) == list(theirs.shell_l)
    np.testing.assert_allclose(ours.prim_exponent, theirs.prim_exponent, rtol=1e-7)
    shell = np.repeat(np.arange(ours.n_shells), ours.shell_n_prim)
    a, b = ours.prim_coeff.astype(float), theirs.prim_coeff.astype(float)
    scale = np.bincount(shell, a * b) / np.bincount(shell, b * b)
    assert np.abs(a - scale[shell] * b).max() <= 1e-6 * np.abs(a).max()
    per_component = np.repeat(scale, 2 * ours.shell_l + 1)
    c_ours = ours.mo_coeff.astype(float) * per_component
    c_theirs = theirs.mo_coeff.astype(float)
    return float(np.abs(c_ours - c_theirs).max() / np.abs(c_theirs).max())


@pytest.mark.parametrize("name", sorted(MOLDEN_FILES))
def test_molden_reader_and_iodata_agree_on_every_real_molden_file(name):
    """The agreement table: both readings, converted, give the same orbitals
    (to float32 rounding), whatever correction each reader applied."""
    path = molden_data() / name
    ours, _ = _quietly(lk.read_molden, path)
    theirs, _ = _quietly(read_with_iodata, path, "molden")
    difference = _aligned_difference(ours, theirs)
    np.testing.assert_allclose(ours.conversion.dropped_fraction,
                               theirs.conversion.dropped_fraction, rtol=1e-3, atol=1e-9)
    AGREEMENT[f"Molden reader vs IOData on {name}"] = (
        f"max |diff| / max |c| = {difference:.1e}; ours: {ours.conversion.reading}; "
        f"IOData: {theirs.conversion.correction or 'as written'}")
    assert difference < 2e-6


def test_iodata_lets_through_a_file_cut_inside_its_last_number(tmp_path):
    """Why the package keeps its own Molden reader: a file cut short inside its
    last coefficient still parses, as a wrong value, and passes the
    orthonormality check; only the missing final line break gives it away."""
    text = (molden_data() / "nh3_psi4_1.0.molden").read_text().rstrip("\n")[:-4]
    (tmp_path / "cut.molden").write_text(text)
    with pytest.raises(lk.MoldenError, match="the last line has no line break"):
        lk.read(tmp_path / "cut.molden")
    cut, _ = _quietly(read_with_iodata, tmp_path / "cut.molden", "molden")
    assert cut.n_orbitals == 50


@pytest.mark.parametrize("l", range(2, 7))
def test_iodata_labels_follow_iodatas_own_harmonics(l):
    """IOData defines its pure functions by their transform from normalised
    Cartesian functions; our label map must reproduce that transform."""
    from iodata.convert import HORTON2_CONVENTIONS
    from iodata.overlap_cartpure import tfs

    from libkernels.basis.conventions import primitive_norm
    from libkernels.basis.overlap import cartesian_norms

    pure = angular_map(l, tuple(HORTON2_CONVENTIONS[(l, "p")])) * primitive_norm(l, 1.0)
    cartesian = angular_map(l, tuple(HORTON2_CONVENTIONS[(l, "c")])) / \
        cartesian_norms(l, [1.0])[0, 0]
    np.testing.assert_allclose(pure, cartesian @ tfs[l].T, atol=1e-12)


def _pyscf_from_iodata(data, **options):
    """A PySCF molecule with the very shells IOData read (one label per atom)."""
    from iodata.convert import convert_to_segmented
    from pyscf import gto

    labels = [f"X{a}" for a in range(len(data.atnums))]
    basis = {label: [] for label in labels}
    for shell in convert_to_segmented(data.obasis).shells:
        basis[labels[shell.icenter]].append(
            [int(shell.angmoms[0])] + [[e, c] for e, c in zip(shell.exponents, shell.coeffs[:, 0])])
    atoms = [(f"{gto.param.ELEMENTS[z]}@{a}", xyz) for a, (z, xyz) in
             enumerate(zip(data.atnums, data.atcoords))]
    basis = {f"{gto.param.ELEMENTS[z]}@{a}": basis[f"X{a}"] for a, z in enumerate(data.atnums)}
    return gto.M(atom=atoms, basis=basis, unit="Bohr", verbose=0, **options)


def test_gaussian_fchk_map_agrees_with_pyscf_on_the_same_basis():
    """Water, RHF/cc-pVDZ from a Gaussian fchk, against PySCF's RHF on the
    shells read from the same file: energies, then HOMO and HOMO-1 maps."""
    requires("momentum_map_sum")
    import iodata
    scf = pytest.importorskip("pyscf.scf")

    path = WHEEL / "water_ccpvdz_pure_hf_g03.fchk"
    data = iodata.load_one(str(path))
    mf = scf.RHF(_pyscf_from_iodata(data))
    mf.conv_tol = 1e-11
    energy = mf.kernel()
    assert energy == pytest.approx(data.energy, abs=1e-7)
    fchk = lk.read(path)
    pyscf = lk.from_pyscf(mf)
    worst = 0.0
    for orbital in ("HOMO", "HOMO-1"):
        maps = [lk.momentum_map_sum(m, [orbital], kinetic_energy=25.0, k_max=2.5, n=41).data
                for m in (fchk, pyscf)]
        worst = max(worst, float(np.abs(maps[0] - maps[1]).max() / maps[1].max()))
    AGREEMENT["water fchk vs PySCF (RHF/cc-pVDZ)"] = (
        f"energy {energy:.9f} vs {data.energy:.9f} Eh; HOMO, HOMO-1 maps max |diff| / max "
        f"= {worst:.1e}")
    assert worst < 1e-4


def test_iodata_route_equals_the_pyscf_route_for_s_to_g(tmp_path):
    """Orbitals written by PySCF as a Molden file with pure s..g shells and
    read back through IOData convert to the Molecule from_pyscf builds."""
    scf = pytest.importorskip("pyscf.scf")
    from pyscf.tools import molden

    from conftest import water_like

    mol = water_like({"O": "cc-pvdz", "H": [[0, [1.2, 1.0]], [4, [0.9, 1.0]], [3, [1.1, 1.0]]]})
    mf = scf.RHF(mol).run(conv_tol=1e-9)
    molden.from_scf(mf, str(tmp_path / "w.molden"))
    theirs, _ = _quietly(read_with_iodata, tmp_path / "w.molden", "molden")
    assert _aligned_difference(lk.from_pyscf(mf), theirs) < 2e-6
