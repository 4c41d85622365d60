"""The prepared momentum_map_sum call, and the checks and conversions of map requests.

`MapSumCall` checks and converts everything of a momentum-map request but the
orientation once, to the library's float32 arguments in bohr^-1, hartree and
degrees, and then computes a map per orientation with little more than the
kernel's own cost: a fit or a live view makes thousands of such calls.  The
one-shot functions of kernels.py and map_operations.py share its checks.

Kinetic energies: give `kinetic_energy` (one value, or one per orbital), or a
`photon_energy` and `work_function`, with which each orbital's kinetic energy is
E_kin = photon_energy - work_function - E_B, its binding energy E_B being
`binding_energy` when given and otherwise minus its orbital energy (the rule
of energies.py; `energies=` hands over an Energies value instead).
"""

from __future__ import annotations

import math
from typing import (TYPE_CHECKING, Any, Callable, Dict, Iterable, List, Optional, Protocol,
                    Sequence, Tuple, Union)

import numpy as np

from . import interrupt, library
from .errors import InputError
from .grids import MomentumMap, unit_text
from .energies import Energies
from .memory import check, float32_bytes
from .molecule import Molecule, orbital_rows
from .orientation import document
from .progress import progress_bar
from .units import momentum_to_bohr
from .validation import angles, count, finite, in_range, non_negative, positive

if TYPE_CHECKING:
    from numpy.typing import ArrayLike, NDArray

    from .progress import ProgressBar
    from .types import (EnergyUnit, Float32Array, Float64Array, MemorySize, MomentumUnit,
                        OrbitalSelection, Orientation, OrientationLike, Polarisation, Spin,
                        Symmetry)

# positions into MapSumCall.rows summed into one map; None: all of them
Group = Optional[List[int]]

SYMMETRY_MODES: Dict[Union[None, int, str], int] = {
    None: -1, "none": -1, 1: -1, 2: 1, 3: 2, 4: 0}

POLARISATIONS: Dict[str, Tuple[int, int, Optional[float]]] = {
    # name: (polarisation_mode, circular_mode, s share override)
    "p": (0, 0, 0.0),
    "s": (0, 0, 100.0),
    "linear": (0, 0, None),
    "circular+": (1, 0, None),  # (e_p + i e_s)/sqrt(2)
    "circular-": (1, 1, None),  # (e_p - i e_s)/sqrt(2)
    "dichroism": (1, 2, None),  # circular- minus circular+
    "radial": (2, 0, None),
    # the helicities by the hand of the light: with fields e^{-i omega t},
    # (e_p - i e_s)/sqrt(2) turns counter-clockwise seen facing the oncoming light
    "circular-left": (1, 1, None),
    "circular-right": (1, 0, None),
}
# Polarisations that are circular light of the geometry, either hand or both.
CIRCULAR_POLARISATIONS = ("circular+", "circular-", "circular-left", "circular-right",
                          "dichroism")
FINAL_STATES = ("plane-wave", "iac")

# Polarisations whose maps take both signs (drawn with a diverging colour map).
SIGNED_POLARISATIONS = ("dichroism",)


def symmetry_mode(symmetry: Symmetry) -> int:
    """Library code of a symmetry group given as None/'none', 2, 3 or 4 (fold)."""
    key: Union[None, int, str] = symmetry
    if isinstance(symmetry, str):
        text = symmetry.strip().lower().replace("-fold", "").replace("fold", "")
        key = "none" if text in ("none", "") else int(text) if text.isdigit() else text
    if key not in SYMMETRY_MODES:
        raise InputError("symmetry", f"must be none, 2, 3 or 4 (fold), got {symmetry!r}")
    return SYMMETRY_MODES[key]


