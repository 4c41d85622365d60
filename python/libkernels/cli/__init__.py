"""The `libkernels` command: momentum maps, cube files and momentum densities.

    libkernels demo                      pentacene HOMO and HOMO-1 maps as PNG
    libkernels map [MOLECULE] ...        momentum maps of chosen orbitals
    libkernels cube [MOLECULE] ...       an orbital or the charge density as a cube file
    libkernels momentum-density [MOLECULE] ...
    libkernels orbitals [MOLECULE]       list the orbitals with names and energies
    libkernels molecules                 the catalogue of molecules computed on demand
    libkernels convert INPUT -o DIR      measured data in angles to a momentum lattice
    libkernels fit MEASURED [MOLECULE]   fit orbital weights and orientation to a measured map
    libkernels deconvolve STACK [MOLECULE]  orbital-projected spectra of an energy stack
    libkernels reconstruct MEASURED... -o DIR  an orbital's image in real space from maps
    libkernels explore [MOLECULE ...]    a local web page to explore maps live
    libkernels scan JOB -o STORE.zarr    many maps into a Zarr store

MOLECULE is a wavefunction file, the name of a shipped example (pentacene,
benzene), a catalogue molecule or a structure file whose orbitals are computed
(or --smiles); the default is pentacene.  One module per command; options.py holds
the options of the requests and those several share, records.py the file
names and write errors of what they write.

The command line sits on top of the package and nothing below imports it.  It
parses, calls the library and reports the library's own errors
(LibkernelsError) in one line with exit status 2; any other exception is a
fault and keeps its traceback.  Ctrl-C exits with status 130.
"""

from __future__ import annotations

import argparse
import difflib
import sys
import warnings
from typing import List, Optional, Sequence, TextIO, Type, Union

from .. import __version__
from ..core.errors import InputError, LibkernelsError
from . import (convert, cube, explore, fit, maps, molecules, momentum_density, orbitals,
               reconstruct, scan)
from .options import option_name

# in the order `libkernels --help` lists them
COMMANDS = (maps, cube, momentum_density, orbitals, molecules, convert, fit, reconstruct, explore,
            scan)


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="libkernels",
        description="Photoemission momentum maps, orbitals and densities of molecular "
                    "orbitals read from wavefunction files: Molden, and with IOData "
                    "(pip install 'libkernels[formats]') Gaussian fchk, wfx, wfn, Molekel mkl, "
                    "Multiwfn mwfn and CP2K atom output.",
        epilog="Run `libkernels COMMAND --help` for the options of a command.")
    parser.add_argument("--version", action="version",
                        version=f"libkernels {__version__}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)
    for command in COMMANDS:
        command.add_parser(commands)
    for sub_parser in commands.choices.values():
        sub_parser.set_defaults(parser=sub_parser)  # for messages about unknown options
    return parser


def _reject_unknown(args: argparse.Namespace, unknown: List[str]) -> None:
    """Shows the subcommand's usage and the nearest valid option of a misspelt one."""
    sub_parser = args.parser
    known = [o for action in sub_parser._actions for o in action.option_strings]
    word = unknown[0]
    if word.startswith("-"):
        nearest = difflib.get_close_matches(word.split("=")[0], known, n=1, cutoff=0.5)
        hint = f"; did you mean {nearest[0]}?" if nearest else ""
        sub_parser.error(f"unknown option {word}{hint}")
    sub_parser.error(f"unexpected argument {word!r}")


def message(error: BaseException) -> str:
    """The one line the command line prints for an error of the package."""
    if isinstance(error, InputError):
        return error.render(option_name)
    text = str(error)
    return text.splitlines()[0] if text else type(error).__name__


def main(argv: Optional[Sequence[str]] = None) -> int:
    argv = list(sys.argv[1:] if argv is None else argv)
    parser = build_parser()
    args, unknown = parser.parse_known_args(argv)
    if unknown:
        _reject_unknown(args, unknown)
    args.argv = argv

    def show_warning(message: Union[Warning, str], category: Type[Warning], filename: str,
                     lineno: int, file: Optional[TextIO] = None,
                     line: Optional[str] = None) -> None:
        print(f"libkernels {args.command}: warning: {message}", file=sys.stderr)

    try:
        with warnings.catch_warnings():
            warnings.showwarning = show_warning
            args.run(args)
    except (LibkernelsError, MemoryError) as error:
        # Running out of memory is the machine's state, not a fault: one line too.
        if isinstance(error.__cause__, KeyboardInterrupt):  # a scan's "interrupted; ..."
            print(f"libkernels {args.command}: {message(error)}", file=sys.stderr)
            return 130
        print(f"libkernels {args.command}: error: {message(error)}", file=sys.stderr)
        return 2
    except KeyboardInterrupt:
        print("libkernels: interrupted", file=sys.stderr)
        return 130
    return 0
