"""The layout of a scan in its store: the scan's six axes cut into chunks of whole maps.

A chunk holds whole inner axes first, then a part of the next, about
TASK_SECONDS of maps (measured when the store is created) and at most
MAX_CHUNK_BYTES; one task computes one chunk.
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Any, Dict, Sequence, Tuple

import numpy as np

from . import job as scan_job
from .executor import TASK_SECONDS

MAX_CHUNK_BYTES = 64 << 20


def chunk_shape(shape: Sequence[int], maps_per_chunk: int) -> Tuple[int, ...]:
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
    job: Dict[str, Any]  # the normalised description (job.normalise)
    chunks: Tuple[int, ...]  # over the six scan axes

    @property
    def shape(self) -> Tuple[int, ...]:
        return scan_job.shape(self.job)

    @property
    def grid(self) -> Tuple[int, ...]:
        return tuple(math.ceil(s / c) for s, c in zip(self.shape, self.chunks))

    @property
    def n_chunks(self) -> int:
        return int(np.prod(self.grid))

    @property
    def n_maps(self) -> int:
        return int(np.prod(self.shape))

    @property
    def kept_axes(self) -> Tuple[int, ...]:
        """The scan axes stored as dimensions: those with more than one value."""
        return tuple(i for i, s in enumerate(self.shape) if s > 1)

    @property
    def dims(self) -> Tuple[str, ...]:
        return tuple(scan_job.AXES[i] for i in self.kept_axes) + ("kx", "ky")

    def block(self, index: int) -> Tuple[Tuple[int, int], ...]:
        """(start, stop) on each scan axis of chunk number `index`."""
        position = np.unravel_index(index, self.grid)
        return tuple((int(p) * c, min(s, (int(p) + 1) * c))
                     for p, c, s in zip(position, self.chunks, self.shape))

    def maps_in(self, index: int) -> int:
        return int(np.prod([b - a for a, b in self.block(index)]))


def choose_chunk_maps(seconds_per_map: float, n: int) -> int:
    maps = math.ceil(TASK_SECONDS / max(seconds_per_map, 1e-6))
    return max(1, min(maps, MAX_CHUNK_BYTES // (4 * n * n)))
