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
import os
from typing import TYPE_CHECKING

from ..tomography.request import ReconstructionRequest
from ..tomography.result import FILES
from .options import add_request_command, request_of
from .records import writing

if TYPE_CHECKING:
    from .options import Commands

DESCRIPTION = ("Phase retrieval from measured momentum maps: one map gives the band-limited 2D "
               "image whose transform is psi~ on the map's hemisphere; maps at several kinetic "
               "energies give the 3D orbital band-limited to the ball they cover.  Writes "
               "DIR/reconstruction.nc, .png and .json (the record, which --from-record makes "
               "the same image from).")


def add_parser(commands: Commands) -> None:
    """Adds the reconstruct command to the CLI's subparsers."""
    parser = add_request_command(commands, "reconstruct", ReconstructionRequest, run,
                                 description=DESCRIPTION,
                                 help="an orbital's image in real space from measured maps")
    parser.add_argument("-o", "--output-dir", required=True, metavar="DIR",
                        help="directory for the results")


def run(args: argparse.Namespace) -> None:
    request = request_of(args)
    assert isinstance(request, ReconstructionRequest)
    result = request.run()
    with writing():
        result.save(args.output_dir)
    print(result.report())
    print(f"wrote {os.path.join(args.output_dir, FILES[0])}, {FILES[1]}, {FILES[2]}")
