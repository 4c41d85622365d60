"""`libkernels demo` and `libkernels map`: momentum maps as figures (or NetCDF) with
their numbers and a .json record beside each."""

from __future__ import annotations

import argparse
import os
from typing import List, Sequence

import numpy as np

from .. import __version__
from ..core.errors import InputError
from ..core.orientation import CONVENTION
from ..plot.maps import require_matplotlib, save_map
from ..scans.orientation_scan import as_momentum_maps, scan_momentum_maps
from .options import add_map_options, map_options, molecule_of
from .records import record, safe, stem, write_json, writing


def add_parser(commands) -> None:
    demo = commands.add_parser(
        "demo", help="the main job: momentum maps of the HOMO and HOMO-1 of pentacene",
        description="Renders the momentum maps of the HOMO and the HOMO-1 of the default "
                    "molecule (pentacene, RHF/def2-SVP) at a photon energy of 35 eV to PNG "
                    "files, with the numbers as .npy and the settings as .json.")
    add_map_options(demo, ["HOMO", "HOMO-1"])
    demo.set_defaults(run=lambda a: run_maps(a, ["HOMO", "HOMO-1"]))

    mapping = commands.add_parser(
        "map", help="momentum maps of chosen orbitals to PNG (+ .npy numbers)",
        description="Photoemission momentum maps (plane-wave final state) of chosen orbitals, "
                    "written as figures with axes in 1/Å (PNG, PDF or SVG) with the numbers "
                    "as .npy, or as labelled NetCDF data; a .json file beside each records "
                    "how to reproduce it.")
    add_map_options(mapping, ["HOMO"])
    mapping.set_defaults(run=lambda a: run_maps(a, ["HOMO"]))


def run_maps(args: argparse.Namespace, default_orbitals: Sequence[str]) -> List[str]:
    """Computes, draws and writes the maps; returns the figure (or .nc) files."""
    molecule = molecule_of(args)
    orbitals = args.orbitals or list(default_orbitals)
    request = map_options(args)
    dpi = args.dpi
    if not (dpi > 0 and np.isfinite(dpi)):
        raise InputError("dpi", f"must be positive, got {dpi:g}")
    if args.format != "nc":
        require_matplotlib()  # matplotlib missing: say so before any work
    orientation = tuple(args.orientation)
    maps, call = scan_momentum_maps(molecule, orbitals, [orientation],
                                    separate_orbitals=not args.sum, threads=args.threads,
                                    progress=not args.quiet, **request)
    written = []
    name = stem(args.molecule)
    with writing():
        os.makedirs(args.output_dir, exist_ok=True)
        for momentum_map in as_momentum_maps(maps, call, [orientation])[0]:
            parameters = momentum_map.parameters
            label = "+".join(parameters["orbitals"])
            base = os.path.join(args.output_dir, f"{name}_{safe(label)}")
            entries = record(args, molecule=args.molecule, **{
                k: v for k, v in parameters.items() if k not in ("e_kin_hartree",)},
                k_unit="1/angstrom", k_axis=momentum_map.kx,
                layout="data[i, j] is the intensity at (kx[i], ky[j])",
                units="|FT psi|^2 / pi^3 in bohr^3 (k in bohr^-1)",
                orientation_convention=CONVENTION)
            if args.format == "nc":
                files = [base + ".nc", base + ".json"]
                array = momentum_map.to_xarray()
                array.attrs["command"] = entries["command"]
                array.attrs["libkernels_version"] = __version__
                array.to_netcdf(base + ".nc")
            else:
                files = [f"{base}.{args.format}", base + ".npy", base + ".json"]
                save_map(momentum_map, files[0], molecule=molecule, molecule_name=name,
                         dpi=dpi, format=args.format)
                np.save(base + ".npy", momentum_map.data)
            write_json(base + ".json", entries)
            written.append(files[0])
            print(f"wrote {', '.join(files)}: {label}, peak {momentum_map.data.max():.4g}")
    return written
