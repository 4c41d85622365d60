"""Momentum maps in the independent-atomic-centre (IAC) final state.

For an orbital psi = sum_j sum_{mu on atom j} c_mu phi_mu(r - R_j), phi_mu =
g_mu(r) Y_{l m}(r^) in the library's real harmonics, the photoemission amplitude
in the direction k^ at |k| = sqrt(2 E_kin) is a coherent sum over the atoms,

    M(k) = sum_j e^{-i k.R_j} sum_{mu on j} c_mu sum_{l' = l +- 1} (-i)^l' e^{i delta_{j l'}}
           sum_m' Y_{l'm'}(k^) A_{lm -> l'm'}(eps) D_{mu, l -> l'},

with A the angular coefficients of eps . grad (harmonics.py), D the radial dipole
integrals of the shell's contracted Gaussian with the continuum radial
function of atom j's element in the velocity form (radial.py, continuum.py)
and delta_{j l'} that continuum's phase.  The map is

    I(k) = (16 / pi) sum_o w_o |M_o(k)|^2,

the constant making the free-electron limit (R = j_l'(kr), delta = 0, where
4 pi M = integral e^{-ik.r} eps.grad psi = i (eps.k) pi^{3/2} psi~(k)) equal,
pixel for pixel, to the library's plane-wave map |psi~(k)|^2 times |eps.k|^2,
its polarisation factor (without the kz damping, which the IAC model replaces).
Maps are on the library's grid, (i, j) at (kx, ky) = k_min + (i, j) k_step, and
the pixels outside the hemisphere are zero; the orientation (alpha, beta, gamma)
turns the laboratory momentum and the light's vector into the molecule's frame
with M = Rz(alpha) Rx(beta) Rz(gamma), as the plane-wave maps do.

Partial waves: an optional `PartialWaves` scales and shifts each element's
channel l' by a e^{i phi} (a fit's parameters later).  Everything that does not
depend on the orientation is prepared once (`IACMapCall`); everything that does
not depend on the partial waves once per orientation (`PartialWaveBasis`),
whose maps and derivatives for any set of partial waves then cost one small
matrix product.
"""

from __future__ import annotations

import math
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Dict, List, Mapping, Optional, Sequence, Tuple, Union

import numpy as np

from ..core.errors import InputError
from ..core.map_sum_call import checked_molecule, helicity_asymmetry, orientation_angles
from ..core.memory import check
from ..core.molecule import ELEMENTS, Molecule, orbital_rows
from ..core.orientation import document, orientation_matrix
from ..core.units import HARTREE_IN_EV
from ..core.validation import count, finite, positive
from .continuum import (CONTINUUM_VERSION, HIGHEST_ENERGY, MIN_MATCHING_RHO, ContinuumWaves,
                        atomic_waves, free_waves)
from .harmonics import DIPOLE_ANGULAR, MAX_FINAL_L, degree_block, harmonic_count, real_harmonics
from .light import Light, as_light
from .potential import POTENTIAL_VERSION
from .radial import dipole_integrals
from .radial_grid import RadialGrid

if TYPE_CHECKING:
    from numpy.typing import ArrayLike, NDArray

    from ..core.types import (Float64Array, MemorySize, OrbitalSelection, OrientationLike,
                              Spin)

CONTINUA = ("atomic", "free")
PRECISIONS = ("float32", "float64")
# (16 / pi) |M|^2 is the plane-wave map times |eps.k|^2 in the free limit
MAP_SCALE = 16.0 / math.pi
# the atomic continuum's energies: from the matching radius' limit to a little beyond
# the tables' 150 eV (the Numerov phase error grows as E^2: 1e-4 rad at 150 eV)
HIGHEST_ATOMIC_ENERGY = 2.0 * HIGHEST_ENERGY
PIXEL_CHUNK = 8192  # pixels per block of the evaluation (keeps the blocks in the caches)

Channel = Tuple[str, int]  # (element symbol, l')


# ---- partial waves ------------------------------------------------------------------------

