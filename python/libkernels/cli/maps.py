"""`libkernels demo` and `libkernels map`: momentum maps as figures (or NetCDF) with
their numbers and a .json record beside each; and the `libkernels map` command line
of a map request (the explorer's export)."""

from __future__ import annotations

import argparse
import shlex
from typing import TYPE_CHECKING, List, Optional, Sequence, Tuple, Union

import numpy as np

from ..core.extras import NETCDF_WRITER, require_all
from ..core.molecule import orbital_rows
from ..formats.outputs import MAP_FORMATS
from ..plot.maps import require_matplotlib
from ..requests.maps import MapRequest
from .options import (KZ_DAMPING, LIGHT_FLAGS, LIGHT, MOLECULE, ORIENTATION_HELP, Flags,
                      add_request_command, flag, options, request_of, run_flags,
                      symmetry_option)
from .records import output_directory, output_option

if TYPE_CHECKING:
    from ..core.molecule import Molecule
    from ..core.types import Float32Array
    from .options import Commands

MAP_UNIT = "bohr^3"  # |FT psi|^2 / pi^3 with k in bohr^-1
ENERGY = "photoelectron energy (eV)"
GRID = "momentum grid"
GEOMETRY = "orientation and symmetry"
OUTPUT = "output"

DEMO = ("Renders the momentum maps of the HOMO and the HOMO-1 of the default molecule "
        "(pentacene, RHF/def2-SVP) at a photon energy of 35 eV to PNG files, with the numbers "
        "as .npy and the settings as .json.")
MAP = ("Photoemission momentum maps (plane-wave final state) of chosen orbitals, written as "
       "figures with axes in 1/Å (PNG, PDF or SVG) with the numbers as .npy, or as labelled "
       "NetCDF data; a .json file beside each records how to reproduce it (--from-record FILE "
       "does).")

FLAGS: Flags = options(
    MOLECULE,
    orbitals=flag("-O", "--orbital", action="append", metavar="ORBITAL",
                  help="orbital by name (HOMO, HOMO-1, LUMO+1, ...) or 0-based index; repeat "
                       "for several (default: {default})"),
    weights=flag("--weights", type=float, nargs="+", metavar="W",
                 help="a weight for each orbital, in the order of -O: the summed map (--sum) "
                      "adds them with these weights, a map of its own is scaled by its weight "
                      "(default: 1)"),
    kinetic_energy=flag("--kinetic-energy", group=ENERGY, type=float, metavar="EV",
                        help="kinetic energy for every orbital (overrides the photon energy)"),
    photon_energy=flag("--photon-energy", group=ENERGY, type=float, metavar="EV",
                       cli_default=35.0, overridden_by="kinetic_energy",
                       help="photon energy; each orbital then has E_kin = photon energy - "
                            "work function + orbital energy (default: 35)"),
    work_function=flag("--work-function", group=ENERGY, type=float, metavar="EV",
                       cli_default=4.5, overridden_by="kinetic_energy",
                       help="work function (default: 4.5)"),
    k_max=flag("--k-max", group=GRID, type=float, metavar="INV_ANGSTROM",
               help="maps span -k_max ... +k_max in kx and ky, in 1/Å (default: 3.0)"),
    n=flag("--resolution", group=GRID, type=int, metavar="N",
           help="pixels per side (default: 201)"),
    orientation=flag("--orientation", group=GEOMETRY, type=float, nargs=3,
                     metavar=("ALPHA", "BETA", "GAMMA"), help=ORIENTATION_HELP),
    symmetry=flag("--symmetry", group=GEOMETRY, choices=("none", "2", "3", "4"),
                  convert=symmetry_option,
                  help="average over an n-fold rotation group with mirrors (default: none)"),
    **LIGHT_FLAGS, **KZ_DAMPING,
    separate_orbitals=flag("--sum", group=OUTPUT, action="store_false",
                           help="one map of all chosen orbitals summed, instead of one each"),
    format=flag("--format", group=OUTPUT, choices=MAP_FORMATS,
                help="figure format, or nc for the data as NetCDF (labelled axes and settings, "
                     "no figure); png/pdf/svg also write the data as .npy (default: png)"),
    dpi=flag("--dpi", group=OUTPUT, type=float, help="figure resolution (default: 150)"),
    cut=flag("--cut", group=OUTPUT, metavar="CUT_k.nc",
             help="the model along a cut converted by libkernels convert (energy x k_par): "
                  "the chosen orbitals' summed map at each slice's own kinetic energy, read "
                  "at the cut's (k_perp, k_par); writes DIR/CUT_model.nc (the energy options "
                  "do not apply)"),
    **run_flags())
GROUPS = (ENERGY, GRID, GEOMETRY, LIGHT, OUTPUT)


