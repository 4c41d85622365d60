"""Continuum radial functions and phase shifts of an atom, and of free space.

For a photoelectron of kinetic energy E = k^2 / 2 (hartree) and angular
momentum l, the radial function R_El(r) = u(r) / r solves

    u'' = [2 (V(r) - E) + l (l+1) / r^2] u,     u ~ r^(l+1) at the nucleus,

in the atom's potential V (potential.py: -1/r beyond Latter's radius).  It is
integrated outward by Numerov's method (radial_grid.py) to the grid's end
(80 bohr), where only the ion's Coulomb field -1/r acts, and matched there to
the regular and irregular Coulomb functions F_l(eta, kr), G_l(eta, kr) of
eta = -1/k:

    u(r) = A [cos(d) F_l(eta, kr) + sin(d) G_l(eta, kr)].

The radial function is normalised so that, far out,

    R_El(r) -> sin(kr - l pi/2 - eta ln 2kr + sigma_l + d_l) / (kr),

the normalisation of the spherical Bessel function j_l(kr) of the free wave:
`continuum="free"` is R = j_l(kr) with all phases zero, and the atomic
continuum tends to it where the potential vanishes.  The phase that enters the
amplitude is sigma_l + d_l, the Coulomb phase sigma_l = arg Gamma(l + 1 + i eta)
plus the short-range shift d_l (the term -eta ln 2kr is the same for every l
and every atom and drops out of |M|^2).  R is positive next to the nucleus;
the phases are taken in (-pi, pi] (the pair (R, phase) is fixed by that choice,
which leaves |M|^2 unchanged).

The Coulomb functions at the matching radius come from their asymptotic
expansion (Abramowitz & Stegun 14.5), which at k r >= 48 (the lowest energy of
the tables, 5 eV, at 80 bohr) converges to rounding for l <= 5.

Tables are made once per element, energy grid and l_max, kept in memory and
on disk (core/cache.py, kind "continuum"), keyed by the potential's key, the
energies and this module's version.
"""

from __future__ import annotations

import hashlib
import io
import math
import zipfile
from dataclasses import dataclass
from typing import TYPE_CHECKING, Dict, Optional, Tuple

import numpy as np

from ..core.cache import atomic_write_bytes, cache_directory
from ..core.errors import AtomicCalculationError, InputError
from ..core.molecule import ELEMENTS
from ..core.units import HARTREE_IN_EV
from .harmonics import MAX_FINAL_L
from .potential import AtomicPotential, atomic_potential, element_number
from .radial_grid import RadialGrid, numerov_outward, scipy_module

if TYPE_CHECKING:
    from numpy.typing import ArrayLike

    from ..core.types import Float64Array

CONTINUUM_VERSION = "numerov-coulomb-1"
CACHE_KIND = "continuum"
ION_CHARGE = 1.0
# kinetic energies the atomic tables are made for (hartree): 5 to 150 eV
LOWEST_ENERGY = 5.0 / HARTREE_IN_EV
HIGHEST_ENERGY = 150.0 / HARTREE_IN_EV
MIN_MATCHING_RHO = 40.0  # k r at the matching radius at least this for the expansion


def coulomb_phase(l: int, eta: ArrayLike) -> Float64Array:
    """sigma_l = arg Gamma(l + 1 + i eta)."""
    loggamma = scipy_module("scipy.special").loggamma
    return np.asarray(np.imag(loggamma(l + 1 + 1j * np.asarray(eta, dtype=np.float64))))


def coulomb_functions(l: int, eta: float, rho: ArrayLike,
                      terms: int = 400) -> Tuple[Float64Array, Float64Array]:
    """(F_l, G_l)(eta, rho) by the asymptotic expansion (A&S 14.5.1-14.5.8), for rho well
    beyond the turning point and l(l+1), eta^2 (rho >~ 40 for l <= 5 and |eta| <~ 2)."""
    rho = np.asarray(rho, dtype=np.float64)
    f_sum, g_sum = np.ones_like(rho), np.zeros_like(rho)
    f_k, g_k = np.ones_like(rho), np.zeros_like(rho)
    size = np.ones_like(rho)
    for k in range(terms):
        a = (2 * k + 1) * eta / ((2 * k + 2) * rho)
        b = (l * (l + 1) - k * (k + 1) + eta * eta) / ((2 * k + 2) * rho)
        f_next, g_next = a * f_k - b * g_k, a * g_k + b * f_k
        next_size = np.abs(f_next) + np.abs(g_next)
        if np.any(next_size > size) and k > l:  # the asymptotic series starts to diverge
            break
        f_k, g_k, size = f_next, g_next, next_size
        f_sum, g_sum = f_sum + f_k, g_sum + g_k
        if float(np.max(size)) < 1e-17:
            break
    if float(np.max(size)) > 1e-12:
        raise AtomicCalculationError(f"the Coulomb functions' expansion does not reach 1e-12 "
                                     f"at rho = {float(np.min(rho)):.3g} (l = {l}, "
                                     f"eta = {eta:.3g})")
    theta = rho - eta * np.log(2 * rho) - l * math.pi / 2 + float(coulomb_phase(l, eta))
    cos, sin = np.cos(theta), np.sin(theta)
    return g_sum * cos + f_sum * sin, f_sum * cos - g_sum * sin


