"""The `libkernels convert` command: measured data to a momentum lattice, as NetCDF.

    libkernels convert map.ibw --geometry deflector --photon-energy 35 \\
        --work-function 4.5 --dims x=kinetic_energy y=phi z=psi -o map.nc
"""

from __future__ import annotations

import argparse
from typing import TYPE_CHECKING

from ..kspace.request import ConvertRequest
from .options import add_request_command, request_of
from .records import writing

if TYPE_CHECKING:
    from .options import Commands

DESCRIPTION = (
    "Reads measured data (NeXus NXmpes, NetCDF/HDF5, Zarr, Igor .ibw/.pxp/.pxt), recognises "
    "its dimensions by name and unit, converts angles to parallel momentum for the given "
    "set-up and resamples every energy slice onto one square lattice in kx, ky (1/Å), "
    "carrying each pixel's uncertainty (counts, or the file's sigma).  Writes OUT.nc with "
    "intensity and sigma on (binding_energy,) kx, ky, and the record that makes it again "
    "(--from-record OUT.nc).  Cubes above the memory limit are converted chunk by chunk.")


def add_parser(commands: Commands) -> None:
    parser = add_request_command(commands, "convert", ConvertRequest, run,
                                 description=DESCRIPTION,
                                 help="measured data in angles (or momenta) to a momentum "
                                      "lattice for fit and deconvolve")
    parser.add_argument("-o", "--output", required=True, metavar="OUT.nc",
                        help="the NetCDF file to write")


def run(args: argparse.Namespace) -> None:
    request = request_of(args)
    assert isinstance(request, ConvertRequest)
    dataset = request.run()
    with writing():
        request.write(dataset, args.output)
    shape = " x ".join(f"{d} {n}" for d, n in dataset["intensity"].sizes.items())
    print(f"wrote {args.output}: {shape}, k step "
          f"{float(dataset['kx'][1] - dataset['kx'][0]):.5g} 1/Å")
