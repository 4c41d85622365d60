"""`libkernels explore`: a local web page to turn molecules and watch their maps change.

The page (static/) talks to a small Starlette server (server.py) that holds the
molecules named on the command line, read once, and computes maps on a thread
pool.  It listens on 127.0.0.1 unless told otherwise.
"""

import os
import socket
import sys
import threading

DESCRIPTION = ("Starts a local web page to explore momentum maps live: pick orbitals, turn the "
               "molecule, change energies and light, compare with a measured map. The server "
               "listens on 127.0.0.1 (this computer only) and prints the address; Ctrl-C stops it.")


def add_parser(commands):
    """Adds the `explore` command to the CLI's sub-parsers."""
    from ..data import DEFAULT_MOLECULE, EXAMPLES
    from ..molden_checks import DEFAULT_MAX_DROPPED

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
    parser.add_argument("--max-dropped-norm", type=float, default=DEFAULT_MAX_DROPPED,
                        metavar="FRACTION", help="as for `libkernels map`")
    parser.set_defaults(run=run)
    return parser


LOCAL_HOSTS = ("127.0.0.1", "localhost", "::1")


def run(args):
    from ..cli import CommandError, _load
    from ..data import DEFAULT_MOLECULE
    from .molecules import load_entries

    try:
        import starlette  # noqa: F401
        import uvicorn  # noqa: F401
    except ImportError:
        raise CommandError("the explorer needs starlette and uvicorn: "
                           "pip install 'libkernels[explore]'") from None
    if not 0 <= args.port <= 65535:
        raise CommandError(f"--port must be between 0 and 65535, got {args.port}")
    if args.threads is not None and args.threads < 1:
        raise CommandError("--threads must be at least 1")
    if not args.max_upload > 0:
        raise CommandError("--max-upload must be positive")
    from ..memory import parse_size
    max_memory = parse_size(args.max_memory, "--max-memory") if args.max_memory else None
    entries = load_entries(args.molecules or [DEFAULT_MOLECULE],
                           lambda name: _load(name, args.max_dropped_norm))
    for entry in entries.values():
        entry.max_memory = max_memory
    if args.host not in LOCAL_HOSTS:
        print(f"libkernels explore: warning: listening on {args.host}: anyone who can reach this "
              "computer on that network can use the explorer", file=sys.stderr)
    try:
        listener = _listen(args.host, args.port)
    except OSError as error:
        raise CommandError(f"cannot listen on {args.host}:{args.port}: {error.strerror or error}")
    serve(entries, listener, threads=args.threads or os.cpu_count() or 1,
          max_upload=int(args.max_upload * 1024 * 1024), open_browser=args.open,
          any_host=args.host not in LOCAL_HOSTS)


def _listen(host, port):
    family = socket.AF_INET6 if ":" in host else socket.AF_INET
    listener = socket.socket(family, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind((host, port))
    listener.listen(64)
    return listener


def serve(entries, listener, threads=1, max_upload=32 * 1024 * 1024, open_browser=False,
          any_host=False, announce=print):
    """Serves until interrupted (Ctrl-C), then stops the workers and returns."""
    import uvicorn

    from .server import LOCAL_NAMES, create_app

    app = create_app(entries, threads=threads, max_upload=max_upload,
                     hosts=("*",) if any_host else LOCAL_NAMES)
    host, port = listener.getsockname()[:2]
    url = f"http://{'[' + host + ']' if ':' in host else host}:{port}/"
    config = uvicorn.Config(app, log_level="warning", access_log=False, lifespan="off",
                            timeout_graceful_shutdown=2)
    server = uvicorn.Server(config)
    announce(f"libkernels explore: {', '.join(entries)} at {url}  (Ctrl-C stops)", flush=True)
    if open_browser:
        def open_when_up():
            import time
            import webbrowser
            while not server.started and not server.should_exit:
                time.sleep(0.05)
            if server.started:
                webbrowser.open(url)
        threading.Thread(target=open_when_up, daemon=True).start()
    try:
        server.run(sockets=[listener])
    except KeyboardInterrupt:
        pass
    finally:
        app.state.explorer.pool.shutdown(wait=False, cancel_futures=True)
        listener.close()
    announce("libkernels explore: stopped", flush=True)
