"""`libkernels momentum-density`: |FT psi|^2 on a 3D momentum grid as .npy or NetCDF."""

from __future__ import annotations

import argparse
from typing import TYPE_CHECKING

from ..requests.fields import MomentumDensityRequest
from .options import (Flags, add_request_command, flag, options, orbital_or_density,
                      refuse_orbital_with_density, request_of, run_flags)
from .records import output_directory, output_option

if TYPE_CHECKING:
    from .options import Commands

HELP = "the momentum density of an orbital (or all occupied) as .npy"
DESCRIPTION = ("|FT psi|^2 / pi^3 (bohr^3) on a cubic 3D momentum grid, written as a .npy array "
               "of shape (nz, ny, nx) or as labelled NetCDF data "
               "(DIR/MOLECULE_ORBITAL_momentum_density.npy or .nc), with a .json record "
               "describing the axes and everything needed to make it again (--from-record).")

FLAGS: Flags = options(
    orbital_or_density("sum over all occupied orbitals weighted by occupation"),
    k_max=flag("--k-max", type=float, metavar="INV_ANGSTROM",
               help="the grid spans -k_max ... +k_max on each axis (default: 3)"),
    n=flag("--resolution", type=int, metavar="N", help="points per axis (default: 61)"),
    format=flag("--format", choices=("npy", "nc"),
                help="numpy array or NetCDF with labelled axes (default: npy)"),
    **run_flags(threads="", quiet="accepted for symmetry with the other commands"))


def add_parser(commands: Commands) -> None:
    density = add_request_command(commands, "momentum-density", MomentumDensityRequest, run,
                                  FLAGS, help=HELP, description=DESCRIPTION)
    output_option(density, "directory for the data and its .json record")


def run(args: argparse.Namespace) -> None:
    folder = output_directory(args.output_dir, (".npy", ".nc", ".json"),
                              "MOLECULE_ORBITAL_momentum_density.npy (or .nc) and .json")
    request = request_of(args)
    assert isinstance(request, MomentumDensityRequest)
    refuse_orbital_with_density(args, request.density)
    field = request.run()
    path = field.save(folder)[0]
    print(f"wrote {path} (and .json): {field.record['what']}, shape {field.data.shape} "
          "(kz, ky, kx)")
