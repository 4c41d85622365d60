"""The `libkernels` command: momentum maps, cube files and momentum densities.

    libkernels demo                      pentacene HOMO and HOMO-1 maps as PNG
    libkernels map [MOLECULE] ...        momentum maps of chosen orbitals
    libkernels cube [MOLECULE] ...       an orbital or the charge density as a cube file
    libkernels momentum-density [MOLECULE] ...
    libkernels orbitals [MOLECULE]       list the orbitals with names and energies
    libkernels fit MEASURED [MOLECULE]   fit orbital weights and orientation to a measured map
    libkernels deconvolve STACK [MOLECULE]  orbital-projected spectra of an energy stack
    libkernels explore [MOLECULE ...]    a local web page to explore maps live

MOLECULE is a Molden file or the name of a shipped example (pentacene,
benzene); the default is pentacene.  Errors are reported in one line.
"""

import argparse
import difflib
import json
import os
import shlex
import sys
import traceback
import warnings

import numpy as np

from . import __version__, _library, explore, fit_command, scan_command
from .batch import as_momentum_maps, scan_momentum_maps
from .conversion import DEFAULT_MAX_DROPPED
from .data import DEFAULT_MOLECULE, EXAMPLES, example_path
from .errors import ReadError
from .grids import Grid, clean_numbers
from .kernels import POLARISATIONS, orbital_rows
from .memory import check, float32_bytes, parse_size
from .readers import FORMATS, read
from .units import HARTREE_IN_EV
from .validation import InputError, count, option_name

ORIENTATION_HELP = (
    "molecule orientation in degrees (default: 0 0 0).  The map is |psi(M k)|^2 with "
    "M = Rz(ALPHA) Rx(BETA) Rz(GAMMA), counter-clockwise rotations: the molecule stands "
    "turned by the transpose of M.  Seen from above (kx right, ky up), --orientation 30 0 0 "
    "turns the molecule and its lobes clockwise by 30 degrees; BETA tilts it about kx.")


class CommandError(Exception):
    """A problem with the command line the user typed; reported in one line."""


def _load(molecule, max_dropped_norm=DEFAULT_MAX_DROPPED, input_format=None):
    path = example_path(molecule) if molecule in EXAMPLES else molecule
    if not os.path.exists(path):
        raise CommandError(f"{molecule}: no such file (give a wavefunction file or one of "
                           f"{', '.join(EXAMPLES)})")
    return read(path, input_format, max_dropped_fraction=max_dropped_norm)


def _stem(molecule):
    return os.path.splitext(os.path.basename(molecule))[0]


def _safe(label):
    return label.replace(" ", "_").replace("(", "").replace(")", "")


def _add_molecule(parser):
    parser.add_argument("molecule", nargs="?", default=DEFAULT_MOLECULE,
                        help="wavefunction file (Molden, Gaussian fchk, wfx, wfn, Molekel mkl, "
                             f"...), or an example: {', '.join(EXAMPLES)} "
                             f"(default: {DEFAULT_MOLECULE})")
    parser.add_argument("--input-format", choices=tuple(FORMATS), metavar="FORMAT",
                        help="read the molecule file as this format instead of guessing it "
                             f"from the file name: {', '.join(FORMATS)}")
    parser.add_argument("--spin", default="alpha", choices=("alpha", "beta"),
                        help="spin of named orbitals (default: alpha)")
    parser.add_argument("--max-dropped-norm", type=float, default=DEFAULT_MAX_DROPPED,
                        metavar="FRACTION",
                        help="refuse orbitals that lose more than this fraction of their norm "
                             "to parts the library cannot hold (r^2 parts of Cartesian shells, "
                             f"h functions) (default: {DEFAULT_MAX_DROPPED:g})")


def _add_memory_option(parser):
    parser.add_argument("--max-memory", metavar="SIZE", type=_size,
                        help="refuse requests estimated above SIZE, e.g. 4G or 500M; 0 for no "
                             "limit (default: half the available memory)")


def _size(text):
    try:
        return parse_size(text, "max_memory")
    except InputError as error:
        raise argparse.ArgumentTypeError(error.problem) from None


def _add_light_options(parser):
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


def _add_map_options(parser, default_orbitals):
    _add_molecule(parser)
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
    _add_light_options(parser)
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
    _add_memory_option(parser)
    parser.add_argument("--quiet", action="store_true", help="no progress display")


def _map_options(args):
    options = dict(k_max=args.k_max, n=args.resolution, k_unit="1/angstrom",
                   symmetry=None if args.symmetry == "none" else int(args.symmetry),
                   polarisation=None if args.polarisation == "none" else args.polarisation,
                   incidence=args.incidence, azimuth=args.azimuth, s_share=args.s_share,
                   spin=args.spin, energy_unit="eV", max_memory=args.max_memory)
    if args.kinetic_energy is not None:
        options["kinetic_energy"] = args.kinetic_energy
    else:
        options.update(photon_energy=args.photon_energy, work_function=args.work_function)
    return options


