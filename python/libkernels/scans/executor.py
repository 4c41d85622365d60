"""Tasks on any concurrent.futures.Executor, a window at a time: the code both scans share.

A thread pool, a process pool or a Dask cluster (`client.get_executor()`) all
take the same calls.  Tasks are submitted a window at a time, never all at
once, so that a scan of 10^6 tasks costs the scheduler (and the caller's
memory for results in flight) no more than one of 10^3; results are handed to
the caller's thread as they finish, in completion order.  On an interrupt or a
failure the tasks not started are cancelled and the results of those that
finished meanwhile are still handed over, so nothing computed is lost.
"""

from __future__ import annotations

import concurrent.futures as cf
import os
import time
from typing import Any, Callable, Dict, Hashable, Iterable, Optional, Tuple

# Work per task.  A task on a local Dask cluster costs 6-11 ms of CPU in the
# client, scheduler and workers together, with no work in it
# (python/benchmarks/scan_overhead.py; 9-40 ms of wall time on a busy 2-core
# machine); 0.5 s of maps per task keeps that near 2 %, while a 10^5-map scan
# at n = 101 still makes hundreds of tasks to spread over the workers.
TASK_SECONDS = 0.5

# A task: its key (handed back with the result), the function and its arguments.
Task = Tuple[Hashable, Callable[..., Any], Tuple[Any, ...]]


def window_size(executor: cf.Executor) -> int:
    """Tasks kept in flight: three per worker thread of a Dask cluster, two per
    worker of a local pool."""
    client = getattr(executor, "_client", None)  # a Dask ClientExecutor
    if client is not None:
        try:
            return max(8, 3 * sum(client.nthreads().values()))
        except Exception:  # a cluster that cannot say: a modest window
            return 32
    return max(4, 2 * (getattr(executor, "_max_workers", None) or os.cpu_count() or 1))


def cancel(executor: cf.Executor, futures: Iterable[cf.Future]) -> None:
    """Cancels the tasks of `futures` that have not started."""
    if getattr(executor, "_client", None) is not None:
        # A Dask ClientExecutor: cancelling its futures one by one races with the
        # results still arriving from the cluster; shutting it down without
        # waiting cancels the tasks on the cluster (the client stays usable).
        executor.shutdown(wait=False)
    else:
        for future in futures:
            future.cancel()


def run_windowed(executor: cf.Executor, tasks: Iterable[Task],
                 on_result: Callable[[Hashable, Any], None], *, window: Optional[int] = None,
                 every: float = 1.0, tick: Optional[Callable[[], None]] = None) -> None:
    """Runs `tasks` on `executor`, `window` at a time; on_result(key, result) in this
    thread as each finishes; tick() at least every `every` seconds while waiting.

    An exception (a task's, on_result's, or an interrupt) cancels the tasks not
    started, hands over the results that finished meanwhile, and is raised again.
    """
    todo = iter(tasks)
    window = window or window_size(executor)
    pending: Dict[cf.Future, Hashable] = {}
    last_tick = time.monotonic()
    try:
        while True:
            while len(pending) < window:
                task = next(todo, None)
                if task is None:
                    break
                key, function, arguments = task
                pending[executor.submit(function, *arguments)] = key
            if not pending:
                break
            done, _ = cf.wait(pending, timeout=every, return_when=cf.FIRST_COMPLETED)
            for future in done:
                on_result(pending.pop(future), future.result())
            if tick is not None and time.monotonic() - last_tick >= every:
                tick()
                last_tick = time.monotonic()
    except BaseException:
        cancel(executor, pending)
        for future, key in pending.items():
            if future.done() and not future.cancelled() and future.exception() is None:
                on_result(key, future.result())
        raise
