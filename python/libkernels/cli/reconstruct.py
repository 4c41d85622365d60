"""The `libkernels reconstruct` command: an orbital's image in real space from measured maps.

    libkernels reconstruct map.npz --kinetic-energy 30 --support 14 5 -o out
    libkernels reconstruct map.npz --kinetic-energy 30 --molecule pentacene -o out
    libkernels reconstruct m40.npz m45.npz ... --photon-energy 40 45 ... \\
        --work-function 4.5 --binding-energy 6 --support 14 5 4 -o out      # 3D
    libkernels reconstruct --from-record out/reconstruction.json -o again

writes DIR/reconstruction.nc (image, spread, PRTF, each start's Fourier error;
the record in its attributes), DIR/reconstruction.png and
DIR/reconstruction.json (the record).  The options are the settings of a
ReconstructionRequest.
"""

from __future__ import annotations

import argparse
from typing import TYPE_CHECKING

from ..core.orientation import CONVENTION
from ..core.extras import NETCDF_WRITER, require_all
from ..tomography.algorithms import ALGORITHMS, DEFAULT_ALGORITHM, DEFAULT_BETA
from ..tomography.plan import (DEFAULT_ITERATIONS, DEFAULT_MARGIN, DEFAULT_OVERSAMPLING,
                               DEFAULT_POLISH, DEFAULT_STARTS)
from ..tomography.request import ReconstructionRequest
from ..tomography.result import FILES
from ..tomography.sampling import MIN_OVERSAMPLING
from .options import (Flags, add_request_command, flag, one_or_list, options, request_of,
                      run_flags)
from .records import results_first, save_and_list

if TYPE_CHECKING:
    from .options import Commands

ENERGY = "photoelectron energy (eV)"
SUPPORT = "support"
RETRIEVAL = "phase retrieval"
DESCRIPTION = ("Phase retrieval from measured momentum maps: one map gives the band-limited 2D "
               "image whose transform is psi~ on the map's hemisphere; maps at several kinetic "
               "energies give the 3D orbital band-limited to the ball they cover.  Writes "
               "DIR/reconstruction.nc, .png and .json (the record, which --from-record makes "
               "the same image from).")

FLAGS: Flags = options(
    measured=flag("measured", nargs="*", metavar="MEASURED", convert=one_or_list,
                  help="measured map(s): .npz with intensity, kx, ky (1/Å), or NetCDF/HDF5 "
                       "with dimensions kx, ky; one file may hold a series over photon_energy "
                       "or kinetic_energy"),
    kinetic_energy=flag("--kinetic-energy", group=ENERGY, type=float, nargs="+", metavar="EV",
                        convert=one_or_list, help="kinetic energy of each map"),
    photon_energy=flag("--photon-energy", group=ENERGY, type=float, nargs="+", metavar="EV",
                       convert=one_or_list,
                       help="photon energy of each map (one value for all), with "
                            "--work-function"),
    work_function=flag("--work-function", group=ENERGY, type=float, metavar="EV"),
    binding_energy=flag("--binding-energy", group=ENERGY, type=float, metavar="EV",
                        help="with --photon-energy: E_kin = photon energy - work function - "
                             "binding energy (default: the file's, else 0)"),
    support=flag("--support", group=SUPPORT, type=float, nargs="+", metavar="L",
                 help="a box LX LY (2D) or LX LY LZ (3D) in Å, centred on the origin"),
    molecule=flag("--molecule", group=SUPPORT, metavar="FILE",
                  help="a wavefunction file or an example; its outline (atoms and --margin) "
                       "is the support when --support is not given, and is drawn on the "
                       "figure; its orbitals are not used"),
    margin=flag("--margin", group=SUPPORT, type=float, metavar="Å",
                help=f"margin of the outline around the atoms (default: {DEFAULT_MARGIN[2]:g} "
                     f"in 2D, {DEFAULT_MARGIN[3]:g} in 3D)"),
    orientation=flag("--orientation", group=SUPPORT, type=float, nargs=3,
                     metavar=("ALPHA", "BETA", "GAMMA"),
                     help="how the molecule stands (default: 0 0 0); " + CONVENTION),
    shrink_wrap=flag("--shrink-wrap", group=SUPPORT, action="store_true",
                     help="shrink the support during the iterations (without --support and "
                          "--molecule it starts from the data's autocorrelation)"),
    algorithm=flag("--algorithm", group=RETRIEVAL, choices=ALGORITHMS,
                   help=f"hybrid input-output, RAAR or error reduction (default: "
                        f"{DEFAULT_ALGORITHM})"),
    beta=flag("--beta", group=RETRIEVAL, type=float,
              help=f"feedback of HIO ({DEFAULT_BETA['hio']:g}) or RAAR "
                   f"({DEFAULT_BETA['raar']:g})"),
    iterations=flag("--iterations", group=RETRIEVAL, type=int,
                    help=f"iterations of the algorithm (default: {DEFAULT_ITERATIONS[2]} in "
                         f"2D, {DEFAULT_ITERATIONS[3]} in 3D)"),
    polish=flag("--polish", group=RETRIEVAL, type=int,
                help=f"error-reduction iterations after them (default: {DEFAULT_POLISH[2]}, "
                     f"{DEFAULT_POLISH[3]})"),
    starts=flag("--starts", group=RETRIEVAL, type=int,
                help=f"random starts (default: {DEFAULT_STARTS})"),
    keep=flag("--keep", group=RETRIEVAL, type=float, metavar="SHARE",
              help="share of the starts, lowest Fourier error first, that are averaged "
                   "(default: 1)"),
    oversampling=flag("--oversampling", group=RETRIEVAL, type=float,
                      help=f"real-space period over support per axis, at least "
                           f"{MIN_OVERSAMPLING:g} (default: {DEFAULT_OVERSAMPLING:g})"),
    shape=flag("--shape", group=RETRIEVAL, type=int, nargs="+", metavar="N",
               convert=one_or_list,
               help="points per axis of the image (default: 4x the box in 2D, 2x in 3D)"),
    seed=flag("--seed", group=RETRIEVAL, type=int,
              help="seed of the random starts (default: 0)"),
    scales=flag("--scales", group=RETRIEVAL, choices=("given", "fit"),
                help="3D: the maps' intensities as given, or each map's scale fitted "
                     "(default: given)"),
    mirror=flag("--mirror", group=RETRIEVAL, choices=("auto", "odd", "even", "none"),
                help="3D: the image's parity about a flat planar molecule's plane (pi "
                     "orbitals odd, sigma even); auto tries both and keeps the one that "
                     "meets the data (default: auto)"),
    **run_flags(threads=""))


def add_parser(commands: Commands) -> None:
    """Adds the reconstruct command to the CLI's subparsers."""
    parser = add_request_command(commands, "reconstruct", ReconstructionRequest, run, FLAGS,
                                 groups=(ENERGY, SUPPORT, RETRIEVAL), description=DESCRIPTION,
                                 help="an orbital's image in real space from measured maps")
    parser.add_argument("-o", "--output-dir", required=True, metavar="DIR",
                        help="directory for the results")


def run(args: argparse.Namespace) -> None:
    request = request_of(args)
    assert isinstance(request, ReconstructionRequest)
    # what writing reconstruction.nc takes, named before any work
    require_all(NETCDF_WRITER, "fit", "writing reconstruction.nc")
    with results_first(FILES[1]):
        result = request.run()
        # the report, then the data and the record, then the figure
        print(result.report())
        save_and_list(result, args.output_dir, (FILES[0], FILES[2], FILES[1]))
