"""One Python function per C kernel, with keyword arguments and numpy results.

Orbital kernels take a Molecule and orbitals chosen by index or name ('HOMO',
'HOMO-1', 'LUMO+1', ...); energies are given in eV by default (energy_unit=
'hartree' for atomic units) and momenta in inverse angstrom (k_unit='1/bohr'
for atomic units).  Everything is converted here, once, to the library's
float32 arguments in bohr, bohr^-1, hartree and degrees.

Kinetic energies: give `kinetic_energy` (one value, or one per orbital), or a
`photon_energy` and `work_function`, with which each orbital's kinetic energy is
E_kin = photon_energy - work_function - E_B, its binding energy E_B being
`binding_energy` when given and otherwise minus its orbital energy.

Intensities: momentum maps and momentum densities are
|integral psi(r) e^{-ik.r} d^3r|^2 / pi^3 in bohr^3 (k in bohr^-1), so the
momentum density of a normalised orbital integrates to 8 over k space; divide
by 8 for a density normalised to 1.

Orientation: the angles (alpha, beta, gamma) in degrees give the matrix
M = Rz(alpha) Rx(beta) Rz(gamma) of counter-clockwise rotations, and the map is
|psi~(M k)|^2: the molecule stands in the laboratory turned by the transpose of
M.  Seen from above, orientation (alpha, 0, 0) turns the map's lobes clockwise
by alpha, i.e. it equals rotation(map at (0, 0, 0), -alpha).

Every argument is checked before any work (a `validation.InputError`, a
ValueError naming the argument), and the memory a call will allocate is
estimated first: above `max_memory` (default: half the available memory) the
call raises `memory.MemoryLimitError` instead of starting.  Long calls can be
interrupted with Ctrl-C (see `interrupt`).
"""


import math
from typing import Any, Dict, List, Optional, Sequence

import numpy as np

from . import _library, interrupt
from .conversion import check_selected
from .grids import Field3D, Grid, MomentumMap, unit_text
from .memory import MemorySize, check, float32_bytes
from .molecule import Molecule
from .units import energy_to_hartree, momentum_to_bohr
from .validation import InputError, angles, count, finite, in_range, non_negative, positive

SYMMETRY_MODES = {None: -1, "none": -1, 1: -1, 2: 1, 3: 2, 4: 0}

POLARISATIONS = {
    # name: (polarisation_mode, circular_mode, s share override)
    "p": (0, 0, 0.0),
    "s": (0, 0, 100.0),
    "linear": (0, 0, None),
    "circular+": (1, 0, None),  # (e_p + i e_s)/sqrt(2)
    "circular-": (1, 1, None),  # (e_p - i e_s)/sqrt(2)
    "dichroism": (1, 2, None),  # circular- minus circular+
    "radial": (2, 0, None),
}

# Polarisations whose maps take both signs (drawn with a diverging colour map).
SIGNED_POLARISATIONS = ("dichroism",)


def symmetry_mode(symmetry) -> int:
    """Library code of a symmetry group given as None/'none', 2, 3 or 4 (fold)."""
    key = symmetry
    if isinstance(symmetry, str):
        text = symmetry.strip().lower().replace("-fold", "").replace("fold", "")
        key = "none" if text in ("none", "") else int(text) if text.isdigit() else text
    if key not in SYMMETRY_MODES:
        raise InputError("symmetry", f"must be none, 2, 3 or 4 (fold), got {symmetry!r}")
    return SYMMETRY_MODES[key]


def orbital_rows(molecule: Molecule, orbitals, spin: str = "alpha") -> List[int]:
    """Row indices of `orbitals`: one selector, a list of them, or 'occupied'."""
    if isinstance(orbitals, str) and orbitals.strip().lower() == "occupied":
        rows = molecule.occupied_orbitals()
        if len(rows) == 0:
            raise ValueError("the molecule has no occupied orbital")
        rows = [int(r) for r in rows]
        check_selected(molecule, rows)
        return rows
    if isinstance(orbitals, (str, int, np.integer)):
        orbitals = [orbitals]
    rows = [molecule.orbital_index(o, spin) for o in orbitals]
    if not rows:
        raise InputError("orbitals", "selects no orbital")
    check_selected(molecule, rows)  # parts a file held beyond the library's basis
    return rows


