"""The `libkernels fit` and `libkernels deconvolve` commands.

    libkernels fit MEASURED MOLECULE -O HOMO -O HOMO-1 --kinetic-energy 30 \\
        --fit-angles gamma -o fit_out
    libkernels deconvolve STACK MOLECULE -O HOMO -O HOMO-1 --photon-energy 35 \\
        --work-function 4.5 --fit-angles gamma -o spectra_out
"""

from __future__ import annotations

import argparse
import os
from typing import TYPE_CHECKING, List

from ..fit.forward import TRANSMISSIONS
from ..fit.linear import ERROR_MODELS
from ..fit.request import DeconvolutionRequest, FitRequest, notes_report
from ..formats.outputs import writing
from .convert import CONVERSION, CONVERSION_FLAGS
from .options import (LIGHT, LIGHT_FLAGS, MOLECULE, Flags, add_request_command, flag, options,
                      pair, request_of, run_flags, symmetry_option)

if TYPE_CHECKING:
    from .options import Commands

ENERGY = "photoelectron energy (eV)"
GEOMETRY = "orientation and domains"
FIT = "fit"
INSTRUMENT = "instrument"
GROUPS = (ENERGY, GEOMETRY, LIGHT, FIT, INSTRUMENT, CONVERSION)

FIT_HELP = ("Fits a measured momentum map (.npz with intensity, kx, ky and optionally sigma; "
            "or NetCDF/HDF5 with dimensions kx, ky; k in 1/Å) with the maps of chosen "
            "orbitals: weights >= 0, chosen orientation angles, a background and the "
            "instrument's chosen parts, with standard errors, the covariance and the goodness "
            "of the fit (chi2_red with its expected spread); warnings (misfit, "
            "degenerate-angles, equivalent-solutions, ...) go to stderr.  Writes DIR/fit.json "
            "(the results and the record that makes them again with --from-record), "
            "DIR/fit.png (measured | model | residual | normalised residual) and "
            "DIR/model.npy.")
DECONVOLVE = ("Fits the orientation once on the stack summed over binding energy (when "
              "--fit-angles is given), then solves every slice for orbital weights and "
              "background at its own kinetic energy (photon energy - work function - binding "
              "energy; the file's photon energy and work function where none is given).  "
              "Writes DIR/deconvolution.json (with its record), .csv and .png.")
# what each command writes into DIR, the result with its record first
OUTPUTS = {"fit": ("fit.json", "fit.png", "model.npy"),
           "deconvolve": ("deconvolution.json", "deconvolution.csv", "deconvolution.png")}


def _joined(values: List[str]) -> str:
    """--fit-angles alpha gamma (or alpha,gamma) as one setting."""
    return ",".join(values)


