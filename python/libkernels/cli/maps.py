"""`libkernels demo` and `libkernels map`: momentum maps as figures (or NetCDF) with
their numbers and a .json record beside each."""

from __future__ import annotations

import argparse
import os
from typing import TYPE_CHECKING, List

import numpy as np

from ..core.orientation import CONVENTION
from ..core.record import to_attributes, write_json
from ..plot.maps import require_matplotlib, save_map
from ..requests.maps import MapRequest
from .options import add_request_command, argument_group, request_of
from .records import safe, writing

if TYPE_CHECKING:
    from .options import Commands

LAYOUT = "data[i, j] is the intensity at (kx[i], ky[j])"
UNITS = "|FT psi|^2 / pi^3 in bohr^3 (k in bohr^-1)"


DEMO = ("Renders the momentum maps of the HOMO and the HOMO-1 of the default molecule "
        "(pentacene, RHF/def2-SVP) at a photon energy of 35 eV to PNG files, with the numbers "
        "as .npy and the settings as .json.")
MAP = ("Photoemission momentum maps (plane-wave final state) of chosen orbitals, written as "
       "figures with axes in 1/Å (PNG, PDF or SVG) with the numbers as .npy, or as labelled "
       "NetCDF data; a .json file beside each records how to reproduce it (--from-record FILE "
       "does).")


def add_parser(commands: Commands) -> None:
    for parser in (
            add_request_command(commands, "demo", MapRequest, run_maps, description=DEMO,
                                help="the main job: momentum maps of the HOMO and HOMO-1 of "
                                     "pentacene", defaults={"orbitals": ["HOMO", "HOMO-1"]}),
            add_request_command(commands, "map", MapRequest, run_maps, description=MAP,
                                help="momentum maps of chosen orbitals to PNG (+ .npy numbers)")):
        argument_group(parser, "output").add_argument(
            "-o", "--output-dir", default=".",
            help="directory for the figure, data and .json files (default: .)")


def run_maps(args: argparse.Namespace) -> List[str]:
    """Computes, draws and writes the maps with their records; returns the figure (or
    .nc) files."""
    request = request_of(args)
    assert isinstance(request, MapRequest)
    if request.format != "nc":
        require_matplotlib()  # matplotlib missing: say so before any work
    maps = request.run()
    molecule = request.load_molecule()
    name = request.molecule_name
    written = []
    with writing():
        os.makedirs(args.output_dir, exist_ok=True)
        for momentum_map in maps:
            parameters = momentum_map.parameters
            label = "+".join(parameters["orbitals"])
            base = os.path.join(args.output_dir, f"{name}_{safe(label)}")
            record = request.record(
                **{k: v for k, v in parameters.items() if k != "e_kin_hartree"},
                k_unit=momentum_map.unit, k_axis=momentum_map.kx, layout=LAYOUT, units=UNITS,
                orientation_convention=CONVENTION)
            if request.format == "nc":
                files = [base + ".nc", base + ".json"]
                array = momentum_map.to_xarray()
                array.attrs.update(to_attributes(record))
                array.to_netcdf(base + ".nc")
            else:
                files = [f"{base}.{request.format}", base + ".npy", base + ".json"]
                save_map(momentum_map, files[0], molecule=molecule, molecule_name=name,
                         dpi=request.dpi, format=request.format)
                np.save(base + ".npy", momentum_map.data)
            write_json(base + ".json", record)
            written.append(files[0])
            print(f"wrote {', '.join(files)}: {label}, peak {momentum_map.data.max():.4g}")
    return written
