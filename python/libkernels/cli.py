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
import json
import os
import sys
import warnings

import numpy as np

from . import _library, fit_command, scan_command
from .batch import as_momentum_maps, scan_momentum_maps
from . import explore
from .data import DEFAULT_MOLECULE, EXAMPLES, example_path
from .grids import Grid
from .kernels import POLARISATIONS, orbital_rows
from .conversion import DEFAULT_MAX_DROPPED
from .readers import FORMATS, read
from .units import HARTREE_IN_EV
from .validation import InputError, option_name


class CommandError(Exception):
    pass


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
                          metavar=("ALPHA", "BETA", "GAMMA"),
                          help="molecule orientation angles in degrees: Rz(alpha) Rx(beta) "
                               "Rz(gamma) (default: 0 0 0)")
    geometry.add_argument("--symmetry", default="none", choices=("none", "2", "3", "4"),
                          help="average over an n-fold rotation group with mirrors "
                               "(default: none)")
    light = parser.add_argument_group("light polarisation")
    light.add_argument("--polarisation", default="none", choices=("none",) + tuple(POLARISATIONS),
                       help="weight the maps by the polarisation factor (default: none)")
    light.add_argument("--incidence", type=float, default=65.0, metavar="DEG",
                       help="angle of incidence from the surface normal (default: 65)")
    light.add_argument("--azimuth", type=float, default=0.0, metavar="DEG",
                       help="azimuth of the plane of incidence from kx (default: 0)")
    light.add_argument("--s-share", type=float, default=0.0, metavar="PERCENT",
                       help="s-polarised share for --polarisation linear (default: 0)")
    parser.add_argument("--sum", action="store_true",
                        help="one map of all chosen orbitals summed, instead of one each")
    parser.add_argument("-o", "--output-dir", default=".",
                        help="directory for the PNG, .npy and .json files (default: .)")
    parser.add_argument("--threads", type=int, default=None,
                        help="threads for several maps (default: all CPUs)")
    parser.add_argument("--quiet", action="store_true", help="no progress display")


def _map_options(args):
    options = dict(k_max=args.k_max, n=args.resolution, k_unit="1/angstrom",
                   symmetry=None if args.symmetry == "none" else int(args.symmetry),
                   polarisation=None if args.polarisation == "none" else args.polarisation,
                   incidence=args.incidence, azimuth=args.azimuth, s_share=args.s_share,
                   spin=args.spin, energy_unit="eV")
    if args.kinetic_energy is not None:
        options["kinetic_energy"] = args.kinetic_energy
    else:
        options.update(photon_energy=args.photon_energy, work_function=args.work_function)
    if args.resolution < 2:
        raise CommandError("--resolution must be at least 2")
    if not args.k_max > 0:
        raise CommandError("--k-max must be positive")
    return options


def _run_maps(args, default_orbitals):
    from .plotting import save_map_png

    molecule = _load(args.molecule, args.max_dropped_norm, args.input_format)
    orbitals = args.orbitals or default_orbitals
    options = _map_options(args)
    maps, call = scan_momentum_maps(molecule, orbitals, [tuple(args.orientation)],
                                    separate_orbitals=not args.sum, threads=args.threads,
                                    progress=not args.quiet, **options)
    os.makedirs(args.output_dir, exist_ok=True)
    written = []
    for momentum_map in as_momentum_maps(maps, call, [tuple(args.orientation)])[0]:
        names = momentum_map.parameters["orbitals"]
        label = "+".join(names)
        stem = os.path.join(args.output_dir, f"{_stem(args.molecule)}_{_safe(label)}")
        e_kin = momentum_map.parameters["e_kin_hartree"]
        e_text = ", ".join(f"{float(e) * HARTREE_IN_EV:.2f}" for e in e_kin)
        title = (f"{_stem(args.molecule)} {label}   E$_{{kin}}$ = {e_text} eV"
                 + (f"\norientation {tuple(args.orientation)}" if any(args.orientation) else ""))
        save_map_png(momentum_map, stem + ".png", title)
        np.save(stem + ".npy", momentum_map.data)
        with open(stem + ".json", "w") as handle:
            json.dump({"molecule": args.molecule, "orbitals": names,
                       "kinetic_energy_eV": [float(e) * HARTREE_IN_EV for e in e_kin],
                       "k_axis_inv_angstrom": momentum_map.kx.tolist(),
                       "layout": "data[i, j] is the intensity at (kx[i], ky[j])",
                       "orientation_deg": list(args.orientation), "symmetry": args.symmetry,
                       "polarisation": args.polarisation, "incidence_deg": args.incidence,
                       "azimuth_deg": args.azimuth, "s_share_percent": args.s_share}, handle,
                      indent=1)
        written.append(stem + ".png")
        print(f"wrote {stem}.png (and .npy, .json): {label}, peak {momentum_map.data.max():.4g}")
    return written



