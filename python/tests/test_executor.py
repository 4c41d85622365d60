"""Tasks a window at a time on an executor: the code both kinds of scan run on."""

import concurrent.futures as cf
import threading
import time

import numpy as np
import pytest

import libkernels as lk
from libkernels.scans.executor import run_windowed

from conftest import requires


def test_results_come_back_keyed_with_at_most_a_window_in_flight():
    lock = threading.Lock()
    running, most = [0], [0]

    def work(value):
        with lock:
            running[0] += 1
            most[0] = max(most[0], running[0])
        time.sleep(0.002)
        with lock:
            running[0] -= 1
        return value * value

    got = {}
    ticks = []
    with cf.ThreadPoolExecutor(max_workers=8) as pool:
        run_windowed(pool, ((k, work, (k,)) for k in range(60)), got.__setitem__, window=3,
                     every=0.0, tick=lambda: ticks.append(1))
    assert got == {k: k * k for k in range(60)} and most[0] <= 3 and ticks


def test_a_failure_cancels_the_rest_keeps_what_finished_and_is_raised():
    started = []
    release = threading.Event()

    def work(key):
        started.append(key)
        if key == 0:
            release.wait(5)
            raise OSError(28, "No space left on device")
        return key

    got = {}
    with cf.ThreadPoolExecutor(max_workers=2) as pool:
        with pytest.raises(OSError, match="No space"):
            run_windowed(pool, ((k, work, (k,)) for k in range(100)),
                         lambda key, value: (got.__setitem__(key, value),
                                             release.set() if len(got) > 5 else None),
                         window=4)
    assert 5 < len(got) and 0 not in got and set(got) <= set(range(1, 100))
    assert len(started) < 100  # the tasks beyond the window were never submitted


def test_the_in_memory_scan_on_an_executor_matches_the_thread_pool(benzene):
    requires("momentum_map_sum")
    angles = [(a, 10.0, 0.0) for a in range(0, 60, 5)]
    options = dict(kinetic_energy=25.0, n=21, progress=False)
    with cf.ThreadPoolExecutor(max_workers=2) as pool:
        on_executor, _ = lk.scan_momentum_maps(benzene, ["HOMO", "HOMO-1"], angles,
                                               executor=pool, **options)
    local, _ = lk.scan_momentum_maps(benzene, ["HOMO", "HOMO-1"], angles, threads=2,
                                     **options)
    assert np.array_equal(on_executor, local)
