"""`libkernels explore`: starts the explorer's local web page (explore/server.py)."""

from __future__ import annotations

import argparse
import os
import sys
from typing import TYPE_CHECKING

from ..core.errors import CommandLineError, InputError
from ..core.extras import require
from ..core.memory import parse_size
from ..explore.molecules import load_entries
from ..formats.api import load_molecule
from ..formats.examples import DEFAULT_MOLECULE, EXAMPLES
from .options import add_max_dropped_norm, check_threads

if TYPE_CHECKING:
    from .options import Commands

DESCRIPTION = ("Starts a local web page to explore momentum maps live: pick orbitals, turn the "
               "molecule, change energies and light, compare with a measured map. The server "
               "listens on 127.0.0.1 (this computer only) and prints the address; Ctrl-C stops it.")

LOCAL_HOSTS = ("127.0.0.1", "localhost", "::1")


def add_parser(commands: Commands) -> None:
    """Adds the `explore` command to the CLI's sub-parsers."""
    parser = commands.add_parser("explore", help="a local web page to explore momentum maps live",
                                 description=DESCRIPTION)
    parser.add_argument("molecules", nargs="*", metavar="MOLECULE",
                        help="wavefunction files (Molden, ...) or examples "
                             f"({', '.join(EXAMPLES)}); "
                             f"default: {DEFAULT_MOLECULE}")
    parser.add_argument("--host", default="127.0.0.1",
                        help="address to listen on (default: 127.0.0.1, this computer only)")
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
    if args.host not in LOCAL_HOSTS:
        print(f"libkernels explore: warning: listening on {args.host}: anyone who can reach this "
              "computer on that network can use the explorer", file=sys.stderr)
    try:
        listener = server.listen(args.host, args.port)
    except OSError as error:
        raise CommandLineError(f"cannot listen on {args.host}:{args.port}: "
                               f"{error.strerror or error}") from None
    server.serve(entries, listener, threads=args.threads or os.cpu_count() or 1,
                 max_upload=int(args.max_upload * 1024 * 1024), open_browser=args.open,
                 any_host=args.host not in LOCAL_HOSTS)
