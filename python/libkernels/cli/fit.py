"""The `libkernels fit` and `libkernels deconvolve` commands.

    libkernels fit MEASURED MOLECULE -O HOMO -O HOMO-1 --kinetic-energy 30 \\
        --fit-angles gamma -o fit_out
    libkernels deconvolve STACK MOLECULE -O HOMO -O HOMO-1 --photon-energy 35 \\
        --work-function 4.5 --fit-angles gamma -o spectra_out
"""

from __future__ import annotations

import argparse
import os
from typing import TYPE_CHECKING

from ..fit.deconvolution import DeconvolutionRequest
from ..fit.fitting import FitRequest
from .options import add_request_command, request_of
from .records import writing

if TYPE_CHECKING:
    from .options import Commands

FIT = ("Fits a measured momentum map (.npz with intensity, kx, ky and optionally sigma; or "
       "NetCDF/HDF5 with dimensions kx, ky; k in 1/Å) with the maps of chosen orbitals: weights "
       ">= 0, chosen orientation angles, a background and the instrument's chosen parts, with "
       "standard errors, the covariance and the goodness of the fit (chi2_red with its "
       "expected spread); warnings (misfit, degenerate-angles, equivalent-solutions, ...) go "
       "to stderr.  Writes DIR/fit.json (the results and the record that makes them again "
       "with --from-record), DIR/fit.png (measured | model | residual | normalised residual) "
       "and DIR/model.npy.")
DECONVOLVE = ("Fits the orientation once on the stack summed over binding energy (when "
              "--fit-angles is given), then solves every slice for orbital weights and "
              "background at its own kinetic energy (photon energy - work function - binding "
              "energy).  Writes DIR/deconvolution.json (with its record), .csv and .png.")
# what each command writes into DIR, the result with its record first
OUTPUTS = {"fit": ("fit.json", "fit.png", "model.npy"),
           "deconvolve": ("deconvolution.json", "deconvolution.csv", "deconvolution.png")}


def add_parser(commands: Commands) -> None:
    """Adds the fit and deconvolve commands to the CLI's subparsers."""
    for parser in (
            add_request_command(commands, "fit", FitRequest, run, description=FIT,
                                help="fit orbital weights, orientation and background to a "
                                     "measured map"),
            add_request_command(commands, "deconvolve", DeconvolutionRequest, run,
                                description=DECONVOLVE,
                                help="orbital-projected spectra from an energy stack of "
                                     "measured maps")):
        parser.add_argument("-o", "--output-dir", required=True, metavar="DIR",
                            help="directory for the results")


def run(args: argparse.Namespace) -> None:
    request = request_of(args)
    assert isinstance(request, (FitRequest, DeconvolutionRequest))
    result = request.run()  # its warnings go to stderr, one line each
    with writing():
        result.save(args.output_dir)
    print(result.report(show_warnings=False))
    first, *rest = OUTPUTS[request.kind]
    print(f"wrote {os.path.join(args.output_dir, first)}, {', '.join(rest)}")
