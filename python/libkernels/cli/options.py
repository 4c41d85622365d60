"""The command line's spelling of the requests' settings, and the options several
commands share.

A command whose work is a request (map, demo, cube, momentum-density, fit,
deconvolve, convert, reconstruct) names, for each setting it offers, a `Flag`:
the option's flags, help and argparse's keywords.  `add_request_command` adds
them to the command's parser, and `request_of` makes the request from what was
given.  `--from-record FILE` replaces every option that shapes the output by
the settings the record holds; where the output goes (-o) and how the work
runs (--threads, --max-memory, --quiet) are still taken from the command line.

The library's errors name the Python keyword of a bad argument
(``photon_energy``); `option_name` spells it as the command line's option
(``--photon-energy``) so that both front ends report the same problem.
"""

from __future__ import annotations

import argparse
from dataclasses import dataclass, field
from typing import (TYPE_CHECKING, Any, Callable, Dict, List, Mapping, Optional, Sequence,
                    Tuple, Type)

from ..core.errors import CommandLineError, InputError
from ..core.map_sum_call import POLARISATIONS
from ..core.memory import MemorySize, parse_size
from ..core.orientation import CONVENTION
from ..formats.api import FORMATS
from ..formats.examples import DEFAULT_MOLECULE, EXAMPLES
from ..requests.base import MoleculeRequest, Request
from .records import command_line

if TYPE_CHECKING:
    # what add_subparsers returns: each command adds its parser to it
    Commands = argparse._SubParsersAction[argparse.ArgumentParser]


class _NotSet:
    def __repr__(self) -> str:
        return "NOT_SET"


NOT_SET: Any = _NotSet()  # an option without a default of the command line's own


@dataclass(frozen=True)
class Flag:
    """How one setting is given on the command line.

    `flags` are argparse's (a single name without dashes makes a positional
    argument, which must be the setting's name); `arguments` argparse's other
    keywords (type, metavar, choices, nargs, action).  A value given passes
    through `convert`; an absent one is `cli_default` when set, else the
    request's default.  A setting `overridden_by` another is left at the
    request's default whenever that other one is given.
    """

    flags: Tuple[str, ...]
    help: str = ""
    group: str = ""
    arguments: Mapping[str, Any] = field(default_factory=dict)
    cli_default: Any = NOT_SET
    convert: Optional[Callable[[Any], Any]] = None
    overridden_by: Optional[str] = None

    @property
    def positional(self) -> bool:
        return not self.flags[0].startswith("-")


# A command's options: setting -> Flag, in the order of the command's help.
Flags = Dict[str, Flag]

# setting -> its option, over every command (positionals by their metavar)
_SPELLINGS: Dict[str, str] = {
    "max_dropped_fraction": "--max-dropped-norm",
    "alpha": "--orientation", "beta": "--orientation", "gamma": "--orientation",
}


def flag(*flags: str, help: str = "", group: str = "", cli_default: Any = NOT_SET,
         convert: Optional[Callable[[Any], Any]] = None, overridden_by: Optional[str] = None,
         **arguments: Any) -> Flag:
    return Flag(tuple(flags), help, group, arguments, cli_default, convert, overridden_by)


def options(*tables: Flags, **flags: Flag) -> Flags:
    """A command's table of flags: shared tables, then its own (which replace theirs)."""
    merged: Flags = {}
    for table in tables:
        merged.update(table)
    merged.update(flags)
    for name, option in merged.items():
        _SPELLINGS.setdefault(name, name.upper() if option.positional else option.flags[-1])
    return merged


def option_name(name: str) -> str:
    """The command-line spelling of the Python keyword `name`."""
    return _SPELLINGS.get(name) or "--" + name.replace("_", "-")


def argument_group(parser: argparse.ArgumentParser, title: str) -> argparse._ArgumentGroup:
    """The parser's argument group of that title (made on first use)."""
    for group in parser._action_groups:
        if group.title == title:
            return group
    return parser.add_argument_group(title)


def _shown(value: Any) -> str:
    return " ".join(str(v) for v in value) if isinstance(value, (list, tuple)) else str(value)


def add_request_options(parser: argparse.ArgumentParser, cls: Type[Request], flags: Flags, *,
                        groups: Sequence[str] = (),
                        defaults: Optional[Mapping[str, Any]] = None) -> None:
    """The options `flags` spells for the settings of `cls` (positionals first), in the
    argument groups `groups` in that order, and --from-record when cls has a kind.
    `defaults` are this command's own defaults of some settings (the demo's orbitals)."""
    defaults = dict(defaults or {})
    for title in groups:
        argument_group(parser, title)
    ordered = [e for e in flags.items() if e[1].positional] + \
        [e for e in flags.items() if not e[1].positional]
    for name, option in ordered:
        target = argument_group(parser, option.group) if option.group else parser
        shown = defaults.get(name, cls.default_of(name))
        # Nothing is put in the namespace for an option not given: request_of tells
        # given options from absent ones, and fills in the defaults itself.
        arguments = dict(option.arguments, default=argparse.SUPPRESS,
                         help=option.help.replace("{default}", _shown(shown)) or None)
        if option.positional:
            target.add_argument(name, **{"nargs": "?", **arguments})
        else:
            target.add_argument(*option.flags, dest=name, **arguments)
    if cls.kind:
        parser.add_argument("--from-record", metavar="FILE", help=FROM_RECORD_HELP)
    parser.set_defaults(request_class=cls, request_flags=flags, request_defaults=defaults)


