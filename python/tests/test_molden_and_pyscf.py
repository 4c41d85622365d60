"""Molden reader and PySCF converter: the library's convention, against PySCF.

The component order, signs and primitive normalisation are checked by
evaluating PySCF's own basis functions (mol.eval_gto) and the library's
convention (the double-precision reference in reference_harmonics.py) at random
points.
"""

import numpy as np
import pytest

import libkernels
from libkernels import MoldenError, parse_molden, read_molden
from libkernels.basis.conventions import MOLDEN_ORDER, MOLDEN_SIGN

from conftest import water_like
from reference_harmonics import evaluate_basis, solid_harmonics

pyscf = pytest.importorskip("pyscf")
from pyscf import gto, scf  # noqa: E402
from pyscf.tools import molden as pyscf_molden  # noqa: E402

ARRAYS = ("atom_x", "atom_y", "atom_z", "shells_per_atom", "shell_l", "shell_n_prim",
          "prim_exponent", "prim_coeff", "mo_coeff")


@pytest.mark.parametrize("l", range(5))
def test_component_mapping_is_derived_from_pyscf_functions(l):
    """Fit PySCF's functions (Molden order) with the library's harmonics: the
    fit must be exactly the signed permutation in conventions.py."""
    mol = gto.M(atom="Ne 0 0 0", basis={"Ne": [[l, (0.9, 1.0)]]}, verbose=0)
    points = np.random.default_rng(l).normal(size=(300, 3))
    pyscf_values = mol.eval_gto("GTOval_sph", points)[:, pyscf_molden.order_ao_index(mol)]
    radial = np.exp(-0.9 * np.sum(points**2, axis=1)) * gto.gto_norm(l, 0.9)
    library = (solid_harmonics(*points.T)[l * l:(l + 1) ** 2] * radial).T
    fit, *_ = np.linalg.lstsq(library, pyscf_values, rcond=None)
    expected = np.zeros((2 * l + 1, 2 * l + 1))
    for c in range(2 * l + 1):
        expected[c, MOLDEN_ORDER[l][c]] = MOLDEN_SIGN[l][c]
    np.testing.assert_allclose(fit, expected, atol=1e-7)


MOLECULES = [
    ("water cc-pVTZ (d, f)", dict(basis="cc-pvtz")),
    ("water cc-pVQZ (d, f, g)", dict(basis="cc-pvqz")),
    ("CH2+ doublet 6-31G* (sp contractions)", dict(
        basis="6-31g*", charge=1, spin=1, atoms="C 0 0 0.1; H 0.9 0.1 -0.5; H -0.95 0 -0.4")),
]


@pytest.mark.parametrize("name, setup", MOLECULES, ids=[m[0] for m in MOLECULES])
def test_molden_reader_and_converter_agree_and_match_pyscf(name, setup, tmp_path):
    mol = water_like(setup["basis"], setup.get("charge", 0), setup.get("spin", 0),
                     **({"atoms": setup["atoms"]} if "atoms" in setup else {}))
    coeff = np.random.default_rng(3).normal(size=(mol.nao, 5))
    path = tmp_path / "random.molden"
    pyscf_molden.from_mo(mol, str(path), coeff, ene=np.arange(5.0) - 2, occ=[2, 2, 2, 0, 0])
    from_file = read_molden(path, check=False)  # random orbitals: not orthonormal
    converted = libkernels.from_pyscf(mol, coeff)
    for name_ in ARRAYS:
        a, b = getattr(from_file, name_), getattr(converted, name_)
        assert a.dtype == b.dtype and a.shape == b.shape, name_
        np.testing.assert_allclose(a, b, rtol=2e-7, atol=0, err_msg=name_)
    np.testing.assert_array_equal(from_file.atomic_numbers, converted.atomic_numbers)
    np.testing.assert_allclose(from_file.mo_energy, np.arange(5.0) - 2)
    assert from_file.orbital_index("HOMO") == 2 and from_file.orbital_index("LUMO") == 3

    points = np.random.default_rng(4).normal(size=(400, 3)) * 1.5
    reference = mol.eval_gto("GTOval_sph", points) @ coeff
    ours = evaluate_basis(from_file, points) @ from_file.mo_coeff.T.astype(np.float64)
    scale = np.abs(reference).max()
    assert np.abs(ours - reference).max() < 2e-6 * scale


def test_unrestricted_orbitals_keep_their_spins(tmp_path):
    mol = water_like("6-31g*", charge=1, spin=1)
    mf = scf.UHF(mol).run()
    path = tmp_path / "uhf.molden"
    pyscf_molden.from_scf(mf, str(path))
    m = read_molden(path)
    assert m.n_orbitals == 2 * mol.nao
    np.testing.assert_array_equal(m.mo_spin, [0] * mol.nao + [1] * mol.nao)
    alpha, beta = mol.nelec
    assert m.orbital_index("HOMO", spin="alpha") == alpha - 1
    assert m.orbital_index("HOMO", spin="beta") == mol.nao + beta - 1
    assert m.orbital_index("LUMO", spin="beta") == mol.nao + beta
    converted = libkernels.from_pyscf(mf)
    np.testing.assert_allclose(converted.mo_coeff, m.mo_coeff, rtol=2e-7, atol=1e-12)
    np.testing.assert_array_equal(converted.mo_spin, m.mo_spin)


