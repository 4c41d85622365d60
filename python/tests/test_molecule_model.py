"""Validation of the Molecule model, orbital selection and units."""

import numpy as np
import pytest

from libkernels import BOHR_IN_ANGSTROM, HARTREE_IN_EV, Molecule
from libkernels.core.units import energy_to_hartree, length_to_bohr, momentum_to_bohr

from conftest import tiny_molecule


def test_valid_molecule_has_library_dtypes_and_counts():
    m = Molecule(**tiny_molecule())
    assert (m.n_atoms, m.n_shells, m.n_components, m.n_orbitals) == (2, 3, 7, 2)
    for name in ("atom_x", "prim_exponent", "prim_coeff", "mo_coeff"):
        assert getattr(m, name).dtype == np.float32 and getattr(m, name).flags.c_contiguous
    for name in ("shells_per_atom", "shell_l", "shell_n_prim"):
        assert getattr(m, name).dtype == np.int32


@pytest.mark.parametrize("override, message", [
    (dict(shell_l=np.array([0, 5, 0])), r"shell 1 \(atom 0\) has l = 5"),
    (dict(shell_l=np.array([0, -1, 0])), r"shell 1 \(atom 0\) has l = -1"),
    (dict(shell_l=[0.0, 2.0, 0.0]), "shell_l must hold integers"),
    (dict(shell_l=np.array([0, 2])), "shell_l has 2 entries but .* 3 shells"),
    (dict(atom_y=[0.0, np.nan]), r"atom 1 has a non-finite position \(1.4, nan, 0\)"),
    (dict(atom_z=[np.inf, 0.0]), "atom 0 has a non-finite position"),
    (dict(atom_x=[0.0]), "atom_x has 1 entries but .* 2 atoms"),
    (dict(prim_exponent=[3.0, 0.5, -0.8, 1.1]), r"shell 1 \(atom 0, l = 2\) has exponent -0.8"),
    (dict(prim_exponent=[3.0, 0.5, 0.8, 0.0]), r"shell 2 \(atom 1, l = 0\) has exponent 0.0"),
    (dict(prim_exponent=[3.0, 0.5, 0.8, 1e300]), "has exponent inf"),
    (dict(prim_coeff=[0.4, 0.7, 1.0]), "prim_coeff has 3 entries but .* 4 primitives"),
    (dict(prim_coeff=np.array([1, 2, 3, 4j])), "prim_coeff must hold real numbers"),
    (dict(shell_n_prim=np.array([2, 0, 2])), r"shell 1 \(atom 0\) has 0 primitives"),
    (dict(mo_coeff=np.ones((2, 6))), "mo_coeff rows have 6 coefficients .* 7 components"),
    (dict(mo_coeff=np.full((2, 7), np.nan)), "orbital 0 has a non-finite coefficient"),
    (dict(mo_energy=[0.1]), "mo_energy has 1 entries for 2 orbitals"),
    (dict(shells_per_atom=np.array([2, -1])), "atom 1 has a negative shell count"),
])
def test_bad_arrays_are_rejected_naming_the_culprit(override, message):
    with pytest.raises(ValueError, match=message):
        Molecule(**tiny_molecule(**override))


def test_molecule_keeps_its_own_copies():
    exponents = np.array([3.0, 0.5, 0.8, 1.1], dtype=np.float32)
    m = Molecule(**tiny_molecule(prim_exponent=exponents))
    exponents[0] = -1.0  # a later edit by the caller does not reach the validated model
    assert m.prim_exponent[0] == 3.0


def test_angstrom_positions_are_converted_to_bohr():
    m = Molecule(**tiny_molecule(atom_x=[0.0, BOHR_IN_ANGSTROM]), unit="angstrom")
    assert m.atom_x[1] == pytest.approx(1.0, rel=1e-7)


def test_conversion_constants():
    assert length_to_bohr(1.0, "angstrom") == pytest.approx(1 / 0.529177210903, rel=1e-15)
    assert momentum_to_bohr(1.0, "1/angstrom") == pytest.approx(0.529177210903, rel=1e-15)
    assert energy_to_hartree(HARTREE_IN_EV, "eV") == pytest.approx(1.0, rel=1e-15)
    with pytest.raises(ValueError, match="unknown energy unit"):
        energy_to_hartree(1.0, "kcal")


def _orbitals(energies, occupations, spins=None):
    n = len(energies)
    return Molecule(**tiny_molecule(mo_coeff=np.ones((n, 7)), mo_energy=energies,
                                    mo_occ=occupations, mo_spin=spins))


def test_orbital_names_follow_energy_order_per_spin():
    # rows out of energy order on purpose; alpha rows 0-3, beta rows 4-7
    m = _orbitals([-0.3, -0.9, 0.2, 0.05, -0.4, -1.0, 0.3, -0.1],
                  [1, 1, 0, 0, 1, 1, 0, 0], [0, 0, 0, 0, 1, 1, 1, 1])
    assert m.orbital_index("HOMO") == 0
    assert m.orbital_index("homo-1") == 1
    assert m.orbital_index("LUMO") == 3
    assert m.orbital_index("LUMO+1") == 2
    assert m.orbital_index("HOMO", spin="beta") == 4
    assert m.orbital_index("LUMO", spin="beta") == 7
    assert m.orbital_index("HOMO+1") == m.orbital_index("LUMO")
    assert m.orbital_index(5) == 5 and m.orbital_index("7") == 7
    with pytest.raises(ValueError, match="negative"):  # not counted from the end
        m.orbital_index("-1")
    assert m.orbital_label(2) == "LUMO+1 (alpha)"
    assert m.orbital_label(5) == "HOMO-1 (beta)"
    with pytest.raises(ValueError, match="HOMO-5 does not exist"):
        m.orbital_index("HOMO-5")
    with pytest.raises(ValueError, match="cannot read orbital 'HOMOO'"):
        m.orbital_index("HOMOO")
    with pytest.raises(ValueError, match="out of range"):
        m.orbital_index(8)
