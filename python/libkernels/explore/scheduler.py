"""The explorer's work, shared fairly between the pages (and other callers) it serves.

Every piece of work is a job of one client (a page's id, or the address of a
caller that gives none) in one lane ("map", "plane", "export", "fit").  A job
is a generator: each step is about one kernel call (one orbital's map), and
the worker threads take one step at a time from the clients in turn.  So one
client's 200 queued maps of 16 orbitals at n = 1001 delay another client's
map by at most one step per worker, never by the whole queue.

Limits per client: in a lane where the newest request wins (a page's map
while a slider moves, the real-space view, a fit), a client's new job
replaces its job in that lane, waiting or running; the replaced one ends with
`Cancelled` (a running one at its next kernel call, see
core/interrupt.cancellable).  In other lanes a client keeps at most
`max_queued` jobs and is refused (429) beyond.  At most `max_clients`
clients have work at once.

Fits run on a Scheduler of their own with one thread, apart from the maps:
a fit of a minute never holds a repaint, and `cancel` stops it.
"""

from __future__ import annotations

import asyncio
import threading
from collections import OrderedDict, deque
from typing import Any, Deque, Dict, Generator, List, Optional, Tuple, TypeVar

from ..core import interrupt
from ..core.errors import Cancelled, RequestError

R = TypeVar("R")
# A job's work: each next() runs one step; the generator's return value is the result.
Steps = Generator[None, None, R]


class _Job:
    """One request's work, its client and lane, and where its result goes."""

    def __init__(self, client: str, lane: str, steps: Steps[Any],
                 loop: asyncio.AbstractEventLoop, future: "asyncio.Future[Any]") -> None:
        self.client = client
        self.lane = lane
        self.steps = steps
        self.loop = loop
        self.future = future
        self.cancel = threading.Event()
        self.running = False
        self.done = False


def _settle(future: "asyncio.Future[Any]", result: Any, error: Optional[BaseException]) -> None:
    if future.done():
        return
    if error is not None:
        future.set_exception(error)
    else:
        future.set_result(result)


class Scheduler:
    """Worker threads taking one step of one client's job at a time, clients in turn."""

    def __init__(self, threads: int = 1, name: str = "libkernels-explore", *,
                 max_queued: int = 4, max_clients: int = 256) -> None:
        self.max_queued = max_queued
        self.max_clients = max_clients
        self._lock = threading.Condition()
        # clients with a job waiting for its next step, in the order they are served
        self._ready: OrderedDict[str, Deque[_Job]] = OrderedDict()
        # the unfinished jobs of each (client, lane)
        self._jobs: Dict[Tuple[str, str], List[_Job]] = {}
        self._stopping = False
        self.steps_run = 0
        self._threads = [threading.Thread(target=self._work, name=f"{name}-{i}", daemon=True)
                         for i in range(max(1, threads))]
        for thread in self._threads:
            thread.start()

    # ---- submitting and cancelling ---------------------------------------------------------

    async def run(self, client: str, lane: str, steps: Steps[R], *,
                  replace: bool = False) -> R:
        """The result of `steps` run as `client`'s job in `lane`.

        With `replace` the client's unfinished jobs in this lane are cancelled
        first; else RequestError (429) when it has `max_queued` of them already.
        Raises Cancelled when the job is replaced or cancelled before it ends.
        """
        loop = asyncio.get_running_loop()
        future: asyncio.Future[R] = loop.create_future()
        job = _Job(client, lane, steps, loop, future)
        with self._lock:
            if self._stopping:
                steps.close()
                raise RequestError("the server is stopping", 503)
            pending = self._jobs.get((client, lane), [])
            if replace:
                for old in list(pending):
                    self._cancel(old)
            elif len(pending) >= self.max_queued:
                steps.close()
                raise RequestError(f"this client has {len(pending)} {lane} requests waiting "
                                   "already; wait for their answers", 429)
            clients = {c for c, _ in self._jobs}
            if client not in clients and len(clients) >= self.max_clients:
                steps.close()
                raise RequestError("the server is busy with too many clients; try again", 503)
            self._jobs.setdefault((client, lane), []).append(job)
            self._ready.setdefault(client, deque()).append(job)
            self._lock.notify()
        try:
            return await future
        except asyncio.CancelledError:  # the caller went away: its work is not needed
            with self._lock:
                self._cancel(job)
            raise

    def cancel(self, client: str, lane: str) -> int:
        """Cancels the client's unfinished jobs in `lane`; returns how many there were."""
        with self._lock:
            jobs = list(self._jobs.get((client, lane), []))
            for job in jobs:
                self._cancel(job)
        return len(jobs)

    def busy(self, client: str, lane: str) -> bool:
        with self._lock:
            return bool(self._jobs.get((client, lane)))

    def shutdown(self) -> None:
        """Cancels every job and lets the threads end (a running step finishes first)."""
        with self._lock:
            self._stopping = True
            for jobs in list(self._jobs.values()):
                for job in list(jobs):
                    self._cancel(job)
            self._lock.notify_all()

    def _cancel(self, job: _Job) -> None:
        """(under the lock) Marks the job cancelled; one not running ends now."""
        job.cancel.set()
        if not job.running and not job.done:
            queue = self._ready.get(job.client)
            if queue is not None and job in queue:
                queue.remove(job)
                if not queue:
                    del self._ready[job.client]
            job.steps.close()
            self._finish(job, None, Cancelled("cancelled"))

    def _finish(self, job: _Job, result: Any, error: Optional[BaseException]) -> None:
        """(under the lock) Forgets the job and hands its outcome to its caller."""
        job.done = True
        key = (job.client, job.lane)
        jobs = self._jobs.get(key, [])
        if job in jobs:
            jobs.remove(job)
        if not jobs:
            self._jobs.pop(key, None)
        if not job.loop.is_closed():
            job.loop.call_soon_threadsafe(_settle, job.future, result, error)

    # ---- the workers -------------------------------------------------------------------------

    def _next(self) -> Optional[_Job]:
        with self._lock:
            while not self._ready and not self._stopping:
                self._lock.wait()
            if self._stopping:
                return None
            client, queue = next(iter(self._ready.items()))
            job = queue.popleft()
            if queue:
                self._ready.move_to_end(client)
            else:
                del self._ready[client]
            job.running = True
            return job

    def _work(self) -> None:
        while True:
            job = self._next()
            if job is None:
                return
            result: Any = None
            error: Optional[BaseException] = None
            finished = True
            try:
                with interrupt.cancellable(job.cancel):
                    interrupt.check_cancelled()
                    next(job.steps)
                finished = False
            except StopIteration as stop:
                result = stop.value
            except BaseException as failure:  # handed to the waiting request
                error = failure
            with self._lock:
                self.steps_run += 1
                job.running = False
                if not finished and job.cancel.is_set():
                    job.steps.close()
                    finished, error = True, Cancelled("cancelled")
                if finished:
                    self._finish(job, result, error)
                else:  # the client's next step comes after the others' waiting ones
                    self._ready.setdefault(job.client, deque()).append(job)
                    self._ready.move_to_end(job.client)
                    self._lock.notify()


def exhaust(steps: Steps[R]) -> R:
    """Runs every step of a job here and now; its result."""
    while True:
        try:
            next(steps)
        except StopIteration as stop:
            return stop.value
