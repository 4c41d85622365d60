"""Scans of many momentum maps into a Zarr store, on any concurrent.futures.Executor.

    import libkernels as lk
    maps = lk.scan("atlas.toml", "atlas.zarr")                # a thread pool here
    maps = lk.scan(job, "atlas.zarr", executor=client.get_executor())   # a Dask cluster

The scan's maps span six axes (molecule, orbital, energy, alpha, beta, gamma).
They are cut into chunks of whole maps; one task computes one chunk and writes
it into the store itself, so results never travel back through the caller and
the memory of every process is bounded by a chunk.  The caller keeps a bitmap
of finished chunks in the store: running the same scan on the same store again
computes only the chunks it lacks, and because each chunk is computed by the
same deterministic calls whichever process runs it, the finished store is the
same, bit for bit, however often the scan was interrupted.

Tasks are submitted a window at a time, never all at once, so that a scan of
10^6 tasks costs the scheduler no more memory than one of 10^3.
"""

import collections
import concurrent.futures as cf
import json
import math
import os
import sys
import threading
import time
import uuid
from dataclasses import dataclass

import numpy as np

from . import scan_job, zarr_store
from .grids import MOMENTUM_INTENSITY_UNITS, MomentumMap, clean_numbers
from .units import HARTREE_IN_EV

# Work per task.  A task on a local Dask cluster costs 6-11 ms of CPU in the
# client, scheduler and workers together, with no work in it
# (python/benchmarks/scan_overhead.py; 9-40 ms of wall time on a busy 2-core
# machine); 0.5 s of maps per task keeps that near 2 %, while a 10^5-map scan
# at n = 101 still makes hundreds of tasks to spread over the workers.
TASK_SECONDS = 0.5
MAX_CHUNK_BYTES = 64 << 20
RECORD_INTERVAL = 1.0  # seconds between saves of the completion record


class ScanError(RuntimeError):
    """A scan that stopped before the end; the message says what to do."""


def package_version():
    try:
        from importlib.metadata import PackageNotFoundError, version
        return version("libkernels")
    except (ImportError, PackageNotFoundError):
        return "source tree"


# ---- the layout of a scan ------------------------------------------------------

