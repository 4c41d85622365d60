"""`libkernels scan JOB -o STORE.zarr`: a scan on this machine or on a Dask cluster."""

from __future__ import annotations

import argparse
import logging
import signal
import sys
from typing import TYPE_CHECKING, Any, Tuple

from ..core.errors import CommandLineError, InputError, ScanError
from ..core.extras import require
from ..scans.job import ScanRequest
from ..scans.store_scan import prepare, run_scan
from .options import add_quiet, check_threads
from .records import command_line

if TYPE_CHECKING:
    from .options import Commands

DESCRIPTION = """\
Computes every momentum map a scan description (TOML) asks for - molecules x
orbitals x energies x orientations - into a Zarr store that xarray.open_zarr
opens as one labelled array.  Running the same command again on the same store
continues an interrupted scan; a store started with another description is
refused.  By default the maps are computed by a thread pool on this machine;
--workers starts a local Dask cluster of processes, --scheduler uses a running
one (its workers need libkernels installed and the store's path reachable).
--from-record STORE.zarr (or a scan's .json record) computes the scan a store
holds again, into the new store -o names, once its molecule files are checked
to be the ones it read."""

EXAMPLE = """\
example description:
  molecules = ["pentacene", "my.molden"]
  orbitals = ["HOMO", "HOMO-1"]
  kinetic_energy = [20.0, 25.0, 30.0]          # eV; or photon_energy = [...] with work_function
  alpha = { start = 0, stop = 180, step = 5 }  # degrees, stop excluded; beta, gamma alike
  n = 101
  k_max = 3.0                                  # 1/angstrom
  symmetry = "none"                            # or 2, 3, 4
  polarisation = "none"                        # or p, s, linear, circular+, circular-,
                                               # dichroism, radial (incidence, azimuth, s_share)
  kz_damping = 0.0                             # 1/angstrom: damping of the photoelectron
"""


def add_parser(commands: Commands) -> None:
    parser = commands.add_parser(
        "scan", help="many maps (molecules, orbitals, energies, orientations) into a Zarr store",
        description=DESCRIPTION, epilog=EXAMPLE,
        formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("job", metavar="JOB", nargs="?", help="scan description (TOML)")
    parser.add_argument("--from-record", metavar="STORE_OR_FILE",
                        help="the description a scan store's attributes (or a .json record) "
                             "hold, instead of JOB")
    parser.add_argument("-o", "--output", required=True, metavar="STORE.zarr",
                        help="the Zarr store to create, or to continue")
    where = parser.add_mutually_exclusive_group()
    where.add_argument("--threads", type=int, default=None, metavar="N",
                       help="threads on this machine (default: all CPUs)")
    where.add_argument("--workers", type=int, default=None, metavar="N",
                       help="start a local Dask cluster of N worker processes")
    where.add_argument("--scheduler", metavar="ADDRESS",
                       help="use a running Dask cluster, e.g. tcp://host:8786")
    parser.add_argument("--kz-damping", type=float, default=None, metavar="INV_ANGSTROM",
                        help="damping of the photoelectron (an imaginary kz, 1/Å) for every "
                             "map; replaces the description's kz_damping (circular dichroism "
                             "is zero without it)")
    add_quiet(parser)
    parser.set_defaults(run=run)


def _dask_client(args: argparse.Namespace) -> Tuple[Any, Any]:
    distributed = require("dask.distributed", "scale", "running on Dask (--workers, --scheduler)",
                          "dask.distributed")
    if args.scheduler:
        try:
            return distributed.Client(args.scheduler, timeout="20s"), None
        except (OSError, TimeoutError) as error:
            raise ScanError(f"--scheduler {args.scheduler}: cannot connect ({error})") from None
    if args.workers < 1:
        raise InputError("workers", "must be at least 1")
    # warnings of the cluster's own (a cancelled task, a worker restarted) would bury
    # the one-line report; errors still show
    # Ctrl-C reaches every process of the terminal's command.  The workers start with it
    # ignored (which they inherit), so that this process alone stops the scan, closes
    # the cluster and says so once, without a traceback from each worker.  (A Ctrl-C
    # during the few seconds they take to start goes unseen.)
    previous = signal.signal(signal.SIGINT, signal.SIG_IGN)
    try:
        cluster = distributed.LocalCluster(n_workers=args.workers, threads_per_worker=1,
                                           processes=True, dashboard_address=None,
                                           silence_logs=logging.ERROR)
    finally:
        signal.signal(signal.SIGINT, previous)
    return distributed.Client(cluster), cluster


def request_of(args: argparse.Namespace) -> ScanRequest:
    """The scan JOB describes, or the one --from-record holds."""
    if (args.job is None) == (args.from_record is None):
        raise CommandLineError("give a scan description JOB or --from-record, not "
                               + ("both" if args.job else "neither"))
    overrides = {} if args.kz_damping is None else {"kz_damping": args.kz_damping}
    if args.from_record and overrides:
        raise CommandLineError("--from-record takes every setting from the record; drop "
                               "--kz-damping")
    request = ScanRequest.read(args.job, overrides) if args.job else \
        ScanRequest.from_record(args.from_record)
    return request.with_command(command_line(args))


def run(args: argparse.Namespace) -> None:
    check_threads(args.threads)
    request = request_of(args)
    client = cluster = None
    try:
        executor = None
        if args.workers is not None or args.scheduler:
            prepare(request, args.output)  # a bad description fails before a cluster starts
            client, cluster = _dask_client(args)
            executor = client.get_executor()
            if not args.quiet:
                workers = client.scheduler_info().get("workers", {})
                print(f"Dask: {len(workers)} workers at {client.scheduler.address}",
                      file=sys.stderr)
        outcome = run_scan(request, args.output, executor=executor, threads=args.threads,
                           progress=not args.quiet)
    finally:
        if client is not None:
            client.close()
        if cluster is not None:
            cluster.close()
    if outcome.tasks_run == 0:
        print(f"{outcome.store}: complete already ({outcome.maps} maps)")
    else:
        print(f"wrote {outcome.store}: {outcome.maps} maps in {outcome.tasks} chunks of up to "
              f"{outcome.chunk_maps}; this run {outcome.maps_computed} maps in "
              f"{outcome.seconds:.1f} s ({outcome.maps_per_second:.1f} maps/s)")
