"""`libkernels demo` and `libkernels map`: momentum maps as figures (or NetCDF) with
their numbers and a .json record beside each."""

from __future__ import annotations

import argparse
import os
from typing import TYPE_CHECKING, Any, Dict, List

import numpy as np

from ..core.grids import MomentumMap
from ..core.orientation import CONVENTION
from ..core.record import to_attributes, write_json
from ..plot.maps import require_matplotlib, save_map
from ..requests.maps import MapRequest
from .options import add_request_command, request_of
from .records import output_directory, output_option, safe, writing

if TYPE_CHECKING:
    from ..core.types import Float32Array
    from .options import Commands

MAP_UNIT = "bohr^3"  # |FT psi|^2 / pi^3 with k in bohr^-1
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
        output_option(parser, "directory for the figure, data and .json files")


def run_maps(args: argparse.Namespace) -> List[str]:
    """Computes, draws and writes the maps with their records; returns the figure (or
    .nc) files."""
    output_directory(args.output_dir, (".png", ".pdf", ".svg", ".nc", ".npy", ".json"),
                     "MOLECULE_ORBITALS.png (.npy, .json)")
    request = request_of(args)
    assert isinstance(request, MapRequest)
    if request.format != "nc":
        require_matplotlib()  # matplotlib missing: say so before any work
    maps = request.run()
    molecule = request.load_molecule()
    name = request.molecule_name
    written = []
    with writing(args.output_dir):
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
                netcdf_dataset(momentum_map, record, molecule.name or name).to_netcdf(
                    base + ".nc")
            else:
                files = [f"{base}.{request.format}", base + ".npy", base + ".json"]
                save_map(momentum_map, files[0], molecule=molecule,
                         molecule_name=molecule.name or name, dpi=request.dpi,
                         format=request.format)
                np.save(base + ".npy", momentum_map.data)
            write_json(base + ".json", record)
            written.append(files[0])
            print(f"wrote {', '.join(files)}: {label}, {extent(momentum_map.data)}")
    return written


def extent(data: Float32Array) -> str:
    """The map's largest value (both ends for a signed map) with its unit."""
    low, high = float(np.min(data)), float(np.max(data))
    if low < 0:
        return f"values {low:.4g} to {high:.4g} {MAP_UNIT}"
    return f"peak {high:.4g} {MAP_UNIT}"


def netcdf_dataset(momentum_map: MomentumMap, record: Dict[str, Any], title: str) -> Any:
    """The map as an xarray Dataset: the variable `intensity` with its axes, units and
    settings, the molecule's name and the record as global attributes."""
    array = momentum_map.to_xarray()
    array.attrs.update(to_attributes(record))  # where readers of a single array look
    dataset = array.to_dataset(name="intensity")
    dataset.attrs.update(
        title=f"{title} {'+'.join(momentum_map.parameters.get('orbitals', []))} momentum map"
              .strip(),
        molecule=title, source=f"libkernels {record.get('libkernels_version', '')}".strip(),
        history=record.get("command") or "", **to_attributes(record))
    return dataset