def add_request_command(commands: Commands, name: str, cls: Type[Request],
                        run: Callable[[argparse.Namespace], Any], flags: Flags, *, help: str,
                        description: str, groups: Sequence[str] = (),
                        defaults: Optional[Mapping[str, Any]] = None
                        ) -> argparse.ArgumentParser:
    """A command whose work is a request of `cls`, run by `run(args)`."""
    parser: argparse.ArgumentParser = commands.add_parser(name, help=help,
                                                          description=description)
    add_request_options(parser, cls, flags, groups=groups, defaults=defaults)
    parser.set_defaults(run=run)
    return parser


def given_values(args: argparse.Namespace) -> Dict[str, Any]:
    """The settings the command line gives, converted, with the command's defaults."""
    flags: Flags = args.request_flags
    given = {name: getattr(args, name) for name in flags if hasattr(args, name)}
    values: Dict[str, Any] = {}
    for name, option in flags.items():
        if name in given:
            values[name] = option.convert(given[name]) if option.convert else given[name]
        elif name in args.request_defaults:
            values[name] = args.request_defaults[name]
        elif option.cli_default is not NOT_SET:
            values[name] = option.cli_default
    for name, option in flags.items():
        if option.overridden_by in given:
            values.pop(name, None)
    return values


def request_of(args: argparse.Namespace) -> Request:
    """The request the command line gives: from its options, or from the record
    --from-record names (refusing options it would ignore)."""
    cls: Type[Request] = args.request_class
    flags: Flags = args.request_flags
    values = given_values(args)
    record = getattr(args, "from_record", None)
    recorded = set(cls.recorded_names())
    if record:
        ignored = [option_name(name) for name in flags if hasattr(args, name)
                   and name in recorded]
        if ignored:
            raise CommandLineError(f"--from-record takes every setting from the record; "
                                   f"drop {', '.join(ignored)}")
        request = cls.from_record(record, **{name: value for name, value in values.items()
                                             if name not in recorded})
    else:
        request = cls(**values)
    return request.with_command(command_line(args))


def refuse_orbital_with_density(args: argparse.Namespace, density: bool) -> None:
    """-O has no meaning beside --density (every occupied orbital is summed): it is
    refused rather than ignored."""
    if density and getattr(args, "orbital", None) is not None:
        raise CommandLineError("-O is ignored with --density, which sums every occupied "
                               "orbital: give one of them")


def add_max_dropped_norm(parser: argparse.ArgumentParser) -> None:
    """--max-dropped-norm alone, as the molecule requests spell it."""
    option = MOLECULE["max_dropped_norm"]
    parser.add_argument(*option.flags, default=MoleculeRequest.default_of("max_dropped_norm"),
                        help=option.help.replace("{default}", str(
                            MoleculeRequest.default_of("max_dropped_norm"))),
                        **option.arguments)


def check_threads(threads: Optional[int]) -> None:
    """--threads, when given, is at least 1."""
    if threads is not None and threads < 1:
        raise InputError("threads", "must be at least 1")


def add_quiet(parser: argparse.ArgumentParser, help: str = "no progress display") -> None:
    parser.add_argument("--quiet", action="store_true", help=help)


# ---- options several commands share -------------------------------------------------------

FROM_RECORD_HELP = ("make the output again from its record (the .json beside it, or a NetCDF "
                    "output's attributes): the record's settings replace the options; -o and "
                    "the options of how the work runs (threads, memory, progress) still apply")
ORIENTATION_HELP = ("molecule orientation ALPHA BETA GAMMA in degrees (default: 0 0 0); "
                    + CONVENTION)
MOLECULE_HELP = ("wavefunction file (Molden, Gaussian fchk, wfx, wfn, Molekel mkl, ...), an "
                 f"example ({', '.join(EXAMPLES)}), a catalogue molecule (libkernels "
                 "molecules lists them) or a structure file (.xyz, .mol, .sdf, .pdb, ...) "
                 f"whose orbitals are computed (default: {DEFAULT_MOLECULE})")
LIGHT = "light polarisation"


def pair(values: List[float]) -> Tuple[float, float]:
    return values[0], values[1]