@dataclass(frozen=True)
class PartialWaves:
    """Per-element, per-l' factors a e^{i phi} on the model's own partial waves.

    `amplitude[(symbol, l')]` (default 1) and `phase[(symbol, l')]` (radians,
    default 0), e.g. ``PartialWaves(amplitude={("C", 3): 0.5}, phase={("C", 1): 0.3})``.
    The factors multiply (-i)^l' e^{i delta} D of every shell of that element
    reaching l', so (1, 0) everywhere is the model itself.  One overall factor
    per orbital is invisible in |M|^2 (a common phase) or the same as a weight.
    """

    amplitude: Mapping[Channel, float] = field(default_factory=dict)
    phase: Mapping[Channel, float] = field(default_factory=dict)

    def __post_init__(self) -> None:
        for name in ("amplitude", "phase"):
            checked: Dict[Channel, float] = {}
            for key, value in dict(getattr(self, name)).items():
                if not (isinstance(key, tuple) and len(key) == 2):
                    raise InputError(name, f"keys are (element, l') pairs, got {key!r}")
                symbol = str(key[0]).strip().capitalize()
                if symbol not in ELEMENTS[1:]:
                    raise InputError(name, f"names an unknown element in {key!r}")
                l_final = count(key[1], name, 0, MAX_FINAL_L, "(l')")
                checked[(symbol, l_final)] = finite(value, name)
            object.__setattr__(self, name, checked)

    def factor(self, symbol: str, l_final: int) -> complex:
        a = self.amplitude.get((symbol, l_final), 1.0)
        phi = self.phase.get((symbol, l_final), 0.0)
        return complex(a * np.exp(1j * phi))

    @classmethod
    def from_arrays(cls, channels: Sequence[Channel], amplitudes: ArrayLike,
                    phases: ArrayLike) -> "PartialWaves":
        """PartialWaves from the arrays of a call's `channels` order."""
        a = np.asarray(amplitudes, dtype=np.float64).ravel()
        p = np.asarray(phases, dtype=np.float64).ravel()
        if a.size != len(channels) or p.size != len(channels):
            raise InputError("amplitudes", f"needs one value per channel ({len(channels)}), got "
                                           f"{a.size} amplitudes and {p.size} phases")
        return cls(dict(zip(channels, a.tolist())), dict(zip(channels, p.tolist())))


def domain_matrices(fold: int, mirrors: bool = True) -> List[Float64Array]:
    """The laboratory matrices of a surface's domains: the molecule turned about the
    surface normal by r 360/fold degrees (counter-clockwise seen from above, as the
    library's map rotation turns the picture), r = 0 ... fold - 1, each followed, with
    `mirrors`, by its mirror image across the kx axis (ky -> -ky): the group the
    library's symmetrisation averages over."""
    fold = count(fold, "symmetry", 1, what="(fold)")
    mirror = np.diag([1.0, -1.0, 1.0])
    found: List[Float64Array] = []
    for r in range(fold):
        angle = 2.0 * math.pi * r / fold
        c, s = math.cos(angle), math.sin(angle)
        turn = np.array([[c, -s, 0.0], [s, c, 0.0], [0.0, 0.0, 1.0]])
        found.append(turn)
        if mirrors:
            found.append(mirror @ turn)
    return found


# ---- the prepared call ---------------------------------------------------------------------

@dataclass
class _EnergyGroup:
    """The orbitals of one kinetic energy, their hemisphere's pixels and prepared sums."""

    energy: float
    orbitals: NDArray[np.intp]                 # positions into the call's rows
    pixels: NDArray[np.intp]                   # flat indices into the n x n map
    k_lab: Float64Array                        # (P, 3) laboratory momenta of the pixels
    radial_sums: Float64Array                  # (orbitals, atoms, harmonics, 3) real
    base_factor: np.ndarray                    # (channels,) complex: (-i)^l' e^{i delta}