def orbital_energies(molecule: Molecule, rows: Sequence[int],
                     energies: Energies) -> Tuple[Float64Array, Optional[Float64Array]]:
    """Each selected orbital's kinetic energy (all > 0) and binding energy (None where
    nothing tells), in the energies' unit; an orbital's binding energy is minus its
    orbital energy unless one is given."""
    orbital = energies.in_unit(-np.asarray(molecule.mo_energy[list(rows)], dtype=np.float64))
    e_kin = energies.kinetic(len(rows), orbital, "the orbitals")
    low = e_kin <= 0
    if np.any(low):
        names = ", ".join(molecule.orbital_label(r) for r, bad in zip(rows, low) if bad)
        raise InputError("photon_energy", f"{energies.photon_energy:g} {energies.unit} leaves "
                                          f"{names} a kinetic energy <= 0 "
                                          f"({float(e_kin.min()):.3g} {energies.unit} = photon "
                                          "energy - work function - binding energy)",
                         "raise {photon_energy} or lower {work_function}")
    binding = energies.known_binding(len(rows), orbital)
    return e_kin, binding


def given_energies(energies: Optional[Energies], *, kinetic_energy: Optional[ArrayLike],
                   photon_energy: Optional[float], work_function: Optional[float],
                   binding_energy: Optional[ArrayLike], energy_unit: EnergyUnit) -> Energies:
    """The Energies of a call: `energies` itself, or the loose keywords gathered."""
    loose = (kinetic_energy, photon_energy, work_function, binding_energy)
    if energies is not None:
        if any(value is not None for value in loose):
            raise InputError("energies", "and the separate energy keywords exclude each other")
        return energies
    if (kinetic_energy is None) == (photon_energy is None):
        raise InputError("kinetic_energy", "or photon_energy (with work_function) must be "
                                           "given, not both")
    return Energies(photon_energy=photon_energy, work_function=work_function,
                    binding_energy=None if kinetic_energy is not None else binding_energy,
                    kinetic_energy=kinetic_energy, unit=energy_unit)


def momentum_grid(k_max: float = 3.0, n: int = 201, k_unit: MomentumUnit = "1/angstrom",
                  k_min: Optional[float] = None,
                  k_step: Optional[float] = None) -> Tuple[int, float, float]:
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


def orientation_angles(orientation: OrientationLike) -> Orientation:
    """(alpha, beta, gamma) as three finite floats (degrees); InputError otherwise."""
    # Three plain finite numbers (the form repeated calls pass) skip the
    # general checks, which take a few microseconds; anything else gets them.
    if type(orientation) in (tuple, list) and len(orientation) == 3:
        alpha, beta, gamma = orientation
        if type(alpha) in _PLAIN_NUMBERS and type(beta) in _PLAIN_NUMBERS \
                and type(gamma) in _PLAIN_NUMBERS:
            alpha, beta, gamma = float(alpha), float(beta), float(gamma)
            if math.isfinite(alpha) and math.isfinite(beta) and math.isfinite(gamma):
                return alpha, beta, gamma
    alpha, beta, gamma = angles(orientation, "orientation")
    return alpha, beta, gamma


def checked_molecule(molecule: object) -> Molecule:
    """`molecule` itself when it is a Molecule (TypeError otherwise)."""
    if not isinstance(molecule, Molecule):
        raise TypeError(f"expected a libkernels.Molecule, got {type(molecule).__name__}")
    return molecule


def light_modes(polarisation: Optional[Polarisation],
                s_share: float) -> Optional[Tuple[int, int, float]]:
    """(polarisation mode, circular mode, s share in %) of the library, None for no light."""
    if polarisation is None or polarisation == "none":
        return None
    key = str(polarisation).strip().lower()
    if key not in POLARISATIONS:
        raise InputError("polarisation", f"must be one of none, {', '.join(POLARISATIONS)}; "
                                         f"got {polarisation!r}")
    mode, circular, share = POLARISATIONS[key]
    share = in_range(s_share, "s_share", 0, 100, "%") if share is None else share
    return mode, circular, share


def coefficient_matrix(molecule: Molecule, rows: Union[int, Sequence[int]]) -> Float32Array:
    """The coefficient rows of the selected orbitals as the kernels take them."""
    return np.ascontiguousarray(molecule.mo_coeff[rows], dtype=np.float32)