# what a fit and a deconvolution share
SHARED: Flags = options(
    MOLECULE,
    orbitals=flag("-O", "--orbital", action="append", metavar="ORBITAL",
                  help="orbital by name (HOMO, HOMO-1, ...) or 0-based index; repeat for "
                       "several"),
    orientation=flag("--orientation", group=GEOMETRY, type=float, nargs=3,
                     metavar=("ALPHA", "BETA", "GAMMA"),
                     help="orientation in degrees, the start of fitted angles and the value of "
                          "the others (default: 0 0 0)"),
    fit_angles=flag("--fit-angles", group=GEOMETRY, nargs="+", metavar="ANGLES",
                    convert=_joined,
                    help="angles to fit: none, alpha, beta, gamma or a comma-separated set "
                         "such as alpha,beta,gamma (default: none)"),
    starts=flag("--starts", group=GEOMETRY, type=int, metavar="N",
                help="scan points per fitted angle (default: 36 for one angle, 12 for two, 8 "
                     "for three; 1 refines from --orientation only)"),
    symmetry=flag("--symmetry", group=GEOMETRY, choices=("none", "2", "3", "4"),
                  convert=symmetry_option,
                  help="average over n-fold domains about k = 0 (default: none)"),
    mirrors=flag("--mirrors", group=GEOMETRY, action=argparse.BooleanOptionalAction,
                 help="domains with their mirror images (over kx), or by rotation only "
                      "(--no-mirrors) (default: with)"),
    fit_domain_populations=flag(
        "--fit-domain-populations", group=GEOMETRY, action="store_true",
        help="with --symmetry N: fit the shares of the N domains (summing to 1) instead of "
             "taking them equal"),
    **LIGHT_FLAGS,
    background=flag("--background", group=FIT, choices=("none", "constant", "linear"),
                    help="background: none, a constant, or a constant plus slopes in kx and "
                         "ky (default: constant)"),
    k_range=flag("--k-range", group=FIT, type=float, nargs=2, metavar=("KMIN", "KMAX"),
                 convert=pair, help="fit only pixels with KMIN <= |k| <= KMAX (1/Å)"),
    errors=flag("--errors", group=FIT, choices=ERROR_MODELS,
                help="the intensities' standard deviations: the file's sigma, Poisson counts, "
                     "or uniform (the errors then scaled by the scatter); auto takes sigma when "
                     "given, else poisson for non-negative whole counts, else uniform "
                     "(default: auto)"),
    poisson=flag("--poisson", group=FIT, action="store_true",
                 help="the intensities are counts: --errors poisson"),
    k_offset=flag("--k-offset", group=INSTRUMENT, type=float, nargs=2, metavar=("KX0", "KY0"),
                  convert=pair,
                  help="where the measured axes put the map's k = 0, in 1/Å: the value, or the "
                       "start of --fit-k-offset (default: 0 0)"),
    fit_k_offset=flag("--fit-k-offset", group=INSTRUMENT, action="store_true",
                      help="fit the k offset (kx0, ky0)"),
    k_resolution=flag("--k-resolution", group=INSTRUMENT, type=float, metavar="SIGMA",
                      help="the momentum resolution: the model blurred by a Gaussian of this "
                           "standard deviation in 1/Å, the value or the start of "
                           "--fit-k-resolution (default: 0)"),
    fit_k_resolution=flag("--fit-k-resolution", group=INSTRUMENT, action="store_true",
                          help="fit the momentum resolution"),
    flat_field=flag("--flat-field", group=INSTRUMENT, metavar="FILE",
                    help="a multiplicative response on the measured axes (.npz with "
                         "intensity, kx, ky, or NetCDF/HDF5), applied to the whole model"),
    fit_transmission=flag("--fit-transmission", group=INSTRUMENT, choices=TRANSMISSIONS,
                          help="fit a smooth detector response: radial2 is 1 + a x + b y + c "
                               "(x^2 + y^2) with (x, y) = k / the largest fitted |k| "
                               "(default: none)"),
    **CONVERSION_FLAGS,
    **run_flags(threads="threads for the orbital maps (default: all CPUs)", memory=False))

FIT_FLAGS: Flags = options(
    measured=flag("measured", help="the measured map (.npz, .nc, .h5)"),
    **SHARED,
    kinetic_energy=flag("--kinetic-energy", group=ENERGY, type=float, metavar="EV",
                        help="kinetic energy of the map (all orbitals)"),
    photon_energy=flag("--photon-energy", group=ENERGY, type=float, metavar="EV"),
    work_function=flag("--work-function", group=ENERGY, type=float, metavar="EV"),
    binding_energy=flag("--binding-energy", group=ENERGY, type=float, metavar="EV",
                        help="with --photon-energy and --work-function: E_kin = photon energy "
                             "- work function - binding energy (default: the file's binding "
                             "energy, when it gives one)"))

DECONVOLVE_FLAGS: Flags = options(
    stack=flag("stack", help="the stack (.npz with intensity[e, i, j], kx, ky, binding_energy; "
                             "or NetCDF/HDF5)"),
    **SHARED,
    photon_energy=flag("--photon-energy", group=ENERGY, type=float, metavar="EV",
                       help="the photon energy (default: the file's)"),
    work_function=flag("--work-function", group=ENERGY, type=float, metavar="EV",
                       help="each slice has E_kin = photon energy - work function - its "
                            "binding energy (default: the file's)"))


def add_parser(commands: Commands) -> None:
    """Adds the fit and deconvolve commands to the CLI's subparsers."""
    for parser in (
            add_request_command(commands, "fit", FitRequest, run, FIT_FLAGS, groups=GROUPS,
                                description=FIT_HELP,
                                help="fit orbital weights, orientation and background to a "
                                     "measured map"),
            add_request_command(commands, "deconvolve", DeconvolutionRequest, run,
                                DECONVOLVE_FLAGS, groups=GROUPS, description=DECONVOLVE,
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
    for line in notes_report(result.record or {}):
        print(line)
    first, *rest = OUTPUTS[request.kind]
    print(f"wrote {os.path.join(args.output_dir, first)}, {', '.join(rest)}")
