"""The options of the commands: those of a request, built from its settings, and a few
of the command line's own.

A command whose work is a request (map, demo, cube, momentum-density, fit,
deconvolve, reconstruct) takes its options from the request's settings: each
setting declares its option once (requests/base.py), `add_request_options`
adds them all, and `request_of` makes the request from what was given.  `--from-record
FILE` replaces every option that shapes the output by the settings the record
holds; where the output goes (-o) and how the work runs (--threads,
--max-memory, --quiet) are still taken from the command line.

The library's errors name the Python keyword of a bad argument
(``photon_energy``); `option_name` spells it as the command line's option
(``--photon-energy``) so that both front ends report the same problem.
"""

from __future__ import annotations

import argparse
import functools
from typing import TYPE_CHECKING, Any, Callable, Dict, List, Mapping, Optional, Tuple, Type

from ..core.errors import CommandLineError, InputError
from ..requests.base import KINDS, NOT_SET, OPTION, RECORDED, MoleculeRequest, Option, Request
from ..requests.maps import ORIENTATION_HELP
from .records import command_line

if TYPE_CHECKING:
    # what add_subparsers returns: each command adds its parser to it
    Commands = argparse._SubParsersAction[argparse.ArgumentParser]

__all__ = ["option_name", "add_request_options", "add_request_command", "request_of",
           "argument_group", "add_max_dropped_norm", "check_threads", "add_quiet",
           "ORIENTATION_HELP"]

FROM_RECORD_HELP = ("make the output again from its record (the .json beside it, or a NetCDF "
                    "output's attributes): the record's settings replace the options; -o and "
                    "the options of how the work runs (threads, memory, progress) still apply")

# Python keywords the library's errors use that are no request's setting, or that
# the command line spells otherwise.
KEYWORD_OPTIONS = {
    "max_dropped_fraction": "--max-dropped-norm",
    "alpha": "--orientation",
    "beta": "--orientation",
    "gamma": "--orientation",
}


@functools.lru_cache(maxsize=None)
def _spellings() -> Dict[str, str]:
    """setting -> its option, over every request (positionals by their metavar)."""
    spelt: Dict[str, str] = {}
    classes: List[Type[Request]] = [MoleculeRequest, *KINDS.values()]
    for cls in classes:
        for name, option in _options(cls):
            spelt.setdefault(name, name.upper() if option.positional else option.flags[-1])
    return spelt


def option_name(name: str) -> str:
    """The command-line spelling of the Python keyword `name`."""
    return KEYWORD_OPTIONS.get(name) or _spellings().get(name) or "--" + name.replace("_", "-")


def _options(cls: Type[Request]) -> List[Tuple[str, Option]]:
    """(setting, option) of every setting of `cls` that has a command-line option."""
    found = []
    for f in cls.setting_fields():
        option = f.metadata.get(OPTION)
        if option is not None:
            found.append((f.name, option))
    return found


def _recorded(cls: Type[Request], name: str) -> bool:
    return next(f for f in cls.setting_fields() if f.name == name).metadata.get(RECORDED, True)


def _default(cls: Type[Request], name: str) -> Any:
    f = next(f for f in cls.setting_fields() if f.name == name)
    return f.default_factory() if callable(f.default_factory) else f.default


def argument_group(parser: argparse.ArgumentParser, title: str) -> argparse._ArgumentGroup:
    """The parser's argument group of that title (made on first use)."""
    for group in parser._action_groups:
        if group.title == title:
            return group
    return parser.add_argument_group(title)


def _shown(value: Any) -> str:
    return " ".join(str(v) for v in value) if isinstance(value, (list, tuple)) else str(value)


def add_request_options(parser: argparse.ArgumentParser, cls: Type[Request], *,
                        defaults: Optional[Mapping[str, Any]] = None) -> None:
    """The options of the settings of `cls` (positionals first, in cls.positionals'
    order), and --from-record when cls has a kind.  `defaults` are this command's own
    defaults of some settings (the demo's orbitals)."""
    defaults = dict(defaults or {})
    for title in cls.option_groups:
        argument_group(parser, title)
    options = _options(cls)
    positionals = sorted((entry for entry in options if entry[1].positional),
                         key=lambda entry: cls.positionals.index(entry[0]))
    for name, option in positionals + [e for e in options if not e[1].positional]:
        target = argument_group(parser, option.group) if option.group else parser
        shown = defaults.get(name, _default(cls, name))
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
    parser.set_defaults(request_class=cls, request_defaults=defaults)


def add_request_command(commands: Commands, name: str, cls: Type[Request],
                        run: Callable[[argparse.Namespace], Any], *, help: str,
                        description: str, defaults: Optional[Mapping[str, Any]] = None
                        ) -> argparse.ArgumentParser:
    """A command whose work is a request of `cls`, run by `run(args)`."""
    parser: argparse.ArgumentParser = commands.add_parser(name, help=help,
                                                          description=description)
    add_request_options(parser, cls, defaults=defaults)
    parser.set_defaults(run=run)
    return parser


def request_of(args: argparse.Namespace) -> Request:
    """The request the command line gives: from its options (add_request_options), or
    from the record --from-record names (refusing options it would ignore)."""
    cls: Type[Request] = args.request_class
    given = {name: getattr(args, name) for name, _ in _options(cls) if hasattr(args, name)}
    values: Dict[str, Any] = {}
    for name, option in _options(cls):
        if name in given:
            values[name] = option.convert(given[name]) if option.convert else given[name]
        elif name in args.request_defaults:
            values[name] = args.request_defaults[name]
        elif option.cli_default is not NOT_SET:
            values[name] = option.cli_default
    for name, option in _options(cls):
        if option.overridden_by in given:
            values.pop(name, None)
    record = getattr(args, "from_record", None)
    if record:
        ignored = [option_name(name) for name in given if _recorded(cls, name)]
        if ignored:
            raise CommandLineError(f"--from-record takes every setting from the record; "
                                   f"drop {', '.join(ignored)}")
        request = cls.from_record(record, **{name: value for name, value in values.items()
                                             if not _recorded(cls, name)})
    else:
        request = cls(**values)
    request.command = command_line(args)
    return request


def refuse_orbital_with_density(args: argparse.Namespace, density: bool) -> None:
    """-O has no meaning beside --density (every occupied orbital is summed): it is
    refused rather than ignored."""
    if density and getattr(args, "orbital", None) is not None:
        raise CommandLineError("-O is ignored with --density, which sums every occupied "
                               "orbital: give one of them")


def add_max_dropped_norm(parser: argparse.ArgumentParser) -> None:
    """--max-dropped-norm alone, as the molecule requests declare it."""
    option = dict(_options(MoleculeRequest))["max_dropped_norm"]
    parser.add_argument(*option.flags, default=_default(MoleculeRequest, "max_dropped_norm"),
                        help=option.help, **option.arguments)


def check_threads(threads: Optional[int]) -> None:
    """--threads, when given, is at least 1."""
    if threads is not None and threads < 1:
        raise InputError("threads", "must be at least 1")


def add_quiet(parser: argparse.ArgumentParser, help: str = "no progress display") -> None:
    parser.add_argument("--quiet", action="store_true", help=help)