def _record(args, **entries):
    """What a data file needs beside it to be reproduced, with clean numbers."""
    def clean(value):
        if isinstance(value, dict):
            return {k: clean(v) for k, v in value.items()}
        if isinstance(value, (list, tuple, np.ndarray)):
            items = list(value)
            if items and all(isinstance(v, (float, np.floating)) for v in items):
                return clean_numbers(items)
            return [clean(v) for v in items]
        if isinstance(value, (float, np.floating)):
            return clean_numbers([value])[0]
        if isinstance(value, np.integer):
            return int(value)
        return value
    return clean({"command": shlex.join(["libkernels", *args.argv]),
                  "libkernels_version": __version__, **entries})


def _write_json(path, record):
    with open(path, "w") as handle:
        json.dump(record, handle, indent=1, ensure_ascii=False)


def _run_maps(args, default_orbitals):
    molecule = _load(args.molecule, args.max_dropped_norm, args.input_format)
    orbitals = args.orbitals or default_orbitals
    options = _map_options(args)
    dpi = args.dpi
    if not (dpi > 0 and np.isfinite(dpi)):
        raise InputError("dpi", f"must be positive, got {dpi:g}")
    if args.format != "nc":
        from .plotting import _figure_class
        _figure_class()  # matplotlib missing: say so before any work
    orientation = tuple(args.orientation)
    maps, call = scan_momentum_maps(molecule, orbitals, [orientation],
                                    separate_orbitals=not args.sum, threads=args.threads,
                                    progress=not args.quiet, **options)
    os.makedirs(args.output_dir, exist_ok=True)
    written = []
    name = _stem(args.molecule)
    for momentum_map in as_momentum_maps(maps, call, [orientation])[0]:
        parameters = momentum_map.parameters
        label = "+".join(parameters["orbitals"])
        stem = os.path.join(args.output_dir, f"{name}_{_safe(label)}")
        record = _record(args, molecule=args.molecule, **{
            k: v for k, v in parameters.items() if k not in ("e_kin_hartree",)},
            k_unit="1/angstrom", k_axis=momentum_map.kx,
            layout="data[i, j] is the intensity at (kx[i], ky[j])",
            units="|FT psi|^2 / pi^3 in bohr^3 (k in bohr^-1)",
            orientation_convention="map = |psi(M k)|^2, M = Rz(alpha) Rx(beta) Rz(gamma)")
        if args.format == "nc":
            files = [stem + ".nc", stem + ".json"]
            array = momentum_map.to_xarray()
            array.attrs["command"] = record["command"]
            array.attrs["libkernels_version"] = __version__
            array.to_netcdf(stem + ".nc")
        else:
            from .plotting import save_map
            files = [f"{stem}.{args.format}", stem + ".npy", stem + ".json"]
            save_map(momentum_map, files[0], molecule=molecule, molecule_name=name, dpi=dpi,
                     format=args.format)
            np.save(stem + ".npy", momentum_map.data)
        _write_json(stem + ".json", record)
        written.append(files[0])
        print(f"wrote {', '.join(files)}: {label}, peak {momentum_map.data.max():.4g}")
    return written


def _cmd_cube(args):
    from .cube import write_cube
    from .kernels import charge_density_sum, scalar_field

    molecule = _load(args.molecule, args.max_dropped_norm, args.input_format)
    if not args.density:
        molecule.orbital_index(args.orbital, args.spin)  # a bad name fails before any work
    grid = Grid.around(molecule, spacing=args.spacing, margin=args.margin, unit="angstrom")
    nx, ny, nz = grid.shape
    # the field, the work grids of the kernels and the reordered copy the writer makes
    check(float32_bytes(nx, ny, nz) * (3 if not args.density else 2 + 2 * (args.threads or 2)),
          f"a grid of {nx} x {ny} x {nz} points", "raise {spacing} or lower {margin}",
          args.max_memory)
    print(f"grid {nx} x {ny} x {nz} points, step {args.spacing:g} Å", file=sys.stderr)
    if args.density:
        field = charge_density_sum(molecule, "occupied", grid=grid, threads=args.threads,
                                   progress=not args.quiet, max_memory=args.max_memory)
        label = "density"
    else:
        field = scalar_field(molecule, args.orbital, spin=args.spin, grid=grid,
                             max_memory=args.max_memory)
        label = field.parameters["orbitals"][0]
    path = args.output or f"{_stem(args.molecule)}_{_safe(label)}.cube"
    write_cube(path, field, molecule, f"libkernels {args.molecule}")
    print(f"wrote {path}: {label}")


