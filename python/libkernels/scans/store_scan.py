"""Scans of many momentum maps into a Zarr store, on any concurrent.futures.Executor.

    import libkernels as lk
    maps = lk.scan("atlas.toml", "atlas.zarr")                # a thread pool here
    maps = lk.scan(job, "atlas.zarr", executor=client.get_executor())   # a Dask cluster

The scan's maps span six axes (molecule, orbital, energy, alpha, beta, gamma)
(the description: job.py).  They are cut into chunks of whole maps (plan.py);
one task computes one chunk and writes it into the store itself (tasks.py), so
results never travel back through the caller and the memory of every process
is bounded by a chunk.  The caller keeps a bitmap of finished chunks in the
store: running the same scan on the same store again computes only the chunks
it lacks, and because each chunk is computed by the same deterministic calls
whichever process runs it, the finished store is the same, bit for bit,
however often the scan was interrupted.

Tasks are submitted a window at a time (executor.py), never all at once, so
that a scan of 10^6 tasks costs the scheduler no more memory than one of 10^3.
Scans small enough for memory: orientation_scan.py.
"""

from __future__ import annotations

import concurrent.futures as cf
import json
import math
import os
import sys
import time
import uuid
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Dict, Optional, Tuple, Union

import numpy as np

from ..core.errors import JobError, ScanError, StoreError
from ..core.extras import require
from ..core.grids import MOMENTUM_INTENSITY_UNITS, MomentumMap, clean_numbers
from ..core.map_sum_call import momentum_grid
from ..core.orientation import CONVENTION
from ..core.progress import LOG_INTERVAL, on_terminal
from ..core.record import RECORD_ATTRIBUTE, package_version
from ..core.types import PathLike
from ..core.units import HARTREE_IN_EV
from . import job as scan_job
from . import zarr_store
from .executor import run_windowed
from .plan import ScanPlan, choose_chunk_maps, chunk_shape
from .tasks import map_call, run_task

if TYPE_CHECKING:
    import xarray

    from ..core.types import BoolArray, Float64Array

# A scan's description as the caller gives it: a ScanRequest, a TOML file, or a
# dict of its keys.
JobSource = Union[scan_job.ScanRequest, PathLike, Dict[str, Any]]

RECORD_INTERVAL = 1.0  # seconds between saves of the completion record


# ---- creating or continuing a store -----------------------------------------------

def _grid(job: scan_job.Job) -> Tuple[int, float, float]:
    """(n, k_min, k_step) of the scan's maps, in bohr^-1 as float32 values."""
    n, k_min, k_step = momentum_grid(job["k_max"], job["n"], "1/angstrom")
    return n, float(np.float32(k_min)), float(np.float32(k_step))


def _k_axis(job: scan_job.Job) -> Float64Array:
    n, k_min, k_step = _grid(job)
    return MomentumMap(np.empty((n, 0), np.float32), k_min, k_step, "1/angstrom").kx


