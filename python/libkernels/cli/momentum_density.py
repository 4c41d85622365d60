"""`libkernels momentum-density`: |FT psi|^2 on a 3D momentum grid as .npy or NetCDF."""

from __future__ import annotations

import argparse
import os

import numpy as np

from .. import __version__
from ..core.grids import Grid
from ..core.kernels import momentum_density, momentum_density_sum
from .options import add_memory_option, add_orbital_or_density, add_quiet, molecule_of
from .records import record, safe, stem, write_json, writing


HELP = "the momentum density of an orbital (or all occupied) as .npy"
DESCRIPTION = ("|FT psi|^2 / pi^3 (bohr^3) on a cubic 3D momentum grid, written as a .npy array "
               "of shape (nz, ny, nx) or as labelled NetCDF data, with a .json file describing "
               "the axes.")


def add_parser(commands) -> None:
    density = commands.add_parser("momentum-density", help=HELP, description=DESCRIPTION)
    add_orbital_or_density(density, "sum over all occupied orbitals weighted by occupation")
    density.add_argument("--k-max", type=float, default=3.0, metavar="INV_ANGSTROM",
                         help="the grid spans -k_max ... +k_max on each axis (default: 3)")
    density.add_argument("--resolution", type=int, default=61, metavar="N",
                         help="points per axis (default: 61)")
    density.add_argument("-o", "--output", help="file name (default: MOLECULE_ORBITAL_"
                                                "momentum_density.npy or .nc)")
    density.add_argument("--format", default="npy", choices=("npy", "nc"),
                         help="numpy array or NetCDF with labelled axes (default: npy)")
    add_memory_option(density)
    add_quiet(density, "accepted for symmetry with the other commands")
    density.set_defaults(run=run)


def run(args: argparse.Namespace) -> None:
    molecule = molecule_of(args)
    grid = Grid.momentum_cube(args.k_max, args.resolution, "1/angstrom")
    if args.density:
        field = momentum_density_sum(molecule, "occupied", grid=grid,
                                     max_memory=args.max_memory)
        label = "density"
    else:
        field = momentum_density(molecule, args.orbital, spin=args.spin, grid=grid,
                                 max_memory=args.max_memory)
        label = field.parameters["orbitals"][0]
    suffix = "." + args.format
    path = args.output or f"{stem(args.molecule)}_{safe(label)}_momentum_density{suffix}"
    entries = record(args, molecule=args.molecule, what=label,
                     orbitals=field.parameters["orbitals"],
                     weights=field.parameters.get("weights"),
                     layout="data[k, j, i] at (kx[i], ky[j], kz[k])", k_unit="1/angstrom",
                     k_axis=grid.axis(0),
                     units="|FT psi|^2 / pi^3 in bohr^3 (k in bohr^-1); a normalised "
                           "orbital integrates to 8, divide by 8 for a density normalised "
                           "to 1 per electron")
    with writing():
        if args.format == "nc":
            array = field.to_xarray()
            array.attrs["command"] = entries["command"]
            array.attrs["libkernels_version"] = __version__
            array.to_netcdf(path)
        else:
            np.save(path, field.data)
        write_json(os.path.splitext(path)[0] + ".json", entries)
    print(f"wrote {path} (and .json): {label}, shape {field.data.shape} (kz, ky, kx)")
