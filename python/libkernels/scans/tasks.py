"""The work of one task of a scan into a store, run wherever the executor runs it.

A task names its store, the scan's id and a chunk number.  It reads the scan's
description from the store (once per process), loads the molecules it needs
(the last few stay loaded), computes the chunk's maps with the same
deterministic calls whichever process runs it, and writes the chunk into the
store itself (each chunk file atomically, see zarr_store.py): results never
travel back through the caller.
"""

from __future__ import annotations

import collections
import json
import threading
import time
from typing import TYPE_CHECKING, Callable, Generic, Hashable, Tuple, TypeVar

import numpy as np

from ..core.errors import ScanError
from ..core.map_sum_call import MapCall
from ..formats.api import load_molecule
from . import job as scan_job
from . import zarr_store
from .plan import ScanPlan

if TYPE_CHECKING:
    from ..core.molecule import Molecule
    from ..core.types import Float32Array, OrbitalSelector


V = TypeVar("V")


class _Cache(Generic[V]):
    """A small least-recently-used cache shared by the threads of a process: a
    worker of a long atlas sees many molecules but needs few at a time."""

    def __init__(self, size: int) -> None:
        self.size = size
        self.items: collections.OrderedDict[Hashable, V] = collections.OrderedDict()
        self.lock = threading.Lock()

    def get(self, key: Hashable, make: Callable[[], V]) -> V:
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

    def clear(self) -> None:
        with self.lock:
            self.items.clear()


_molecules: _Cache[Molecule] = _Cache(8)
_calls: _Cache[MapCall] = _Cache(512)
_writers: _Cache[zarr_store.Writer] = _Cache(8)
_plans: _Cache[ScanPlan] = _Cache(8)


def _molecule(job: scan_job.Job, m: int) -> Molecule:
    source = tuple(job["molecule_sources"][m])
    digest = job["molecule_sha256"][m]

    def load() -> Molecule:
        path = scan_job.molecule_path(source)
        if scan_job.file_digest(path) != digest:
            raise ScanError(f"{path} differs from the file the scan was started with "
                            "(on this machine, or since)")
        return load_molecule(path)

    return _molecules.get((source, digest), load)


def map_call(job: scan_job.Job, m: int, o: int, e: int) -> MapCall:
    """The prepared kernel call for molecule m, orbital o and energy e (cached)."""
    name: str = job["orbitals"][o]
    key = (job["molecule_sha256"][m], tuple(job["molecule_sources"][m]), name,
           json.dumps({k: job.get(k) for k in scan_job.MAP_KEYS}, sort_keys=True),
           job["energy"]["kind"], job["energy"]["values"][e])
    selector: OrbitalSelector = int(name) if name.lstrip("+-").isdigit() else name
    return _calls.get(key, lambda: scan_job.ScanRequest.of_job(job).map_request(
        _molecule(job, m), [selector], e).call(_molecule(job, m)))


def compute_block(plan: ScanPlan, index: int) -> Float32Array:
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


def write_block(plan: ScanPlan, index: int, block: Float32Array) -> None:
    """Writes chunk `index` into the store (each chunk file atomically)."""
    writer = _writers.get((plan.store, plan.scan_id), lambda: zarr_store.Writer(plan.store))
    ranges = plan.block(index)
    region = tuple(slice(*ranges[i]) for i in plan.kept_axes)
    stored = block.reshape([block.shape[i] for i in plan.kept_axes] + list(block.shape[-2:]))
    writer.write(region, stored)


def _plan(store: str, scan_id: str) -> ScanPlan:
    """The plan of the scan in `store`, read from its attributes once per process."""
    def load() -> ScanPlan:
        attributes = zarr_store.read_attributes(store)
        if attributes is None or attributes["libkernels_scan"]["scan_id"] != scan_id:
            raise ScanError(f"{store} no longer holds the scan this task belongs to")
        stored = attributes["libkernels_scan"]
        return ScanPlan(store, scan_id, stored["job"], tuple(stored["chunks"]))

    return _plans.get((store, scan_id), load)


def run_task(store: str, scan_id: str, index: int) -> Tuple[int, int, float]:
    """One task: computes and stores chunk `index`; returns (index, maps, seconds).

    A task names its store and chunk only: the description (which grows with
    the number of molecules) is read from the store by each worker, once.
    """
    start = time.perf_counter()
    plan = _plan(store, scan_id)
    block = compute_block(plan, index)
    write_block(plan, index, block)
    return index, block[..., 0, 0].size, time.perf_counter() - start
