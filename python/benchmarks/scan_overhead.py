"""Measures the cost of a Dask task and the throughput of a store scan.

    python python/benchmarks/scan_overhead.py [--maps 2000] [--resolution 101]

1. Per-task overhead: empty tasks submitted through a local 2-process Dask
   cluster's concurrent.futures executor, a window at a time as a scan submits
   them; the wall time per task is what a task of real work must outweigh
   (scans/executor.py's TASK_SECONDS is chosen from it).
2. Throughput (maps/s) of the same store scan (pentacene HOMO over
   orientations) on 1 and 2 threads and on a 2-process local Dask cluster,
   best and median of interleaved rounds, and maps per CPU second (client and
   workers), which a busy machine disturbs less than the wall time.
"""

import argparse
import concurrent.futures as cf
import os
import shutil
import tempfile
import time

from libkernels import run_scan


def _nothing(index):
    return index


def task_overhead(executor, tasks, window):
    start = time.perf_counter()
    pending = set()
    submitted = 0
    while submitted < tasks or pending:
        while submitted < tasks and len(pending) < window:
            pending.add(executor.submit(_nothing, submitted))
            submitted += 1
        done, pending = cf.wait(pending, return_when=cf.FIRST_COMPLETED)
        for future in done:
            future.result()
    return (time.perf_counter() - start) / tasks


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--maps", type=int, default=2000)
    parser.add_argument("--resolution", type=int, default=101)
    parser.add_argument("--tasks", type=int, default=2000, help="empty tasks for the overhead")
    parser.add_argument("--chunk-maps", type=int, default=200, help="maps per task")
    parser.add_argument("--rounds", type=int, default=3)
    args = parser.parse_args()
    from dask.distributed import Client, LocalCluster

    job = {"molecules": ["pentacene"], "orbitals": ["HOMO"], "kinetic_energy": 30.0,
            "alpha": {"start": 0, "stop": 360, "step": 360 / args.maps}, "beta": 10.0,
            "n": args.resolution}
    workdir = tempfile.mkdtemp(prefix="scan_bench_")
    print(f"{os.cpu_count()} CPUs, load average {os.getloadavg()[0]:.1f}; "
          f"{args.maps} maps of {args.resolution}^2 pixels")
    try:
        with LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                          dashboard_address=None) as cluster, Client(cluster) as client:
            executor = client.get_executor()
            task_overhead(executor, 100, 8)  # warm-up
            for window in (8, 32):
                # CPU time as well as wall time: on a busy machine the wall time mostly
                # measures waiting for a core, the CPU time what Dask itself spends
                # (client and scheduler share this process; the workers are summed)
                cpu = time.process_time() + sum(client.run(time.process_time).values())
                seconds = task_overhead(executor, args.tasks, window)
                cpu = time.process_time() + sum(client.run(time.process_time).values()) - cpu
                print(f"empty Dask tasks, window {window}: {seconds * 1e3:.2f} ms wall, "
                      f"{cpu / args.tasks * 1e3:.2f} ms CPU per task")
            # the same chunks for every run, rounds interleaved and the best of each
            # kept: on a shared machine the slowest runs measure the neighbours
            job["chunk_maps"] = args.chunk_maps
            runs = [("1 thread", None, 1), ("2 threads", None, 2),
                    ("2-process LocalCluster", executor, None)]
            warm = {**job, "alpha": 0.0}
            for label, pool, threads in runs:  # molecules loaded, workers started
                run_scan(warm, os.path.join(workdir, f"warm{label[0]}.zarr"),
                                  executor=pool, threads=threads, progress=False)
            best = {}
            for round_ in range(args.rounds):
                for label, pool, threads in runs:
                    store = os.path.join(workdir, f"{label.replace(' ', '_')}{round_}.zarr")
                    def cpu():
                        return time.process_time() + (
                            sum(client.run(time.process_time).values()) if pool else 0.0)

                    start = cpu()
                    outcome = run_scan(job, store, executor=pool, threads=threads,
                                                progress=False)
                    used = cpu() - start
                    shutil.rmtree(store)
                    best.setdefault(label, []).append((outcome.maps_per_second,
                                                       outcome.maps_computed / used))
            for label, rates in best.items():
                wall = sorted(r[0] for r in rates)
                print(f"{label:24s} best {wall[-1]:7.1f} maps/s, median "
                      f"{wall[len(wall) // 2]:7.1f}; {max(r[1] for r in rates):6.1f} maps per "
                      f"CPU second  ({args.rounds} runs of {args.maps} maps in tasks of "
                      f"{args.chunk_maps})")
    finally:
        shutil.rmtree(workdir, ignore_errors=True)


if __name__ == "__main__":
    main()