def test_angstrom_atoms_and_upper_case_flags(tmp_path):
    mol = water_like("cc-pvtz")
    path = tmp_path / "a.molden"
    pyscf_molden.from_mo(mol, str(path), _orthonormal_orbitals(mol)[:, :2])
    text = path.read_text()
    lines = []
    for line in text.splitlines():
        fields = line.split()
        if len(fields) == 6 and fields[0] in ("O", "H"):
            xyz = [float(v) * libkernels.BOHR_IN_ANGSTROM for v in fields[3:]]
            line = " ".join(fields[:3] + [f"{v:.12f}" for v in xyz])
        lines.append(line.replace("[Atoms] (AU)", "[Atoms] (Angs)")
                     .replace("[5d7f]", "[5D7F]").replace("[9g]", "[9G]"))
    m = parse_molden(lines)
    np.testing.assert_allclose(m.positions, mol.atom_coords(), rtol=1e-6, atol=1e-6)


def _orthonormal_orbitals(mol):
    """Loewdin orbitals S^(-1/2): orthonormal, as the reader's check demands."""
    values, vectors = np.linalg.eigh(mol.intor("int1e_ovlp"))
    return vectors @ np.diag(values ** -0.5) @ vectors.T


@pytest.fixture(scope="module")
def good_molden(tmp_path_factory):
    mol = water_like("cc-pvtz")
    path = tmp_path_factory.mktemp("molden") / "good.molden"
    pyscf_molden.from_mo(mol, str(path), _orthonormal_orbitals(mol)[:, :3])
    return path.read_text().splitlines()


def _edit(lines, old, new, count=1):
    text = "\n".join(lines)
    assert old in text
    return text.replace(old, new, count).splitlines()


@pytest.mark.parametrize("edit, message", [
    (lambda ls: ls[:len(ls) - 10], "orbital 3 lacks 10 of its .* coefficients"),
    (lambda ls: ls[:ls.index("[MO]")], r"no \[MO\] section"),
    (lambda ls: ls[1:], r"not a Molden file"),
    (lambda ls: _edit(ls, "[5d7f]", ""), r"lists 58 coefficients.*65 basis functions \(pure s, "
                                         r"pure p, Cartesian d, Cartesian f\); the counts disagree"),
    (lambda ls: _edit(ls, "[5d7f]", "[5D10F]"), "pure d, Cartesian f.*the counts disagree"),
    (lambda ls: _edit(ls, " f    1 1.00", " h    1 1.00"), "the counts disagree"),
    (lambda ls: _edit(ls, " d    1 1.00", " d    3 1.00"), "announces 3 primitives but lists 1"),
    (lambda ls: _edit(ls, "   1   8", "   1   8   nan 0 0 #"), "non-finite position"),
    (lambda ls: _edit(ls, " Ene=", " Ene= x"), "expected a number"),
    (lambda ls: _edit(ls, "[Atoms] (AU)", "[Atoms] (furlong)"), "unknown unit"),
    (lambda ls: _edit(ls, "2 0\n", "7 0\n"), "basis given for atom 7"),
    (lambda ls: _edit(ls, " Spin= Alpha", " Spin= Up"), "Spin must be Alpha or Beta"),
])
def test_malformed_files_give_clear_errors(good_molden, edit, message):
    with pytest.raises(MoldenError, match=message):
        parse_molden(edit(list(good_molden)))


def test_file_cut_inside_a_number_is_reported(good_molden):
    text = "\n".join(good_molden) + "\n"
    with pytest.raises(MoldenError, match="truncated"):
        parse_molden(text[:-4])
    parse_molden(text)


def test_unreadable_file_is_a_molden_error(tmp_path):
    with pytest.raises(MoldenError, match="cannot read the file"):
        read_molden(tmp_path / "missing.molden")
    binary = tmp_path / "binary.molden"
    binary.write_bytes(b"\xff\xfe\x00garbage")
    with pytest.raises(MoldenError):
        read_molden(binary)


def test_converter_rejects_cartesian_and_high_l():
    with pytest.raises(ValueError, match="Cartesian"):
        libkernels.from_pyscf(gto.M(atom="O 0 0 0", basis="cc-pvdz", cart=True, spin=2,
                                    verbose=0))
    mol = gto.M(atom="Ne 0 0 0", basis={"Ne": [[5, (1.0, 1.0)]]}, verbose=0)
    with pytest.raises(ValueError, match="l = 5"):
        libkernels.from_pyscf(mol)


def test_shipped_examples_are_read(pentacene, benzene):
    assert (pentacene.n_atoms, pentacene.n_components) == (36, 378)
    assert sorted(set(pentacene.symbols)) == ["C", "H"]
    assert (benzene.n_atoms, benzene.n_components) == (12, 114)
    assert pentacene.orbital_index("HOMO") == 72  # 146 electrons, closed shell
    assert pentacene.mo_occ[pentacene.orbital_index("HOMO")] == 2.0