def _cmd_momentum_density(args):
    from .kernels import momentum_density, momentum_density_sum

    molecule = _load(args.molecule, args.max_dropped_norm, args.input_format)
    grid = Grid.momentum_cube(args.k_max, args.resolution, "1/angstrom")
    if args.density:
        field = momentum_density_sum(molecule, "occupied", grid=grid,
                                     max_memory=args.max_memory)
        label = "density"
    else:
        field = momentum_density(molecule, args.orbital, spin=args.spin, grid=grid,
                                 max_memory=args.max_memory)
        label = field.parameters["orbitals"][0]
    suffix = "." + args.format
    path = args.output or f"{_stem(args.molecule)}_{_safe(label)}_momentum_density{suffix}"
    record = _record(args, molecule=args.molecule, what=label,
                     orbitals=field.parameters["orbitals"],
                     weights=field.parameters.get("weights"),
                     layout="data[k, j, i] at (kx[i], ky[j], kz[k])", k_unit="1/angstrom",
                     k_axis=grid.axis(0),
                     units="|FT psi|^2 / pi^3 in bohr^3 (k in bohr^-1); a normalised "
                           "orbital integrates to 8, divide by 8 for a density normalised "
                           "to 1 per electron")
    if args.format == "nc":
        array = field.to_xarray()
        array.attrs["command"] = record["command"]
        array.attrs["libkernels_version"] = __version__
        array.to_netcdf(path)
    else:
        np.save(path, field.data)
    _write_json(os.path.splitext(path)[0] + ".json", record)
    print(f"wrote {path} (and .json): {label}, shape {field.data.shape} (kz, ky, kx)")


def _cmd_orbitals(args):
    molecule = _load(args.molecule, args.max_dropped_norm, args.input_format)
    print(molecule)
    rows = np.argsort(molecule.mo_energy, kind="stable")
    rows = rows[molecule.mo_spin[rows] == (1 if args.spin == "beta" else 0)]  # one spin
    count(args.around, "around", 0, max(len(rows) - 1, 0), "orbitals")
    homo = molecule.orbital_index("HOMO", args.spin)
    centre = list(rows).index(homo)
    shown = rows[max(0, centre - args.around):centre + args.around + 2]
    for r in shown:
        energy = molecule.mo_energy[r] * HARTREE_IN_EV
        symmetry = getattr(molecule, "mo_symmetry", None)  # labels from a Molden file
        print(f"{r:5d}  {molecule.orbital_label(r):14s} {energy:10.4f} eV"
              f"  occupation {molecule.mo_occ[r]:.3f}"
              + (f"  {symmetry[r]}" if symmetry and symmetry[r] else ""))