class IACMapCall:
    """A prepared IAC map: molecule, orbitals, energy, grid and light fixed and checked.

    `kinetic_energy_hartree`: one value, or one per orbital (hartree).
    `grid`: (n, k_min_bohr, k_step_bohr), the library's square grid.
    `light`: a Light, a polarisation name or a polarisation vector (light.py).
    `continuum`: "atomic" (each element's HFS continuum, continuum.py) or
    "free" (j_l'(kr), zero phases: the plane wave's partial waves).
    `partial_waves`: PartialWaves applied by default (run can override them).
    `weights`: one per orbital (default 1).  `precision`: "float32" (the default,
    the library's; about 1e-6 of the map's maximum) or "float64".  `max_memory`:
    the memory guard's limit (core/memory.py), checked before any work.
    """

    def __init__(self, molecule: Molecule, orbitals: OrbitalSelection = ("HOMO",), *,
                 kinetic_energy_hartree: ArrayLike, grid: Tuple[int, float, float],
                 light: Union[Light, str, Sequence[complex], None] = None,
                 continuum: str = "atomic", partial_waves: Optional[PartialWaves] = None,
                 weights: Optional[ArrayLike] = None, spin: Spin = "alpha",
                 precision: str = "float32", radial_grid: Optional[RadialGrid] = None,
                 max_memory: MemorySize = None) -> None:
        self.molecule = checked_molecule(molecule)
        self.rows = orbital_rows(molecule, orbitals, spin)
        self.light = as_light(light)
        self.continuum = str(continuum).strip().lower()
        if self.continuum not in CONTINUA:
            raise InputError("continuum", f"must be one of {', '.join(CONTINUA)}, got "
                                          f"{continuum!r}")
        self.precision = str(precision).strip().lower()
        if self.precision not in PRECISIONS:
            raise InputError("precision", f"must be float32 or float64, got {precision!r}")
        self.dtype = np.dtype(self.precision)
        self._complex = np.dtype(np.complex64 if self.precision == "float32" else np.complex128)
        if not (isinstance(grid, Sequence) and len(grid) == 3):
            raise InputError("grid", f"takes (n, k_min_bohr, k_step_bohr), got {grid!r}")
        self.n = count(grid[0], "n", 2, what="pixels per side")
        # the map, each energy's pixels (momenta, indices) and one block's scratch
        check(self.n * self.n * (self.dtype.itemsize + 40)
              + PIXEL_CHUNK * 64 * self.dtype.itemsize * 8,
              f"an IAC map of {self.n} x {self.n} pixels", "lower {n}", max_memory)
        self.k_min_bohr = finite(grid[1], "k_min", "1/bohr")
        self.k_step_bohr = positive(grid[2], "k_step", "1/bohr")
        energies = [positive(e, "kinetic_energy", "hartree") for e in
                    np.atleast_1d(np.asarray(kinetic_energy_hartree, dtype=object)).ravel()]
        if len(energies) not in (1, len(self.rows)):
            raise InputError("kinetic_energy", f"needs one value or one per orbital "
                                               f"({len(self.rows)}), got {len(energies)}")
        self.e_kin = np.broadcast_to(np.asarray(energies, dtype=np.float64),
                                     (len(self.rows),)).copy()
        if weights is None:
            self.weights = np.ones(len(self.rows))
        else:
            given = [finite(w, "weights") for w in np.atleast_1d(np.asarray(weights,
                                                                            dtype=object)).ravel()]
            if len(given) not in (1, len(self.rows)):
                raise InputError("weights", f"needs one value or one per orbital "
                                            f"({len(self.rows)}), got {len(given)}")
            self.weights = np.broadcast_to(np.asarray(given, dtype=np.float64),
                                           (len(self.rows),)).copy()
        self.radial_grid = radial_grid or RadialGrid()
        self.partial_waves = partial_waves or PartialWaves()
        if not isinstance(self.partial_waves, PartialWaves):
            raise InputError("partial_waves", "must be a PartialWaves")
        self._prepare_atoms()
        self._check_energies()
        self.groups = [self._prepare_group(e) for e in np.unique(self.e_kin)]
        self.parameters = self._parameters()

    def _parameters(self) -> Dict[str, object]:
        """The request in library units, as a record would keep it."""
        light = self.light
        return {
            "final_state": "iac", "continuum": self.continuum,
            "potential": POTENTIAL_VERSION if self.continuum == "atomic" else None,
            "continuum_method": CONTINUUM_VERSION if self.continuum == "atomic" else "free",
            "orbitals": [self.molecule.orbital_label(r) for r in self.rows],
            "e_kin_hartree": [float(e) for e in self.e_kin],
            "weights": [float(w) for w in self.weights],
            "grid": [self.n, self.k_min_bohr, self.k_step_bohr],
            "polarisation": light.polarisation, "incidence_deg": light.incidence,
            "azimuth_deg": light.azimuth, "s_share_percent": light.s_share,
            "vector": None if light.vector is None else [[v.real, v.imag]
                                                         for v in light.vector],
            "partial_waves": {"amplitude": {f"{e} {l}": a for (e, l), a in
                                            self.partial_waves.amplitude.items()},
                              "phase": {f"{e} {l}": p for (e, l), p in
                                        self.partial_waves.phase.items()}},
            "precision": self.precision}

    # -- preparation ------------------------------------------------------------------------
    def _prepare_atoms(self) -> None:
        m = self.molecule
        shell_atom = m.shell_atom()
        active = sorted(set(int(a) for a in shell_atom))
        self.atoms = np.asarray(active, dtype=np.intp)
        self.positions = m.positions.astype(np.float64)[self.atoms]
        self.symbols = [m.symbols[a] for a in active]
        if self.continuum == "atomic":
            for a in active:
                z = int(m.atomic_numbers[a])
                if not 1 <= z <= 54:
                    raise InputError("continuum", f"'atomic' needs each atom's element (H to Xe); "
                                                  f"atom {a} has atomic number {z}",
                                     "give atomic_numbers, or {continuum} 'free'")
        shell_l = m.shell_l.astype(int)
        self.l_max = int(min(MAX_FINAL_L, shell_l.max() + 1)) if shell_l.size else 0
        # the channels (element, l') of the molecule, and each (atom, harmonic)'s channel
        atom_index = {a: i for i, a in enumerate(active)}
        channels: Dict[Channel, int] = {}
        reach: Dict[int, set] = {}
        for s, l in enumerate(shell_l):
            i = atom_index[int(shell_atom[s])]
            reach.setdefault(i, set()).update(int(lp) for lp in (l - 1, l + 1) if lp >= 0)
        symbols_in_order = sorted(set(self.symbols), key=lambda sym: ELEMENTS.index(sym)
                                  if sym in ELEMENTS else 0)
        for symbol in symbols_in_order:
            degrees = sorted(set().union(*(reach[i] for i in range(len(active))
                                           if self.symbols[i] == symbol)))
            for lp in degrees:
                channels[(symbol, lp)] = len(channels)
        self.channels: List[Channel] = list(channels)
        n_y = harmonic_count(self.l_max)
        self._channel_of = np.full((len(active), n_y), -1, dtype=np.intp)
        for i, symbol in enumerate(self.symbols):
            for lp in reach.get(i, ()):
                self._channel_of[i, degree_block(lp)] = channels[(symbol, lp)]
        self._atom_index = atom_index

    def _check_energies(self) -> None:
        if self.continuum != "atomic":
            return
        lowest = (MIN_MATCHING_RHO / self.radial_grid.r[-1]) ** 2 / 2
        for e in self.e_kin:
            if not lowest <= e <= HIGHEST_ATOMIC_ENERGY:
                low, high = lowest * HARTREE_IN_EV, HIGHEST_ATOMIC_ENERGY * HARTREE_IN_EV
                raise InputError("kinetic_energy", f"must lie between {low:.3g} and {high:.3g} eV "
                                                   f"for the atomic continuum, got "
                                                   f"{e * HARTREE_IN_EV:.4g} eV",
                                 "or use {continuum} 'free'")

    def _waves(self, energy: float) -> Dict[str, ContinuumWaves]:
        if self.continuum == "free":
            free = free_waves([energy], self.l_max, self.radial_grid)
            return {symbol: free for symbol in set(self.symbols)}
        return {symbol: atomic_waves(symbol, [energy], self.l_max, self.radial_grid)
                for symbol in set(self.symbols)}

    def _prepare_group(self, energy: float) -> _EnergyGroup:
        m = self.molecule
        members = np.flatnonzero(self.e_kin == energy)
        waves = self._waves(energy)
        coefficients = m.mo_coeff[[self.rows[o] for o in members]].astype(np.float64)
        n_y = harmonic_count(self.l_max)
        sums = np.zeros((len(members), len(self.atoms), n_y, 3))
        shell_atom = m.shell_atom()
        # the atoms of one element share their shells: each distinct shell's integrals
        # are computed once
        integrals: Dict[Tuple[str, int, bytes, bytes], List[Tuple[int, Float64Array]]] = {}
        prim = comp = 0
        for s in range(m.n_shells):
            l = int(m.shell_l[s])
            n_prim = int(m.shell_n_prim[s])
            exponents = m.prim_exponent[prim:prim + n_prim].astype(np.float64)
            contraction = m.prim_coeff[prim:prim + n_prim].astype(np.float64)
            block = coefficients[:, comp:comp + 2 * l + 1]            # (orbitals, 2l+1)
            i = self._atom_index[int(shell_atom[s])]
            symbol = self.symbols[i]
            key = (symbol, l, exponents.tobytes(), contraction.tobytes())
            if key not in integrals:
                integrals[key] = dipole_integrals(self.radial_grid, waves[symbol].radial[0], l,
                                                  exponents, contraction)
            for lp, integral in integrals[key]:
                if lp > self.l_max:
                    continue
                angular = DIPOLE_ANGULAR[:, degree_block(lp), degree_block(l)]  # (3, 2l'+1, 2l+1)
                sums[:, i, degree_block(lp), :] += float(integral) * np.einsum(
                    "iac,oc->oai", angular, block)
            prim += n_prim
            comp += 2 * l + 1
        base = np.empty(len(self.channels), dtype=np.complex128)
        for c, (symbol, lp) in enumerate(self.channels):
            base[c] = (-1j) ** lp * np.exp(1j * waves[symbol].phase[0, lp])
        pixels, k_lab = self._hemisphere(energy)
        return _EnergyGroup(float(energy), members, pixels, k_lab, sums, base)

    def _hemisphere(self, energy: float) -> Tuple[NDArray[np.intp], Float64Array]:
        """The pixels inside the hemisphere (the library's float32 test of kz^2 >= 0) and
        their laboratory momenta."""
        f32 = np.float32
        k = np.sqrt(f32(energy) + f32(energy))
        k2 = k * k
        steps = np.arange(self.n, dtype=np.float32) * f32(self.k_step_bohr) + f32(self.k_min_bohr)
        row_rest = k2 - steps * steps                                     # float32
        kz2 = row_rest[:, None] - (steps * steps)[None, :]
        inside = kz2 >= 0
        i, j = np.nonzero(inside)
        kx = steps[i].astype(np.float64)
        ky = steps[j].astype(np.float64)
        k_exact = math.sqrt(2.0 * energy)
        kz = np.sqrt(np.maximum(k_exact * k_exact - kx * kx - ky * ky, 0.0))
        return (i * self.n + j).astype(np.intp), np.stack([kx, ky, kz], axis=1)

    # -- the channel factors ------------------------------------------------------------------
    def channel_factors(self, group: _EnergyGroup,
                        partial_waves: Optional[PartialWaves] = None) -> np.ndarray:
        """(channels,) complex: (-i)^l' e^{i delta} times the partial waves' a e^{i phi}."""
        waves = self.partial_waves if partial_waves is None else partial_waves
        extra = np.array([waves.factor(symbol, lp) for symbol, lp in self.channels],
                         dtype=np.complex128)
        return group.base_factor * extra

    def _complex_sums(self, group: _EnergyGroup, factors: np.ndarray) -> np.ndarray:
        """(orbitals, atoms, harmonics, 3) complex sums with the channels' factors."""
        per_harmonic = np.where(self._channel_of >= 0,
                                np.concatenate([factors, [0]])[self._channel_of], 0)
        return group.radial_sums * per_harmonic[None, :, :, None]

    # -- evaluation -----------------------------------------------------------------------------
    def _amplitudes(self, group: _EnergyGroup, turn: Float64Array, sums: Sequence[np.ndarray],
                    vectors: Sequence[np.ndarray], chunk: slice) -> List[List[np.ndarray]]:
        """[[M]]: for each of the (orbital, atom, harmonic, 3) `sums` and each molecule-frame
        eps in `vectors` (each (3,) or, per pixel, (P_chunk, 3)) the amplitude (P_chunk,
        orbitals), complex, from one evaluation of the harmonics and the atoms' phases."""
        dtype = self.dtype
        k_mol = group.k_lab[chunk] @ turn.T
        k_norm = math.sqrt(2.0 * group.energy)
        harmonics = real_harmonics(self.l_max, (k_mol / k_norm).astype(dtype), dtype)
        k = k_mol.astype(dtype)
        position = self.positions.astype(dtype)
        # e^{-i k.R_j}, the argument formed as three products (no matrix product: a thin
        # one is slower, and competes for threads)
        argument = k[:, 0:1] * position[:, 0]
        argument += k[:, 1:2] * position[:, 1]
        argument += k[:, 2:3] * position[:, 2]
        phase = np.empty(argument.shape, dtype=self._complex)
        np.cos(argument, out=phase.real)
        np.negative(argument, out=argument)
        np.sin(argument, out=phase.imag)
        # every (sums, vector)'s (orbital, atom, harmonic) array side by side: one real
        # product, columns (orbital, atom, Re/Im), read back as complex
        columns: List[np.ndarray] = []
        layout: List[Tuple[int, bool]] = []  # (first column block, per pixel)
        for table in sums:
            for vector in vectors:
                if np.ndim(vector) == 2:
                    layout.append((len(columns), True))
                    columns.extend(table[..., i] for i in range(3))
                else:
                    layout.append((len(columns), False))
                    columns.append(np.tensordot(table, np.asarray(vector), axes=([3], [0])))
        n_orb, n_atoms, n_y = columns[0].shape
        stacked = np.stack([np.stack([c.real, c.imag], axis=-1) for c in columns])
        matrix = np.ascontiguousarray(stacked.transpose(3, 0, 1, 2, 4).reshape(n_y, -1),
                                      dtype=dtype)
        products = (harmonics @ matrix).view(self._complex).reshape(
            -1, len(columns), n_orb, n_atoms)
        summed = [np.einsum("poj,pj->po", products[:, c], phase) for c in range(len(columns))]
        results: List[List[np.ndarray]] = [[] for _ in sums]
        pairs = [(t, v) for t in range(len(sums)) for v in vectors]
        for (first, per_pixel), (t, vector) in zip(layout, pairs):
            if per_pixel:
                e = np.asarray(vector, dtype=dtype)
                results[t].append(np.asarray(sum(e[:, i, None] * summed[first + i]
                                                 for i in range(3))))
            else:
                results[t].append(summed[first])
        return results

    def _light_vectors(self, light: Light, turn: Float64Array, group: _EnergyGroup,
                       chunk: slice) -> List[Tuple[float, np.ndarray]]:
        if light.per_pixel:
            k = group.k_lab[chunk]
            lab = light.pixel_vectors(k[:, 0], k[:, 1])
            return [(1.0, lab @ turn.T)]
        return [(w, turn @ v) for w, v in light.vectors()]

    def _intensity_pixels(self, group: _EnergyGroup, turn: Float64Array, sums: np.ndarray,
                          lights: Sequence[Light], local: NDArray[np.intp]) -> List[np.ndarray]:
        """Per light, the intensity (16/pi) sum_o w_o sum_eps w_eps |M|^2 at the group's
        pixels, over the group's orbitals `local` (positions into group.orbitals; `sums`
        holds theirs)."""
        total = len(group.pixels)
        out = [np.empty(total, dtype=self.dtype) for _ in lights]
        weights = self.weights[group.orbitals[local]].astype(self.dtype)
        for start in range(0, total, PIXEL_CHUNK):
            chunk = slice(start, min(start + PIXEL_CHUNK, total))
            per_light = [self._light_vectors(light, turn, group, chunk) for light in lights]
            flat = [v for vectors in per_light for _, v in vectors]
            amplitudes = self._amplitudes(group, turn, [sums], flat, chunk)[0]
            position = 0
            for index, vectors in enumerate(per_light):
                value = np.zeros(chunk.stop - chunk.start, dtype=self.dtype)
                for w, _ in vectors:
                    amplitude = amplitudes[position]
                    position += 1
                    value += self.dtype.type(w * MAP_SCALE) * (
                        (amplitude.real**2 + amplitude.imag**2) @ weights)
                out[index][chunk] = value
        return out

    def _local(self, group: _EnergyGroup, rows: Optional[Sequence[int]]) -> NDArray[np.intp]:
        """Positions into group.orbitals of the orbitals `rows` (positions into the call's
        rows; None: all of them)."""
        if rows is None:
            return np.arange(len(group.orbitals), dtype=np.intp)
        return np.flatnonzero(np.isin(group.orbitals, np.asarray(rows, dtype=np.intp)))

    def _turns(self, orientation: OrientationLike,
               domains: Optional[Sequence[ArrayLike]]) -> List[Float64Array]:
        """The matrices taking laboratory vectors into the molecule's frame: M alone, or
        M g^T for each domain g (the molecule moved by g in the laboratory)."""
        turn = orientation_matrix(orientation_angles(orientation))
        if domains is None:
            return [turn]
        turns = []
        for g in domains:
            matrix = np.asarray(g, dtype=np.float64)
            if matrix.shape != (3, 3) or not np.allclose(matrix @ matrix.T, np.eye(3),
                                                         atol=1e-9):
                raise InputError("domains", "are 3 x 3 orthogonal matrices (rotations and "
                                            "mirrors)")
            turns.append(turn @ matrix.T)
        if not turns:
            raise InputError("domains", "is empty: give at least one matrix, or None")
        return turns

    def _maps(self, orientation: OrientationLike, lights: Sequence[Light],
              partial_waves: Optional[PartialWaves], rows: Optional[Sequence[int]] = None,
              domains: Optional[Sequence[ArrayLike]] = None) -> List[np.ndarray]:
        turns = self._turns(orientation, domains)
        maps = [np.zeros(self.n * self.n, dtype=self.dtype) for _ in lights]
        for group in self.groups:
            local = self._local(group, rows)
            if local.size == 0:
                continue
            sums = self._complex_sums(group, self.channel_factors(group, partial_waves))[local]
            for turn in turns:
                for target, values in zip(maps, self._intensity_pixels(group, turn, sums,
                                                                       lights, local)):
                    target[group.pixels] += values
        if len(turns) > 1:
            for target in maps:
                target /= self.dtype.type(len(turns))
        return [m.reshape(self.n, self.n) for m in maps]

    @document
    def run(self, orientation: OrientationLike = (0.0, 0.0, 0.0),
            partial_waves: Optional[PartialWaves] = None,
            light: Union[Light, str, Sequence[complex], None] = None,
            rows: Optional[Sequence[int]] = None,
            domains: Optional[Sequence[ArrayLike]] = None) -> np.ndarray:
        """The IAC map (n, n) at `orientation` (float32 or float64, as `precision`).

    {orientation}
        `partial_waves` and `light` replace the call's own for this map; `rows` sums
        only those orbitals (positions into the call's rows); `domains` averages the
        maps of the molecule moved by each 3 x 3 laboratory matrix (domain_matrices).
        """
        chosen = self.light if light is None else as_light(light)
        return self._maps(orientation, [chosen], partial_waves, rows, domains)[0]

    @document
    def helicity_maps(self, orientation: OrientationLike = (0.0, 0.0, 0.0),
                      partial_waves: Optional[PartialWaves] = None,
                      rows: Optional[Sequence[int]] = None,
                      domains: Optional[Sequence[ArrayLike]] = None
                      ) -> Tuple[np.ndarray, np.ndarray]:
        """(left, right): the maps with circular-left and circular-right light of the
        call's geometry (light.py), from one evaluation of the harmonics and phases;
        `rows` and `domains` as for run.

    {orientation}
        """
        left, right = self.light.helicities()
        first, second = self._maps(orientation, [left, right], partial_waves, rows, domains)
        return first, second

    @document
    def dichroism(self, orientation: OrientationLike = (0.0, 0.0, 0.0),
                  partial_waves: Optional[PartialWaves] = None,
                  rows: Optional[Sequence[int]] = None,
                  domains: Optional[Sequence[ArrayLike]] = None) -> np.ndarray:
        """(I_left - I_right) / (I_left + I_right), zero where both vanish: outside the
        hemisphere, and where their sum is below 1e-5 of its largest value (1e-12 with
        precision float64), where rounding would decide the ratio.  `rows` and
        `domains` as for run.

    {orientation}
        """
        left, right = self.helicity_maps(orientation, partial_waves, rows, domains)
        return helicity_asymmetry(left, right)

    @document
    def partial_wave_basis(self, orientation: OrientationLike = (0.0, 0.0, 0.0),
                           light: Union[Light, str, Sequence[complex], None] = None,
                           domains: Optional[Sequence[ArrayLike]] = None
                           ) -> "PartialWaveBasis":
        """The amplitudes of each channel at `orientation`, for many partial waves at once;
        with `domains` (as for run) the basis of their averaged map.

    {orientation}
        """
        chosen = self.light if light is None else as_light(light)
        turns = self._turns(orientation, domains)
        share = 1.0 / len(turns)
        parts: List[Tuple[_EnergyGroup, List[Tuple[float, np.ndarray]]]] = []
        for group in self.groups:
            # one table per channel: the sums with only that channel's factor
            tables = []
            for c in range(len(self.channels)):
                only = np.zeros(len(self.channels), dtype=np.complex128)
                only[c] = group.base_factor[c]
                tables.append(self._complex_sums(group, only))
            for turn in turns:
                blocks: List[List[List[np.ndarray]]] = []  # [chunk][channel][light vector]
                light_weights: List[float] = []
                for start in range(0, len(group.pixels), PIXEL_CHUNK):
                    chunk = slice(start, min(start + PIXEL_CHUNK, len(group.pixels)))
                    vectors = self._light_vectors(chosen, turn, group, chunk)
                    light_weights = [w * share for w, _ in vectors]
                    blocks.append(self._amplitudes(group, turn, tables,
                                                   [v for _, v in vectors], chunk))
                # per light vector: (pixels, orbitals, channels) complex128
                bases = [np.stack([np.concatenate([np.asarray(b[c][v], dtype=np.complex128)
                                                   for b in blocks])
                                   for c in range(len(self.channels))], axis=-1)
                         for v in range(len(light_weights))]
                parts.append((group, list(zip(light_weights, bases))))
        return PartialWaveBasis(self, parts)


