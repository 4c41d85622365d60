"""Converts a PySCF molecule and its orbitals to a Molecule.

PySCF is optional: this module imports nothing from it and reads only the
public Mole methods, so a Mole from any recent PySCF works.  Shells with
several contractions become one library shell per contraction, and every
component is reordered and re-signed to the library's convention
(basis/conventions.py), exactly as the Molden reader does for the files PySCF writes.
"""

from __future__ import annotations

from typing import Any, List, Optional

import numpy as np

from ..basis.conventions import MOLDEN_SIGN, library_contraction, pyscf_order
from ..core.errors import ReadError
from ..core.molecule import MAX_L, Molecule


def from_pyscf(mol: Any, mo_coeff: Any = None, mo_energy: Any = None, mo_occ: Any = None,
               renormalise: bool = True) -> Molecule:
    """Molecule from a PySCF Mole (pure functions) and optional MO data.

    `mo_coeff` is (nao, nmo) as PySCF stores it, or (2, nao, nmo) for
    unrestricted orbitals (alpha then beta); likewise mo_energy and mo_occ.
    `mol` may also be a finished SCF object, whose orbitals are then used.  Orbitals
    of a symmetry-adapted SCF (mol.symmetry) keep their irreducible representations
    in mo_symmetry.
    """
    scf = None
    if hasattr(mol, "mo_coeff") and hasattr(mol, "mol"):
        scf = mol
        mol = scf.mol
        mo_coeff = scf.mo_coeff if mo_coeff is None else mo_coeff
        mo_energy = scf.mo_energy if mo_energy is None else mo_energy
        mo_occ = scf.mo_occ if mo_occ is None else mo_occ
    if mol.cart:
        raise ReadError("the molecule uses Cartesian functions (mol.cart = True); only pure "
                        "(spherical) functions are supported so far")

    shells = []  # (atom, l, exponents, coefficients, pyscf AO offset)
    ao_offset = 0
    for b in range(mol.nbas):
        l = mol.bas_angular(b)
        n_ctr = mol.bas_nctr(b)
        if l > MAX_L:
            raise ReadError(f"shell {b} of the PySCF basis has l = {l}; the library supports "
                            f"l <= {MAX_L}")
        exponents = mol.bas_exp(b)
        contraction = mol.bas_ctr_coeff(b)
        for c in range(n_ctr):
            shells.append((mol.bas_atom(b), l, exponents, contraction[:, c], ao_offset))
            ao_offset += 2 * l + 1
    order = sorted(range(len(shells)), key=lambda s: shells[s][0])
    shells = [shells[s] for s in order]
    component_index = np.concatenate(
        [s[4] + np.array(pyscf_order(s[1])) for s in shells]).astype(np.int64)
    sign = np.concatenate([MOLDEN_SIGN[s[1]] for s in shells]).astype(np.float64)

    kwargs: dict = {}
    if mo_coeff is not None:
        labels = irrep_labels(mol, mo_coeff, scf)
        coeff = np.asarray(mo_coeff, dtype=np.float64)
        spins = None
        if coeff.ndim == 3:
            spins = np.concatenate([np.zeros(coeff.shape[2]), np.ones(coeff.shape[2])])
            coeff = np.concatenate([coeff[0], coeff[1]], axis=1)
            mo_energy = None if mo_energy is None else np.concatenate(list(mo_energy))
            mo_occ = None if mo_occ is None else np.concatenate(list(mo_occ))
        if coeff.ndim == 1:
            coeff = coeff[:, None]
        if coeff.shape[0] != mol.nao_nr():
            raise ReadError(f"mo_coeff has {coeff.shape[0]} rows, the molecule has "
                            f"{mol.nao_nr()} basis functions")
        kwargs["mo_coeff"] = coeff.T[:, component_index] * sign
        kwargs["mo_energy"] = mo_energy
        kwargs["mo_occ"] = mo_occ
        kwargs["mo_spin"] = None if spins is None else spins.astype(np.int32)
        if labels is not None and len(labels) == coeff.shape[1]:
            kwargs["mo_symmetry"] = labels

    coords = mol.atom_coords(unit="Bohr")
    return Molecule(
        atom_x=coords[:, 0], atom_y=coords[:, 1], atom_z=coords[:, 2],
        atomic_numbers=[mol.atom_charge(a) + mol.atom_nelec_core(a) for a in range(mol.natm)],
        shells_per_atom=np.bincount([s[0] for s in shells], minlength=mol.natm),
        shell_l=[s[1] for s in shells], shell_n_prim=[len(s[2]) for s in shells],
        prim_exponent=np.concatenate([s[2] for s in shells]),
        prim_coeff=np.concatenate([library_contraction(s[1], s[2], s[3], renormalise)
                                   for s in shells]),
        title="pyscf", **kwargs)


def irrep_labels(mol: Any, mo_coeff: Any, scf: Any = None) -> Optional[List[str]]:
    """The irreducible representation of every orbital where a symmetry-adapted SCF
    knows them (its get_orbsym, or the orbsym tag on mo_coeff, holds irrep ids that
    mol.irrep_id/irrep_name name); None otherwise."""
    orbsym = getattr(mo_coeff, "orbsym", None)
    if orbsym is None and scf is not None and hasattr(scf, "get_orbsym"):
        try:
            orbsym = scf.get_orbsym(mo_coeff)
        except Exception:  # an SCF of another kind: no labels rather than no molecule
            orbsym = None
    ids = getattr(mol, "irrep_id", None)
    names = getattr(mol, "irrep_name", None)
    if orbsym is None or ids is None or names is None or not getattr(mol, "symmetry", False):
        return None
    table = {int(i): str(n) for i, n in zip(ids, names)}
    try:
        return [table[int(i)] for i in np.asarray(orbsym).ravel()]
    except (KeyError, TypeError, ValueError):
        return None