def check_map_memory(n: int, maps: int, scratch_maps: int, max_memory: MemorySize,
                     what: str = "") -> None:
    """Guards `maps` result maps of n x n plus the scratch of the calls in flight."""
    check(float32_bytes(n, n) * (maps + scratch_maps),
          what or f"{maps} map{'s' if maps != 1 else ''} of {n} x {n} pixels", "lower {n}",
          max_memory)


def light_parameters(symmetry: Symmetry, polarisation: Optional[Polarisation],
                     incidence: float, azimuth: float, s_share: float) -> Dict[str, Any]:
    """Symmetry and light of a request as a map's parameters record them."""
    return {"symmetry": "none" if symmetry in (None, "none", 1) else symmetry,
            "polarisation": polarisation or "none", "incidence_deg": incidence,
            "azimuth_deg": azimuth, "s_share_percent": s_share}


def energy_parameters(energies: Energies, e_kin: Float64Array, binding: Optional[Float64Array],
                      e_kin_hartree: ArrayLike) -> Dict[str, Any]:
    """The energies of a map in the caller's unit, as the record and captions state them,
    plus the library's hartree."""
    return {"energy_unit": energies.unit,
            "kinetic_energy": [float(e) for e in e_kin],
            "binding_energy": None if binding is None else [
                float(b) if np.isfinite(b) else None for b in binding],
            "photon_energy": energies.photon_energy, "work_function": energies.work_function,
            "kinetic_energy_given": energies.kinetic_energy is not None,
            "e_kin_hartree": [float(e) for e in np.atleast_1d(e_kin_hartree)]}


def orbital_weights(weights: ArrayLike, n_orbitals: int) -> Float32Array:
    """One float32 weight for each of `n_orbitals` orbitals.  One number weighs every orbital
    alike; a list (an array, --weights) is one weight per orbital, so that a list of one
    for several orbitals is refused, never spread over them in silence."""
    listed = np.ndim(weights) > 0
    values = [finite(w, "weights") for w in np.atleast_1d(
        np.asarray(weights, dtype=object)).ravel()]
    if len(values) != n_orbitals and (listed or len(values) != 1):
        raise InputError("weights", f"needs one value per orbital ({n_orbitals}), got "
                                    f"{len(values)}")
    return np.ascontiguousarray(np.broadcast_to(np.asarray(values, dtype=np.float32),
                                                (n_orbitals,)))


class BohrGridNames:
    """The grid in library units under the names of the first releases (k_min, k_step),
    for every call that holds k_min_bohr and k_step_bohr."""

    k_min_bohr: float
    k_step_bohr: float

    @property
    def k_min(self) -> float:
        return self.k_min_bohr

    @property
    def k_step(self) -> float:
        return self.k_step_bohr


