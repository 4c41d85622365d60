"""Orientation scans in memory: many momentum maps of one molecule, on a thread pool
or any concurrent.futures.Executor.

Each map is one momentum_map_sum call into its own slice of a preallocated
result array.  ctypes releases the GIL for the duration of a C call and the
kernels are reentrant, so the calls run truly in parallel.  Ctrl-C cancels the
maps not yet started (core/interrupt.run_tasks).  On an executor (a process
pool, a Dask cluster) the maps go in tasks of about TASK_SECONDS each, a
window at a time (executor.py, shared with the scans into a store).

    maps, call = scan_momentum_maps(mol, ["HOMO", "HOMO-1"], [(a, 0, 0) for a in range(0, 180, 5)],
                                    kinetic_energy=30)
    scan = scan_to_xarray(maps, call, orientations)   # one labelled DataArray

Scans too large for memory (many molecules, energies and orientations) go to a
Zarr store instead: store_scan.py.
"""

from __future__ import annotations

import functools
import math
import time
from typing import TYPE_CHECKING, Any, Iterable, List, Optional, Sequence, Tuple

import numpy as np

from ..core.grids import MOMENTUM_INTENSITY_UNITS, MomentumMap, clean_numbers, \
    netcdf_attributes, require_xarray
from ..core.map_sum_call import (Group, MapCall, as_momentum_maps, checked_molecule,
                                 checked_orientations, compute_maps, orbital_groups)
from ..core.molecule import Molecule
from ..core.orientation import CONVENTION, document
from ..core.memory import MemorySize
from ..requests.maps import MapRequest, Orbitals, listed
from .executor import TASK_SECONDS, run_windowed

if TYPE_CHECKING:
    from concurrent.futures import Executor

    import xarray

    from numpy.typing import ArrayLike

    from ..core.progress import ProgressBar
    from ..core.types import (EnergyUnit, Float32Array, MomentumUnit, Orientation,
                              OrientationLike, Polarisation, Spin, Symmetry)
    from ..final_state.map_call import PartialWaveSettings

__all__ = ["scan_momentum_maps", "as_momentum_maps", "scan_to_xarray"]


@document
def scan_momentum_maps(molecule: Molecule, orbitals: Orbitals = ("HOMO",),
                       orientations: Iterable[OrientationLike] = ((0.0, 0.0, 0.0),), *,
                       separate_orbitals: bool = True, threads: Optional[int] = None,
                       executor: Optional[Executor] = None, progress: bool = True,
                       spin: Spin = "alpha", weights: Optional[ArrayLike] = None,
                       kinetic_energy: Optional[ArrayLike] = None,
                       photon_energy: Optional[float] = None,
                       work_function: Optional[float] = None,
                       binding_energy: Optional[ArrayLike] = None,
                       energy_unit: EnergyUnit = "eV", k_max: float = 3.0, n: int = 201,
                       k_unit: MomentumUnit = "1/angstrom", k_min: Optional[float] = None,
                       k_step: Optional[float] = None, symmetry: Symmetry = None,
                       polarisation: Optional[Polarisation] = None, incidence: float = 65.0,
                       azimuth: float = 0.0, s_share: float = 0.0,
                       kz_imaginary: ArrayLike = 0.0, final_state: str = "plane-wave",
                       continuum: str = "atomic",
                       partial_waves: Optional[PartialWaveSettings] = None,
                       dichroism: bool = False,
                       max_memory: MemorySize = None) -> Tuple[Float32Array, MapCall]:
    """Momentum maps for every orientation (and every orbital).

    Returns (maps, call): `maps` has shape (n_orientations, n_orbitals, n, n)
    with `separate_orbitals`, else (n_orientations, 1, n, n) holding each
    orientation's weighted sum; `call` is the prepared call (a MapSumCall, or the
    IAC model's for final_state 'iac'; its k_min_bohr, k_step_bohr, k_unit and
    parameters describe the grid).  The other settings are those of
    momentum_map_sum (energies, grid, symmetry, polarisation, final_state,
    continuum, partial_waves, dichroism, max_memory, ...).  `orientations`: a list of (alpha, beta,
    gamma) in degrees, each as below.
    {orientation}
    `threads` defaults to the number of CPUs.  `executor`: any
    concurrent.futures.Executor to run the maps on instead (a process pool, or
    dask.distributed.Client(...).get_executor()); its workers receive the
    molecule with each task.
    """
    request = MapRequest(
        molecule=checked_molecule(molecule), orbitals=orbitals, spin=spin,
        weights=listed(weights), kinetic_energy=listed(kinetic_energy),
        photon_energy=photon_energy, work_function=work_function,
        binding_energy=listed(binding_energy), energy_unit=energy_unit, k_max=k_max, n=n,
        k_unit=k_unit, k_min=k_min, k_step=k_step, symmetry=symmetry,
        polarisation=polarisation, incidence=incidence, azimuth=azimuth, s_share=s_share,
        kz_imaginary=listed(kz_imaginary), final_state=final_state, continuum=continuum,
        partial_waves=partial_waves, dichroism=dichroism,
        separate_orbitals=separate_orbitals, threads=threads, progress=progress,
        max_memory=max_memory)
    call = request.prepare()
    checked = checked_orientations(orientations)
    groups = orbital_groups(call, separate_orbitals)
    on_executor = None if executor is None else \
        functools.partial(_maps_on_executor, executor, call, request, checked, groups)
    return compute_maps(call, checked, groups, threads, progress, on_executor), call