def build_parser():
    parser = argparse.ArgumentParser(
        prog="libkernels",
        description="Photoemission momentum maps, orbitals and densities of molecular "
                    "orbitals read from Molden files.",
        epilog="Run `libkernels COMMAND --help` for the options of a command.")
    parser.add_argument("--version", action="version",
                        version=f"libkernels {__version__}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    demo = commands.add_parser(
        "demo", help="the main job: momentum maps of the HOMO and HOMO-1 of pentacene",
        description="Renders the momentum maps of the HOMO and the HOMO-1 of the default "
                    "molecule (pentacene, RHF/def2-SVP) at a photon energy of 35 eV to PNG "
                    "files, with the numbers as .npy and the settings as .json.")
    _add_map_options(demo, ["HOMO", "HOMO-1"])
    demo.set_defaults(run=lambda a: _run_maps(a, ["HOMO", "HOMO-1"]))

    mapping = commands.add_parser(
        "map", help="momentum maps of chosen orbitals to PNG (+ .npy numbers)",
        description="Photoemission momentum maps (plane-wave final state) of chosen orbitals, "
                    "written as figures with axes in 1/Å (PNG, PDF or SVG) with the numbers "
                    "as .npy, or as labelled NetCDF data; a .json file beside each records "
                    "how to reproduce it.")
    _add_map_options(mapping, ["HOMO"])
    mapping.set_defaults(run=lambda a: _run_maps(a, ["HOMO"]))

    cube = commands.add_parser("cube", help="an orbital or the charge density as a cube file",
                               description="Evaluates one orbital, or the charge density of "
                                           "the occupied orbitals, on a grid around the "
                                           "molecule and writes a Gaussian cube file (bohr).")
    _add_molecule(cube)
    cube.add_argument("-O", "--orbital", default="HOMO",
                      help="orbital name or 0-based index (default: HOMO)")
    cube.add_argument("--density", action="store_true",
                      help="charge density of all occupied orbitals instead of one orbital")
    cube.add_argument("--spacing", type=float, default=0.2, metavar="ANGSTROM",
                      help="grid spacing in Å (default: 0.2)")
    cube.add_argument("--margin", type=float, default=4.0, metavar="ANGSTROM",
                      help="space around the atoms in Å (default: 4)")
    cube.add_argument("-o", "--output", help="file name (default: MOLECULE_ORBITAL.cube)")
    cube.add_argument("--threads", type=int, default=None,
                      help="threads for --density (default: all CPUs)")
    _add_memory_option(cube)
    cube.add_argument("--quiet", action="store_true", help="no progress display")
    cube.set_defaults(run=_cmd_cube)

    density = commands.add_parser(
        "momentum-density", help="the momentum density of an orbital (or all occupied) as .npy",
        description="|FT psi|^2 / pi^3 (bohr^3) on a cubic 3D momentum grid, written as a "
                    ".npy array of shape (nz, ny, nx) or as labelled NetCDF data, with a "
                    ".json file describing the axes.")
    _add_molecule(density)
    density.add_argument("-O", "--orbital", default="HOMO",
                         help="orbital name or 0-based index (default: HOMO)")
    density.add_argument("--density", action="store_true",
                         help="sum over all occupied orbitals weighted by occupation")
    density.add_argument("--k-max", type=float, default=3.0, metavar="INV_ANGSTROM",
                         help="the grid spans -k_max ... +k_max on each axis (default: 3)")
    density.add_argument("--resolution", type=int, default=61, metavar="N",
                         help="points per axis (default: 61)")
    density.add_argument("-o", "--output", help="file name (default: MOLECULE_ORBITAL_"
                                                "momentum_density.npy or .nc)")
    density.add_argument("--format", default="npy", choices=("npy", "nc"),
                         help="numpy array or NetCDF with labelled axes (default: npy)")
    _add_memory_option(density)
    density.add_argument("--quiet", action="store_true",
                         help="accepted for symmetry with the other commands")
    density.set_defaults(run=_cmd_momentum_density)

    listing = commands.add_parser("orbitals", help="list the orbitals near the HOMO",
                                  description="Lists orbitals around the HOMO with their "
                                              "names, energies and occupations.")
    _add_molecule(listing)
    listing.add_argument("--around", type=int, default=5, help="orbitals below and above")
    listing.set_defaults(run=_cmd_orbitals)
    fit_command.add_parser(commands)
    explore.add_parser(commands)
    scan_command.add_parser(commands)
    for sub_parser in commands.choices.values():
        sub_parser.set_defaults(parser=sub_parser)  # for messages about unknown options
    return parser


def _reject_unknown(args, unknown):
    """Shows the subcommand's usage and the nearest valid option of a misspelt one."""
    sub_parser = args.parser
    known = [o for action in sub_parser._actions for o in action.option_strings]
    word = unknown[0]
    if word.startswith("-"):
        nearest = difflib.get_close_matches(word.split("=")[0], known, n=1, cutoff=0.5)
        hint = f"; did you mean {nearest[0]}?" if nearest else ""
        sub_parser.error(f"unknown option {word}{hint}")
    sub_parser.error(f"unexpected argument {word!r}")


def _raised_by_libkernels(error):
    """True when the package raised `error` itself (a check), not code it calls (a fault)."""
    here = os.path.dirname(os.path.abspath(__file__))
    frames = traceback.extract_tb(error.__traceback__)
    return bool(frames) and os.path.abspath(frames[-1].filename).startswith(here)


def main(argv=None):
    argv = list(sys.argv[1:] if argv is None else argv)
    parser = build_parser()
    args, unknown = parser.parse_known_args(argv)
    if unknown:
        _reject_unknown(args, unknown)
    args.argv = argv

    def show_warning(message, *_, **__):
        print(f"libkernels {args.command}: warning: {message}", file=sys.stderr)

    try:
        with warnings.catch_warnings():
            warnings.showwarning = show_warning
            args.run(args)
    except InputError as error:
        print(f"libkernels {args.command}: error: {error.render(option_name)}", file=sys.stderr)
        return 2
    except (CommandError, ReadError, OSError, ImportError, _library.MissingKernelError,
            MemoryError, ValueError) as error:
        # ValueErrors are the package's own refusals; one from deeper code is a
        # fault and keeps its traceback.
        if type(error) is ValueError and not _raised_by_libkernels(error):
            raise
        message = str(error).splitlines()[0] if str(error) else type(error).__name__
        print(f"libkernels {args.command}: error: {message}", file=sys.stderr)
        return 2
    except KeyboardInterrupt:
        print("libkernels: interrupted", file=sys.stderr)
        return 130
    return 0


if __name__ == "__main__":
    sys.exit(main())