class MapSumCall(BohrGridNames):
    """A prepared momentum_map_sum call: everything but the orientation fixed and checked.

    `n`, `k_min_bohr`, `k_step_bohr` describe the grid in library units,
    `k_unit` the caller's momentum unit, `parameters` the request in the
    caller's units.
    """

    final_state = "plane-wave"
    # the last output array and its address (see _run_prepared)
    _last_out: Tuple[Optional[Float32Array], Optional[int]]

    def __init__(self, molecule: Molecule, orbitals: OrbitalSelection = ("HOMO",), *,
                 spin: Spin = "alpha", weights: Optional[ArrayLike] = None,
                 kinetic_energy: Optional[ArrayLike] = None,
                 photon_energy: Optional[float] = None, work_function: Optional[float] = None,
                 binding_energy: Optional[ArrayLike] = None, energy_unit: EnergyUnit = "eV",
                 k_max: float = 3.0, n: int = 201, k_unit: MomentumUnit = "1/angstrom",
                 k_min: Optional[float] = None, k_step: Optional[float] = None,
                 symmetry: Symmetry = None, polarisation: Optional[Polarisation] = None,
                 incidence: float = 65.0, azimuth: float = 0.0, s_share: float = 0.0,
                 kz_imaginary: ArrayLike = 0.0, max_memory: MemorySize = None,
                 energies: Optional[Energies] = None) -> None:
        self.molecule = checked_molecule(molecule)
        self.rows = orbital_rows(molecule, orbitals, spin)
        self.energies = given_energies(
            energies, kinetic_energy=kinetic_energy, photon_energy=photon_energy,
            work_function=work_function, binding_energy=binding_energy,
            energy_unit=energy_unit)
        e_kin, binding = orbital_energies(molecule, self.rows, self.energies)
        # hartree here, at the library's call, and only here
        self.e_kin = np.ascontiguousarray(self.energies.hartree(e_kin), dtype=np.float32)
        self.weights = None if weights is None else orbital_weights(weights, len(self.rows))
        self.coeff = coefficient_matrix(molecule, self.rows)
        self.n, self.k_min_bohr, self.k_step_bohr = momentum_grid(k_max, n, k_unit, k_min,
                                                                  k_step)
        self.k_unit = k_unit
        self.max_memory = max_memory
        self.symmetry_mode = symmetry_mode(symmetry)
        light = light_modes(polarisation, s_share)
        self.use_polarisation = 0 if light is None else 1
        self.polarisation_mode: int
        self.circular_mode: int
        self.s_share: float
        self.polarisation_mode, self.circular_mode, self.s_share = light or (0, 0, 0.0)
        self.incidence = in_range(incidence, "incidence", 0, 90, "°")
        self.azimuth = finite(azimuth, "azimuth", "°")
        kz = [finite(v, "kz_imaginary", unit_text(k_unit))
              for v in np.atleast_1d(np.asarray(kz_imaginary, dtype=object)).ravel()]
        if len(kz) not in (1, len(self.rows)):
            raise InputError("kz_imaginary", f"needs one value or one per orbital "
                                             f"({len(self.rows)}), got {len(kz)}")
        self.kz_imaginary = np.ascontiguousarray(np.broadcast_to(
            np.asarray(momentum_to_bohr(np.asarray(kz, dtype=np.float64), k_unit),
                       dtype=np.float32), (len(self.rows),)))
        self.parameters = {
            "orbitals": [molecule.orbital_label(r) for r in self.rows],
            **energy_parameters(self.energies, e_kin, binding, self.e_kin),
            **light_parameters(symmetry, polarisation, self.incidence, self.azimuth,
                               self.s_share),
            "weights": None if self.weights is None else [float(w) for w in self.weights]}
        if any(kz):
            self.parameters["kz_imaginary"] = kz
        self._function = library.function("momentum_map_sum")
        # A repeated call converts only the orientation and the output: the
        # arrays are checked and their addresses taken here, once (the call
        # keeps them alive), and the C scalars are built once.
        self._raw_function = library.raw_function("momentum_map_sum")
        m = self.molecule
        self._basis = m.basis_arguments()
        basis_dtypes = (np.int32, np.float32, np.float32, np.float32, np.int32, np.int32,
                        np.float32, np.float32)
        self._head = (len(self.e_kin), library.address(self.e_kin, np.float32),
                      library.address(self.weights, np.float32),
                      library.address(self.coeff, np.float32), self.n, self.symmetry_mode,
                      self.k_min_bohr, self.k_step_bohr)
        self._light = (self.incidence, self.azimuth, self.s_share, self.use_polarisation,
                       self.polarisation_mode, self.circular_mode,
                       library.address(self.kz_imaginary, np.float32), m.n_atoms,
                       *(library.address(a, t, "basis array")
                         for a, t in zip(self._basis, basis_dtypes)))
        # The interruptible call's measure of work is grid points (each costs
        # the atoms' harmonics and exponentials); a pixel costs about as much
        # (the atoms' harmonics and sincosf), so pixels x orbitals: a map that
        # takes milliseconds runs without the thread, whose start and join cost
        # about 0.1 ms per call.
        self._work = self.n * self.n * len(self.e_kin)
        self._last_out = (None, None)

    @property
    def scratch_maps(self) -> int:
        """Maps a running call allocates besides its output (orbital map, symmetrisation)."""
        return 1 + (2 if self.symmetry_mode != -1 else 0)

    def check_memory(self, maps: int, calls_in_flight: int = 1) -> None:
        """Refuses (MemoryLimitError) when `maps` results plus scratch exceed the limit."""
        check_map_memory(self.n, maps, self.scratch_maps * calls_in_flight, self.max_memory,
                         f"{maps} map{'s' if maps != 1 else ''} of {self.n} x {self.n} pixels")

    def _run_prepared(self, out: Float32Array, alpha: float, beta: float, gamma: float) -> None:
        # The address of an output passed again is kept (the reference keeps
        # the array, and so its data, alive); one tuple, read and replaced
        # whole, so that calls on several threads never mix two outputs.
        last_out, address = self._last_out
        if last_out is not out:
            address = out.ctypes.data
            self._last_out = (out, address)
        self._raw_function(*self._head, alpha, beta, gamma, *self._light, address)

    @document
    def run(self, orientation: OrientationLike = (0.0, 0.0, 0.0),
            rows: Optional[Sequence[int]] = None,
            out: Optional[Float32Array] = None) -> Float32Array:
        """Sums the selected orbitals (or the subset `rows`, positions into self.rows).

    {orientation}
        `out`: an (n, n) C-contiguous float32 array to write into (returned),
        saving the allocation of a new map per call.
        """
        alpha, beta, gamma = orientation_angles(orientation)
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


