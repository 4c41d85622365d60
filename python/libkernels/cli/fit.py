"""The `libkernels fit` and `libkernels deconvolve` commands.

    libkernels fit MEASURED MOLECULE -O HOMO -O HOMO-1 --kinetic-energy 30 \
        --fit-angles gamma -o fit_out
    libkernels deconvolve STACK MOLECULE -O HOMO -O HOMO-1 --photon-energy 35 \
        --work-function 4.5 --fit-angles gamma -o spectra_out
"""

from __future__ import annotations

import argparse
import os
from typing import Any, Dict

from ..core.errors import CommandLineError
from ..core.orientation import CONVENTION
from ..fit.deconvolution import deconvolve
from ..fit.fitting import fit_momentum_map
from ..fit.measured import load_measured
from .options import (add_light_options, add_molecule, add_quiet, check_threads, light_of,
                      molecule_of, symmetry_of)
from .records import writing


def add_parser(commands) -> None:
    """Adds the fit and deconvolve commands to the CLI's subparsers."""
    fit = commands.add_parser(
        "fit", help="fit orbital weights, orientation and background to a measured map",
        description="Fits a measured momentum map (.npz with intensity, kx, ky; or NetCDF/"
                    "HDF5 with dimensions kx, ky; k in 1/Å) with the maps of chosen "
                    "orbitals: weights >= 0, chosen orientation angles and a background, "
                    "with standard errors.  Writes DIR/fit.json, DIR/fit.png (measured | "
                    "model | residual) and DIR/model.npy.")
    fit.add_argument("measured", help="the measured map (.npz, .nc, .h5)")
    add_molecule(fit)
    _add_fit_options(fit, stack=False)
    fit.set_defaults(run=run_fit)

    deconvolve = commands.add_parser(
        "deconvolve", help="orbital-projected spectra from an energy stack of measured maps",
        description="Fits the orientation once on the stack summed over binding energy (when "
                    "--fit-angles is given), then solves every slice for orbital weights "
                    "and background at its own kinetic energy (photon energy - work function "
                    "- binding energy).  Writes DIR/deconvolution.json, .csv and .png.")
    deconvolve.add_argument("stack", help="the stack (.npz with intensity[e, i, j], kx, ky, "
                                          "binding_energy; or NetCDF/HDF5)")
    add_molecule(deconvolve)
    _add_fit_options(deconvolve, stack=True)
    deconvolve.set_defaults(run=run_deconvolve)


def _add_fit_options(parser: argparse.ArgumentParser, stack: bool) -> None:
    parser.add_argument("-O", "--orbital", dest="orbitals", action="append", required=True,
                        metavar="ORBITAL",
                        help="orbital by name (HOMO, HOMO-1, ...) or 0-based index; repeat "
                             "for several")
    energy = parser.add_argument_group("photoelectron energy (eV)")
    if stack:
        energy.add_argument("--photon-energy", type=float, required=True, metavar="EV")
        energy.add_argument("--work-function", type=float, required=True, metavar="EV",
                            help="each slice has E_kin = photon energy - work function - "
                                 "its binding energy")
    else:
        energy.add_argument("--kinetic-energy", type=float, metavar="EV",
                            help="kinetic energy of the map (all orbitals)")
        energy.add_argument("--photon-energy", type=float, metavar="EV")
        energy.add_argument("--work-function", type=float, metavar="EV")
        energy.add_argument("--binding-energy", type=float, metavar="EV",
                            help="with --photon-energy and --work-function: E_kin = photon "
                                 "energy - work function - binding energy (default: the "
                                 "file's binding energy, when it gives one)")
    geometry = parser.add_argument_group("orientation and domains")
    geometry.add_argument("--orientation", type=float, nargs=3, default=(0.0, 0.0, 0.0),
                          metavar=("ALPHA", "BETA", "GAMMA"),
                          help="orientation in degrees, the start of fitted angles and the "
                               "value of the others (default: 0 0 0); " + CONVENTION)
    geometry.add_argument("--fit-angles", nargs="+", default=["none"], metavar="ANGLES",
                          help="angles to fit: none, alpha, beta, gamma or a comma-separated "
                               "set such as alpha,beta,gamma (default: none)")
    geometry.add_argument("--starts", type=int, metavar="N",
                          help="scan points per fitted angle (default: 36 for one angle, 12 "
                               "for two, 8 for three; 1 refines from --orientation only)")
    geometry.add_argument("--symmetry", default="none", choices=("none", "2", "3", "4"),
                          help="average over n-fold domains about k = 0 (default: none)")
    geometry.add_argument("--no-mirrors", action="store_true",
                          help="domains by rotation only, without their mirror images")
    add_light_options(parser)
    fitting = parser.add_argument_group("fit")
    fitting.add_argument("--background", default="constant",
                         choices=("none", "constant", "linear"),
                         help="background: none, a constant, or a constant plus slopes in kx "
                              "and ky (default: constant)")
    fitting.add_argument("--k-range", type=float, nargs=2, metavar=("KMIN", "KMAX"),
                         help="fit only pixels with KMIN <= |k| <= KMAX (1/Å)")
    fitting.add_argument("--poisson", action="store_true",
                         help="weight residuals by 1/max(I, 1) (intensities are counts)")
    parser.add_argument("-o", "--output-dir", required=True, metavar="DIR",
                        help="directory for the results")
    parser.add_argument("--threads", type=int, default=None,
                        help="threads for the orbital maps (default: all CPUs)")
    add_quiet(parser)


def _options(args: argparse.Namespace) -> Dict[str, Any]:
    check_threads(args.threads)
    return dict(
        spin=args.spin, orientation=tuple(args.orientation),
        fit_angles=",".join(args.fit_angles), symmetry=symmetry_of(args),
        mirrors=not args.no_mirrors, **light_of(args),
        background=args.background, k_range=args.k_range, poisson=args.poisson,
        starts=args.starts, threads=args.threads, progress=not args.quiet)


def run_fit(args: argparse.Namespace) -> None:
    energies: Dict[str, Any]
    if args.kinetic_energy is not None:
        if args.photon_energy is not None or args.binding_energy is not None:
            raise CommandLineError("give --kinetic-energy, or --photon-energy with "
                                   "--work-function and --binding-energy, not both")
        energies = dict(kinetic_energy=args.kinetic_energy)
    elif args.photon_energy is None or args.work_function is None:
        raise CommandLineError("give --kinetic-energy, or --photon-energy, --work-function "
                               "and --binding-energy")
    else:
        energies = dict(photon_energy=args.photon_energy, work_function=args.work_function,
                        binding_energy=args.binding_energy)
    measured = load_measured(args.measured)  # a bad file fails before the molecule is read
    molecule = molecule_of(args)
    result = fit_momentum_map(measured, molecule, args.orbitals, **energies, **_options(args))
    with writing():
        result.save(args.output_dir)
    print(result.report())
    print(f"wrote {os.path.join(args.output_dir, 'fit.json')}, fit.png, model.npy")


def run_deconvolve(args: argparse.Namespace) -> None:
    stack = load_measured(args.stack)
    molecule = molecule_of(args)
    result = deconvolve(stack, molecule, args.orbitals, photon_energy=args.photon_energy,
                        work_function=args.work_function, **_options(args))
    with writing():
        result.save(args.output_dir)
    print(result.report())
    print(f"wrote {os.path.join(args.output_dir, 'deconvolution.json')}, deconvolution.csv, "
          "deconvolution.png")