def _energy_unit_text(energy_unit: str) -> str:
    energy_to_hartree(1.0, energy_unit)  # an unknown unit fails here
    return "eV" if str(energy_unit).strip().lower() == "ev" else str(energy_unit)


def kinetic_energies(molecule: Molecule, rows: Sequence[int], *, kinetic_energy=None,
                     photon_energy=None, work_function=None, binding_energy=None,
                     energy_unit: str = "eV") -> np.ndarray:
    """Kinetic energy of each selected orbital's photoelectron, in hartree (all > 0)."""
    unit = _energy_unit_text(energy_unit)
    if (kinetic_energy is None) == (photon_energy is None):
        raise InputError("kinetic_energy", "or photon_energy (with work_function) must be "
                                           "given, not both")
    if kinetic_energy is not None:
        values = np.atleast_1d(np.asarray(kinetic_energy, dtype=object))
        checked = [positive(v, "kinetic_energy", unit) for v in values.ravel()]
        if len(checked) not in (1, len(rows)):
            raise InputError("kinetic_energy", f"needs one value or one per orbital "
                                               f"({len(rows)}), got {len(checked)}")
        return energy_to_hartree(np.broadcast_to(np.asarray(checked, dtype=np.float64),
                                                 (len(rows),)), energy_unit)
    photon = positive(photon_energy, "photon_energy", unit)
    if work_function is None:
        raise InputError("work_function", "must be given with photon_energy")
    work = non_negative(work_function, "work_function", unit)
    if binding_energy is None:
        energies = molecule.mo_energy[list(rows)]
        if not np.all(np.isfinite(energies)):
            raise InputError("binding_energy", "is needed: the orbitals have no energies",
                             "or give {kinetic_energy}")
        binding = -energies
    else:
        given = [finite(v, "binding_energy", unit)
                 for v in np.atleast_1d(np.asarray(binding_energy, dtype=object)).ravel()]
        binding = energy_to_hartree(np.broadcast_to(np.asarray(given, dtype=np.float64),
                                                    (len(rows),)), energy_unit)
    e_kin = energy_to_hartree(photon - work, energy_unit) - binding
    low = e_kin <= 0
    if np.any(low):
        names = ", ".join(molecule.orbital_label(r) for r, bad in zip(rows, low) if bad)
        worst = float(e_kin.min()) / energy_to_hartree(1.0, energy_unit)
        raise InputError("photon_energy", f"{photon:g} {unit} leaves {names} a kinetic energy "
                                          f"<= 0 ({worst:.3g} {unit} = photon energy - work "
                                          "function - binding energy)",
                         "raise {photon_energy} or lower {work_function}")
    return e_kin


def momentum_grid(k_max=3.0, n=201, k_unit: str = "1/angstrom", k_min=None, k_step=None):
    """(n, k_min, k_step) in bohr^-1: n points from -k_max to +k_max, or explicit."""
    n = count(n, "n", 2, what="pixels per side")
    unit = unit_text(k_unit)
    if k_min is not None or k_step is not None:
        if k_min is None or k_step is None:
            raise InputError("k_step" if k_step is None else "k_min",
                             "must be given together with k_min and k_step")
        k_min = finite(k_min, "k_min", unit)
        k_step = positive(k_step, "k_step", unit)
        return n, float(momentum_to_bohr(k_min, k_unit)), float(momentum_to_bohr(k_step, k_unit))
    k_max = float(momentum_to_bohr(positive(k_max, "k_max", unit), k_unit))
    return n, -k_max, 2 * k_max / (n - 1)


_PLAIN_NUMBERS = (float, int)


def _orientation(orientation) -> tuple:
    # Three plain finite numbers (the form repeated calls pass) skip the
    # general checks, which take a few microseconds; anything else gets them.
    if type(orientation) in (tuple, list) and len(orientation) == 3:
        alpha, beta, gamma = orientation
        if type(alpha) in _PLAIN_NUMBERS and type(beta) in _PLAIN_NUMBERS \
                and type(gamma) in _PLAIN_NUMBERS:
            alpha, beta, gamma = float(alpha), float(beta), float(gamma)
            if math.isfinite(alpha) and math.isfinite(beta) and math.isfinite(gamma):
                return alpha, beta, gamma
    return angles(orientation, "orientation")