class MapCall(Protocol):
    """What the map machinery (compute_maps, as_momentum_maps, the scans, the explorer,
    the fit's model) asks of a prepared map call: MapSumCall, HelicityAsymmetryCall and
    the IAC final state's call (final_state/map_call.py) all answer it."""

    final_state: str
    molecule: Molecule
    rows: List[int]
    n: int
    k_min_bohr: float
    k_step_bohr: float
    k_unit: MomentumUnit
    e_kin: Float32Array
    parameters: Dict[str, Any]

    @property
    def k_min(self) -> float: ...

    @property
    def k_step(self) -> float: ...

    def check_memory(self, maps: int, calls_in_flight: int = 1) -> None: ...

    def run(self, orientation: OrientationLike = (0.0, 0.0, 0.0),
            rows: Optional[Sequence[int]] = None,
            out: Optional[Float32Array] = None) -> Float32Array: ...


def helicity_asymmetry(left: NDArray[Any], right: NDArray[Any]) -> NDArray[Any]:
    """(left - right) / (left + right) in the maps' dtype; 0 where their sum is at most
    1e-5 of its largest value (1e-12 in float64), where rounding would decide the ratio,
    and so outside the hemisphere, where both are 0."""
    total = left + right
    floor = float(total.max()) * (1e-5 if total.dtype == np.float32 else 1e-12)
    safe = np.where(total > floor, total, 1)
    return np.where(total > floor, (left - right) / safe, 0).astype(total.dtype)


def checked_out(out: Optional[Float32Array], n: int) -> Float32Array:
    """`out` when it is a writeable C-contiguous (n, n) float32 array (a new one for
    None); InputError otherwise."""
    if out is None:
        return np.empty((n, n), dtype=np.float32)
    if not isinstance(out, np.ndarray) or out.shape != (n, n) or out.dtype != np.float32 \
            or not out.flags.c_contiguous or not out.flags.writeable:
        raise InputError("out", f"must be a writeable C-contiguous float32 array of shape "
                                f"({n}, {n})")
    return out


