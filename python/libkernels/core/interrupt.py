"""Long work that Ctrl-C stops within about a second.

A C kernel cannot be stopped once it runs, and Python delivers KeyboardInterrupt
only between bytecodes.  Two tools keep the front end responsive:

`call(fn, *args)` runs one kernel call in a daemon thread and waits for it in
short slices, so an interrupt reaches the caller at once.  The abandoned call
finishes in the background (its arrays stay alive until it does) and its result
is dropped; in the command line the process ends with it.

`run_tasks(tasks, work, threads)` runs independent pieces of work (orbitals,
orientations) on a thread pool and, on an interrupt, cancels the pieces not yet
started instead of waiting for all of them, as leaving a `with
ThreadPoolExecutor()` block would.

`cancellable(event)` lets another thread stop work running in this one: while
it is active, every `call` first checks the event and raises `Cancelled` once
it is set, so a fit of hundreds of kernel calls stops within one of them.

Splitting one kernel call into slabs of planes or rows is not offered: the
kernels form grid coordinates as index * step + origin in float32 and the
momentum density tabulates its radial factors up to the grid's largest |k|, so a
slab would not reproduce the bits of the whole call.  Orbitals are independent:
a sum over orbitals computed one orbital at a time and added in orbital order
gives the bits of one call.
"""

from __future__ import annotations

import contextlib
import os
import threading
from concurrent.futures import FIRST_COMPLETED, ThreadPoolExecutor, wait
from typing import Any, Callable, Iterator, List, Optional, Sequence, TypeVar

from .errors import Cancelled

T = TypeVar("T")
R = TypeVar("R")

# Below this many points (x orbitals, atoms) a call takes milliseconds: no thread.
BACKGROUND_WORK = 250_000
_SLICE = 0.05  # seconds between looks for an interrupt
_cancel = threading.local()  # .event: the cancellation event of this thread's work


@contextlib.contextmanager
def cancellable(event: threading.Event) -> Iterator[None]:
    """While active, `call` in this thread raises Cancelled once `event` is set."""
    previous = getattr(_cancel, "event", None)
    _cancel.event = event
    try:
        yield
    finally:
        _cancel.event = previous


def check_cancelled() -> None:
    """Raises Cancelled when this thread's work has been cancelled (see cancellable)."""
    event = getattr(_cancel, "event", None)
    if event is not None and event.is_set():
        raise Cancelled("cancelled")


def call(fn: Callable[..., R], *args: Any, work: int = BACKGROUND_WORK) -> R:
    """fn(*args), interruptible from the main thread when `work` is large; refused with
    Cancelled when this thread's work has been cancelled (cancellable)."""
    check_cancelled()
    if work < BACKGROUND_WORK or threading.current_thread() is not threading.main_thread():
        return fn(*args)
    done = threading.Event()
    box: dict = {}

    def run() -> None:
        try:
            box["result"] = fn(*args)
        except BaseException as error:  # handed to the waiting thread
            box["error"] = error
        finally:
            done.set()

    worker = threading.Thread(target=run, name="libkernels-call", daemon=True)
    worker.start()
    while not done.wait(_SLICE):
        pass
    if "error" in box:
        raise box["error"]
    return box["result"]


def default_threads() -> int:
    return os.cpu_count() or 1


def run_tasks(tasks: Sequence[T], work: Callable[[T], R], threads: Optional[int] = None,
              on_done: Optional[Callable[[int, R], object]] = None) -> List[R]:
    """[work(t) for t in tasks] on `threads` threads, results in task order.

    With `on_done(index, result)`, called in the calling thread as each task
    finishes (progress, accumulation), results are handed over rather than kept
    and the list returned holds None.  An interrupt or an error cancels the
    tasks not yet started and waits only for the running ones.
    """
    threads = threads or default_threads()
    results: List[Any] = [None] * len(tasks)

    def finished_task(i: int, result: Any) -> None:
        if on_done:
            on_done(i, result)
        else:
            results[i] = result

    if threads == 1 or len(tasks) <= 1:
        for i, task in enumerate(tasks):
            finished_task(i, call(work, task))
        return results
    pool = ThreadPoolExecutor(max_workers=threads, thread_name_prefix="libkernels")
    futures: dict = {}
    try:
        for i, task in enumerate(tasks):
            futures[pool.submit(work, task)] = i
        pending = set(futures)
        while pending:
            finished, pending = wait(pending, timeout=_SLICE, return_when=FIRST_COMPLETED)
            for future in sorted(finished, key=futures.__getitem__):
                finished_task(futures[future], future.result())
    except BaseException:
        pool.shutdown(wait=False, cancel_futures=True)
        raise
    pool.shutdown(wait=True)
    return results

