"""`libkernels molecules`: the catalogue of the field's molecules, whose orbitals any
command computes on first use (and reads from the cache after)."""

from __future__ import annotations

import argparse
from typing import TYPE_CHECKING

from ..structures import catalogue

if TYPE_CHECKING:
    from .options import Commands


def add_parser(commands: Commands) -> None:
    parser = commands.add_parser(
        "molecules", help="list the catalogue of molecules any command can name",
        description="Lists the catalogue of molecules: name, other names, formula, charge, "
                    "unpaired electrons and a line on each.  Naming one (libkernels map PTCDA "
                    "-O HOMO) computes its orbitals from its SMILES (RDKit, GFN2-xTB, PySCF; "
                    "the pyscf extra) on first use and reads them from the cache after.")
    parser.set_defaults(run=run)


def run(args: argparse.Namespace) -> None:
    entries = catalogue()
    width = max(len(e.name) for e in entries)
    for e in entries:
        names = f" ({', '.join(e.aliases)})" if e.aliases else ""
        state = "" if e.status == "computes" else f"  [{e.status}]"
        print(f"{e.name:<{width}}  {e.formula:<12} charge {e.charge:+d}, {e.spin} unpaired  "
              f"{e.description}{names}{state}")