def _molecule(molecule) -> Molecule:
    if not isinstance(molecule, Molecule):
        raise TypeError(f"expected a libkernels.Molecule, got {type(molecule).__name__}")
    return molecule


def _polarisation(polarisation, s_share):
    if polarisation is None or polarisation == "none":
        return None
    key = str(polarisation).strip().lower()
    if key not in POLARISATIONS:
        raise InputError("polarisation", f"must be one of none, {', '.join(POLARISATIONS)}; "
                                         f"got {polarisation!r}")
    mode, circular, share = POLARISATIONS[key]
    share = in_range(s_share, "s_share", 0, 100, "%") if share is None else share
    return mode, circular, share


def _coefficient_matrix(molecule: Molecule, rows) -> np.ndarray:
    return np.ascontiguousarray(molecule.mo_coeff[rows], dtype=np.float32)


def _map_memory(n: int, maps: int, scratch_maps: int, max_memory: MemorySize,
                what: str = "") -> None:
    """Guards `maps` result maps of n x n plus the scratch of the calls in flight."""
    check(float32_bytes(n, n) * (maps + scratch_maps),
          what or f"{maps} map{'s' if maps != 1 else ''} of {n} x {n} pixels", "lower {n}",
          max_memory)


# ---- photoemission momentum maps -------------------------------------------

ORIENTATION_DOC = """orientation: (alpha, beta, gamma) in degrees.  The map is |psi~(M k)|^2 with
        M = Rz(alpha) Rx(beta) Rz(gamma) (counter-clockwise rotations): the molecule
        stands turned by the transpose of M, so (alpha, 0, 0) turns the lobes
        clockwise by alpha as seen from above, the same as rotation(map, -alpha)."""


def _light_parameters(symmetry, polarisation, incidence, azimuth, s_share) -> Dict[str, Any]:
    return {"symmetry": "none" if symmetry in (None, "none", 1) else symmetry,
            "polarisation": polarisation or "none", "incidence_deg": incidence,
            "azimuth_deg": azimuth, "s_share_percent": s_share}


def _energy_parameters(e_kin_hartree, energy_unit, kinetic_energy, photon_energy,
                       work_function) -> Dict[str, Any]:
    """The energies of a request in the caller's unit, plus the library's hartree."""
    per_unit = float(energy_to_hartree(1.0, energy_unit))
    values = [float(e) for e in np.atleast_1d(e_kin_hartree)]
    return {"energy_unit": _energy_unit_text(energy_unit),
            "kinetic_energy": [e / per_unit for e in values],
            "photon_energy": None if photon_energy is None else float(photon_energy),
            "work_function": None if work_function is None else float(work_function),
            "kinetic_energy_given": kinetic_energy is not None,
            "e_kin_hartree": values}