def _check_and_time(job: scan_job.Job) -> Tuple[Float64Array, float]:
    """Builds every kernel call once (so that a bad orbital or energy fails before
    any work) and returns the seconds one map takes."""
    shape = scan_job.shape(job)
    kinetic = np.empty(shape[:3])
    seconds = []
    for m in range(shape[0]):
        for o in range(shape[1]):
            for e in range(shape[2]):
                try:
                    call = map_call(job, m, o, e)
                except (ValueError, ScanError) as error:
                    raise JobError(f"{job['molecules'][m]}, orbital {job['orbitals'][o]}: "
                                   f"{error}") from None
                kinetic[m, o, e] = float(call.e_kin[0]) * HARTREE_IN_EV
        if m == 0:  # the first molecule stands for all; an orientation off the axes
            out = np.empty((job["n"], job["n"]), np.float32)
            middle = tuple(job[a][len(job[a]) // 2] for a in ("alpha", "beta", "gamma"))
            for _ in range(5):
                start = time.perf_counter()
                call.run(middle, out=out)
                seconds.append(time.perf_counter() - start)
    return kinetic, float(np.median(seconds))


def _coordinates(plan: ScanPlan, kinetic: Float64Array) -> Dict[str, zarr_store.Coordinate]:
    job = plan.job
    kept = set(plan.dims)
    degree = {"units": "degree"}
    energy_name = job["energy"]["kind"].replace("_", " ")
    axes = {
        "molecule": (job["molecules"], {"long_name": "molecule"}),
        "orbital": (job["orbitals"], {"long_name": "orbital"}),
        "energy": (job["energy"]["values"], {"long_name": energy_name, "units": "eV"}),
        "alpha": (job["alpha"], {**degree, "long_name": "orientation angle alpha (about z)"}),
        "beta": (job["beta"], {**degree, "long_name": "orientation angle beta (about x)"}),
        "gamma": (job["gamma"], {**degree, "long_name": "orientation angle gamma (about z)"}),
    }
    coordinates: Dict[str, zarr_store.Coordinate] = {}
    for name, (values, attrs) in axes.items():
        values = np.asarray(values)
        if name in kept:
            coordinates[name] = ((name,), values, attrs)
        else:
            coordinates[name] = ((), values[0], attrs)  # a scalar coordinate
    k = np.asarray(clean_numbers(_k_axis(job)))
    coordinates["kx"] = (("kx",), k, {"units": "1/angstrom", "long_name": "k_x"})
    coordinates["ky"] = (("ky",), k, {"units": "1/angstrom", "long_name": "k_y"})
    if job["energy"]["kind"] == "photon_energy":
        dims = [d for d in ("molecule", "orbital", "energy") if d in kept]
        values = kinetic[tuple(slice(None) if d in kept else 0
                               for d in ("molecule", "orbital", "energy"))]
        values = np.reshape(clean_numbers(np.ravel(values)), np.shape(values))
        coordinates["kinetic_energy"] = (tuple(dims), values,
                                         {"units": "eV", "long_name": "kinetic energy"})
    return coordinates


def _create(store: str, request: scan_job.ScanRequest) -> ScanPlan:
    job = request.job
    kinetic, seconds_per_map = _check_and_time(job)
    chunk_maps = job["chunk_maps"] or choose_chunk_maps(seconds_per_map, job["n"])
    plan = ScanPlan(store, uuid.uuid4().hex, job, chunk_shape(scan_job.shape(job), chunk_maps))
    stored_chunks = tuple(plan.chunks[i] for i in plan.kept_axes) + (job["n"], job["n"])
    shape = tuple(plan.shape[i] for i in plan.kept_axes) + (job["n"], job["n"])
    version = package_version()
    _, k_min_bohr, k_step_bohr = _grid(job)
    description = json.dumps({k: job[k] for k in scan_job.IDENTITY_KEYS})
    zarr_store.create(
        store, {"dims": plan.dims, "shape": shape, "chunks": stored_chunks,
                "n_chunks": plan.n_chunks},
        _coordinates(plan, kinetic),
        {"libkernels_scan": {"format": zarr_store.FORMAT, "scan_id": plan.scan_id,
                             "job": job, "chunks": list(plan.chunks),
                             "seconds_per_map_estimate": seconds_per_map},
         RECORD_ATTRIBUTE: request.header(), "libkernels_version": version, "complete": False},
        {"long_name": "photoemission intensity", "units": MOMENTUM_INTENSITY_UNITS,
         "k_unit": "1/angstrom", "k_min_bohr": k_min_bohr, "k_step_bohr": k_step_bohr,
         "orientation_convention": CONVENTION,
         "layout": "data[..., i, j] is the intensity at (kx[i], ky[j])",
         "libkernels_version": version, "scan_job": description})
    return plan


def _existing_plan(store: str, job: scan_job.Job) -> ScanPlan:
    attributes = zarr_store.read_attributes(store)
    if attributes is None:
        raise StoreError(f"{store} exists and is not a libkernels scan store; choose a new "
                         "path")
    stored = attributes["libkernels_scan"]
    if stored.get("format") != zarr_store.FORMAT:
        raise StoreError(f"{store} was written by another version of the scan format; "
                         "choose a new path")
    changed = scan_job.differences(stored["job"], job)
    if changed:
        raise JobError(f"{store} holds a different scan (it differs in "
                       f"{', '.join(changed)}); give a new store path, or the description "
                       "the store was started with")
    return ScanPlan(store, stored["scan_id"], stored["job"], tuple(stored["chunks"]))


def prepare(job_or_dict: JobSource, store: PathLike) -> Tuple[ScanPlan, bool]:
    """The plan of a scan: a new store created, or an existing one checked to match.

    `job_or_dict`: a ScanRequest, a TOML file or a dict of the same keys."""
    request = scan_job.ScanRequest.read(job_or_dict)
    zarr_store.require_zarr()
    store = os.path.abspath(os.fspath(store))
    if os.path.exists(store) and not (os.path.isdir(store) and not os.listdir(store)):
        return _existing_plan(store, request.job), False
    try:
        return _create(store, request), True
    except StoreError:
        raise
    except OSError as error:
        raise StoreError(f"{store}: cannot create the store ({error.strerror or error})") \
            from None


# ---- running the tasks ------------------------------------------------------------

class ScanProgress:
    """One status line on stderr: tasks done / total, maps done / total, maps per second."""

    def __init__(self, plan: ScanPlan, already: BoolArray, enabled: bool = True) -> None:
        self.enabled = enabled
        self.terminal = on_terminal()
        self.total_tasks, self.total_maps = plan.n_chunks, plan.n_maps
        self.tasks = int(np.count_nonzero(already))
        self.maps = sum(plan.maps_in(int(i)) for i in np.flatnonzero(already)) if self.tasks else 0
        self.new_maps = 0
        self.start = time.monotonic()
        self._last = 0.0
        self.draw(force=True)

    @property
    def rate(self) -> float:
        elapsed = time.monotonic() - self.start
        return self.new_maps / elapsed if elapsed > 0 else 0.0

    def update(self, maps: int) -> None:
        self.tasks += 1
        self.maps += maps
        self.new_maps += maps
        self.draw()

    def draw(self, force: bool = False, end: str = "") -> None:
        now = time.monotonic()
        interval = 0.5 if self.terminal else LOG_INTERVAL
        if not self.enabled or (not force and now - self._last < interval):
            return
        self._last = now
        rate = self.rate
        left = (self.total_maps - self.maps) / rate if rate > 0 else float("nan")
        eta = f", {left:.0f} s left" if math.isfinite(left) and self.maps < self.total_maps else ""
        text = (f"scan: {self.tasks}/{self.total_tasks} tasks, {self.maps}/"
                f"{self.total_maps} maps, {rate:.1f} maps/s{eta}")
        # on a terminal the line is redrawn in place; into a log it is one line each time
        sys.stderr.write(f"\r{text}   {end}" if self.terminal else f"{text}\n")
        sys.stderr.flush()

    def close(self) -> None:
        self.draw(force=True, end="\n")


@dataclass
class ScanOutcome:
    """What a run of a scan did: the whole scan's size, and this run's share and speed."""

    store: str
    created: bool
    maps: int  # in the whole scan
    tasks: int
    maps_computed: int  # by this run
    tasks_run: int
    seconds: float
    chunk_maps: int
    task_seconds: float  # mean compute + write time of a task, measured where it ran

    @property
    def maps_per_second(self) -> float:
        return self.maps_computed / self.seconds if self.seconds > 0 else 0.0


def run(plan: ScanPlan, executor: cf.Executor, progress: bool = True,
        window: Optional[int] = None) -> ScanOutcome:
    """Computes the chunks of `plan` not yet in its store; returns a ScanOutcome."""
    writer = zarr_store.Writer(plan.store)
    zarr_store.remove_partial_files(os.path.join(plan.store, "intensity"))
    completed = writer.completed()
    bar = ScanProgress(plan, completed, progress)
    start = time.monotonic()
    done = {"maps": 0, "tasks": 0}
    task_seconds = [0.0]  # summed over the tasks of this run

    def finished(index: Any, result: Tuple[int, int, float]) -> None:
        _, maps, seconds = result
        completed[index] = True
        done["maps"] += maps
        done["tasks"] += 1
        task_seconds[0] += seconds
        bar.update(maps)

    tasks = ((index, run_task, (plan.store, plan.scan_id, index))
             for index in np.flatnonzero(~completed).tolist())
    failure: Optional[BaseException] = None
    try:
        # chunks that finish while a failure is handled are kept; the rest are
        # computed on resume
        run_windowed(executor, tasks, finished, window=window, every=RECORD_INTERVAL,
                     tick=lambda: writer.save_record(completed))
    except BaseException as error:
        failure = error
    finally:
        bar.close()
        try:
            writer.save_record(completed)
        except OSError as error:
            if failure is None:
                failure = error
    if failure is not None:
        raise _stopped(plan, completed, failure) from failure
    # a worker killed while writing leaves its temporary file; the chunk itself
    # was written again by the task's re-run
    zarr_store.remove_partial_files(os.path.join(plan.store, "intensity"))
    zarr_store.mark_complete(plan.store, {"complete": True})
    return ScanOutcome(plan.store, False, plan.n_maps, plan.n_chunks, done["maps"],
                       done["tasks"], time.monotonic() - start, int(np.prod(plan.chunks)),
                       task_seconds[0] / done["tasks"] if done["tasks"] else 0.0)


def _stopped(plan: ScanPlan, completed: BoolArray, failure: BaseException) -> ScanError:
    """The ScanError saying why the scan stopped and how to continue it."""
    saved = int(np.count_nonzero(completed))
    resume = (f"{saved} of {plan.n_chunks} chunks are saved in {plan.store}; run the "
              "same scan again to continue")
    if isinstance(failure, KeyboardInterrupt):
        return ScanError(f"interrupted; {resume}")
    if isinstance(failure, OSError):
        what = failure.strerror or str(failure)
        where = f" ({failure.filename})" if getattr(failure, "filename", None) else ""
        return ScanError(f"writing the store failed: {what}{where}; {resume}")
    first_line = str(failure).splitlines()[0] if str(failure) else ""
    return ScanError(f"a task failed: {type(failure).__name__}: {first_line}; {resume}")


def run_scan(job_or_dict: JobSource, store: PathLike, *, executor: Optional[cf.Executor] = None,
             threads: Optional[int] = None, progress: bool = True,
             window: Optional[int] = None) -> ScanOutcome:
    """Creates or continues the scan in `store`; returns a ScanOutcome.

    `executor`: any concurrent.futures.Executor whose workers can import
    libkernels and reach `store` (e.g. dask.distributed.Client(...).get_executor());
    default a thread pool of `threads` (all CPUs).
    """
    plan, created = prepare(job_or_dict, store)
    if executor is not None:
        outcome = run(plan, executor, progress, window)
    else:
        with cf.ThreadPoolExecutor(max_workers=threads or os.cpu_count() or 1) as pool:
            outcome = run(plan, pool, progress, window)
    outcome.created = created
    return outcome


def open_scan(store: PathLike) -> xarray.DataArray:
    """The intensity of a scan store as an xarray.DataArray (lazy, with coordinates)."""
    xarray = require("xarray", "scale", "opening a scan")
    dataset = xarray.open_zarr(os.fspath(store))
    intensity = dataset["intensity"]
    intensity.attrs["complete"] = bool(dataset.attrs.get("complete", False))
    return intensity


def scan(job_or_dict: JobSource, store: PathLike, *, executor: Optional[cf.Executor] = None,
         threads: Optional[int] = None, progress: bool = True) -> xarray.DataArray:
    """Runs (or resumes) a scan into the Zarr store `store`; returns its intensity
    as an xarray.DataArray with dims (molecule, orbital, energy, alpha, beta, gamma,
    kx, ky), axes with one value left out.

    `job_or_dict`: a TOML file or a dict with the same keys (molecules,
    orbitals, kinetic_energy or photon_energy + work_function, alpha, beta,
    gamma, n, k_max, symmetry, polarisation, incidence, azimuth, s_share), or
    a ScanRequest (ScanRequest.from_record: the scan a store or record holds).
    """
    run_scan(job_or_dict, store, executor=executor, threads=threads, progress=progress)
    return open_scan(store)