def _cmd_cube(args):
    from .cube import write_cube
    from .kernels import charge_density_sum, scalar_field

    molecule = _load(args.molecule, args.max_dropped_norm, args.input_format)
    if not args.density:
        molecule.orbital_index(args.orbital, args.spin)  # a bad name fails before any work
    grid = Grid.around(molecule, spacing=args.spacing, margin=args.margin, unit="angstrom")
    if grid.n_points > 200_000_000:
        raise CommandError(f"the grid would have {grid.n_points} points; raise --spacing")
    print(f"grid {grid.shape[0]} x {grid.shape[1]} x {grid.shape[2]} points, "
          f"step {args.spacing} Å", file=sys.stderr)
    if args.density:
        rows = orbital_rows(molecule, "occupied")
        field = _chunked(lambda part: charge_density_sum(molecule, part, grid=grid,
                                                         weights=molecule.mo_occ[part]),
                         rows, "charge density", not args.quiet)
        field.parameters["orbitals"] = ["charge density"]
        label = "density"
    else:
        field = scalar_field(molecule, args.orbital, spin=args.spin, grid=grid)
        label = field.parameters["orbitals"][0]
    path = args.output or f"{_stem(args.molecule)}_{_safe(label)}.cube"
    write_cube(path, field, molecule, f"libkernels {args.molecule}")
    print(f"wrote {path}: {label}")


def _chunked(compute, rows, description, progress):
    """Runs a summing kernel over groups of orbitals on a thread pool, showing
    progress, and adds the parts in order."""
    from concurrent.futures import ThreadPoolExecutor

    from .progress import progress_bar

    chunk = max(1, len(rows) // 24)
    parts = [rows[i:i + chunk] for i in range(0, len(rows), chunk)]
    bar = progress_bar(len(rows), description, progress, unit="orbital")

    def work(part):
        result = compute(part)
        bar.update(len(part))
        return result

    try:
        with ThreadPoolExecutor(max_workers=os.cpu_count() or 1) as pool:
            fields = list(pool.map(work, parts))
    finally:
        bar.close()
    total = fields[0]
    for field in fields[1:]:
        total.data += field.data
    return total


def _cmd_momentum_density(args):
    from .kernels import momentum_density, momentum_density_sum

    molecule = _load(args.molecule, args.max_dropped_norm, args.input_format)
    grid = Grid.momentum_cube(args.k_max, args.resolution, "1/angstrom")
    if args.density:
        rows = orbital_rows(molecule, "occupied")
        field = _chunked(lambda part: momentum_density_sum(molecule, part, grid=grid,
                                                           weights=molecule.mo_occ[part]),
                         rows, "momentum density", not args.quiet)
        label = "density"
    else:
        field = momentum_density(molecule, args.orbital, spin=args.spin, grid=grid)
        label = field.parameters["orbitals"][0]
    path = args.output or f"{_stem(args.molecule)}_{_safe(label)}_momentum_density.npy"
    np.save(path, field.data)
    axis = grid.axis(0, "1/angstrom")
    with open(os.path.splitext(path)[0] + ".json", "w") as handle:
        json.dump({"molecule": args.molecule, "what": label,
                   "layout": "data[k, j, i] at (kx[i], ky[j], kz[k])",
                   "k_axis_inv_angstrom": axis.tolist(),
                   "units": "|FT psi|^2 / pi^3 in bohr^3; divide by 8 for a density "
                            "normalised to 1 per electron over k in bohr^-1"}, handle, indent=1)
    print(f"wrote {path} (and .json): {label}, shape {field.data.shape} (kz, ky, kx)")


def _cmd_orbitals(args):
    molecule = _load(args.molecule, args.max_dropped_norm, args.input_format)
    print(molecule)
    rows = np.argsort(molecule.mo_energy, kind="stable")
    rows = rows[molecule.mo_spin[rows] == (1 if args.spin == "beta" else 0)]  # one spin
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
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    demo = commands.add_parser(
        "demo", help="the main job: momentum maps of the HOMO and HOMO-1 of pentacene",
        description="Renders the momentum maps of the HOMO and the HOMO-1 of the default "
                    "molecule (pentacene, RHF/def2-SVP) at a photon energy of 35 eV to PNG "
                    "files, with the numbers as .npy.")
    _add_map_options(demo, ["HOMO", "HOMO-1"])
    demo.set_defaults(run=lambda a: _run_maps(a, ["HOMO", "HOMO-1"]))

    mapping = commands.add_parser(
        "map", help="momentum maps of chosen orbitals to PNG (+ .npy numbers)",
        description="Photoemission momentum maps (plane-wave final state) of chosen orbitals, "
                    "written as PNG pictures with axes in 1/Å and as .npy arrays.")
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
    cube.add_argument("--quiet", action="store_true", help="no progress display")
    cube.set_defaults(run=_cmd_cube)

    density = commands.add_parser(
        "momentum-density", help="the momentum density of an orbital (or all occupied) as .npy",
        description="|psi(k)|^2 on a cubic 3D momentum grid, written as a .npy array of "
                    "shape (nz, ny, nx) with a .json file describing the axes.")
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
                                                "momentum_density.npy)")
    density.add_argument("--quiet", action="store_true", help="no progress display")
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
    return parser


def main(argv=None):
    parser = build_parser()
    args = parser.parse_args(argv)

    def show_warning(message, *_, **__):
        print(f"libkernels {args.command}: warning: {message}", file=sys.stderr)

    try:
        with warnings.catch_warnings():
            warnings.showwarning = show_warning
            args.run(args)
    except InputError as error:
        print(f"libkernels {args.command}: error: {error.render(option_name)}", file=sys.stderr)
        return 2
    except (CommandError, ValueError, OSError, ImportError, _library.MissingKernelError,
            MemoryError) as error:
        message = str(error).splitlines()[0] if str(error) else type(error).__name__
        print(f"libkernels {args.command}: error: {message}", file=sys.stderr)
        return 2
    except KeyboardInterrupt:
        print("libkernels: interrupted", file=sys.stderr)
        return 130
    return 0


if __name__ == "__main__":
    sys.exit(main())