def _map_block(request: MapRequest, orientations: Sequence[Orientation],
               groups: Sequence[Group]) -> Float32Array:
    """Maps of several orientations: one task of scan_momentum_maps on an executor."""
    call = request.prepare()
    out = np.empty((len(orientations), len(groups), call.n, call.n), dtype=np.float32)
    for o, orientation in enumerate(orientations):
        for g, rows in enumerate(groups):
            call.run(orientation, rows=rows, out=out[o, g])
    return out


def _maps_on_executor(executor: Executor, call: MapCall, request: MapRequest,
                      orientations: Sequence[Orientation], groups: Sequence[Group],
                      maps: Float32Array, bar: ProgressBar) -> None:
    """Fills `maps` (orientation, group, n, n) by tasks of about TASK_SECONDS each on
    `executor`; the request, and the molecule in it, travels with each task, so any
    executor will do."""
    start = time.perf_counter()
    call.run(orientations[0], rows=groups[0])
    per_orientation = (time.perf_counter() - start) * len(groups)
    size = max(1, min(math.ceil(TASK_SECONDS / max(per_orientation, 1e-6)),
                      math.ceil(len(orientations) / 4)))  # at least a few tasks to share

    def store(first: Any, block: Float32Array) -> None:
        maps[first:first + len(block)] = block
        bar.update(block.shape[0] * block.shape[1])

    run_windowed(executor, ((i, _map_block, (request, orientations[i:i + size], groups))
                            for i in range(0, len(orientations), size)), store)


def _labels(call: MapCall, separate: bool) -> List[str]:
    names = call.parameters["orbitals"]
    return list(names) if separate else ["+".join(names)]


def scan_to_xarray(maps: Float32Array, call: MapCall, orientations: Iterable[OrientationLike],
                   name: str = "intensity") -> xarray.DataArray:
    """A scan as one xarray.DataArray, dims (orientation, orbital, kx, ky).

    Coordinates: alpha, beta, gamma (degrees) along `orientation`, the orbital
    labels (or the summed group) along `orbital` with their kinetic energies,
    kx and ky in the call's unit; attributes carry units and the request.
    """
    xr = require_xarray()
    checked = np.array(checked_orientations(orientations), dtype=np.float64)
    labels = call.parameters["orbitals"]
    separate = maps.shape[1] == len(labels)
    orbital_labels = _labels(call, separate)
    energies = call.parameters["kinetic_energy"]
    axis = np.asarray(clean_numbers(MomentumMap(maps[0, 0], call.k_min_bohr, call.k_step_bohr,
                                                call.k_unit).kx))
    energy_unit = call.parameters["energy_unit"]
    coords = {
        "alpha": ("orientation", checked[:, 0], {"units": "degree"}),
        "beta": ("orientation", checked[:, 1], {"units": "degree"}),
        "gamma": ("orientation", checked[:, 2], {"units": "degree"}),
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
               "orientation_convention": CONVENTION, **netcdf_attributes(attributes)})