@dataclass
class ContinuumWaves:
    """Radial functions R_El(r) and phases of one element (or free space) on a grid.

    `radial[e, l]` is R on `grid.r` at energies[e] (hartree) for l = 0 .. l_max,
    normalised as j_l(kr) far out (module docstring); `phase[e, l]` the phase
    sigma_l + d_l that multiplies the partial wave (radians, zero for free
    space), `coulomb[e, l]` its Coulomb part sigma_l.  `element` is the symbol
    ("" for free space).
    """

    element: str
    energies: Float64Array
    l_max: int
    grid: RadialGrid
    radial: Float64Array
    phase: Float64Array
    coulomb: Float64Array
    key: str = ""

    @property
    def momenta(self) -> Float64Array:
        return np.sqrt(2.0 * self.energies)

    def short_range_phase(self) -> Float64Array:
        """d_l = phase - sigma_l in (-pi, pi]."""
        return np.angle(np.exp(1j * (self.phase - self.coulomb)))

    def to_bytes(self) -> bytes:
        buffer = io.BytesIO()
        np.savez(buffer, version=np.array(CONTINUUM_VERSION), element=np.array(self.element),
                 energies=self.energies, l_max=np.array(self.l_max), radial=self.radial,
                 phase=self.phase, coulomb=self.coulomb)
        return buffer.getvalue()

    @classmethod
    def from_bytes(cls, data: bytes, grid: RadialGrid, key: str) -> "ContinuumWaves":
        with np.load(io.BytesIO(data), allow_pickle=False) as stored:
            if str(stored["version"]) != CONTINUUM_VERSION:
                raise ValueError("another version")
            radial = np.array(stored["radial"])
            if radial.shape[-1] != grid.size:
                raise ValueError("another grid")
            return cls(element=str(stored["element"]), energies=np.array(stored["energies"]),
                       l_max=int(stored["l_max"]), grid=grid, radial=radial,
                       phase=np.array(stored["phase"]), coulomb=np.array(stored["coulomb"]),
                       key=key)


def _checked_energies(energies: ArrayLike) -> Float64Array:
    values = np.atleast_1d(np.asarray(energies, dtype=np.float64)).ravel()
    if values.size == 0 or not np.all(np.isfinite(values)) or np.any(values <= 0):
        raise InputError("kinetic_energy", "must be positive and finite for a continuum state")
    return values


def free_waves(energies: ArrayLike, l_max: int = MAX_FINAL_L,
               grid: Optional[RadialGrid] = None) -> ContinuumWaves:
    """j_l(kr) with zero phases: the plane wave's partial waves."""
    spherical_jn = scipy_module("scipy.special").spherical_jn
    grid = grid or RadialGrid()
    e = _checked_energies(energies)
    k = np.sqrt(2.0 * e)
    radial = np.stack([np.stack([spherical_jn(l, kk * grid.r) for l in range(l_max + 1)])
                       for kk in k])
    zeros = np.zeros((e.size, l_max + 1))
    return ContinuumWaves("", e, l_max, grid, radial, zeros, zeros.copy(), key="free")


