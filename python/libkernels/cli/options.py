"""Options shared by the commands: the molecule, the light, a map request, memory, threads.

The library's errors name the Python keyword of a bad argument
(``photon_energy``); `option_name` spells it as the command line's option
(``--photon-energy``) so that both front ends report the same problem.
"""

from __future__ import annotations

import argparse
from typing import Any, Dict, Optional, Sequence

from ..basis.conversion import DEFAULT_MAX_DROPPED
from ..core.errors import InputError
from ..core.map_sum_call import POLARISATIONS
from ..core.memory import parse_size
from ..core.molecule import Molecule
from ..core.orientation import CONVENTION
from ..formats.api import FORMATS, load_molecule
from ..formats.examples import DEFAULT_MOLECULE, EXAMPLES

# Python keyword -> command-line option, where the option is not simply the
# keyword with dashes ("s_share" -> "--s-share" needs no entry).
CLI_OPTIONS = {
    "n": "--resolution",
    "orbital": "--orbital",
    "orbitals": "--orbital",
    "max_dropped_fraction": "--max-dropped-norm",
    "alpha": "--orientation",
    "beta": "--orientation",
    "gamma": "--orientation",
}

ORIENTATION_HELP = ("molecule orientation ALPHA BETA GAMMA in degrees (default: 0 0 0); "
                    + CONVENTION)


def option_name(name: str) -> str:
    """The command-line spelling of the Python keyword `name`."""
    return CLI_OPTIONS.get(name, "--" + name.replace("_", "-"))


def add_molecule(parser: argparse.ArgumentParser) -> None:
    """The MOLECULE argument (a file or an example) and how to read it."""
    parser.add_argument("molecule", nargs="?", default=DEFAULT_MOLECULE,
                        help="wavefunction file (Molden, Gaussian fchk, wfx, wfn, Molekel mkl, "
                             f"...), or an example: {', '.join(EXAMPLES)} "
                             f"(default: {DEFAULT_MOLECULE})")
    parser.add_argument("--input-format", choices=tuple(FORMATS), metavar="FORMAT",
                        help="read the molecule file as this format instead of guessing it "
                             f"from the file name: {', '.join(FORMATS)}")
    parser.add_argument("--spin", default="alpha", choices=("alpha", "beta"),
                        help="spin of named orbitals (default: alpha)")
    add_max_dropped_norm(parser)


def add_orbital_or_density(parser: argparse.ArgumentParser, density_help: str) -> None:
    """MOLECULE, one orbital (-O, default HOMO), or --density for all occupied orbitals."""
    add_molecule(parser)
    parser.add_argument("-O", "--orbital", default="HOMO",
                        help="orbital name or 0-based index (default: HOMO)")
    parser.add_argument("--density", action="store_true", help=density_help)


def add_max_dropped_norm(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--max-dropped-norm", type=float, default=DEFAULT_MAX_DROPPED,
                        metavar="FRACTION",
                        help="refuse orbitals that lose more than this fraction of their norm "
                             "to parts the library cannot hold (r^2 parts of Cartesian shells, "
                             f"h functions) (default: {DEFAULT_MAX_DROPPED:g})")


def molecule_of(args: argparse.Namespace) -> Molecule:
    """The molecule the command line names (add_molecule's options)."""
    return load_molecule(args.molecule, args.input_format,
                         max_dropped_fraction=args.max_dropped_norm)


def add_memory_option(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--max-memory", metavar="SIZE", type=_size,
                        help="refuse requests estimated above SIZE, e.g. 4G or 500M; 0 for no "
                             "limit (default: half the available memory)")


def _size(text: str) -> Optional[int]:
    try:
        return parse_size(text, "max_memory")
    except InputError as error:
        raise argparse.ArgumentTypeError(error.problem) from None


def check_threads(threads: Optional[int]) -> None:
    """--threads, when given, is at least 1."""
    if threads is not None and threads < 1:
        raise InputError("threads", "must be at least 1")