def add_parser(commands: Commands) -> None:
    for parser in (
            add_request_command(commands, "demo", MapRequest, run_maps, FLAGS, groups=GROUPS,
                                description=DEMO,
                                help="the main job: momentum maps of the HOMO and HOMO-1 of "
                                     "pentacene", defaults={"orbitals": ["HOMO", "HOMO-1"]}),
            add_request_command(commands, "map", MapRequest, run_maps, FLAGS, groups=GROUPS,
                                description=MAP,
                                help="momentum maps of chosen orbitals to PNG (+ .npy numbers)")):
        output_option(parser, "directory for the figure, data and .json files")


def run_maps(args: argparse.Namespace) -> List[str]:
    """Computes, draws and writes the maps with their records; returns the figure (or
    .nc) files."""
    output_directory(args.output_dir, (".png", ".pdf", ".svg", ".nc", ".npy", ".json"),
                     "MOLECULE_ORBITALS.png (.npy, .json)")
    request = request_of(args)
    assert isinstance(request, MapRequest)
    if request.cut is not None:
        require_all(NETCDF_WRITER, "netcdf", "the model on a cut")
        target = request.run().save(args.output_dir)
        print(f"wrote {target}: the model on the cut {request.cut}")
        return [target]
    if request.format != "nc":
        require_matplotlib()  # matplotlib missing: say so before any work
    else:
        require_all(NETCDF_WRITER, "netcdf", "writing maps as NetCDF (--format nc)")
    written = []
    for momentum_map in request.run():
        files = momentum_map.save(args.output_dir)
        written.append(files[0])
        print(f"wrote {', '.join(files)}: {'+'.join(momentum_map.parameters['orbitals'])}, "
              f"{extent(momentum_map.data)}")
    return written


def extent(data: Float32Array) -> str:
    """The map's largest value (both ends for a signed map) with its unit."""
    low, high = float(np.min(data)), float(np.max(data))
    if low < 0:
        return f"values {low:.4g} to {high:.4g} {MAP_UNIT}"
    return f"peak {high:.4g} {MAP_UNIT}"


# ---- a map request as the command line that makes it -------------------------------------

def command_of(request: MapRequest, molecule: Molecule, argument: str
               ) -> Tuple[str, Optional[str]]:
    """The `libkernels map` command that draws `request`'s map to the bit (the molecule
    named by `argument`), and a note (None: nothing to say).  Every setting that differs
    from the command line's defaults is spelt by its option in FLAGS."""
    rows = orbital_rows(molecule, request.orbitals, request.spin)
    spins = {int(molecule.mo_spin[r]) for r in rows}
    words = ["libkernels", "map", argument]
    if len(spins) == 1 and not molecule.spin_restricted:
        labels = [molecule.orbital_label(r).split(" ")[0] for r in rows]
        if spins == {1}:
            words += ["--spin", "beta"]
    elif len(spins) == 1:
        labels = [molecule.orbital_label(r) for r in rows]
    else:
        labels = [str(r) for r in rows]  # mixed spins: rows name them unambiguously
    for label in labels:
        words += [FLAGS["orbitals"].flags[0], label]
    if len(rows) > 1 and not request.separate_orbitals:
        words.append(FLAGS["separate_orbitals"].flags[0])
    weights = list(request.weights or [])
    if any(w != 1 for w in weights):
        words += [_spelt("weights")] + [_exact(w) for w in weights]
    if request.kinetic_energy is not None:
        words += [_spelt("kinetic_energy"), *_numbers(request.kinetic_energy)]
    else:
        words += [_spelt("photon_energy"), _exact(float(request.photon_energy or 0)),
                  _spelt("work_function"), _exact(float(request.work_function or 0))]
    if any(request.orientation):
        words += [_spelt("orientation")] + [_exact(a) for a in request.orientation]
    if request.symmetry not in (None, "none"):
        words += [_spelt("symmetry"), str(request.symmetry)]
    if request.polarisation not in (None, "none"):
        words += [_spelt("polarisation"), str(request.polarisation),
                  _spelt("incidence"), _exact(request.incidence),
                  _spelt("azimuth"), _exact(request.azimuth)]
        if request.polarisation == "linear":
            words += [_spelt("s_share"), _exact(request.s_share)]
    if request.kz_imaginary:
        words += [_spelt("kz_imaginary"), *_numbers(request.kz_imaginary)]
    words += [_spelt("k_max"), _exact(request.k_max), _spelt("n"), str(request.n)]
    note = "orbitals of both spins are named by their row numbers" if len(spins) > 1 else None
    return " ".join(shlex.quote(w) for w in words), note


def _spelt(name: str) -> str:
    return FLAGS[name].flags[-1]


def _numbers(value: Union[float, Sequence[float]]) -> List[str]:
    values: Sequence[float] = value if isinstance(value, (list, tuple)) else [float(value)]  # type: ignore[arg-type]
    return [_exact(v) for v in values]


def _exact(value: float) -> str:
    """A number as the shortest text that reads back as the same float: 35, 0.1, 1e-07."""
    text = repr(float(value))
    return text[:-2] if text.endswith(".0") else text
