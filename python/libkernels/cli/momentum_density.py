"""`libkernels momentum-density`: |FT psi|^2 on a 3D momentum grid as .npy or NetCDF."""

from __future__ import annotations

import argparse
import os
from typing import TYPE_CHECKING

import numpy as np

from ..core.record import to_attributes, write_json
from ..requests.fields import MomentumDensityRequest
from .options import add_request_command, refuse_orbital_with_density, request_of
from .records import output_directory, output_option, safe, writing

if TYPE_CHECKING:
    from .options import Commands

HELP = "the momentum density of an orbital (or all occupied) as .npy"
DESCRIPTION = ("|FT psi|^2 / pi^3 (bohr^3) on a cubic 3D momentum grid, written as a .npy array "
               "of shape (nz, ny, nx) or as labelled NetCDF data "
               "(DIR/MOLECULE_ORBITAL_momentum_density.npy or .nc), with a .json record "
               "describing the axes and everything needed to make it again (--from-record).")
UNITS = ("|FT psi|^2 / pi^3 in bohr^3 (k in bohr^-1); a normalised orbital integrates to 8, "
         "divide by 8 for a density normalised to 1 per electron")


def add_parser(commands: Commands) -> None:
    density = add_request_command(commands, "momentum-density", MomentumDensityRequest, run,
                                  help=HELP, description=DESCRIPTION)
    output_option(density, "directory for the data and its .json record")


def run(args: argparse.Namespace) -> None:
    folder = output_directory(args.output_dir, (".npy", ".nc", ".json"),
                              "MOLECULE_ORBITAL_momentum_density.npy (or .nc) and .json")
    request = request_of(args)
    assert isinstance(request, MomentumDensityRequest)
    refuse_orbital_with_density(args, request.density)
    field = request.run()
    label = "density" if request.density else field.parameters["orbitals"][0]
    suffix = "." + request.format
    path = os.path.join(folder, f"{request.molecule_name}_{safe(label)}_momentum_density{suffix}")
    record = request.record(what=label, orbitals=field.parameters["orbitals"],
                            weights=field.parameters.get("weights"),
                            layout="data[k, j, i] at (kx[i], ky[j], kz[k])",
                            k_unit=field.unit, k_axis=field.grid.axis(0), units=UNITS)
    with writing(folder):
        os.makedirs(folder, exist_ok=True)
        if request.format == "nc":
            array = field.to_xarray()
            array.attrs.update(to_attributes(record))
            array.to_netcdf(path)
        else:
            np.save(path, field.data)
        write_json(os.path.splitext(path)[0] + ".json", record)
    print(f"wrote {path} (and .json): {label}, shape {field.data.shape} (kz, ky, kx)")
