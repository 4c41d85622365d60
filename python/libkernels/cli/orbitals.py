"""`libkernels orbitals`: the orbitals around the HOMO with names, energies, occupations."""

from __future__ import annotations

import argparse
from typing import TYPE_CHECKING

import numpy as np

from ..core.units import HARTREE_IN_EV
from ..core.validation import count
from ..requests.base import Inputs, MoleculeRequest
from .options import MOLECULE, add_request_options, request_of

if TYPE_CHECKING:
    from .options import Commands


def add_parser(commands: Commands) -> None:
    listing = commands.add_parser("orbitals", help="list the orbitals near the HOMO",
                                  description="Lists orbitals around the HOMO with their "
                                              "names, energies and occupations.")
    add_request_options(listing, MoleculeRequest, MOLECULE)
    listing.add_argument("--around", type=int, default=5, help="orbitals below and above")
    listing.set_defaults(run=run)


def run(args: argparse.Namespace) -> None:
    request = request_of(args)
    assert isinstance(request, MoleculeRequest)
    molecule = request.read_molecule(Inputs(request))
    spin = request.spin
    print(molecule)
    rows = np.argsort(molecule.mo_energy, kind="stable")
    rows = rows[molecule.mo_spin[rows] == (1 if spin == "beta" else 0)]  # one spin
    count(args.around, "around", 0, max(len(rows) - 1, 0), "orbitals")
    homo = molecule.orbital_index("HOMO", spin)
    centre = list(rows).index(homo)
    shown = rows[max(0, centre - args.around):centre + args.around + 2]
    for r in shown:
        energy = molecule.mo_energy[r] * HARTREE_IN_EV
        symmetry = molecule.mo_symmetry  # labels from the file, "" where it gave none
        print(f"{r:5d}  {molecule.orbital_label(r):14s} {energy:10.4f} eV"
              f"  occupation {molecule.mo_occ[r]:.3f}"
              + (f"  {symmetry[r]}" if symmetry[r] else ""))