def momentum_map(molecule, orbital="HOMO", *, spin="alpha", kinetic_energy=None,
                 photon_energy=None, work_function=None, binding_energy=None, energy_unit="eV",
                 k_max=3.0, n=201, k_unit="1/angstrom", k_min=None, k_step=None,
                 orientation=(0.0, 0.0, 0.0), max_memory: MemorySize = None) -> MomentumMap:
    """|psi(k)|^2 / pi^3 (bohr^3) of one orbital on the kinetic-energy hemisphere.

    No symmetry, no light.  Energies in `energy_unit` (eV), k_max in `k_unit`
    (1/angstrom); the map spans -k_max ... +k_max with n pixels per side.
    {orientation}
    max_memory: refuse above this many bytes (default half the available memory).
    """
    molecule = _molecule(molecule)
    rows = orbital_rows(molecule, orbital, spin)
    if len(rows) != 1:
        raise InputError("orbital", "takes one orbital here; use momentum_map_sum for several")
    e_kin = kinetic_energies(molecule, rows, kinetic_energy=kinetic_energy,
                             photon_energy=photon_energy, work_function=work_function,
                             binding_energy=binding_energy, energy_unit=energy_unit)[0]
    n, kmin, kstep = momentum_grid(k_max, n, k_unit, k_min, k_step)
    alpha, beta, gamma = _orientation(orientation)
    _map_memory(n, 1, 0, max_memory)
    out = np.empty((n, n), dtype=np.float32)
    interrupt.call(_library.function("momentum_map"),
                   n, molecule.n_atoms, molecule.shells_per_atom, molecule.atom_x,
                   molecule.atom_y, molecule.atom_z, e_kin, kmin, kstep, alpha, beta, gamma,
                   molecule.shell_l, molecule.shell_n_prim, molecule.prim_exponent,
                   molecule.prim_coeff, _coefficient_matrix(molecule, rows[0]), out,
                   work=n * n * molecule.n_atoms)
    return MomentumMap(out, kmin, kstep, k_unit, {
        "orbitals": [molecule.orbital_label(r) for r in rows],
        **_energy_parameters([e_kin], energy_unit, kinetic_energy, photon_energy,
                             work_function),
        "orientation": (alpha, beta, gamma)})


momentum_map.__doc__ = (momentum_map.__doc__ or "").replace("{orientation}", ORIENTATION_DOC)