class HelicityAsymmetryCall(BohrGridNames):
    """The plane wave's circular dichroism as an asymmetry, (I_left - I_right) /
    (I_left + I_right), from the library's two helicity maps (circular- is left).

    Its numerator is the library's `dichroism` (left minus right); like that, it is zero
    without a damping of the final state (kz_imaginary).  The keywords are
    MapSumCall's; `polarisation` must be None or circular."""

    final_state = "plane-wave"

    def __init__(self, molecule: Molecule, orbitals: OrbitalSelection = ("HOMO",), *,
                 polarisation: Optional[Polarisation] = None, **settings: Any) -> None:
        if polarisation not in (None, "none") + CIRCULAR_POLARISATIONS:
            raise InputError("polarisation", f"must be circular (or none) for the dichroism "
                                             f"asymmetry, got {polarisation!r}")
        self.left = MapSumCall(molecule, orbitals, polarisation="circular-", **settings)
        self.right = MapSumCall(molecule, orbitals, polarisation="circular+", **settings)
        left = self.left
        self.molecule, self.rows, self.n = left.molecule, left.rows, left.n
        self.k_min_bohr, self.k_step_bohr, self.k_unit = (left.k_min_bohr, left.k_step_bohr,
                                                          left.k_unit)
        self.e_kin, self.kz_imaginary, self.max_memory = (left.e_kin, left.kz_imaginary,
                                                          left.max_memory)
        self.use_polarisation, self.polarisation_mode, self.circular_mode = \
            1, *POLARISATIONS["dichroism"][:2]
        self.parameters = {**left.parameters, "polarisation": polarisation or "none",
                           "dichroism": True}

    def check_memory(self, maps: int, calls_in_flight: int = 1) -> None:
        check_map_memory(self.n, maps, (2 + self.left.scratch_maps) * calls_in_flight,
                         self.max_memory,
                         f"{maps} map{'s' if maps != 1 else ''} of {self.n} x {self.n} pixels")

    @document
    def run(self, orientation: OrientationLike = (0.0, 0.0, 0.0),
            rows: Optional[Sequence[int]] = None,
            out: Optional[Float32Array] = None) -> Float32Array:
        """The asymmetry of the selected orbitals' summed maps (or of the subset `rows`).

    {orientation}
        `out` as for MapSumCall.run.
        """
        out = checked_out(out, self.n)
        left = self.left.run(orientation, rows)
        right = self.right.run(orientation, rows)
        out[...] = helicity_asymmetry(left, right)
        return out


# ---- many maps of one prepared call -----------------------------------------------------

def checked_orientations(orientations: Iterable[OrientationLike]) -> List[Orientation]:
    """Each (alpha, beta, gamma) as three finite floats; InputError for none or a bad one."""
    result = [angles(o, "orientation") for o in orientations]
    if not result:
        raise InputError("orientations", "is empty: give at least one (alpha, beta, gamma)")
    return result


def orbital_groups(call: MapCall, separate: bool) -> List[Group]:
    """One map per orbital of `call`, or one map summing them all."""
    return [[i] for i in range(len(call.rows))] if separate else [None]


def compute_maps(call: MapCall, orientations: Sequence[Orientation], groups: Sequence[Group],
                 threads: Optional[int] = None, progress: bool = False,
                 fill: Optional[Callable[[Float32Array, ProgressBar], None]] = None
                 ) -> Float32Array:
    """maps[o, g]: the maps of `call` at orientations[o] summing groups[g], shape
    (orientations, groups, n, n), after the memory guard's check.

    The maps run as separate calls on `threads` threads (default: all CPUs),
    Ctrl-C cancelling those not started; `fill(maps, progress_bar)` fills the
    array instead when given (an executor's tasks).
    """
    threads = interrupt.default_threads() if threads is None else count(threads, "threads", 1)
    tasks = [(o, g) for o in range(len(orientations)) for g in range(len(groups))]
    call.check_memory(len(tasks), min(threads, len(tasks)))
    maps = np.empty((len(orientations), len(groups), call.n, call.n), dtype=np.float32)
    bar = progress_bar(len(tasks), "momentum maps", progress)

    def work(task: Tuple[int, int]) -> None:
        o, g = task
        call.run(orientations[o], rows=groups[g], out=maps[o, g])

    try:
        if fill is not None:
            fill(maps, bar)
        else:
            interrupt.run_tasks(tasks, work, threads, on_done=lambda *_: bar.update())
    finally:
        bar.close()
    return maps


