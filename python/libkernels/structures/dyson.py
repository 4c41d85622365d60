"""Dyson orbitals from EOM-IP-CCSD: the orbitals a photoemission experiment images.

Photoemission from the ground state |N> into the ion's state |N-1, k> images
the Dyson orbital d_k(r) = sqrt(N) <N-1, k|N>(r), not a Kohn-Sham or Hartree-Fock
orbital; its squared norm, the pole strength S_k, is the intensity the ion state
takes from the one-electron picture.  With coupled cluster, whose similarity-
transformed Hamiltonian is not Hermitian, each state has a left and a right
Dyson orbital (PySCF's EOM-IP-CCSD, pyscf.cc.eom_rccsd.EOMIP, gives the right
and left eigenvectors R_k, L_k; the ground state's left side comes from the
Lambda equations):

    right  d^R_k[p] = L_k . \\bar{a}_p|0>            (PySCF's build_ket_hole)
    left   d^L_k[p] = <0|(1 + Lambda) \\bar{a}^+_p . R_k   (build_bra_hole)

with L and R biorthonormal (L_k . R_l = delta_kl, made so within each group
of degenerate states).  S_k = sum_p d^L_k[p] d^R_k[p], and summed over all
states the products give the CCSD one-particle density (the tests check it).
The orbital returned is the average of the normalised left and right orbitals
(they differ by the non-Hermiticity, typically by well under a percent, which
the record gives as their overlap), normalised to 1; the pole strength is its
occupation, and its energy is minus the ionisation energy, so that binding
energies and kinetic energies follow as for any orbital.  The orbitals are
named IP1, IP2, ... in the order of the ionisation energies.
"""

from __future__ import annotations

import io
import sys
import time
from typing import TYPE_CHECKING, Any, Dict, List, Optional, Tuple

import numpy as np

from ..core.errors import ComputationError, InputError, ReadError
from ..core.extras import require
from ..core.memory import check
from ..core.molecule import Molecule
from ..core.record import package_version
from ..core.units import HARTREE_IN_EV
from ..core.validation import count
from ..formats.pyscf import irrep_labels
from .scf import BASE_MEMORY, ScfProgress, build_mole, pyscf_threads, pyscf_version, run
from .store import entry_key, folder, load, save
from .compute import StructureLike, as_structure, prepare
from .structure import EXTRA

if TYPE_CHECKING:
    from ..core.types import Float64Array, MemorySize, PathLike
    from .frame import Orientation
    from .structure import Structure

DEGENERATE = 1e-5   # hartree: ionisation energies closer than this form one group
EXTRA_ROOTS = 3     # roots computed beyond those asked for, so no degenerate pair is cut


def dyson_orbitals(structure: Optional[StructureLike] = None, n_states: int = 4,
                   basis: str = "cc-pvdz", *, smiles: Optional[str] = None,
                   charge: Optional[int] = None, optimise: Optional[bool] = None,
                   frozen_core: bool = True, recompute: bool = False,
                   threads: Optional[int] = None, max_memory: MemorySize = None,
                   progress: bool = True, cache_dir: Optional[PathLike] = None,
                   symmetry: bool = True, orient: bool = True) -> Molecule:
    """The Dyson orbitals of the first `n_states` ionisations (EOM-IP-CCSD on RHF).

    `structure` is anything compute_orbitals takes (a catalogue name, a file, a
    Structure, a Molecule, atoms), or `smiles=`; the molecule must be a closed
    shell.  Returns a Molecule whose orbitals are the Dyson orbitals IP1, IP2, ...
    (select them by these names), with energy -IP (hartree), occupation the pole
    strength and the irreducible representation of each; mol.computation holds
    the ionisation energies, pole strengths, left/right overlaps and timings.
    Cached like compute_orbitals.  The cost grows as the sixth power of the basis:
    benzene in cc-pVDZ takes about five minutes on one core, in 6-31G about half
    a minute.  `frozen_core` leaves the core orbitals out of the correlation.
    """
    n_states = count(n_states, "n_states", 1, 50, "states")
    basis_name = str(basis).strip()
    if not basis_name:
        raise InputError("basis", "is empty: give a basis such as 'cc-pvdz'")
    given, origin = as_structure(structure, smiles=smiles, charge=charge, spin=0)
    if given.spin != 0:
        raise InputError("spin", "must be 0: Dyson orbitals are computed for closed shells")
    pyscf_version()
    prepared, turn, steps = prepare(given, origin, optimise=optimise, symmetry=symmetry,
                                    orient=orient, progress=progress)
    settings = {"method": "eom-ip-ccsd", "reference": "rhf", "basis": basis_name.lower(),
                "frozen_core": frozen_core, "n_states": n_states, "symmetry": symmetry,
                "pyscf": pyscf_version()}
    key = entry_key(prepared, settings)
    hit = None if recompute else load(key, cache_dir, check=False)
    if hit is None:
        _compute(prepared, basis_name, n_states, frozen_core, settings, key=key,
                 threads=threads, max_memory=max_memory, progress=progress,
                 cache_dir=cache_dir, symmetry=symmetry, origin=origin, turn=turn,
                 steps=steps)
        hit = load(key, cache_dir, check=False)
        if hit is None:
            raise ReadError(f"the cache entry {key} could not be read back from "
                            f"{folder(cache_dir)}")
    molecule, record = hit
    molecule.mo_name = list(record["names"])
    molecule.mo_occ = np.array(record["pole_strengths"], dtype=np.float64)
    molecule.computation = record
    molecule.name = prepared.name
    molecule.title = f"{prepared.name or prepared.formula} (EOM-IP-CCSD/{basis_name})"
    return molecule