class MapSumCall:
    """A prepared momentum_map_sum call: everything but the orientation fixed and checked.

    `n`, `k_min_bohr`, `k_step_bohr` describe the grid in library units,
    `k_unit` the caller's momentum unit, `parameters` the request in the
    caller's units.
    """

    def __init__(self, molecule, orbitals=("HOMO",), *, spin="alpha", weights=None,
                 kinetic_energy=None, photon_energy=None, work_function=None,
                 binding_energy=None, energy_unit="eV", k_max=3.0, n=201, k_unit="1/angstrom",
                 k_min=None, k_step=None, symmetry=None, polarisation=None,
                 incidence=65.0, azimuth=0.0, s_share=0.0, kz_imaginary=0.0,
                 max_memory: MemorySize = None):
        self.molecule = _molecule(molecule)
        self.rows = orbital_rows(molecule, orbitals, spin)
        self.e_kin = np.ascontiguousarray(kinetic_energies(
            molecule, self.rows, kinetic_energy=kinetic_energy, photon_energy=photon_energy,
            work_function=work_function, binding_energy=binding_energy,
            energy_unit=energy_unit), dtype=np.float32)
        if weights is not None:
            weights = [finite(w, "weights") for w in np.atleast_1d(
                np.asarray(weights, dtype=object)).ravel()]
        self.weights = None if weights is None else np.ascontiguousarray(
            np.broadcast_to(np.asarray(weights, dtype=np.float32), (len(self.rows),)))
        self.coeff = _coefficient_matrix(molecule, self.rows)
        self.n, self.k_min_bohr, self.k_step_bohr = momentum_grid(k_max, n, k_unit, k_min,
                                                                  k_step)
        self.k_unit = k_unit
        self.max_memory = max_memory
        self.symmetry_mode = symmetry_mode(symmetry)
        light = _polarisation(polarisation, s_share)
        self.use_polarisation = 0 if light is None else 1
        self.polarisation_mode: int
        self.circular_mode: int
        self.s_share: float
        self.polarisation_mode, self.circular_mode, self.s_share = light or (0, 0, 0.0)
        self.incidence = in_range(incidence, "incidence", 0, 90, "°")
        self.azimuth = finite(azimuth, "azimuth", "°")
        kz = [finite(v, "kz_imaginary", unit_text(k_unit))
              for v in np.atleast_1d(np.asarray(kz_imaginary, dtype=object)).ravel()]
        self.kz_imaginary = np.ascontiguousarray(np.broadcast_to(
            np.asarray(momentum_to_bohr(np.asarray(kz, dtype=np.float64), k_unit),
                       dtype=np.float32), (len(self.rows),)))
        self.parameters = {
            "orbitals": [molecule.orbital_label(r) for r in self.rows],
            **_energy_parameters(self.e_kin, energy_unit, kinetic_energy, photon_energy,
                                 work_function),
            **_light_parameters(symmetry, polarisation, self.incidence, self.azimuth,
                                self.s_share),
            "weights": None if self.weights is None else [float(w) for w in self.weights]}
        if any(kz):
            self.parameters["kz_imaginary"] = kz
        self._function = _library.function("momentum_map_sum")
        # A repeated call converts only the orientation and the output: the
        # arrays are checked and their addresses taken here, once (the call
        # keeps them alive), and the C scalars are built once.
        self._raw_function = _library.raw_function("momentum_map_sum")
        m = self.molecule
        self._basis = m.basis_arguments()
        basis_dtypes = (np.int32, np.float32, np.float32, np.float32, np.int32, np.int32,
                        np.float32, np.float32)
        self._head = (len(self.e_kin), _library.address(self.e_kin, np.float32),
                      _library.address(self.weights, np.float32),
                      _library.address(self.coeff, np.float32), self.n, self.symmetry_mode,
                      self.k_min_bohr, self.k_step_bohr)
        self._light = (self.incidence, self.azimuth, self.s_share, self.use_polarisation,
                       self.polarisation_mode, self.circular_mode,
                       _library.address(self.kz_imaginary, np.float32), m.n_atoms,
                       *(_library.address(a, t, "basis array")
                         for a, t in zip(self._basis, basis_dtypes)))
        # The interruptible call's measure of work is grid points (each costs
        # the atoms' harmonics and exponentials); a pixel costs about as much
        # (the atoms' harmonics and sincosf), so pixels x orbitals: a map that
        # takes milliseconds runs without the thread, whose start and join cost
        # about 0.1 ms per call.
        self._work = self.n * self.n * len(self.e_kin)
        self._last_out = (None, None)

    # Library units under their old names, for callers of the first releases.
    @property
    def k_min(self) -> float:
        return self.k_min_bohr

    @property
    def k_step(self) -> float:
        return self.k_step_bohr

    @property
    def scratch_maps(self) -> int:
        """Maps a running call allocates besides its output (orbital map, symmetrisation)."""
        return 1 + (2 if self.symmetry_mode != -1 else 0)

    def check_memory(self, maps: int, calls_in_flight: int = 1) -> None:
        """Refuses (MemoryLimitError) when `maps` results plus scratch exceed the limit."""
        _map_memory(self.n, maps, self.scratch_maps * calls_in_flight, self.max_memory,
                    f"{maps} map{'s' if maps != 1 else ''} of {self.n} x {self.n} pixels")

    def _run_prepared(self, out, alpha, beta, gamma) -> None:
        # The address of an output passed again is kept (the reference keeps
        # the array, and so its data, alive); one tuple, read and replaced
        # whole, so that calls on several threads never mix two outputs.
        last_out, address = self._last_out
        if last_out is not out:
            address = out.ctypes.data
            self._last_out = (out, address)
        self._raw_function(*self._head, alpha, beta, gamma, *self._light, address)

    def run(self, orientation=(0.0, 0.0, 0.0), rows=None, out=None) -> np.ndarray:
        """Sums the selected orbitals (or the subset `rows`, positions into self.rows).

        orientation: (alpha, beta, gamma) in degrees; the map is |psi~(M k)|^2 with
        M = Rz(alpha) Rx(beta) Rz(gamma), so (alpha, 0, 0) turns the lobes clockwise
        by alpha as seen from above (kx right, ky up).
        `out`: an (n, n) C-contiguous float32 array to write into (returned),
        saving the allocation of a new map per call.
        """
        alpha, beta, gamma = _orientation(orientation)
        if out is None:
            out = np.empty((self.n, self.n), dtype=np.float32)
        elif not isinstance(out, np.ndarray) or out.shape != (self.n, self.n) \
                or out.dtype != np.float32 or not out.flags.c_contiguous \
                or not out.flags.writeable:
            raise InputError("out", f"must be a writeable C-contiguous float32 array of shape "
                                    f"({self.n}, {self.n})")
        if rows is None:
            # `out` itself goes with the call, so that a call left running by an
            # interrupt keeps the array it writes alive.
            interrupt.call(self._run_prepared, out, alpha, beta, gamma, work=self._work)
            return out
        take = np.asarray(rows, dtype=np.intp)
        coeff = np.ascontiguousarray(self.coeff[take])
        e_kin = np.ascontiguousarray(self.e_kin[take])
        weights = None if self.weights is None else np.ascontiguousarray(self.weights[take])
        kz = np.ascontiguousarray(self.kz_imaginary[take])
        m = self.molecule
        interrupt.call(
            self._function,
            len(e_kin), e_kin, weights, coeff, self.n, self.symmetry_mode, self.k_min_bohr,
            self.k_step_bohr, alpha, beta, gamma, self.incidence, self.azimuth, self.s_share,
            self.use_polarisation, self.polarisation_mode, self.circular_mode, kz,
            m.n_atoms, *m.basis_arguments(), out, work=self.n * self.n * len(e_kin))
        return out