def add_light_options(parser: argparse.ArgumentParser) -> None:
    light = parser.add_argument_group("light polarisation")
    light.add_argument("--polarisation", default="none", choices=("none",) + tuple(POLARISATIONS),
                       help="weight the maps by the polarisation factor; dichroism maps are "
                            "signed and drawn with a diverging colour map (default: none)")
    light.add_argument("--incidence", type=float, default=65.0, metavar="DEG",
                       help="angle of incidence from the surface normal, 0-90 (default: 65)")
    light.add_argument("--azimuth", type=float, default=0.0, metavar="DEG",
                       help="azimuth of the plane of incidence from kx (default: 0)")
    light.add_argument("--s-share", type=float, default=0.0, metavar="PERCENT",
                       help="s-polarised share for --polarisation linear, 0-100 (default: 0)")


def light_of(args: argparse.Namespace) -> Dict[str, Any]:
    """add_light_options' values as the library's keywords."""
    return dict(polarisation=None if args.polarisation == "none" else args.polarisation,
                incidence=args.incidence, azimuth=args.azimuth, s_share=args.s_share)


def symmetry_of(args: argparse.Namespace) -> Optional[int]:
    return None if args.symmetry == "none" else int(args.symmetry)


def add_map_options(parser: argparse.ArgumentParser, default_orbitals: Sequence[str]) -> None:
    """Everything `libkernels map` (and demo) takes."""
    add_molecule(parser)
    parser.add_argument("-O", "--orbital", dest="orbitals", action="append", metavar="ORBITAL",
                        help="orbital by name (HOMO, HOMO-1, LUMO+1, ...) or 0-based index; "
                             f"repeat for several (default: {' '.join(default_orbitals)})")
    energy = parser.add_argument_group("photoelectron energy (eV)")
    energy.add_argument("--kinetic-energy", type=float, metavar="EV",
                        help="kinetic energy for every orbital (overrides the photon energy)")
    energy.add_argument("--photon-energy", type=float, default=35.0, metavar="EV",
                        help="photon energy; each orbital then has E_kin = photon energy - "
                             "work function + orbital energy (default: 35)")
    energy.add_argument("--work-function", type=float, default=4.5, metavar="EV",
                        help="work function (default: 4.5)")
    grid = parser.add_argument_group("momentum grid")
    grid.add_argument("--k-max", type=float, default=3.0, metavar="INV_ANGSTROM",
                      help="maps span -k_max ... +k_max in kx and ky, in 1/Å (default: 3.0)")
    grid.add_argument("--resolution", type=int, default=201, metavar="N",
                      help="pixels per side (default: 201)")
    geometry = parser.add_argument_group("orientation and symmetry")
    geometry.add_argument("--orientation", type=float, nargs=3, default=(0.0, 0.0, 0.0),
                          metavar=("ALPHA", "BETA", "GAMMA"), help=ORIENTATION_HELP)
    geometry.add_argument("--symmetry", default="none", choices=("none", "2", "3", "4"),
                          help="average over an n-fold rotation group with mirrors "
                               "(default: none)")
    add_light_options(parser)
    output = parser.add_argument_group("output")
    output.add_argument("--sum", action="store_true",
                        help="one map of all chosen orbitals summed, instead of one each")
    output.add_argument("-o", "--output-dir", default=".",
                        help="directory for the figure, data and .json files (default: .)")
    output.add_argument("--format", default="png", choices=("png", "pdf", "svg", "nc"),
                        help="figure format, or nc for the data as NetCDF (labelled axes and "
                             "settings, no figure); png/pdf/svg also write the data as .npy "
                             "(default: png)")
    output.add_argument("--dpi", type=float, default=150, help="figure resolution (default: 150)")
    parser.add_argument("--threads", type=int, default=None,
                        help="threads for several maps (default: all CPUs)")
    add_memory_option(parser)
    add_quiet(parser)


def add_quiet(parser: argparse.ArgumentParser, help: str = "no progress display") -> None:
    parser.add_argument("--quiet", action="store_true", help=help)


def map_options(args: argparse.Namespace) -> Dict[str, Any]:
    """add_map_options' values as the keywords of momentum_map_sum."""
    options: Dict[str, Any] = dict(
        k_max=args.k_max, n=args.resolution, k_unit="1/angstrom", symmetry=symmetry_of(args),
        **light_of(args), spin=args.spin, energy_unit="eV", max_memory=args.max_memory)
    if args.kinetic_energy is not None:
        options["kinetic_energy"] = args.kinetic_energy
    else:
        options.update(photon_energy=args.photon_energy, work_function=args.work_function)
    return options