def _compute(structure: Structure, basis: str, n_states: int, frozen_core: bool,
             settings: Dict[str, Any], *, key: str, threads: Optional[int],
             max_memory: MemorySize, progress: bool, cache_dir: Optional[PathLike],
             symmetry: bool, origin: str, turn: Orientation,
             steps: Dict[str, Any]) -> Dict[str, Any]:
    scf_module = require("pyscf.scf", EXTRA, "Dyson orbitals", "PySCF")
    cc = require("pyscf.cc", EXTRA, "Dyson orbitals", "PySCF")
    eom_rccsd = require("pyscf.cc.eom_rccsd", EXTRA, "Dyson orbitals", "PySCF")
    elements = require("pyscf.data.elements", EXTRA, "Dyson orbitals", "PySCF")
    name = structure.name or structure.formula
    mol = build_mole(structure, basis, symmetry)
    nmo = int(mol.nao_nr())
    frozen = int(elements.chemcore(mol)) if frozen_core else 0
    nocc = mol.nelectron // 2 - frozen
    nvir = nmo - mol.nelectron // 2
    # integrals in the MO basis (vvvv the largest), amplitudes and their DIIS history
    estimate = 8 * (nvir**4 // 2 + 2 * nocc * nvir**3 + 12 * nocc**2 * nvir**2) + \
        BASE_MEMORY
    check(estimate, f"EOM-IP-CCSD/{basis} of {name} ({nmo} basis functions)",
          "choose a smaller {basis}", max_memory)
    mol = build_mole(structure, basis, symmetry, max_memory=max(estimate * 2, 2 * 1024**3))
    display = ScfProgress(f"RHF/{basis} of {name}", enabled=progress)
    display.message(f"Dyson orbitals of {name}: EOM-IP-CCSD/{basis}, {nmo} basis functions, "
                    f"about {estimate / 1024**3:.2g} GB")
    start, cpu = time.perf_counter(), time.process_time()
    timings: Dict[str, float] = {}
    with pyscf_threads(threads):
        try:
            mf = scf_module.RHF(mol)
            mf.conv_tol, mf.chkfile, mf.verbose = 1e-10, None, 0
            run(mf, display)
            display.close()
            timings["rhf"] = time.perf_counter() - start
            _stage(progress, "CCSD ...")
            mycc = cc.CCSD(mf, frozen=frozen or None)
            mycc.conv_tol, mycc.verbose = 1e-8, 0
            mycc.kernel()
            if not mycc.converged:
                raise ComputationError(f"CCSD of {name} did not converge")
            timings["ccsd"] = time.perf_counter() - start - sum(timings.values())
            _stage(progress, "Lambda equations ...")
            l1, l2 = mycc.solve_lambda()
            timings["lambda"] = time.perf_counter() - start - sum(timings.values())
            _stage(progress, "EOM-IP-CCSD, right and left ...")
            eom = eom_rccsd.EOMIP(mycc)
            eom.verbose = 0
            imds = eom.make_imds()
            roots = min(n_states + EXTRA_ROOTS, eom.vector_size())
            e_right, right = eom.kernel(nroots=roots, imds=imds)
            e_left, left = eom.kernel(nroots=roots, imds=imds, left=True)
            timings["eom"] = time.perf_counter() - start - sum(timings.values())
        except BaseException:
            display.close("stopped: nothing was cached")
            raise
    energies = np.atleast_1d(np.asarray(e_right, dtype=np.float64))
    right_vectors = np.atleast_2d(np.asarray(right, dtype=np.float64))
    left_vectors = _match(energies, np.atleast_1d(np.asarray(e_left, dtype=np.float64)),
                          np.atleast_2d(np.asarray(left, dtype=np.float64)))
    keep = _complete_groups(energies, n_states, exhaustive=roots == eom.vector_size())
    d_left, d_right, strengths = dyson_amplitudes(eom, mycc.t1, mycc.t2, l1, l2,
                                                  right_vectors[:keep], left_vectors[:keep],
                                                  energies[:keep])
    active = np.asarray(mf.mo_coeff)[:, frozen:]
    coefficients, overlaps = _orbitals(active, d_left, d_right)
    labels = _labels(mol, mf, frozen, d_left * d_right)
    ips = energies[:keep]
    names = [f"IP{k + 1}" for k in range(keep)]
    text = _molden(mol, coefficients, -ips, strengths, labels, f"{name} Dyson orbitals")
    seconds = time.perf_counter() - start
    record = {
        "libkernels": package_version(), "name": structure.name, "formula": structure.formula,
        "smiles": structure.smiles, "source": structure.source, "origin": origin,
        "method": "EOM-IP-CCSD", "basis": basis, "charge": structure.charge, "spin": 0,
        "settings": settings, "frozen_orbitals": frozen, "names": names,
        "ionisation_energies_ev": (ips * HARTREE_IN_EV).tolist(),
        "pole_strengths": strengths.tolist(), "left_right_overlaps": overlaps.tolist(),
        "symmetries": labels, "rhf_energy_hartree": float(mf.e_tot),
        "ccsd_correlation_hartree": float(mycc.e_corr),
        "point_group": getattr(mol, "topgroup", "C1") if symmetry else "C1",
        "seconds": round(seconds, 2), "cpu_seconds": round(time.process_time() - cpu, 2),
        "stage_seconds": {k: round(v, 2) for k, v in timings.items()},
        "orientation": turn.as_record(), "notes": list(structure.notes),
        "symbols": list(structure.symbols),
        "positions_angstrom": np.round(structure.positions, 8).tolist(), **steps}
    _stage(progress, f"done in {seconds:.0f} s: first ionisation energy "
                     f"{ips[0] * HARTREE_IN_EV:.3f} eV, pole strength {strengths[0]:.3f}")
    return save(key, text, record, cache_dir)


def dyson_amplitudes(eom: Any, t1: Any, t2: Any, l1: Any, l2: Any, right: Any, left: Any,
                     energies: Any) -> Tuple[Float64Array, Float64Array, Float64Array]:
    """Left and right Dyson amplitudes (states x active orbitals, in the MO basis) and
    pole strengths from EOM-IP eigenvectors (rows), made biorthonormal first."""
    momgf = require("pyscf.cc.momgfccsd", EXTRA, "Dyson orbitals", "PySCF")
    right = np.atleast_2d(np.asarray(right, dtype=np.float64))
    left = biorthonormal(np.atleast_2d(np.asarray(left, dtype=np.float64)), right,
                         np.asarray(energies, dtype=np.float64))
    n_active = t1.shape[0] + t1.shape[1]
    ket = np.array([momgf.build_ket_hole(None, eom, t1, t2, p) for p in range(n_active)])
    bra = np.array([momgf.build_bra_hole(None, eom, t1, t2, l1, l2, p)
                    for p in range(n_active)])
    d_right = left @ ket.T
    d_left = right @ bra.T
    return d_left, d_right, np.einsum("kp,kp->k", d_left, d_right)


def biorthonormal(left: Float64Array, right: Float64Array,
                  energies: Float64Array) -> Float64Array:
    """Left vectors made biorthonormal to the right ones (left . right^T = 1), group by
    group of degenerate states, where the two solvers may pick different bases."""
    left = left.copy()
    for group in _groups(energies):
        block = left[group] @ right[group].T
        if abs(np.linalg.det(block)) < 1e-10:
            raise ComputationError("the left and right EOM-IP-CCSD vectors do not pair up "
                                   "(a degenerate group was cut); ask for another n_states")
        left[group] = np.linalg.solve(block, left[group])
    return left


def _groups(energies: Any) -> List[List[int]]:
    groups: List[List[int]] = []
    for k, e in enumerate(energies):
        if groups and abs(e - energies[groups[-1][-1]]) < DEGENERATE:
            groups[-1].append(k)
        else:
            groups.append([k])
    return groups


def _complete_groups(energies: Float64Array, n_states: int, exhaustive: bool) -> int:
    """n_states, raised to finish a degenerate group; refused when that group is the
    last one computed (its partners may lie beyond) unless every root was computed."""
    total = 0
    groups = _groups(energies)
    for index, group in enumerate(groups):
        total += len(group)
        if total >= n_states:
            if index == len(groups) - 1 and not exhaustive:
                break
            return total
    if exhaustive:
        return total
    raise ComputationError("a degenerate group of ionisations reaches past the roots "
                           "computed; ask for fewer n_states")


def _match(energies: Float64Array, left_energies: Float64Array,
           left: Float64Array) -> Float64Array:
    """The left vectors in the order of the right eigenvalues (the two Davidson runs may
    converge in another order)."""
    order = []
    free = list(range(len(left_energies)))
    for e in energies:
        best = min(free, key=lambda j: abs(left_energies[j] - e))
        if abs(left_energies[best] - e) > 1e-4:
            raise ComputationError(f"the left EOM-IP-CCSD solver found no root at "
                                   f"{e * HARTREE_IN_EV:.4f} eV, where the right one did")
        order.append(best)
        free.remove(best)
    return left[order]


def _orbitals(active: Float64Array, d_left: Float64Array,
              d_right: Float64Array) -> Tuple[Float64Array, Float64Array]:
    """AO coefficients (nao x states) of the averaged, normalised Dyson orbitals and
    the overlaps of the normalised left and right ones."""
    columns, overlaps = [], []
    for dl, dr in zip(d_left, d_right):
        unit_left = dl / np.linalg.norm(dl)
        unit_right = dr / np.linalg.norm(dr)
        overlap = float(unit_left @ unit_right)
        if overlap < 0:   # a common sign: the pole strength is positive for a bound state
            unit_left = -unit_left
            overlap = -overlap
        mean = unit_left + unit_right
        columns.append(active @ (mean / np.linalg.norm(mean)))
        overlaps.append(overlap)
    return np.array(columns).T, np.array(overlaps)


def _labels(mol: Any, mf: Any, frozen: int, weights: Float64Array) -> List[str]:
    """Each Dyson orbital's irreducible representation: that of the RHF orbitals it is
    made of (all of one irrep for a symmetry-adapted calculation)."""
    from_orbitals = irrep_labels(mol, mf.mo_coeff, mf)
    if from_orbitals is None:
        return ["A"] * len(weights)
    active = from_orbitals[frozen:]
    return [active[int(np.argmax(np.abs(w)))] for w in weights]


def _molden(mol: Any, coefficients: Float64Array, energies: Float64Array,
            occupations: Float64Array, labels: List[str], title: str) -> str:
    molden = require("pyscf.tools.molden", EXTRA, "writing orbitals", "PySCF")
    out = io.StringIO()
    out.write(f"[Title]\n {title}\n")
    molden.header(mol, out)
    molden.orbital_coeff(mol, out, coefficients, spin="Alpha", ene=energies,
                         occ=occupations, symm=labels)
    return out.getvalue()


def _stage(enabled: bool, text: str) -> None:
    if enabled:
        sys.stderr.write(text + "\n")
        sys.stderr.flush()