def solve_continuum(potential: AtomicPotential, energies: ArrayLike,
                    l_max: int = MAX_FINAL_L) -> ContinuumWaves:
    """The continuum of `potential` at `energies` (hartree), l = 0 .. l_max (no cache)."""
    grid = potential.grid
    e = _checked_energies(energies)
    r = grid.r
    last = grid.size - 1
    if r[last] <= potential.latter_radius * 1.5:
        raise AtomicCalculationError(f"the grid ends inside {potential.symbol}'s potential")
    radial = np.empty((e.size, l_max + 1, grid.size))
    phase = np.empty((e.size, l_max + 1))
    coulomb = np.empty((e.size, l_max + 1))
    h2 = grid.h**2 / 12.0
    for index, energy in enumerate(e):
        k = math.sqrt(2.0 * energy)
        eta = -ION_CHARGE / k
        if k * r[last] < MIN_MATCHING_RHO:
            lowest = (MIN_MATCHING_RHO / r[last]) ** 2 / 2 * HARTREE_IN_EV
            raise InputError("kinetic_energy", f"{energy * HARTREE_IN_EV:.3g} eV is too low for "
                                               f"the continuum's matching radius (at least "
                                               f"{lowest:.3g} eV)")
        # the second matching point a quarter wavelength inside the last
        inner = int(np.searchsorted(r, r[last] - math.pi / (2 * k)))
        points = np.array([inner, last])
        for l in range(l_max + 1):
            q = 2.0 * (potential.potential - energy) + l * (l + 1) / r**2
            t = grid.numerov_factor(q) * h2
            f0, f1 = (r[i] ** (l + 1) * (1 - potential.z * r[i] / (l + 1))
                      / math.sqrt(grid.dr_dx[i]) for i in (0, 1))
            f = numerov_outward(t, f0, f1, last)
            u = grid.to_u(f)
            big_f, big_g = coulomb_functions(l, eta, k * r[points])
            a, b = np.linalg.solve(np.stack([big_f, big_g], axis=1), u[points])
            amplitude = math.hypot(a, b)
            if not (np.all(np.isfinite(u)) and amplitude > 0):
                raise AtomicCalculationError(f"the continuum of {potential.symbol} at "
                                             f"{energy * HARTREE_IN_EV:.4g} eV, l = {l}, failed")
            radial[index, l] = u / (amplitude * k * r)
            sigma = float(coulomb_phase(l, eta))
            coulomb[index, l] = sigma
            phase[index, l] = math.atan2(b, a) + sigma
    phase = np.angle(np.exp(1j * phase))
    return ContinuumWaves(potential.symbol, e, l_max, grid, radial, phase,
                          np.angle(np.exp(1j * coulomb)))


def continuum_key(potential: AtomicPotential, energies: Float64Array, l_max: int) -> str:
    digest = hashlib.sha256()
    digest.update(f"{CONTINUUM_VERSION}|{potential.key}|{l_max}|{ION_CHARGE}|".encode())
    digest.update(np.ascontiguousarray(energies, dtype=np.float64).tobytes())
    return f"{CONTINUUM_VERSION}-{potential.symbol}-{digest.hexdigest()[:20]}"


_MEMORY: Dict[str, ContinuumWaves] = {}
_MEMORY_LIMIT = 64


def atomic_waves(element: object, energies: ArrayLike, l_max: int = MAX_FINAL_L,
                 grid: Optional[RadialGrid] = None, use_cache: bool = True) -> ContinuumWaves:
    """The continuum of `element` (symbol or Z) at `energies` (hartree), from the cache when
    it is there (memory, then disk), computed and stored otherwise."""
    z = element_number(element)
    e = _checked_energies(energies)
    if not 0 <= l_max <= MAX_FINAL_L:
        raise InputError("l_max", f"must lie between 0 and {MAX_FINAL_L}, got {l_max}")
    potential = atomic_potential(z, grid, use_cache=use_cache)
    key = continuum_key(potential, e, l_max)
    if use_cache and key in _MEMORY:
        return _MEMORY[key]
    path = cache_directory(CACHE_KIND) / f"{key}.npz" if use_cache else None
    result: Optional[ContinuumWaves] = None
    if path is not None and path.exists():
        try:
            result = ContinuumWaves.from_bytes(path.read_bytes(), potential.grid, key)
        except (OSError, ValueError, KeyError, EOFError, zipfile.BadZipFile):
            result = None  # unreadable or of another version: computed again below
    if result is None:
        result = solve_continuum(potential, e, l_max)
        result.key = key
        if path is not None:
            atomic_write_bytes(path, result.to_bytes())
    if use_cache:
        if len(_MEMORY) >= _MEMORY_LIMIT:
            _MEMORY.pop(next(iter(_MEMORY)))
        _MEMORY[key] = result
    return result


def phase_table(element: object, energies_ev: ArrayLike,
                l_max: int = MAX_FINAL_L) -> Dict[str, Float64Array]:
    """{"energy_ev", "phase", "short_range", "coulomb"} of `element` over `energies_ev` (eV),
    each phase (energies, l_max + 1) in radians: for tables and figures."""
    e = np.atleast_1d(np.asarray(energies_ev, dtype=np.float64)) / HARTREE_IN_EV
    waves = atomic_waves(element, e, l_max)
    return {"energy_ev": e * HARTREE_IN_EV, "phase": waves.phase,
            "short_range": np.unwrap(waves.short_range_phase(), axis=0),
            "coulomb": waves.coulomb}


def element_symbol(z: int) -> str:
    return ELEMENTS[z]
