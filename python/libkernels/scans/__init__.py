"""Many momentum maps at once, on a thread pool or any concurrent.futures.Executor.

orientation_scan.py: one molecule's maps over many orientations, in memory.
store_scan.py: molecules x orbitals x energies x orientations into a resumable
Zarr store (job.py reads the description, plan.py cuts it into chunks,
tasks.py computes a chunk, zarr_store.py writes it).  executor.py submits the
tasks of both a window at a time.
"""