def as_momentum_maps(maps: Float32Array, call: MapCall,
                     orientations: Iterable[OrientationLike]) -> List[List[MomentumMap]]:
    """The arrays of compute_maps as MomentumMap objects, [orientation][group], each
    with the parameters of its own orbitals."""
    labels = call.parameters["orbitals"]
    separate = maps.shape[1] == len(labels)
    energies = call.parameters["kinetic_energy"]
    binding = call.parameters.get("binding_energy")
    result = []
    for o, orientation in enumerate(checked_orientations(orientations)):
        row = []
        for g in range(maps.shape[1]):
            pick = [g] if separate else list(range(len(labels)))
            parameters = {**call.parameters, "orbitals": [labels[i] for i in pick],
                          "kinetic_energy": [energies[i] for i in pick],
                          "binding_energy": [binding[i] for i in pick] if binding else None,
                          "e_kin_hartree": [float(call.e_kin[i]) for i in pick],
                          "orientation": orientation}
            row.append(MomentumMap(maps[o, g], call.k_min_bohr, call.k_step_bohr, call.k_unit,
                                   parameters))
        result.append(row)
    return result


# ---- maps that show nothing ----------------------------------------------------------------

def undamped_dichroism(call: MapCall) -> Optional[str]:
    """A note when `call` asks for circular dichroism without damping of the final
    state, which makes it zero everywhere in the plane-wave picture."""
    dichroism = POLARISATIONS["dichroism"]
    if call.final_state != "plane-wave":
        return None  # the IAC model's dichroism comes from its phase shifts
    assert isinstance(call, (MapSumCall, HelicityAsymmetryCall))
    if call.use_polarisation and (call.polarisation_mode, call.circular_mode) == \
            dichroism[:2] and not np.any(call.kz_imaginary):
        return ("circular dichroism is zero in the plane-wave final state unless it is "
                "damped: give the photoelectron a damping (--kz-damping on the command line, "
                "kz_imaginary in Python)")
    return None


def idle_damping(call: MapCall) -> Optional[str]:
    """A note when `call` damps the final state without a light-polarisation factor,
    the only place the damping enters."""
    if not isinstance(call, MapSumCall):
        return None
    if not call.use_polarisation and np.any(call.kz_imaginary):
        return ("the damping of the photoelectron (--kz-damping, kz_imaginary) acts through "
                "the light's polarisation factor: without a polarisation it changes nothing")
    return None


def zero_map(call: MapCall, data: ArrayLike,
             orbitals: Optional[Sequence[str]] = None) -> Optional[str]:
    """A note when `data`, a map of `call` (of `orbitals`, by default all of the
    call's), is zero everywhere, with the reason when the energy is far too high."""
    if np.any(np.asarray(data)):
        return None
    k = float(np.sqrt(2.0 * np.max(call.e_kin))) if len(call.e_kin) else 0.0
    reach = max(abs(call.k_min_bohr), abs(call.k_min_bohr + (call.n - 1) * call.k_step_bohr))
    why = ""
    if k > 4 * reach:
        energies = ", ".join(f"{e:.4g}" for e in call.parameters["kinetic_energy"])
        scale = float(momentum_to_bohr(1.0, call.k_unit))
        why = (f"; at E_kin = {energies} {call.parameters['energy_unit']} the photoelectron's "
               f"|k| = {k / scale:.4g} {unit_text(call.k_unit)} lies far beyond the orbitals' "
               "momenta")
    names = call.parameters["orbitals"] if orbitals is None else orbitals
    return f"the map of {'+'.join(names)} is zero everywhere{why}"


def map_notes(call: MapCall, data: Optional[ArrayLike] = None) -> List[str]:
    """Why a map of `call` (with its `data`, when given) shows nothing, if it does not."""
    notes = [undamped_dichroism(call), idle_damping(call)] + (
        [zero_map(call, data)] if data is not None else [])
    return [note for note in notes if note]