def momentum_map_sum(molecule, orbitals=("HOMO",), *, orientation=(0.0, 0.0, 0.0),
                     **options) -> MomentumMap:
    """Weighted sum of symmetrised, optionally light-weighted momentum maps.

    Options: spin, weights, kinetic_energy | photon_energy + work_function
    [+ binding_energy], energy_unit (eV), k_max, n, k_unit (1/angstrom; or
    k_min + k_step), symmetry (None, 2, 3, 4), polarisation (None, 'p', 's',
    'linear', 'circular+', 'circular-', 'dichroism', 'radial'), incidence
    (0-90 degrees from the surface normal) and azimuth (degrees from kx),
    s_share (0-100 percent, for 'linear'), kz_imaginary (in k_unit), max_memory.
    {orientation}
    Intensities are |FT psi|^2 / pi^3 in bohr^3, summed with the weights.
    """
    call = MapSumCall(molecule, orbitals, **options)
    orientation = _orientation(orientation)
    call.check_memory(1)
    out = call.run(orientation)
    return MomentumMap(out, call.k_min_bohr, call.k_step_bohr, call.k_unit,
                       {**call.parameters, "orientation": orientation})


momentum_map_sum.__doc__ = (momentum_map_sum.__doc__ or "").replace("{orientation}",
                                                                    ORIENTATION_DOC)


def polarisation_factor(momentum_map: MomentumMap, *, polarisation="p", kinetic_energy,
                        energy_unit="eV", incidence=65.0, azimuth=0.0, s_share=0.0,
                        kz_imaginary=0.0) -> MomentumMap:
    """A new MomentumMap: `momentum_map` times the light-polarisation factor.

    incidence: 0-90 degrees from the surface normal; azimuth: degrees from kx;
    s_share: 0-100 percent (for 'linear'); kinetic_energy in `energy_unit`.
    """
    if not isinstance(momentum_map, MomentumMap):
        raise TypeError("polarisation_factor needs a MomentumMap (it carries the k grid)")
    light = _polarisation(polarisation, s_share)
    if light is None:
        raise InputError("polarisation", "is needed by polarisation_factor")
    mode, circular, share = light
    unit = _energy_unit_text(energy_unit)
    e_kin = float(energy_to_hartree(positive(kinetic_energy, "kinetic_energy", unit),
                                    energy_unit))
    incidence = in_range(incidence, "incidence", 0, 90, "°")
    azimuth = finite(azimuth, "azimuth", "°")
    kz = float(momentum_to_bohr(finite(kz_imaginary, "kz_imaginary",
                                       unit_text(momentum_map.unit)), momentum_map.unit))
    data = np.array(momentum_map.data, dtype=np.float32, order="C")
    _library.function("polarisation_factor")(
        data.shape[0], mode, circular, data, e_kin, momentum_map.k_min_bohr,
        momentum_map.k_step_bohr, incidence, azimuth, share, kz)
    return momentum_map.with_data(data, **_light_parameters(
        momentum_map.parameters.get("symmetry"), polarisation, incidence, azimuth, share))


# ---- real-space fields and momentum densities --------------------------------

