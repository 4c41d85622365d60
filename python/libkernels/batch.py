"""Momentum-map scans over many orientations and/or orbitals on a thread pool.

Each map is one momentum_map_sum call into its own slice of a preallocated
result array.  ctypes releases the GIL for the duration of a C call and the
kernels are reentrant, so the calls run truly in parallel.
"""

import os
from concurrent.futures import ThreadPoolExecutor

import numpy as np

from .grids import MomentumMap
from .kernels import MapSumCall
from .progress import progress_bar


def scan_momentum_maps(molecule, orbitals=("HOMO",), orientations=((0.0, 0.0, 0.0),), *,
                       separate_orbitals=True, threads=None, executor=None, progress=True,
                       **options):
    """Momentum maps for every orientation (and every orbital).

    Returns (maps, call): `maps` has shape (n_orientations, n_orbitals, n, n)
    with `separate_orbitals`, else (n_orientations, 1, n, n) holding each
    orientation's weighted sum; `call` is the prepared MapSumCall (its k_min,
    k_step and parameters describe the grid).  `options` are those of
    momentum_map_sum (energies, grid, symmetry, polarisation, ...).
    `threads` defaults to the number of CPUs.  `executor`: any
    concurrent.futures.Executor to run the maps on instead (a process pool, or
    dask.distributed.Client(...).get_executor()); its workers receive the
    molecule with each task.
    """
    call = MapSumCall(molecule, orbitals, **options)
    orientations = [tuple(float(a) for a in o) for o in orientations]
    for o in orientations:
        if len(o) != 3:
            raise ValueError("each orientation is three angles (alpha, beta, gamma) in degrees")
    groups = [[i] for i in range(len(call.rows))] if separate_orbitals else [None]
    maps = np.empty((len(orientations), len(groups), call.n, call.n), dtype=np.float32)
    tasks = [(o, g) for o in range(len(orientations)) for g in range(len(groups))]
    threads = threads or os.cpu_count() or 1

    bar = progress_bar(len(tasks), "momentum maps", progress)

    def work(task):
        o, g = task
        call.run(orientations[o], rows=groups[g], out=maps[o, g])

    try:
        if executor is not None:
            from .scanning import maps_on_executor
            maps_on_executor(executor, call, molecule, orbitals, options, orientations, groups,
                             maps, bar)
        elif threads == 1:
            for task in tasks:
                work(task)
                bar.update()
        else:
            with ThreadPoolExecutor(max_workers=threads) as pool:
                for _ in pool.map(work, tasks):
                    bar.update()
    finally:
        bar.close()
    return maps, call


def as_momentum_maps(maps, call, orientations):
    """Wraps the arrays of scan_momentum_maps as MomentumMap objects, [orientation][orbital]."""
    labels = call.parameters["orbitals"]
    result = []
    for o, orientation in enumerate(orientations):
        row = []
        for g in range(maps.shape[1]):
            separate = maps.shape[1] == len(labels)
            names = [labels[g]] if separate else labels
            e_kin = [float(call.e_kin[g])] if separate else [float(e) for e in call.e_kin]
            row.append(MomentumMap(maps[o, g], call.k_min, call.k_step, call.k_unit,
                                   {**call.parameters, "orbitals": names,
                                    "e_kin_hartree": e_kin,
                                    "orientation": tuple(orientation)}))
        result.append(row)
    return result
