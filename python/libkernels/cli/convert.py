"""The `libkernels convert` command: measured data to a momentum lattice, as NetCDF.

    libkernels convert map.ibw --geometry deflector --photon-energy 35 \\
        --work-function 4.5 --dims x=kinetic_energy y=phi z=psi -o converted
"""

from __future__ import annotations

import argparse
import os
from typing import TYPE_CHECKING

from ..kspace.request import ConvertRequest
from .options import add_request_command, request_of
from .records import output_directory, output_option, writing

if TYPE_CHECKING:
    from .options import Commands

DESCRIPTION = (
    "Reads measured data (NeXus NXmpes, NetCDF/HDF5, Zarr, Igor .ibw/.pxp/.pxt), recognises "
    "its dimensions by name and unit, converts angles to parallel momentum for the given "
    "set-up and resamples every energy slice onto one square lattice in kx, ky (1/Å), "
    "carrying each pixel's uncertainty (counts, or the file's sigma).  Writes DIR/NAME_k.nc "
    "(NAME the input's, so the measurement itself is never written over) with intensity "
    "and sigma on (binding_energy,) kx, ky, and the record that makes it again "
    "(--from-record DIR/NAME_k.nc).  Cubes above the memory limit are converted chunk by chunk.")


def add_parser(commands: Commands) -> None:
    parser = add_request_command(commands, "convert", ConvertRequest, run,
                                 description=DESCRIPTION,
                                 help="measured data in angles (or momenta) to a momentum "
                                      "lattice for fit and deconvolve")
    output_option(parser, "directory for the converted NAME_k.nc")


def output_name(input_path: str) -> str:
    """The converted file's name: the input's stem with _k (for momentum) and .nc,
    never the input's own name."""
    root = os.path.splitext(os.path.basename(os.path.normpath(input_path)))[0]
    return f"{root}_k.nc"


def run(args: argparse.Namespace) -> None:
    request = request_of(args)
    assert isinstance(request, ConvertRequest)
    folder = output_directory(args.output_dir, (".nc", ".h5", ".nxs"),
                              "after the input, as NAME_k.nc")
    dataset = request.run()
    assert request.input is not None
    target = os.path.join(folder, output_name(request.input))
    with writing(folder):
        os.makedirs(folder, exist_ok=True)
        request.write(dataset, target)
    shape = " x ".join(f"{d} {n}" for d, n in dataset["intensity"].sizes.items())
    print(f"wrote {target}: {shape}, k step "
          f"{float(dataset['kx'][1] - dataset['kx'][0]):.5g} 1/Å")
