"""Momentum-map scans over many orientations and/or orbitals on a thread pool.

Each map is one momentum_map_sum call into its own slice of a preallocated
result array.  ctypes releases the GIL for the duration of a C call and the
kernels are reentrant, so the calls run truly in parallel.  Ctrl-C cancels the
maps not yet started (interrupt.run_tasks).

    maps, call = scan_momentum_maps(mol, ["HOMO", "HOMO-1"], [(a, 0, 0) for a in range(0, 180, 5)],
                                    kinetic_energy=30)
    scan = scan_to_xarray(maps, call, orientations)   # one labelled DataArray
"""

from __future__ import annotations

from typing import List, Tuple

import numpy as np

from . import interrupt
from .grids import MomentumMap, _attributes, _xarray, clean_numbers, MOMENTUM_INTENSITY_UNITS
from .kernels import MapSumCall
from .progress import progress_bar
from .validation import angles, count


def _orientations(orientations) -> List[Tuple[float, float, float]]:
    result = [angles(o, "orientation") for o in orientations]
    if not result:
        raise ValueError("orientations is empty: give at least one (alpha, beta, gamma)")
    return result


def scan_momentum_maps(molecule, orbitals=("HOMO",), orientations=((0.0, 0.0, 0.0),), *,
                       separate_orbitals=True, threads=None, executor=None, progress=True,
                       **options):
    """Momentum maps for every orientation (and every orbital).

    Returns (maps, call): `maps` has shape (n_orientations, n_orbitals, n, n)
    with `separate_orbitals`, else (n_orientations, 1, n, n) holding each
    orientation's weighted sum; `call` is the prepared MapSumCall (its
    k_min_bohr, k_step_bohr, k_unit and parameters describe the grid).
    `options` are those of momentum_map_sum (energies, grid, symmetry,
    polarisation, max_memory, ...).  Orientations are (alpha, beta, gamma) in
    degrees, M = Rz(alpha) Rx(beta) Rz(gamma); (alpha, 0, 0) turns the lobes
    clockwise by alpha.  `threads` defaults to the number of CPUs.  `executor`: any
    concurrent.futures.Executor to run the maps on instead (a process pool, or
    dask.distributed.Client(...).get_executor()); its workers receive the
    molecule with each task.
    """
    call = MapSumCall(molecule, orbitals, **options)
    orientations = _orientations(orientations)
    threads = interrupt.default_threads() if threads is None else count(threads, "threads", 1)
    groups = [[i] for i in range(len(call.rows))] if separate_orbitals else [None]
    tasks = [(o, g) for o in range(len(orientations)) for g in range(len(groups))]
    call.check_memory(len(tasks), min(threads, len(tasks)))
    maps = np.empty((len(orientations), len(groups), call.n, call.n), dtype=np.float32)

    bar = progress_bar(len(tasks), "momentum maps", progress)

    def work(task):
        o, g = task
        call.run(orientations[o], rows=groups[g], out=maps[o, g])

    try:
        if executor is not None:
            from .scanning import maps_on_executor
            maps_on_executor(executor, call, molecule, orbitals, options, orientations, groups,
                             maps, bar)
        else:
            interrupt.run_tasks(tasks, work, threads, on_done=lambda *_: bar.update())
    finally:
        bar.close()
    return maps, call


def _labels(call: MapSumCall, separate: bool) -> List[str]:
    names = call.parameters["orbitals"]
    return list(names) if separate else ["+".join(names)]


def as_momentum_maps(maps, call: MapSumCall, orientations) -> List[List[MomentumMap]]:
    """Wraps the arrays of scan_momentum_maps as MomentumMap objects, [orientation][orbital]."""
    labels = call.parameters["orbitals"]
    separate = maps.shape[1] == len(labels)
    energies = call.parameters["kinetic_energy"]
    result = []
    for o, orientation in enumerate(_orientations(orientations)):
        row = []
        for g in range(maps.shape[1]):
            pick = [g] if separate else list(range(len(labels)))
            parameters = {**call.parameters, "orbitals": [labels[i] for i in pick],
                          "kinetic_energy": [energies[i] for i in pick],
                          "e_kin_hartree": [float(call.e_kin[i]) for i in pick],
                          "orientation": orientation}
            row.append(MomentumMap(maps[o, g], call.k_min_bohr, call.k_step_bohr, call.k_unit,
                                   parameters))
        result.append(row)
    return result


def scan_to_xarray(maps, call: MapSumCall, orientations, name: str = "intensity"):
    """A scan as one xarray.DataArray, dims (orientation, orbital, kx, ky).

    Coordinates: alpha, beta, gamma (degrees) along `orientation`, the orbital
    labels (or the summed group) along `orbital` with their kinetic energies,
    kx and ky in the call's unit; attributes carry units and the request.
    """
    xr = _xarray()
    orientations = np.array(_orientations(orientations), dtype=np.float64)
    labels = call.parameters["orbitals"]
    separate = maps.shape[1] == len(labels)
    orbital_labels = _labels(call, separate)
    energies = call.parameters["kinetic_energy"]
    axis = np.asarray(clean_numbers(MomentumMap(maps[0, 0], call.k_min_bohr, call.k_step_bohr,
                                                call.k_unit).kx))
    energy_unit = call.parameters["energy_unit"]
    coords = {
        "alpha": ("orientation", orientations[:, 0], {"units": "degree"}),
        "beta": ("orientation", orientations[:, 1], {"units": "degree"}),
        "gamma": ("orientation", orientations[:, 2], {"units": "degree"}),
        "orbital": ("orbital", np.array(orbital_labels, dtype=object)),
        "kx": ("kx", axis, {"units": call.k_unit}),
        "ky": ("ky", axis, {"units": call.k_unit}),
    }
    if separate:
        coords["kinetic_energy"] = ("orbital", np.asarray(clean_numbers(energies)),
                                    {"units": energy_unit})
    attributes = {k: v for k, v in call.parameters.items()
                  if k not in ("orbitals", "kinetic_energy", "e_kin_hartree") or not separate}
    return xr.DataArray(
        np.asarray(maps), dims=("orientation", "orbital", "kx", "ky"), coords=coords, name=name,
        attrs={"units": MOMENTUM_INTENSITY_UNITS, "k_unit": call.k_unit,
               "k_min_bohr": call.k_min_bohr, "k_step_bohr": call.k_step_bohr,
               "orientation_convention": "map = |psi~(M k)|^2, M = Rz(alpha) Rx(beta) Rz(gamma)",
               **_attributes(attributes)})