class PartialWaveBasis:
    """The IAC amplitudes of each channel (element, l') at one orientation.

    The map for channel factors p_c = a_c e^{i phi_c} (PartialWaves) is
    (16/pi) sum_o w_o sum_eps w_eps |sum_c p_c B_{o,c}(k)|^2, here one matrix
    product per call; `jacobian` gives its derivatives in every a_c and phi_c.
    """

    def __init__(self, call: IACMapCall,
                 parts: List[Tuple[_EnergyGroup, List[Tuple[float, np.ndarray]]]]) -> None:
        self.call = call
        self.channels = list(call.channels)
        self._parts = parts

    def _factors(self, amplitudes: Optional[ArrayLike], phases: Optional[ArrayLike]
                 ) -> Tuple[Float64Array, Float64Array]:
        n = len(self.channels)
        a = np.ones(n) if amplitudes is None else np.asarray(amplitudes, dtype=np.float64).ravel()
        p = np.zeros(n) if phases is None else np.asarray(phases, dtype=np.float64).ravel()
        if a.size != n or p.size != n:
            raise InputError("amplitudes", f"needs one value per channel ({n}), got {a.size} "
                                           f"amplitudes and {p.size} phases")
        return a, p

    def intensity(self, amplitudes: Optional[ArrayLike] = None,
                  phases: Optional[ArrayLike] = None) -> Float64Array:
        """The (n, n) map (float64) for channel amplitudes and phases (radians), in the order
        of `channels`; None means 1 and 0."""
        a, p = self._factors(amplitudes, phases)
        factor = a * np.exp(1j * p)
        n = self.call.n
        out = np.zeros(n * n)
        for group, lights in self._parts:
            weights = self.call.weights[group.orbitals]
            for w, basis in lights:
                amplitude = basis @ factor                                  # (P, orbitals)
                out[group.pixels] += w * MAP_SCALE * ((amplitude.real**2 + amplitude.imag**2)
                                                      @ weights)
        return out.reshape(n, n)

    def orbital_intensities(self, amplitudes: Optional[ArrayLike] = None,
                            phases: Optional[ArrayLike] = None) -> Float64Array:
        """(orbitals, n, n): each orbital's map (times its weight) apart, float64; their
        sum is `intensity`."""
        a, p = self._factors(amplitudes, phases)
        factor = a * np.exp(1j * p)
        n = self.call.n
        out = np.zeros((len(self.call.rows), n * n))
        for group, lights in self._parts:
            weights = self.call.weights[group.orbitals]
            for w, basis in lights:
                amplitude = basis @ factor                                  # (P, orbitals)
                values = (amplitude.real**2 + amplitude.imag**2) * (w * MAP_SCALE * weights)
                out[np.ix_(group.orbitals, group.pixels)] += values.T
        return out.reshape(len(self.call.rows), n, n)

    def jacobian(self, amplitudes: Optional[ArrayLike] = None,
                 phases: Optional[ArrayLike] = None) -> Float64Array:
        """(n, n, 2 channels): d map / d a_c for every channel, then d map / d phi_c."""
        a, p = self._factors(amplitudes, phases)
        unit = np.exp(1j * p)
        factor = a * unit
        n, count_c = self.call.n, len(self.channels)
        out = np.zeros((n * n, 2 * count_c))
        for group, lights in self._parts:
            weights = self.call.weights[group.orbitals]
            for w, basis in lights:
                amplitude = basis @ factor                                   # (P, o)
                # dM/da_c = e^{i phi_c} B_c,  dM/dphi_c = i a_c e^{i phi_c} B_c
                product = np.conj(amplitude)[:, :, None] * basis             # (P, o, c)
                d_a = 2 * np.real(product * unit)
                d_phi = 2 * np.real(product * 1j * factor)
                out[group.pixels, :count_c] += w * MAP_SCALE * np.einsum("poc,o->pc", d_a,
                                                                         weights)
                out[group.pixels, count_c:] += w * MAP_SCALE * np.einsum("poc,o->pc", d_phi,
                                                                         weights)
        return out.reshape(n, n, 2 * count_c)
