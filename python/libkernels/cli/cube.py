"""`libkernels cube`: an orbital, or the charge density, as a Gaussian cube file."""

from __future__ import annotations

import argparse
from typing import TYPE_CHECKING

from ..requests.fields import CubeRequest
from .options import (Flags, add_request_command, flag, options, orbital_or_density,
                      refuse_orbital_with_density, request_of, run_flags)
from .records import output_directory, output_option

if TYPE_CHECKING:
    from .options import Commands

HELP = "an orbital or the charge density as a cube file"
DESCRIPTION = ("Evaluates one orbital, or the charge density of the occupied orbitals, on a "
               "grid around the molecule and writes a Gaussian cube file (bohr), "
               "DIR/MOLECULE_ORBITAL.cube or DIR/MOLECULE_density.cube, with a .json record "
               "beside it (--from-record FILE makes the file again).")

FLAGS: Flags = options(
    orbital_or_density("charge density of all occupied orbitals instead of one orbital"),
    spacing=flag("--spacing", type=float, metavar="ANGSTROM",
                 help="grid spacing in Å (default: 0.2)"),
    margin=flag("--margin", type=float, metavar="ANGSTROM",
                help="space around the atoms in Å (default: 4)"),
    **run_flags(threads="threads for --density (default: all CPUs)"))


def add_parser(commands: Commands) -> None:
    cube = add_request_command(commands, "cube", CubeRequest, run, FLAGS, help=HELP,
                               description=DESCRIPTION)
    output_option(cube, "directory for the cube file and its .json record")


def run(args: argparse.Namespace) -> None:
    folder = output_directory(args.output_dir, (".cube", ".json"),
                              "MOLECULE_ORBITAL.cube and .json")
    request = request_of(args)
    assert isinstance(request, CubeRequest)
    refuse_orbital_with_density(args, request.density)
    field = request.run()
    path = field.save(folder)[0]
    nx, ny, nz = field.grid.shape
    print(f"wrote {path} (and .json): {field.record['what']}, grid {nx} x {ny} x {nz} "
          f"points, step {field.grid.step:g} {field.record['grid_unit']}")
