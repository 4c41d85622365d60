"""`libkernels cube`: an orbital, or the charge density, as a Gaussian cube file."""

from __future__ import annotations

import argparse
import sys

from ..core.grids import Grid
from ..core.kernels import charge_density_sum, scalar_field
from ..core.memory import check, float32_bytes
from ..formats.cube import write_cube
from .options import add_memory_option, add_orbital_or_density, add_quiet, molecule_of
from .records import safe, stem, writing


HELP = "an orbital or the charge density as a cube file"
DESCRIPTION = ("Evaluates one orbital, or the charge density of the occupied orbitals, on a "
               "grid around the molecule and writes a Gaussian cube file (bohr).")


def add_parser(commands) -> None:
    cube = commands.add_parser("cube", help=HELP, description=DESCRIPTION)
    add_orbital_or_density(cube, "charge density of all occupied orbitals instead of one "
                                 "orbital")
    cube.add_argument("--spacing", type=float, default=0.2, metavar="ANGSTROM",
                      help="grid spacing in Å (default: 0.2)")
    cube.add_argument("--margin", type=float, default=4.0, metavar="ANGSTROM",
                      help="space around the atoms in Å (default: 4)")
    cube.add_argument("-o", "--output", help="file name (default: MOLECULE_ORBITAL.cube)")
    cube.add_argument("--threads", type=int, default=None,
                      help="threads for --density (default: all CPUs)")
    add_memory_option(cube)
    add_quiet(cube)
    cube.set_defaults(run=run)


def run(args: argparse.Namespace) -> None:
    molecule = molecule_of(args)
    if not args.density:
        molecule.orbital_index(args.orbital, args.spin)  # a bad name fails before any work
    grid = Grid.around(molecule, spacing=args.spacing, margin=args.margin, unit="angstrom")
    nx, ny, nz = grid.shape
    # the field, the work grids of the kernels and the reordered copy the writer makes
    check(float32_bytes(nx, ny, nz) * (3 if not args.density else 2 + 2 * (args.threads or 2)),
          f"a grid of {nx} x {ny} x {nz} points", "raise {spacing} or lower {margin}",
          args.max_memory)
    print(f"grid {nx} x {ny} x {nz} points, step {args.spacing:g} Å", file=sys.stderr)
    if args.density:
        field = charge_density_sum(molecule, "occupied", grid=grid, threads=args.threads,
                                   progress=not args.quiet, max_memory=args.max_memory)
        label = "density"
    else:
        field = scalar_field(molecule, args.orbital, spin=args.spin, grid=grid,
                             max_memory=args.max_memory)
        label = field.parameters["orbitals"][0]
    path = args.output or f"{stem(args.molecule)}_{safe(label)}.cube"
    with writing():
        write_cube(path, field, molecule, f"libkernels {args.molecule}")
    print(f"wrote {path}: {label}")
