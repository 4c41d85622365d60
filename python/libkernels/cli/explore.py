"""`libkernels explore`: starts the explorer's local web page (explore/server.py)."""

from __future__ import annotations

import argparse
import os
import sys
from typing import TYPE_CHECKING

from ..core.errors import CommandLineError, InputError
from ..core.extras import require
from ..core.memory import parse_size
from ..core.validation import in_range
from ..explore.access import is_loopback
from ..explore.molecules import load_entries
from ..explore.settings import MAX_KZ_DAMPING
from ..formats.api import load_molecule
from ..formats.examples import DEFAULT_MOLECULE, EXAMPLES
from .maps import command_of
from .options import add_max_dropped_norm, check_threads

if TYPE_CHECKING:
    from .options import Commands

DESCRIPTION = ("Starts a local web page to explore momentum maps live: pick orbitals, turn the "
               "molecule, change energies and light, compare with a measured map. The server "
               "listens on 127.0.0.1 (this computer only) and prints the address; Ctrl-C stops it. "
               "Listening on another address (--host) needs a token, which the printed address "
               "carries.")


def add_parser(commands: Commands) -> None:
    """Adds the `explore` command to the CLI's sub-parsers."""
    parser = commands.add_parser("explore", help="a local web page to explore momentum maps live",
                                 description=DESCRIPTION)
    parser.add_argument("molecules", nargs="*", metavar="MOLECULE",
                        help="wavefunction files (Molden, ...) or examples "
                             f"({', '.join(EXAMPLES)}); "
                             f"default: {DEFAULT_MOLECULE}")
    parser.add_argument("--host", default="127.0.0.1",
                        help="address to listen on (default: 127.0.0.1, this computer only); "
                             "any other than a loopback address needs the token the printed "
                             "address carries")
    parser.add_argument("--allow-host", action="append", default=[], metavar="NAME",
                        help="a host name (or address) the page may be opened under besides "
                             "localhost, the loopback addresses and --host; repeat for several. "
                             "Requests naming any other host are refused (DNS rebinding)")
    parser.add_argument("--port", type=int, default=0,
                        help="port to listen on (default: a free one)")
    parser.add_argument("--open", action="store_true", help="open the page in a web browser")
    parser.add_argument("--threads", type=int, default=None,
                        help="worker threads computing maps (default: all CPUs)")
    parser.add_argument("--max-upload", type=float, default=32.0, metavar="MB",
                        help="largest measured-map upload accepted, in MB (default: 32)")
    parser.add_argument("--max-memory", default=None, metavar="SIZE",
                        help="refuse maps needing more memory than this (e.g. 512M, 2G; "
                             "default: half the available memory)")
    parser.add_argument("--kz-damping", type=float, default=None, metavar="INV_ANGSTROM",
                        help="the page's damping of the photoelectron at start (an imaginary "
                             "kz, 1/Å; default: 0)")
    add_max_dropped_norm(parser)
    parser.set_defaults(run=run)


def run(args: argparse.Namespace) -> None:
    for extra in ("starlette", "uvicorn"):
        require(extra, "explore", "the explorer", "starlette and uvicorn")
    # the server needs starlette to be imported at all
    from ..explore import server

    if not 0 <= args.port <= 65535:
        raise InputError("port", f"must be between 0 and 65535, got {args.port}")
    check_threads(args.threads)
    if not args.max_upload > 0:
        raise InputError("max_upload", "must be positive")
    max_memory = parse_size(args.max_memory, "max_memory") if args.max_memory else None
    entries = load_entries(args.molecules or [DEFAULT_MOLECULE],
                           lambda name: load_molecule(
                               name, max_dropped_fraction=args.max_dropped_norm))
    for entry in entries.values():
        entry.max_memory = max_memory
    for name in args.allow_host:
        if not name.strip() or any(c in name for c in "/?#@ "):
            raise InputError("allow_host", f"must be a host name or address, got {name!r}")
    if args.kz_damping is not None:
        in_range(args.kz_damping, "kz_damping", 0, MAX_KZ_DAMPING, "1/Å")
    if not is_loopback(args.host):
        print(f"libkernels explore: warning: listening on {args.host}: anyone who can reach this "
              "computer on that network and has the address with its token can use the "
              "explorer", file=sys.stderr)
    try:
        listener = server.listen(args.host, args.port)
    except OSError as error:
        raise CommandLineError(f"cannot listen on {args.host}:{args.port}: "
                               f"{error.strerror or error}") from None
    server.serve(entries, listener, threads=args.threads or os.cpu_count() or 1,
                 max_upload=int(args.max_upload * 1024 * 1024), open_browser=args.open,
                 allow_hosts=args.allow_host, max_memory=max_memory,
                 page_defaults={} if args.kz_damping is None else
                 {"kz_damping": args.kz_damping}, command_line=command_of)
