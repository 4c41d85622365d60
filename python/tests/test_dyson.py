"""Dyson orbitals from EOM-IP-CCSD: the amplitudes against the CCSD density (a sum rule
over every ionised state of water), and benzene's first ionisations against PySCF's
own EOM-IP-CCSD, with the orbitals selectable by name.

Benzene in 6-31G (66 basis functions, frozen core) takes about 25 s on one core."""

import numpy as np
import pytest

import libkernels as lk

pyscf = pytest.importorskip("pyscf")
from pyscf import cc, gto, scf  # noqa: E402
from pyscf.cc import eom_rccsd  # noqa: E402

from libkernels.structures.dyson import dyson_amplitudes  # noqa: E402

# PySCF's mycc.ipccsd(nroots=4), called as its example examples/cc/20-ip_ea_eom_ccsd.py
# does, for the shipped benzene's coordinates in 6-31G with the six 1s orbitals frozen
# (PySCF 2.15): the e1g pair, then the e2g pair, in eV.
BENZENE_IP_EV = [8.791122, 8.791122, 11.656847, 11.656847]


def test_left_and_right_amplitudes_summed_over_all_states_give_the_ccsd_density():
    mol = gto.M(atom="O 0 0 0.12; H 0 0.76 -0.47; H 0 -0.78 -0.45", basis="6-31g", verbose=0)
    mf = scf.RHF(mol).run(conv_tol=1e-12)
    mycc = cc.CCSD(mf, frozen=1)
    mycc.conv_tol = 1e-10
    mycc.kernel()
    l1, l2 = mycc.solve_lambda()
    eom = eom_rccsd.EOMIP(mycc)
    imds = eom.make_imds()
    size = eom.vector_size()
    diag = eom.get_diag(imds)
    hbar = np.array([eom.matvec(v, imds, diag) for v in np.eye(size)]).T
    energies, right = np.linalg.eig(hbar)
    order = np.argsort(energies.real)
    energies, right = energies.real[order], right.real[:, order]
    # left eigenvectors from the left solver's matrix, in a basis of their own
    lhbar = np.array([eom.l_matvec(v, imds, diag) for v in np.eye(size)]).T
    assert np.allclose(lhbar, hbar.T, atol=1e-12)
    left_energies, left = np.linalg.eig(lhbar)
    left = left.real[:, np.argsort(left_energies.real)]
    d_left, d_right, strengths = dyson_amplitudes(eom, mycc.t1, mycc.t2, l1, l2, right.T,
                                                  left.T, energies)
    density = np.einsum("kp,kq->pq", d_left, d_right)
    assert np.allclose(density + density.T, mycc.make_rdm1()[1:, 1:], atol=1e-9)
    main = strengths[:3]   # the three outer-valence ionisations: main lines
    assert np.all((main > 0.85) & (main < 1.0))


def test_benzene_dyson_orbitals_match_pyscf_and_are_selected_by_name(tmp_path):
    benzene = lk.load_example("benzene")
    atoms = [(s, tuple(p)) for s, p in
             zip(benzene.symbols, benzene.positions.astype(np.float64) * lk.BOHR_IN_ANGSTROM)]
    ions = lk.dyson_orbitals(atoms, n_states=4, basis="6-31g", threads=1, progress=False,
                             cache_dir=tmp_path)
    record = ions.computation
    ips = np.array(record["ionisation_energies_ev"])
    assert np.abs(ips - BENZENE_IP_EV).max() < 1e-3            # the method as PySCF gives it
    assert ions.mo_name == ["IP1", "IP2", "IP3", "IP4"] and ions.n_orbitals == 4
    first = ions.orbital_index("IP1")
    assert ions.mo_energy[first] == pytest.approx(-ips[0] / lk.HARTREE_IN_EV)
    assert ions.orbital_index("HOMO") in (0, 1)               # the degenerate pair on top
    assert 0.85 < ions.mo_occ[first] < 0.95                    # pole strength, not 2
    assert min(record["left_right_overlaps"]) > 0.999
    assert all(label.endswith("g") and label != "Ag" for label in ions.mo_symmetry[:2])
    # the first Dyson orbital is the pi HOMO pair's: its map is zero at normal emission
    # and resembles the RHF HOMO's (they span the same degenerate pair)
    m = lk.momentum_map_sum(ions, ["IP1", "IP2"], kinetic_energy=30, k_max=2.5, n=41,
                            weights=[1, 1])
    assert m.data[20, 20] < 1e-3 * m.data.max()
    again = lk.dyson_orbitals(atoms, n_states=4, basis="6-31g", progress=False,
                              cache_dir=tmp_path)
    assert np.array_equal(again.mo_coeff, ions.mo_coeff) and again.mo_name == ions.mo_name
    with pytest.raises(lk.InputError, match="spin"):
        lk.dyson_orbitals([("O", (0, 0, 0)), ("H", (0, 0, 0.97))], basis="sto-3g",
                          cache_dir=tmp_path)
