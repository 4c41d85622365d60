"""`libkernels cube`: an orbital, or the charge density, as a Gaussian cube file."""

from __future__ import annotations

import argparse
import os
import sys
from typing import TYPE_CHECKING

from ..core.grids import unit_text
from ..core.record import write_json
from ..formats.cube import write_cube
from ..requests.fields import CubeRequest
from .options import add_request_command, refuse_orbital_with_density, request_of
from .records import output_directory, output_option, safe, writing

if TYPE_CHECKING:
    from .options import Commands

HELP = "an orbital or the charge density as a cube file"
DESCRIPTION = ("Evaluates one orbital, or the charge density of the occupied orbitals, on a "
               "grid around the molecule and writes a Gaussian cube file (bohr), "
               "DIR/MOLECULE_ORBITAL.cube or DIR/MOLECULE_density.cube, with a .json record "
               "beside it (--from-record FILE makes the file again).")


def add_parser(commands: Commands) -> None:
    cube = add_request_command(commands, "cube", CubeRequest, run, help=HELP,
                               description=DESCRIPTION)
    output_option(cube, "directory for the cube file and its .json record")


def run(args: argparse.Namespace) -> None:
    folder = output_directory(args.output_dir, (".cube", ".json"),
                              "MOLECULE_ORBITAL.cube and .json")
    request = request_of(args)
    assert isinstance(request, CubeRequest)
    refuse_orbital_with_density(args, request.density)
    grid = request.prepare()
    nx, ny, nz = grid.shape
    print(f"grid {nx} x {ny} x {nz} points, step {grid.step:g} {unit_text(str(grid.unit))}",
          file=sys.stderr)
    field = request.compute(grid)
    label = "density" if request.density else field.parameters["orbitals"][0]
    path = os.path.join(folder, f"{request.molecule_name}_{safe(label)}.cube")
    record = request.record(
        what=label, orbitals=field.parameters["orbitals"],
        weights=field.parameters.get("weights"), quantity=field.parameters["quantity"],
        units=field.parameters["units"], grid_shape=[nx, ny, nz], grid_unit=grid.unit,
        origin=list(grid.origin), step=grid.step,
        layout="cube file: bohr, x slowest, z fastest")
    with writing(folder):
        os.makedirs(folder, exist_ok=True)
        write_cube(path, field, request.load_molecule(), f"libkernels {request.molecule}")
        write_json(os.path.splitext(path)[0] + ".json", record)
    print(f"wrote {path} (and .json): {label}")