def _real_grid(molecule, grid, spacing, margin, unit) -> Grid:
    if grid is None:
        return Grid.around(molecule, spacing, margin, unit)
    if grid.space != "real":
        raise InputError("grid", "must be a real-space grid (Grid.around) for this kernel")
    return grid


def _momentum_grid3d(grid, k_max, n, k_unit) -> Grid:
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
    interrupt.call(_library.function(function),
                   nx, ny, nz, m.n_atoms, m.shells_per_atom, m.atom_x, *grid.origin_bohr,
                   grid.step_bohr, m.atom_y, m.atom_z, m.shell_l, m.shell_n_prim,
                   m.prim_exponent, m.prim_coeff, _coefficient_matrix(m, row), out,
                   work=grid.n_points)
    return Field3D(out, grid, {"orbitals": [m.orbital_label(row)], "quantity": quantity,
                               "units": units})


def _orbitals_on_grid(function: str, m: Molecule, rows: List[int], weights, grid: Grid,
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
    from .progress import progress_bar

    if weights is None:
        weights = m.mo_occ[rows]
    weights = [finite(w, "weights") for w in np.atleast_1d(np.asarray(weights, dtype=object))]
    weights = np.ascontiguousarray(np.broadcast_to(np.asarray(weights, dtype=np.float32),
                                                   (len(rows),)))
    threads = interrupt.default_threads() if threads is None else \
        count(threads, "threads", 1)
    one_call = one_call or len(rows) == 1
    # Each call's output, and charge_density_sum's per-orbital scratch grid;
    # orbital by orbital also the running sum.
    per_call = 2 if function == "charge_density_sum" else 1
    grids = per_call if one_call else 1 + min(threads, len(rows)) * per_call
    _grid_memory(grid, grids, max_memory, _shrink_hint(grid))
    nx, ny, nz = grid.shape
    kernel = _library.function(function)
    coeff = _coefficient_matrix(m, rows)

    def compute(part: slice) -> np.ndarray:
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
    waiting: Dict[int, np.ndarray] = {}
    added = [0]
    bar = progress_bar(len(rows), quantity, progress, unit="orbital")

    def add_in_order(index: int, part: np.ndarray) -> None:
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


def scalar_field(molecule, orbital="HOMO", *, spin="alpha", grid: Optional[Grid] = None,
                 spacing=0.2, margin=4.0, unit="angstrom",
                 max_memory: MemorySize = None) -> Field3D:
    """One orbital (bohr^-3/2) on a real-space grid; a Field3D of shape (nz, ny, nx).

    Without `grid`, a box around the molecule with the given spacing and margin
    (in `unit`, which the result's axes use) is used.
    """
    molecule = _molecule(molecule)
    rows = orbital_rows(molecule, orbital, spin)
    if len(rows) != 1:
        raise InputError("orbital", "takes one orbital here")
    return _one_orbital_on_grid("scalar_field", molecule, rows[0],
                                _real_grid(molecule, grid, spacing, margin, unit), max_memory,
                                "orbital", "bohr^-3/2")


def charge_density_sum(molecule, orbitals="occupied", *, spin="alpha", weights=None,
                       grid: Optional[Grid] = None, spacing=0.2, margin=4.0, unit="angstrom",
                       threads: Optional[int] = None, progress: bool = False,
                       max_memory: MemorySize = None) -> Field3D:
    """sum_o w_o psi_o^2 (bohr^-3) on a real-space grid; by default the electron density
    (all occupied orbitals weighted by their occupations).

    The orbitals run one per kernel call on `threads` threads (default: all
    CPUs), added in order: the same bits as one call, interruptible between
    orbitals, with a progress display when `progress`.
    """
    molecule = _molecule(molecule)
    return _orbitals_on_grid("charge_density_sum", molecule,
                             orbital_rows(molecule, orbitals, spin), weights,
                             _real_grid(molecule, grid, spacing, margin, unit), max_memory,
                             "charge density", "bohr^-3", threads, progress)


def momentum_density(molecule, orbital="HOMO", *, spin="alpha", grid: Optional[Grid] = None,
                     k_max=3.0, n=61, k_unit="1/angstrom",
                     max_memory: MemorySize = None) -> Field3D:
    """|FT psi|^2 / pi^3 (bohr^3) of one orbital on a 3D momentum grid (Field3D, (nz, ny, nx)).

    A normalised orbital's density integrates to 8 over k in bohr^-1.
    """
    molecule = _molecule(molecule)
    rows = orbital_rows(molecule, orbital, spin)
    if len(rows) != 1:
        raise InputError("orbital", "takes one orbital here; use momentum_density_sum")
    return _one_orbital_on_grid("momentum_density", molecule, rows[0],
                                _momentum_grid3d(grid, k_max, n, k_unit), max_memory,
                                "momentum density", "bohr^3 (|FT psi|^2 / pi^3)")


def momentum_density_sum(molecule, orbitals="occupied", *, spin="alpha", weights=None,
                         grid: Optional[Grid] = None, k_max=3.0, n=61, k_unit="1/angstrom",
                         max_memory: MemorySize = None) -> Field3D:
    """sum_o w_o |FT psi_o|^2 / pi^3 (bohr^3) on a 3D momentum grid; weights default to
    the occupations.

    One kernel call (it shares the per-point work between orbitals, five times
    faster than orbital by orbital); Ctrl-C returns at once, the abandoned call
    finishing in the background.
    """
    molecule = _molecule(molecule)
    return _orbitals_on_grid("momentum_density_sum", molecule,
                             orbital_rows(molecule, orbitals, spin), weights,
                             _momentum_grid3d(grid, k_max, n, k_unit), max_memory,
                             "momentum density", "bohr^3 (|FT psi|^2 / pi^3)", one_call=True)


# ---- map post-processing --------------------------------------------------------

def _square_map(momentum_map) -> np.ndarray:
    data = momentum_map.data if isinstance(momentum_map, MomentumMap) else momentum_map
    data = np.asarray(data)
    if data.ndim != 2 or data.shape[0] != data.shape[1]:
        raise ValueError(f"a map must be square (n, n), got shape {data.shape}")
    if data.dtype.kind not in "iuf":
        raise ValueError(f"a map must hold real numbers, got dtype {data.dtype}")
    return np.array(data, dtype=np.float32, order="C")


def _like(momentum_map, data, **parameters):
    if isinstance(momentum_map, MomentumMap):
        return momentum_map.with_data(data, **parameters)
    return data


def rotation(momentum_map, angle: float):
    """The map turned by `angle` degrees about its centre (a new map).

    Positive angles turn the picture counter-clockwise as drawn (kx to the right,
    ky up): the content moves from the kx axis towards the ky axis.  A map made
    at orientation (alpha, 0, 0) equals rotation(map at (0, 0, 0), -alpha).
    """
    data = _square_map(momentum_map)
    n = data.shape[0]
    angle = finite(angle, "angle", "°")
    pointer = _library.function("rotation")(n, data, angle)
    return _like(momentum_map, _library.take_malloced_map(pointer, n), rotated_deg=angle)


def flip_over_x(momentum_map):
    """The map with its rows (kx) in reverse order (a new map)."""
    data = _square_map(momentum_map)
    n = data.shape[0]
    return _like(momentum_map, _library.take_malloced_map(
        _library.function("flip_over_x")(n, data), n))


def flip_over_y(momentum_map):
    """The map with every row reversed, i.e. ky mirrored (a new map)."""
    data = _square_map(momentum_map)
    n = data.shape[0]
    return _like(momentum_map, _library.take_malloced_map(
        _library.function("flip_over_y")(n, data), n))


def symmetrisation(momentum_map, symmetry):
    """The map averaged over a rotation-and-mirror group (None, 2, 3, 4); a new map."""
    data = _square_map(momentum_map)
    _library.function("symmetrisation")(data.shape[0], symmetry_mode(symmetry), data)
    return _like(momentum_map, data, symmetry=symmetry)


def normalisation(momentum_map):
    """The map scaled so that its maximum is 255 (a new map)."""
    data = _square_map(momentum_map)
    _library.function("normalisation")(data.shape[0], data)
    return _like(momentum_map, data)