def chunk_shape(shape, maps_per_chunk):
    """Chunk sizes over the six scan axes: whole inner axes first, then a part of
    the next, so that a chunk holds at most `maps_per_chunk` maps."""
    chunks = [1] * len(shape)
    left = max(1, int(maps_per_chunk))
    for axis in reversed(range(len(shape))):
        chunks[axis] = min(shape[axis], left)
        left = max(1, left // chunks[axis])
    return tuple(chunks)


@dataclass
class ScanPlan:
    """The layout of a scan: its store, description and chunks over the six axes."""

    store: str
    scan_id: str
    job: dict
    chunks: tuple  # over the six scan axes

    @property
    def shape(self):
        return scan_job.shape(self.job)

    @property
    def grid(self):
        return tuple(math.ceil(s / c) for s, c in zip(self.shape, self.chunks))

    @property
    def n_chunks(self):
        return int(np.prod(self.grid))

    @property
    def n_maps(self):
        return int(np.prod(self.shape))

    @property
    def kept_axes(self):
        """The scan axes stored as dimensions: those with more than one value."""
        return tuple(i for i, s in enumerate(self.shape) if s > 1)

    @property
    def dims(self):
        return tuple(scan_job.AXES[i] for i in self.kept_axes) + ("kx", "ky")

    def block(self, index):
        """(start, stop) on each scan axis of chunk number `index`."""
        position = np.unravel_index(index, self.grid)
        return tuple((int(p) * c, min(s, (int(p) + 1) * c))
                     for p, c, s in zip(position, self.chunks, self.shape))

    def maps_in(self, index):
        return int(np.prod([b - a for a, b in self.block(index)]))


# ---- the work of one task --------------------------------------------------------

class _Cache:
    """A small least-recently-used cache shared by the threads of a process: a
    worker of a long atlas sees many molecules but needs few at a time."""

    def __init__(self, size):
        self.size = size
        self.items = collections.OrderedDict()
        self.lock = threading.Lock()

    def get(self, key, make):
        with self.lock:
            if key in self.items:
                self.items.move_to_end(key)
                return self.items[key]
        value = make()  # outside the lock: loading a molecule takes a while
        with self.lock:
            self.items[key] = value
            while len(self.items) > self.size:
                self.items.popitem(last=False)
        return value

    def clear(self):
        with self.lock:
            self.items.clear()


_molecules = _Cache(8)
_calls = _Cache(512)
_writers = _Cache(8)
_plans = _Cache(8)


def _molecule(job, m):
    source = tuple(job["molecule_sources"][m])
    digest = job["molecule_sha256"][m]

    def load():
        from .cli import CommandError, _load

        path = scan_job.molecule_path(source)
        if scan_job.file_digest(path) != digest:
            raise ScanError(f"{path} differs from the file the scan was started with "
                            "(on this machine, or since)")
        try:
            return _load(path)
        except CommandError as error:
            raise ScanError(str(error)) from None

    return _molecules.get((source, digest), load)


def map_call(job, m, o, e):
    """The prepared kernel call for molecule m, orbital o and energy e (cached)."""
    from .kernels import MapSumCall

    options = scan_job.map_options(job, e)
    selector = job["orbitals"][o]
    key = (job["molecule_sha256"][m], tuple(job["molecule_sources"][m]), selector,
           json.dumps(options, sort_keys=True))
    if selector.lstrip("+-").isdigit():
        selector = int(selector)
    return _calls.get(key, lambda: MapSumCall(_molecule(job, m), [selector], **options))


def compute_block(plan, index):
    """The maps of chunk `index`, shape (chunk sizes on the six axes) + (n, n)."""
    job = plan.job
    ranges = plan.block(index)
    n = job["n"]
    block = np.empty([b - a for a, b in ranges] + [n, n], dtype=np.float32)
    (m0, m1), (o0, o1), (e0, e1), (a0, a1), (b0, b1), (g0, g1) = ranges
    for m in range(m0, m1):
        for o in range(o0, o1):
            for e in range(e0, e1):
                call = map_call(job, m, o, e)
                for a in range(a0, a1):
                    for b in range(b0, b1):
                        for g in range(g0, g1):
                            call.run((job["alpha"][a], job["beta"][b], job["gamma"][g]),
                                     out=block[m - m0, o - o0, e - e0, a - a0, b - b0, g - g0])
    return block


def write_block(plan, index, block):
    """Writes chunk `index` into the store (each chunk file atomically)."""
    writer = _writers.get((plan.store, plan.scan_id), lambda: zarr_store.Writer(plan.store))
    ranges = plan.block(index)
    region = tuple(slice(*ranges[i]) for i in plan.kept_axes)
    stored = block.reshape([block.shape[i] for i in plan.kept_axes] + list(block.shape[-2:]))
    writer.write(region, stored)


def _plan(store, scan_id):
    """The plan of the scan in `store`, read from its attributes once per process."""
    def load():
        attributes = zarr_store.read_attributes(store)
        if attributes is None or attributes["libkernels_scan"]["scan_id"] != scan_id:
            raise ScanError(f"{store} no longer holds the scan this task belongs to")
        stored = attributes["libkernels_scan"]
        return ScanPlan(store, scan_id, stored["job"], tuple(stored["chunks"]))

    return _plans.get((store, scan_id), load)


def run_task(store, scan_id, index):
    """One task: computes and stores chunk `index`; returns (index, maps, seconds).

    A task names its store and chunk only: the description (which grows with
    the number of molecules) is read from the store by each worker, once.
    """
    start = time.perf_counter()
    plan = _plan(store, scan_id)
    block = compute_block(plan, index)
    write_block(plan, index, block)
    return index, block[..., 0, 0].size, time.perf_counter() - start


def _map_block(molecule, orbitals, options, orientations, groups):
    """Maps of several orientations: the task of scan_momentum_maps on an executor."""
    from .kernels import MapSumCall

    call = MapSumCall(molecule, orbitals, **options)
    out = np.empty((len(orientations), len(groups), call.n, call.n), dtype=np.float32)
    for o, orientation in enumerate(orientations):
        for g, rows in enumerate(groups):
            call.run(orientation, rows=rows, out=out[o, g])
    return out


def maps_on_executor(executor, call, molecule, orbitals, options, orientations, groups, maps,
                     bar):
    """Fills `maps` (orientation, group, n, n) by tasks of about TASK_SECONDS each on
    `executor`; the molecule travels with each task, so any executor will do."""
    start = time.perf_counter()
    call.run(orientations[0], rows=groups[0])
    per_orientation = (time.perf_counter() - start) * len(groups)
    size = max(1, min(math.ceil(TASK_SECONDS / max(per_orientation, 1e-6)),
                      math.ceil(len(orientations) / 4)))  # at least a few tasks to share
    futures = {executor.submit(_map_block, molecule, orbitals, options,
                               orientations[i:i + size], groups): i
               for i in range(0, len(orientations), size)}
    try:
        for future in cf.as_completed(futures):
            block = future.result()
            i = futures[future]
            maps[i:i + len(block)] = block
            bar.update(block.shape[0] * block.shape[1])
    except BaseException:
        for future in futures:
            future.cancel()
        raise


# ---- creating or continuing a store -----------------------------------------------

def _grid(job):
    """(n, k_min, k_step) of the scan's maps, in bohr^-1 as float32 values."""
    from .kernels import momentum_grid

    n, k_min, k_step = momentum_grid(job["k_max"], job["n"], "1/angstrom")
    return n, float(np.float32(k_min)), float(np.float32(k_step))


def _k_axis(job):
    n, k_min, k_step = _grid(job)
    return MomentumMap(np.empty((n, 0), np.float32), k_min, k_step, "1/angstrom").kx


def _check_and_time(job):
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
                    raise scan_job.JobError(f"{job['molecules'][m]}, orbital "
                                              f"{job['orbitals'][o]}: {error}") from None
                kinetic[m, o, e] = float(call.e_kin[0]) * HARTREE_IN_EV
        if m == 0:  # the first molecule stands for all; an orientation off the axes
            out = np.empty((job["n"], job["n"]), np.float32)
            middle = tuple(job[a][len(job[a]) // 2] for a in ("alpha", "beta", "gamma"))
            for _ in range(5):
                start = time.perf_counter()
                call.run(middle, out=out)
                seconds.append(time.perf_counter() - start)
    return kinetic, float(np.median(seconds))


def choose_chunk_maps(seconds_per_map, n):
    maps = math.ceil(TASK_SECONDS / max(seconds_per_map, 1e-6))
    return max(1, min(maps, MAX_CHUNK_BYTES // (4 * n * n)))


def _coordinates(plan, kinetic):
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
    coordinates = {}
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


def _create(store, job):
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
         "libkernels_version": version, "complete": False},
        {"long_name": "photoemission intensity", "units": MOMENTUM_INTENSITY_UNITS,
         "k_unit": "1/angstrom", "k_min_bohr": k_min_bohr, "k_step_bohr": k_step_bohr,
         "orientation_convention": "map = |psi~(M k)|^2, M = Rz(alpha) Rx(beta) Rz(gamma)",
         "layout": "data[..., i, j] is the intensity at (kx[i], ky[j])",
         "libkernels_version": version, "scan_job": description})
    return plan


def _existing_plan(store, job):
    attributes = zarr_store.read_attributes(store)
    if attributes is None:
        raise zarr_store.StoreError(f"{store} exists and is not a libkernels scan store; "
                                    "choose a new path")
    stored = attributes["libkernels_scan"]
    if stored.get("format") != zarr_store.FORMAT:
        raise zarr_store.StoreError(f"{store} was written by another version of the scan "
                                    "format; choose a new path")
    changed = scan_job.differences(stored["job"], job)
    if changed:
        raise scan_job.JobError(f"{store} holds a different scan (it differs in "
                                  f"{', '.join(changed)}); give a new store path, or the "
                                  "description the store was started with")
    return ScanPlan(store, stored["scan_id"], stored["job"], tuple(stored["chunks"]))


def prepare(job_or_dict, store):
    """The plan of a scan: a new store created, or an existing one checked to match."""
    job = scan_job.read(job_or_dict)
    zarr_store.require_zarr()
    store = os.path.abspath(os.fspath(store))
    if os.path.exists(store) and not (os.path.isdir(store) and not os.listdir(store)):
        return _existing_plan(store, job), False
    try:
        return _create(store, job), True
    except zarr_store.StoreError:
        raise
    except OSError as error:
        raise zarr_store.StoreError(f"{store}: cannot create the store "
                                    f"({error.strerror or error})") from None


# ---- running the tasks ------------------------------------------------------------

class ScanProgress:
    """One status line on stderr: tasks done / total, maps done / total, maps per second."""

    def __init__(self, plan, already, enabled=True):
        self.enabled = enabled
        self.total_tasks, self.total_maps = plan.n_chunks, plan.n_maps
        self.tasks = int(np.count_nonzero(already))
        self.maps = sum(plan.maps_in(i) for i in np.flatnonzero(already)) if self.tasks else 0
        self.new_maps = 0
        self.start = time.monotonic()
        self._last = 0.0
        self.draw(force=True)

    @property
    def rate(self):
        elapsed = time.monotonic() - self.start
        return self.new_maps / elapsed if elapsed > 0 else 0.0

    def update(self, maps):
        self.tasks += 1
        self.maps += maps
        self.new_maps += maps
        self.draw()

    def draw(self, force=False, end=""):
        now = time.monotonic()
        if not self.enabled or (not force and now - self._last < 0.5):
            return
        self._last = now
        rate = self.rate
        left = (self.total_maps - self.maps) / rate if rate > 0 else float("nan")
        eta = f", {left:.0f} s left" if math.isfinite(left) and self.maps < self.total_maps else ""
        sys.stderr.write(f"\rscan: {self.tasks}/{self.total_tasks} tasks, {self.maps}/"
                         f"{self.total_maps} maps, {rate:.1f} maps/s{eta}   {end}")
        sys.stderr.flush()

    def close(self):
        self.draw(force=True, end="\n")


@dataclass
class ScanOutcome:
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
    def maps_per_second(self):
        return self.maps_computed / self.seconds if self.seconds > 0 else 0.0


def _window(executor):
    client = getattr(executor, "_client", None)  # a Dask ClientExecutor
    if client is not None:
        try:
            return max(8, 3 * sum(client.nthreads().values()))
        except Exception:
            return 32
    return max(4, 2 * (getattr(executor, "_max_workers", None) or os.cpu_count() or 1))


def _cancel(executor, futures):
    if getattr(executor, "_client", None) is not None:
        # A Dask ClientExecutor: cancelling its futures one by one races with the
        # results still arriving from the cluster; shutting it down without
        # waiting cancels the tasks on the cluster (the client stays usable).
        executor.shutdown(wait=False)
    else:
        for future in futures:
            future.cancel()


def run(plan, executor, progress=True, window=None):
    """Computes the chunks of `plan` not yet in its store; returns a ScanOutcome."""
    writer = zarr_store.Writer(plan.store)
    zarr_store.remove_partial_files(os.path.join(plan.store, "intensity"))
    completed = writer.completed()
    todo = iter(np.flatnonzero(~completed).tolist())
    window = window or _window(executor)
    bar = ScanProgress(plan, completed, progress)
    start = time.monotonic()
    pending = {}
    computed = tasks_run = 0
    task_seconds = 0.0
    last_save = time.monotonic()
    failure = None
    try:
        while True:
            while len(pending) < window:
                index = next(todo, None)
                if index is None:
                    break
                pending[executor.submit(run_task, plan.store, plan.scan_id, index)] = index
            if not pending:
                break
            done, _ = cf.wait(pending, timeout=RECORD_INTERVAL, return_when=cf.FIRST_COMPLETED)
            for future in done:
                pending.pop(future)
                index, maps, seconds = future.result()
                completed[index] = True
                computed += maps
                tasks_run += 1
                task_seconds += seconds
                bar.update(maps)
            if time.monotonic() - last_save >= RECORD_INTERVAL:
                writer.save_record(completed)
                last_save = time.monotonic()
    except BaseException as error:
        failure = error
        _cancel(executor, pending)
        # chunks that finished meanwhile are kept; the rest are computed on resume
        for future in list(pending):
            if not future.cancelled() and future.done() and future.exception() is None:
                completed[future.result()[0]] = True
    finally:
        bar.close()
        try:
            writer.save_record(completed)
        except OSError as error:
            if failure is None:
                failure = error
    if failure is not None:
        saved = int(np.count_nonzero(completed))
        resume = (f"{saved} of {plan.n_chunks} chunks are saved in {plan.store}; run the "
                  "same scan again to continue")
        if isinstance(failure, KeyboardInterrupt):
            raise ScanError(f"interrupted; {resume}") from failure
        if isinstance(failure, OSError):
            what = failure.strerror or str(failure)
            where = f" ({failure.filename})" if getattr(failure, "filename", None) else ""
            raise ScanError(f"writing the store failed: {what}{where}; {resume}") from failure
        raise ScanError(f"a task failed: {type(failure).__name__}: "
                        f"{str(failure).splitlines()[0] if str(failure) else ''}; "
                        f"{resume}") from failure
    # a worker killed while writing leaves its temporary file; the chunk itself
    # was written again by the task's re-run
    zarr_store.remove_partial_files(os.path.join(plan.store, "intensity"))
    zarr_store.mark_complete(plan.store, {"complete": True})
    return ScanOutcome(plan.store, False, plan.n_maps, plan.n_chunks, computed, tasks_run,
                       time.monotonic() - start, int(np.prod(plan.chunks)),
                       task_seconds / tasks_run if tasks_run else 0.0)


def run_scan(job_or_dict, store, *, executor=None, threads=None, progress=True, window=None):
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


def open_scan(store):
    """The intensity of a scan store as an xarray.DataArray (lazy, with coordinates)."""
    try:
        import xarray
    except ImportError:
        raise ImportError(f"opening a scan needs xarray: {zarr_store.SCALE_HINT}") from None
    dataset = xarray.open_zarr(os.fspath(store))
    intensity = dataset["intensity"]
    intensity.attrs["complete"] = bool(dataset.attrs.get("complete", False))
    return intensity


def scan(job_or_dict, store, *, executor=None, threads=None, progress=True):
    """Runs (or resumes) a scan into the Zarr store `store`; returns its intensity
    as an xarray.DataArray with dims (molecule, orbital, energy, alpha, beta, gamma,
    kx, ky), axes with one value left out.

    `job_or_dict`: a TOML file or a dict with the same keys (molecules,
    orbitals, kinetic_energy or photon_energy + work_function, alpha, beta,
    gamma, n, k_max, symmetry, polarisation, incidence, azimuth, s_share).
    """
    run_scan(job_or_dict, store, executor=executor, threads=threads, progress=progress)
    return open_scan(store)
