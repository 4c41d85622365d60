"""One Python function per orbital kernel of the C library, with keyword arguments
and numpy results.

Orbital kernels take a Molecule and orbitals chosen by index or name ('HOMO',
'HOMO-1', 'LUMO+1', ...); energies are given in eV by default (energy_unit=
'hartree' for atomic units) and momenta in inverse angstrom (k_unit='1/bohr'
for atomic units).  Everything is converted once, to the library's float32
arguments in bohr, bohr^-1, hartree and degrees (map_sum_call.py holds the
checks and the kinetic energies of the photoelectrons).

Intensities: momentum maps and momentum densities are
|integral psi(r) e^{-ik.r} d^3r|^2 / pi^3 in bohr^3 (k in bohr^-1), so the
momentum density of a normalised orbital integrates to 8 over k space; divide
by 8 for a density normalised to 1.

Orientation: see orientation.py (CONVENTION) and the functions' docstrings.

Every argument is checked before any work (an `InputError`, a ValueError
naming the argument), and the memory a call will allocate is estimated first:
above `max_memory` (default: half the available memory) the call raises
`MemoryLimitError` instead of starting.  Long calls can be interrupted with
Ctrl-C (see `interrupt`).  The operations on finished maps (rotation,
mirroring, symmetrisation, normalisation, the light's polarisation factor)
are in map_operations.py.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any, Dict, List, Optional

import numpy as np

from . import interrupt, library
from .errors import InputError
from .grids import Field3D, Grid, MomentumMap
from .map_sum_call import (check_map_memory, checked_molecule, coefficient_matrix,
                           energy_parameters, given_energies, momentum_grid,
                           orbital_energies, orbital_weights, orientation_angles)
from .memory import check, float32_bytes
from .molecule import Molecule, orbital_rows
from .orientation import document
from .progress import progress_bar
from .validation import count

if TYPE_CHECKING:
    from numpy.typing import ArrayLike

    from .types import (EnergyUnit, Float32Array, LengthUnit, MemorySize, MomentumUnit,
                        OrbitalSelection, OrbitalSelector, OrientationLike, Spin)


# ---- photoemission momentum maps -------------------------------------------

@document
def momentum_map(molecule: Molecule, orbital: OrbitalSelector = "HOMO", *,
                 spin: Spin = "alpha", kinetic_energy: Optional[float] = None,
                 photon_energy: Optional[float] = None, work_function: Optional[float] = None,
                 binding_energy: Optional[float] = None, energy_unit: EnergyUnit = "eV",
                 k_max: float = 3.0, n: int = 201, k_unit: MomentumUnit = "1/angstrom",
                 k_min: Optional[float] = None, k_step: Optional[float] = None,
                 orientation: OrientationLike = (0.0, 0.0, 0.0),
                 max_memory: MemorySize = None) -> MomentumMap:
    """|psi(k)|^2 / pi^3 (bohr^3) of one orbital on the kinetic-energy hemisphere.

    No symmetry, no light.  Energies in `energy_unit` (eV), k_max in `k_unit`
    (1/angstrom); the map spans -k_max ... +k_max with n pixels per side.
    {orientation}
    max_memory: refuse above this many bytes (default half the available memory).
    """
    molecule = checked_molecule(molecule)
    rows = orbital_rows(molecule, orbital, spin)
    if len(rows) != 1:
        raise InputError("orbital", "takes one orbital here; use momentum_map_sum for several")
    energies = given_energies(None, kinetic_energy=kinetic_energy, photon_energy=photon_energy,
                              work_function=work_function, binding_energy=binding_energy,
                              energy_unit=energy_unit)
    kinetic, binding = orbital_energies(molecule, rows, energies)
    e_kin = energies.hartree(kinetic)[0]
    n, kmin, kstep = momentum_grid(k_max, n, k_unit, k_min, k_step)
    alpha, beta, gamma = orientation_angles(orientation)
    check_map_memory(n, 1, 0, max_memory)
    out = np.empty((n, n), dtype=np.float32)
    interrupt.call(library.function("momentum_map"),
                   n, molecule.n_atoms, molecule.shells_per_atom, molecule.atom_x,
                   molecule.atom_y, molecule.atom_z, e_kin, kmin, kstep, alpha, beta, gamma,
                   molecule.shell_l, molecule.shell_n_prim, molecule.prim_exponent,
                   molecule.prim_coeff, coefficient_matrix(molecule, rows[0]), out,
                   work=n * n * molecule.n_atoms)
    return MomentumMap(out, kmin, kstep, k_unit, {
        "orbitals": [molecule.orbital_label(r) for r in rows],
        **energy_parameters(energies, kinetic, binding, np.float32(e_kin)),
        "orientation": (alpha, beta, gamma)})


# ---- real-space fields and momentum densities --------------------------------

def _real_grid(molecule: Molecule, grid: Optional[Grid], spacing: float, margin: float,
               unit: LengthUnit) -> Grid:
    if grid is None:
        return Grid.around(molecule, spacing, margin, unit)
    if grid.space != "real":
        raise InputError("grid", "must be a real-space grid (Grid.around) for this kernel")
    return grid


def _momentum_grid3d(grid: Optional[Grid], k_max: float, n: int,
                     k_unit: MomentumUnit) -> Grid:
    if grid is None:
        return Grid.momentum_cube(k_max, n, k_unit)
    if grid.space != "momentum":
        raise InputError("grid", "must be a momentum grid (Grid.momentum_cube) for this kernel")
    return grid


def _grid_memory(grid: Grid, grids: int, max_memory: MemorySize, shrink: str) -> None:
    nx, ny, nz = grid.shape
    check(float32_bytes(nx, ny, nz) * grids, f"a grid of {nx} x {ny} x {nz} points", shrink,
          max_memory)


def _shrink_hint(grid: Grid) -> str:
    return "raise {spacing} or lower {margin}" if grid.space == "real" else "lower {n}"


def _one_orbital_on_grid(function: str, m: Molecule, row: int, grid: Grid,
                         max_memory: MemorySize, quantity: str, units: str) -> Field3D:
    """Calls scalar_field or momentum_density (the same parameter order) for one orbital."""
    _grid_memory(grid, 1, max_memory, _shrink_hint(grid))
    nx, ny, nz = grid.shape
    out = np.empty((nz, ny, nx), dtype=np.float32)
    interrupt.call(library.function(function),
                   nx, ny, nz, m.n_atoms, m.shells_per_atom, m.atom_x, *grid.origin_bohr,
                   grid.step_bohr, m.atom_y, m.atom_z, m.shell_l, m.shell_n_prim,
                   m.prim_exponent, m.prim_coeff, coefficient_matrix(m, row), out,
                   work=grid.n_points)
    return Field3D(out, grid, {"orbitals": [m.orbital_label(row)], "quantity": quantity,
                               "units": units})


def _orbitals_on_grid(function: str, m: Molecule, rows: List[int],
                      weights: Optional[ArrayLike], grid: Grid,
                      max_memory: MemorySize, quantity: str, units: str,
                      threads: Optional[int] = None, progress: bool = False,
                      one_call: bool = False) -> Field3D:
    """Calls charge_density_sum or momentum_density_sum (the same parameter order);
    weights default to the orbitals' occupations.

    Unless `one_call`, the orbitals run one per call on `threads` threads and
    are added in orbital order, which gives the bits of one call (each kernel
    call sums its orbitals in order, starting from zero) while Ctrl-C and a
    progress display work between orbitals.
    """
    weights = orbital_weights(m.mo_occ[rows] if weights is None else weights, len(rows))
    threads = interrupt.default_threads() if threads is None else \
        count(threads, "threads", 1)
    one_call = one_call or len(rows) == 1
    # Each call's output, and charge_density_sum's per-orbital scratch grid;
    # orbital by orbital also the running sum.
    per_call = 2 if function == "charge_density_sum" else 1
    grids = per_call if one_call else 1 + min(threads, len(rows)) * per_call
    _grid_memory(grid, grids, max_memory, _shrink_hint(grid))
    nx, ny, nz = grid.shape
    kernel = library.function(function)
    coeff = coefficient_matrix(m, rows)

    def compute(part: slice) -> Float32Array:
        out = np.empty((nz, ny, nx), dtype=np.float32)
        kernel(nx, ny, nz, part.stop - part.start, np.ascontiguousarray(weights[part]),
               np.ascontiguousarray(coeff[part]), *grid.origin_bohr, grid.step_bohr,
               m.n_atoms, *m.basis_arguments(), out)
        return out

    parameters = {"orbitals": [m.orbital_label(r) for r in rows],
                  "weights": [float(w) for w in weights], "quantity": quantity, "units": units}
    if one_call:
        return Field3D(interrupt.call(compute, slice(0, len(rows)),
                                      work=grid.n_points * len(rows)), grid, parameters)
    total = np.zeros((nz, ny, nx), dtype=np.float32)
    waiting: Dict[int, Float32Array] = {}
    added = [0]
    bar = progress_bar(len(rows), quantity, progress, unit="orbital")

    def add_in_order(index: int, part: Float32Array) -> None:
        waiting[index] = part
        while added[0] in waiting:
            total[...] += waiting.pop(added[0])
            added[0] += 1
        bar.update(1)

    try:
        interrupt.run_tasks([slice(i, i + 1) for i in range(len(rows))], compute, threads,
                            on_done=add_in_order)
    finally:
        bar.close()
    return Field3D(total, grid, parameters)


def scalar_field(molecule: Molecule, orbital: OrbitalSelector = "HOMO", *, spin: Spin = "alpha",
                 grid: Optional[Grid] = None, spacing: float = 0.2, margin: float = 4.0,
                 unit: LengthUnit = "angstrom", max_memory: MemorySize = None) -> Field3D:
    """One orbital (bohr^-3/2) on a real-space grid; a Field3D of shape (nz, ny, nx).

    Without `grid`, a box around the molecule with the given spacing and margin
    (in `unit`, which the result's axes use) is used.
    """
    molecule = checked_molecule(molecule)
    rows = orbital_rows(molecule, orbital, spin)
    if len(rows) != 1:
        raise InputError("orbital", "takes one orbital here")
    return _one_orbital_on_grid("scalar_field", molecule, rows[0],
                                _real_grid(molecule, grid, spacing, margin, unit), max_memory,
                                "orbital", "bohr^-3/2")


def charge_density_sum(molecule: Molecule, orbitals: OrbitalSelection = "occupied", *,
                       spin: Spin = "alpha", weights: Optional[ArrayLike] = None,
                       grid: Optional[Grid] = None, spacing: float = 0.2, margin: float = 4.0,
                       unit: LengthUnit = "angstrom", threads: Optional[int] = None,
                       progress: bool = False, max_memory: MemorySize = None) -> Field3D:
    """sum_o w_o psi_o^2 (bohr^-3) on a real-space grid; by default the electron density
    (all occupied orbitals weighted by their occupations).

    The orbitals run one per kernel call on `threads` threads (default: all
    CPUs), added in order: the same bits as one call, interruptible between
    orbitals, with a progress display when `progress`.
    """
    molecule = checked_molecule(molecule)
    return _orbitals_on_grid("charge_density_sum", molecule,
                             orbital_rows(molecule, orbitals, spin), weights,
                             _real_grid(molecule, grid, spacing, margin, unit), max_memory,
                             "charge density", "bohr^-3", threads, progress)


def momentum_density(molecule: Molecule, orbital: OrbitalSelector = "HOMO", *,
                     spin: Spin = "alpha", grid: Optional[Grid] = None, k_max: float = 3.0,
                     n: int = 61, k_unit: MomentumUnit = "1/angstrom",
                     max_memory: MemorySize = None) -> Field3D:
    """|FT psi|^2 / pi^3 (bohr^3) of one orbital on a 3D momentum grid (Field3D, (nz, ny, nx)).

    A normalised orbital's density integrates to 8 over k in bohr^-1.
    """
    molecule = checked_molecule(molecule)
    rows = orbital_rows(molecule, orbital, spin)
    if len(rows) != 1:
        raise InputError("orbital", "takes one orbital here; use momentum_density_sum")
    return _one_orbital_on_grid("momentum_density", molecule, rows[0],
                                _momentum_grid3d(grid, k_max, n, k_unit), max_memory,
                                "momentum density", "bohr^3 (|FT psi|^2 / pi^3)")


def momentum_density_sum(molecule: Molecule, orbitals: OrbitalSelection = "occupied", *,
                         spin: Spin = "alpha", weights: Optional[ArrayLike] = None,
                         grid: Optional[Grid] = None, k_max: float = 3.0, n: int = 61,
                         k_unit: MomentumUnit = "1/angstrom",
                         max_memory: MemorySize = None) -> Field3D:
    """sum_o w_o |FT psi_o|^2 / pi^3 (bohr^3) on a 3D momentum grid; weights default to
    the occupations.

    One kernel call (it shares the per-point work between orbitals, five times
    faster than orbital by orbital); Ctrl-C returns at once, the abandoned call
    finishing in the background.
    """
    molecule = checked_molecule(molecule)
    return _orbitals_on_grid("momentum_density_sum", molecule,
                             orbital_rows(molecule, orbitals, spin), weights,
                             _momentum_grid3d(grid, k_max, n, k_unit), max_memory,
                             "momentum density", "bohr^3 (|FT psi|^2 / pi^3)", one_call=True)
