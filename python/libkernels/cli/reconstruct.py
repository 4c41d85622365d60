"""The `libkernels reconstruct` command: an orbital's image in real space from measured maps.

    libkernels reconstruct map.npz --kinetic-energy 30 --support 14 5 -o out
    libkernels reconstruct map.npz --kinetic-energy 30 --molecule pentacene -o out
    libkernels reconstruct m40.npz m45.npz ... --photon-energy 40 45 ... \
        --work-function 4.5 --binding-energy 6 --support 14 5 4 -o out      # 3D

writes DIR/reconstruction.nc (image, spread, PRTF, each start's Fourier
error), DIR/reconstruction.png and DIR/reconstruction.json (the record).
"""

from __future__ import annotations

import argparse
import os
from typing import Any, Dict, List

from ..core.errors import CommandLineError
from ..formats.api import load_molecule
from ..tomography.algorithms import ALGORITHMS, DEFAULT_ALGORITHM
from ..tomography.reconstruction import (DEFAULT_MARGIN, DEFAULT_OVERSAMPLING, DEFAULT_STARTS,
                                         reconstruct)
from ..tomography.result import FILES
from ..core.record import package_version
from ..requests.maps import memory_option
from .options import ORIENTATION_HELP, add_quiet
from .records import command_line, writing


def add_parser(commands) -> None:
    """Adds the reconstruct command to the CLI's subparsers."""
    parser = commands.add_parser(
        "reconstruct", help="an orbital's image in real space from measured maps",
        description="Phase retrieval from measured momentum maps: one map gives the "
                    "band-limited 2D image whose transform is psi~ on the map's hemisphere; "
                    "maps at several kinetic energies give the 3D orbital band-limited to the "
                    "ball they cover.  Writes DIR/reconstruction.nc, .png and .json.")
    parser.add_argument("measured", nargs="+", metavar="MEASURED",
                        help="measured map(s): .npz with intensity, kx, ky (1/Å), or NetCDF/"
                             "HDF5 with dimensions kx, ky; one file may hold a series over "
                             "photon_energy or kinetic_energy")
    energy = parser.add_argument_group("photoelectron energy (eV)")
    energy.add_argument("--kinetic-energy", type=float, nargs="+", metavar="EV",
                        help="kinetic energy of each map")
    energy.add_argument("--photon-energy", type=float, nargs="+", metavar="EV",
                        help="photon energy of each map (one value for all), with "
                             "--work-function")
    energy.add_argument("--work-function", type=float, metavar="EV")
    energy.add_argument("--binding-energy", type=float, metavar="EV",
                        help="with --photon-energy: E_kin = photon energy - work function - "
                             "binding energy (default: the file's, else 0)")
    support = parser.add_argument_group("support")
    support.add_argument("--support", type=float, nargs="+", metavar="L",
                         help="a box LX LY (2D) or LX LY LZ (3D) in Å, centred on the origin")
    support.add_argument("--molecule", metavar="FILE",
                         help="a wavefunction file or an example; its outline (atoms and "
                              "--margin) is the support when --support is not given, and is "
                              "drawn on the figure; its orbitals are not used")
    support.add_argument("--margin", type=float, metavar="Å",
                         help=f"margin of the outline around the atoms (default: "
                              f"{DEFAULT_MARGIN[2]:g} in 2D, {DEFAULT_MARGIN[3]:g} in 3D)")
    support.add_argument("--orientation", type=float, nargs=3, default=(0.0, 0.0, 0.0),
                         metavar=("ALPHA", "BETA", "GAMMA"),
                         help="how the molecule stands; " + ORIENTATION_HELP)
    support.add_argument("--shrink-wrap", action="store_true",
                         help="shrink the support during the iterations (without --support "
                              "and --molecule it starts from the data's autocorrelation)")
    retrieval = parser.add_argument_group("phase retrieval")
    retrieval.add_argument("--algorithm", default=DEFAULT_ALGORITHM, choices=ALGORITHMS,
                           help=f"hybrid input-output, RAAR or error reduction (default: "
                                f"{DEFAULT_ALGORITHM})")
    retrieval.add_argument("--beta", type=float, help="feedback of HIO (0.9) or RAAR (0.87)")
    retrieval.add_argument("--iterations", type=int,
                           help="iterations of the algorithm (default: 400 in 2D, 300 in 3D)")
    retrieval.add_argument("--polish", type=int,
                           help="error-reduction iterations after them (default: 100, 50)")
    retrieval.add_argument("--starts", type=int, default=DEFAULT_STARTS,
                           help=f"random starts (default: {DEFAULT_STARTS})")
    retrieval.add_argument("--keep", type=float, default=1.0, metavar="SHARE",
                           help="share of the starts, lowest Fourier error first, that are "
                                "averaged (default: 1)")
    retrieval.add_argument("--oversampling", type=float, default=DEFAULT_OVERSAMPLING,
                           help=f"real-space period over support per axis, at least 2 "
                                f"(default: {DEFAULT_OVERSAMPLING:g})")
    retrieval.add_argument("--shape", type=int, nargs="+", metavar="N",
                           help="points per axis of the image (default: 4x the box in 2D, 2x "
                                "in 3D)")
    retrieval.add_argument("--seed", type=int, default=0, help="seed of the random starts")
    parser.add_argument("-o", "--output-dir", required=True, metavar="DIR",
                        help="directory for the results")
    parser.add_argument("--max-memory", type=memory_option, metavar="SIZE",
                        help="refuse requests estimated above SIZE, e.g. 4G or 500M; 0 for no "
                             "limit (default: half the available memory)")
    add_quiet(parser)
    parser.set_defaults(run=run)


def _energies(args: argparse.Namespace) -> Dict[str, Any]:
    if args.kinetic_energy is not None:
        if args.photon_energy is not None:
            raise CommandLineError("give --kinetic-energy, or --photon-energy with "
                                   "--work-function, not both")
        return dict(kinetic_energy=_one_or_list(args.kinetic_energy))
    if args.photon_energy is not None:
        return dict(photon_energy=_one_or_list(args.photon_energy),
                    work_function=args.work_function, binding_energy=args.binding_energy)
    return {}  # reconstruct says what is missing, or finds it in a series file


def _one_or_list(values: List[float]) -> Any:
    return values[0] if len(values) == 1 else values


def run(args: argparse.Namespace) -> None:
    measured = args.measured[0] if len(args.measured) == 1 else list(args.measured)
    molecule = load_molecule(args.molecule) if args.molecule else None
    support: Any = tuple(args.support) if args.support else None
    shape = args.shape[0] if args.shape and len(args.shape) == 1 else args.shape
    result = reconstruct(
        measured, **_energies(args), support=support, molecule=molecule, margin=args.margin,
        orientation=tuple(args.orientation), shrink_wrap=True if args.shrink_wrap else None,
        algorithm=args.algorithm, beta=args.beta, iterations=args.iterations,
        polish=args.polish, starts=args.starts, keep=args.keep,
        oversampling=args.oversampling, shape=shape, seed=args.seed,
        max_memory=args.max_memory, progress=not args.quiet)
    with writing():
        result.save(args.output_dir, {"command": command_line(args),
                                      "libkernels_version": package_version(),
                                      "measured": list(args.measured),
                                      "molecule": args.molecule, **result.record})
    print(result.report())
    print(f"wrote {os.path.join(args.output_dir, FILES[0])}, {FILES[1]}, {FILES[2]}")