def one_or_list(values: List[Any]) -> Any:
    """An option given once as its one value; given several times as the list."""
    return values[0] if len(values) == 1 else list(values)


def symmetry_option(value: str) -> Optional[int]:
    """--symmetry none|2|3|4 as the library's keyword."""
    return None if value == "none" else int(value)


def polarisation_option(value: str) -> Optional[str]:
    return None if value == "none" else value


def memory_option(value: str) -> MemorySize:
    return parse_size(value, "max_memory")


STRUCTURE = "orbitals computed from a structure (catalogue names, structure files, SMILES)"
MOLECULE: Flags = options(
    molecule=flag("molecule", nargs="?", help=MOLECULE_HELP),
    smiles=flag("--smiles", group=STRUCTURE, metavar="SMILES",
                help="compute the orbitals of the molecule this SMILES describes (RDKit, "
                     "GFN2-xTB, PySCF), instead of naming a molecule"),
    method=flag("--method", group=STRUCTURE,
                help="for computed orbitals: hf or any functional PySCF knows, or eom-ip-ccsd "
                     "for Dyson orbitals IP1, IP2, ... weighed by their pole strengths "
                     "(default: b3lyp)"),
    basis=flag("--basis", group=STRUCTURE,
               help="for computed orbitals: any basis PySCF has (default: def2-svp)"),
    charge=flag("--charge", group=STRUCTURE, type=int,
                help="for computed orbitals: the molecule's charge (default: the catalogue "
                     "entry's or the SMILES', else 0)"),
    unpaired=flag("--unpaired", group=STRUCTURE, type=int, metavar="N",
                  help="for computed orbitals: unpaired electrons, 2S (default: the catalogue "
                       "entry's, else 0)"),
    optimise=flag("--optimise", group=STRUCTURE, action=argparse.BooleanOptionalAction,
                  help="optimise the geometry with GFN2-xTB (default: for SMILES and catalogue "
                       "entries, not for structure files)"),
    recompute=flag("--recompute", group=STRUCTURE, action="store_true",
                   help="compute the orbitals afresh instead of reading them from the cache"),
    input_format=flag("--input-format", choices=tuple(FORMATS), metavar="FORMAT",
                      help="read the molecule file as this format instead of guessing it from "
                           f"the file name: {', '.join(FORMATS)}"),
    spin=flag("--spin", choices=("alpha", "beta"), help="spin of named orbitals (default: alpha)"),
    max_dropped_norm=flag(
        "--max-dropped-norm", type=float, metavar="FRACTION",
        help="refuse orbitals that lose more than this fraction of their norm to parts the "
             "library cannot hold (r^2 parts of Cartesian shells, h functions) "
             "(default: {default})"))

LIGHT_FLAGS: Flags = options(
    polarisation=flag("--polarisation", group=LIGHT, choices=("none",) + tuple(POLARISATIONS),
                      convert=polarisation_option,
                      help="weight the maps by the polarisation factor; dichroism maps are "
                           "signed and drawn with a diverging colour map (default: none)"),
    incidence=flag("--incidence", group=LIGHT, type=float, metavar="DEG",
                   help="angle of incidence from the surface normal, 0-90 (default: 65)"),
    azimuth=flag("--azimuth", group=LIGHT, type=float, metavar="DEG",
                 help="azimuth of the plane of incidence from kx (default: 0)"),
    s_share=flag("--s-share", group=LIGHT, type=float, metavar="PERCENT",
                 help="s-polarised share for --polarisation linear, 0-100 (default: 0)"))

KZ_DAMPING: Flags = options(
    kz_imaginary=flag("--kz-damping", group=LIGHT, type=float, metavar="INV_ANGSTROM",
                      help="damping of the photoelectron: an imaginary part of its kz, in "
                           "1/Å (in the light's factor); circular dichroism is zero without "
                           "it (default: 0)"))


def orbital_or_density(density_help: str) -> Flags:
    """-O and --density: one orbital, or every occupied one (cube, momentum-density)."""
    return options(
        MOLECULE,
        orbital=flag("-O", "--orbital", help="orbital name or 0-based index (default: HOMO)"),
        density=flag("--density", action="store_true", help=density_help))


def run_flags(threads: str = "threads for several maps (default: all CPUs)",
              quiet: str = "no progress display", memory: bool = True) -> Flags:
    """--threads, --max-memory and --quiet: how the work runs, never recorded."""
    table = {"threads": flag("--threads", type=int, help=threads)} if threads else {}
    if memory:
        table["max_memory"] = flag(
            "--max-memory", metavar="SIZE", convert=memory_option,
            help="refuse requests estimated above SIZE, e.g. 4G or 500M; 0 for no limit "
                 "(default: half the available memory)")
    table["progress"] = flag("--quiet", action="store_false", cli_default=True, help=quiet)
    return options(table)
