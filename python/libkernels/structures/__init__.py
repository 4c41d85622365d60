"""Orbitals from structures: a molecule by name, SMILES or coordinates, computed
with PySCF on demand and cached; Dyson orbitals from EOM-IP-CCSD.

    import libkernels as lk
    mol = lk.compute_orbitals("PTCDA")                  # the catalogue: lk.catalogue()
    mol = lk.compute_orbitals(smiles="c1ccccc1", basis="def2-svp")
    ions = lk.dyson_orbitals("benzene", n_states=4)     # orbitals IP1, IP2, ...

Needs the `pyscf` extra (PySCF, RDKit, tblite, ASE).  The modules: structure
(Structure: SMILES, files, coordinates), optimise (GFN2-xTB), symmetry (the
point group made exact), frame (the library's orientation), entries (the catalogue), scf,
store (the cache), compute (compute_orbitals), dyson (dyson_orbitals) and
resolve (resolve_molecule, what a command line means by a molecule).
"""

from .entries import CatalogueEntry, catalogue
from .compute import compute_orbitals, orientation_of
from .dyson import dyson_orbitals
from .frame import Orientation, standard_orientation
from .resolve import resolve_molecule
from .structure import Structure

__all__ = ["compute_orbitals", "dyson_orbitals", "resolve_molecule", "catalogue",
           "CatalogueEntry", "Structure", "Orientation", "standard_orientation",
           "orientation_of"]
