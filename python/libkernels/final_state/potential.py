"""The spherical atomic potential of the final-state models: Hartree-Fock-Slater with Latter's tail.

For an atom of nuclear charge Z in its ground configuration (spherically
averaged: every subshell's electrons spread evenly over its m), the
self-consistent one-electron potential is, in hartree,

    V(r) = -Z/r + V_H(r) - 3 (3 rho(r) / 8 pi)^(1/3)        (Slater's exchange, alpha = 1)

with V_H the Hartree potential of the density rho, except beyond the radius r_L
where V first rises above -1/r: there V(r) = -1/r (Latter's tail), the potential
an electron leaving the neutral atom sees of the ion it leaves behind.  This is
the central field of Herman and Skillman's tables and of the subshell
photoionisation cross-sections of Yeh and Lindau (1985); it is what the
continuum radial functions of continuum.py see, each atom of a molecule with
its own element's potential.

The bound states are found by Numerov shooting on the radial grid of
radial_grid.py (outward from the nucleus, inward from where the state has
decayed by e^-40, matched at the outermost classical turning point, the energy
corrected from the mismatch of slopes), the density mixed by Anderson's method
until the potential changes by less than 1e-8 hartree bohr (r times V).  A
hydrogen-like potential reproduces -Z^2 / 2n^2 to 1e-9 to 1e-7 relative on the
default grid (the latter for states that reach the grid's end); the accuracy of
the model itself is that of the local exchange: the outermost levels of C and N
lie 2.3 and 3.0 eV above the measured ionisation energies, those of H, O, S and
the 3d metals within 1 eV (the documentation's page on final states lists
them side by side).

Results are cached on disk (core/cache.py, kind "atomic-potentials") under a
name that holds the method's version, the element and the grid, so a changed
method never reads an old entry.
"""

from __future__ import annotations

import hashlib
import io
import math
import zipfile
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Dict, List, Optional, Tuple

import numpy as np

from ..core.cache import atomic_write_bytes, cache_directory
from ..core.errors import AtomicCalculationError, InputError
from ..core.molecule import ELEMENTS
from .radial_grid import RadialGrid, numerov_inward, numerov_outward, scipy_module

if TYPE_CHECKING:
    from ..core.types import Float64Array

# Bump when anything that changes the numbers changes: the cache keys hold it.
POTENTIAL_VERSION = "hfs-latter-1"
MAX_Z = 54  # H to Xe
CACHE_KIND = "atomic-potentials"

# subshells in the order they fill (Madelung's rule up to Xe)
_FILLING = ((1, 0), (2, 0), (2, 1), (3, 0), (3, 1), (4, 0), (3, 2), (4, 1), (5, 0), (4, 2),
            (5, 1))
# ground configurations that break the filling rule (outer subshells only)
_EXCEPTIONS: Dict[int, Dict[Tuple[int, int], int]] = {
    24: {(4, 0): 1, (3, 2): 5}, 29: {(4, 0): 1, (3, 2): 10},
    41: {(5, 0): 1, (4, 2): 4}, 42: {(5, 0): 1, (4, 2): 5}, 44: {(5, 0): 1, (4, 2): 7},
    45: {(5, 0): 1, (4, 2): 8}, 46: {(5, 0): 0, (4, 2): 10}, 47: {(5, 0): 1, (4, 2): 10}}

SUBSHELL_LETTERS = "spdfg"
MIXING = 0.3
TOLERANCE = 1e-8          # largest change of r V(r) between iterations, hartree bohr
MAX_ITERATIONS = 400
DECAY = 40.0              # the inward sweep starts where a bound state has decayed by e^-40


def element_number(element: object) -> int:
    """Nuclear charge of `element`, given as a symbol ('C', 'cu') or a number (1 to 54)."""
    if isinstance(element, str):
        symbol = element.strip().capitalize()
        if symbol in ELEMENTS[1:]:
            z = ELEMENTS.index(symbol)
        elif symbol.isdigit():
            z = int(symbol)
        else:
            raise InputError("element", f"must be an element symbol (H to Xe), got {element!r}")
    elif isinstance(element, (int, np.integer)) and not isinstance(element, bool):
        z = int(element)
    else:
        raise InputError("element", f"must be an element symbol or number, got {element!r}")
    if not 1 <= z <= MAX_Z:
        raise InputError("element", f"must lie between 1 (H) and {MAX_Z} (Xe), got {z}")
    return z


def subshell_name(n: int, l: int) -> str:
    return f"{n}{SUBSHELL_LETTERS[l]}"


def ground_configuration(z: int) -> List[Tuple[int, int, int]]:
    """[(n, l, electrons)] of the neutral atom's ground configuration, inner first."""
    left = z
    occupation: Dict[Tuple[int, int], int] = {}
    for n, l in _FILLING:
        take = min(left, 2 * (2 * l + 1))
        if take:
            occupation[(n, l)] = take
        left -= take
    for subshell, count in _EXCEPTIONS.get(z, {}).items():
        occupation[subshell] = count
    occupation = {s: c for s, c in occupation.items() if c}
    assert sum(occupation.values()) == z
    return [(n, l, occupation[(n, l)]) for n, l in sorted(occupation, key=lambda s: (s[0], s[1]))]


def thomas_fermi_potential(z: int, r: Float64Array) -> Float64Array:
    """The starting guess: the Thomas-Fermi screened nucleus (Tietz's fit), with -1/r far out."""
    b = 0.8853 * z ** (-1.0 / 3.0)
    x = r / b
    s = np.sqrt(x)
    phi = 1.0 / (1.0 + 0.02747 * s + 1.243 * x - 0.1486 * x * s + 0.2302 * x * x
                 + 0.007298 * x * x * s + 0.006944 * x**3)
    return -np.maximum(z * phi, 1.0) / r


# ---- one bound state ---------------------------------------------------------------------

def bound_state(grid: RadialGrid, potential: Float64Array, z: float, n: int, l: int,
                guess: Optional[float] = None,
                tolerance: float = 1e-12) -> Tuple[float, Float64Array]:
    """(energy, u) of the bound state (n, l) in `potential` (hartree on grid.r), u(r) = r R(r)
    normalised to one (integral of u^2 dr).  `z` is the nuclear charge (the start of the
    outward sweep: u ~ r^(l+1) (1 - z r/(l+1)))."""
    if not 0 <= l < n:
        raise InputError("l", f"must lie between 0 and n - 1 = {n - 1}, got {l}")
    r, h, nodes = grid.r, grid.h, n - l - 1
    size = grid.size
    centrifugal = l * (l + 1) / r**2
    base = grid.dr_dx**2 * (2.0 * potential + centrifugal) + grid.curvature
    weight = 2.0 * grid.dr_dx**2
    low = -1.05 * max(z, 1.0) ** 2 / (2.0 * n * n)
    high = 0.0
    energy = guess if guess is not None and low < guess < high else low / 2.0
    f_start = [(r[i] ** (l + 1) * (1.0 - z * r[i] / (l + 1))) / math.sqrt(grid.dr_dx[i])
               for i in (0, 1)]
    for _ in range(200):
        factor = base - energy * weight
        allowed = np.flatnonzero(factor < 0.0)
        if allowed.size == 0:
            low = energy
            energy = 0.5 * (low + high)
            continue
        match = int(min(max(allowed[-1], 8), size - 8))
        decay = np.cumsum(np.sqrt(np.maximum(factor[match:], 0.0))) * h
        beyond = np.flatnonzero(decay > DECAY)
        end = match + int(beyond[0]) if beyond.size else size - 1
        end = max(end, match + 4)
        t = factor * (h * h / 12.0)
        outward = numerov_outward(t, f_start[0], f_start[1], match + 1)
        inward = numerov_inward(t, end, match - 1)
        if not (np.all(np.isfinite(outward)) and np.all(np.isfinite(inward))) or inward[1] == 0:
            raise AtomicCalculationError(f"the {subshell_name(n, l)} state of Z = {z:g} "
                                         "overflowed")
        inward = inward * (outward[match] / inward[1])
        signs = np.sign(outward[1:match + 1])
        signs = signs[signs != 0]
        found = int(np.count_nonzero(signs[1:] != signs[:-1]))
        if found != nodes:
            if found > nodes:
                high = energy
            else:
                low = energy
            energy = 0.5 * (low + high)
            continue
        f = np.zeros(size)
        f[:match + 1] = outward[:match + 1]
        f[match:end + 1] = inward[1:]
        norm = float(np.sum(grid.weights / grid.dr_dx * weight * f * f))
        slope_out = (outward[match + 1] - outward[match - 1]) / (2 * h)
        slope_in = (inward[2] - inward[0]) / (2 * h)
        change = outward[match] * (slope_out - slope_in) / norm
        if change > 0:
            low = max(low, energy)
        else:
            high = min(high, energy)
        if abs(change) <= tolerance * max(1.0, abs(energy)):
            u = grid.to_u(f)
            u /= math.sqrt(float(grid.integrate(u * u)))
            if u[np.argmax(np.abs(u[:match + 1]))] < 0:
                u = -u
            return energy + change, u
        proposal = energy + change
        energy = proposal if low < proposal < high else 0.5 * (low + high)
    raise AtomicCalculationError(f"the {subshell_name(n, l)} state of Z = {z:g} did not "
                                 "converge")


# ---- the self-consistent potential -----------------------------------------------------------

@dataclass
class AtomicPotential:
    """The self-consistent HFS potential of one neutral atom with Latter's tail.

    `potential[i]` is V(grid.r[i]) in hartree; `configuration` the ground
    configuration [(n, l, electrons)]; `energies[(n, l)]` the orbital energies
    (hartree) and `orbitals[(n, l)]` the normalised u(r) = r R(r) of each
    occupied subshell; `latter_radius` the radius (bohr) beyond which
    V = -1/r.
    """

    z: int
    grid: RadialGrid
    potential: Float64Array
    configuration: List[Tuple[int, int, int]]
    energies: Dict[Tuple[int, int], float]
    orbitals: Dict[Tuple[int, int], Float64Array] = field(repr=False)
    latter_radius: float
    iterations: int
    version: str = POTENTIAL_VERSION

    @property
    def symbol(self) -> str:
        return ELEMENTS[self.z]

    @property
    def key(self) -> str:
        return potential_key(self.z, self.grid)

    def density(self) -> Float64Array:
        """4 pi r^2 rho(r): the electrons per bohr of radius."""
        return sum((c * self.orbitals[(n, l)] ** 2 for n, l, c in self.configuration),
                   np.zeros(self.grid.size))

    def to_bytes(self) -> bytes:
        buffer = io.BytesIO()
        keys = [(n, l) for n, l, _ in self.configuration]
        np.savez(buffer, version=np.array(self.version), z=np.array(self.z),
                 grid=np.array([self.grid.r_min, self.grid.r_max, self.grid.step,
                                self.grid.scale]),
                 potential=self.potential, configuration=np.array(self.configuration),
                 energies=np.array([self.energies[k] for k in keys]),
                 orbitals=np.array([self.orbitals[k] for k in keys]),
                 latter_radius=np.array(self.latter_radius),
                 iterations=np.array(self.iterations))
        return buffer.getvalue()

    @classmethod
    def from_bytes(cls, data: bytes, grid: RadialGrid) -> "AtomicPotential":
        with np.load(io.BytesIO(data), allow_pickle=False) as stored:
            if str(stored["version"]) != POTENTIAL_VERSION or not np.array_equal(
                    stored["grid"], [grid.r_min, grid.r_max, grid.step, grid.scale]):
                raise ValueError("another version or grid")
            configuration = [tuple(int(v) for v in row) for row in stored["configuration"]]
            keys = [(n, l) for n, l, _ in configuration]
            potential = np.array(stored["potential"], dtype=np.float64)
            if potential.shape != (grid.size,):
                raise ValueError("another grid")
            return cls(z=int(stored["z"]), grid=grid, potential=potential,
                       configuration=configuration,  # type: ignore[arg-type]
                       energies={k: float(e) for k, e in zip(keys, stored["energies"])},
                       orbitals={k: np.array(u) for k, u in zip(keys, stored["orbitals"])},
                       latter_radius=float(stored["latter_radius"]),
                       iterations=int(stored["iterations"]))


def potential_key(z: int, grid: RadialGrid) -> str:
    digest = hashlib.sha256(f"{POTENTIAL_VERSION}|{grid.key()}|{MIXING}|{TOLERANCE}".encode())
    return f"{POTENTIAL_VERSION}-{ELEMENTS[z]}-{digest.hexdigest()[:16]}"


def hartree_potential(grid: RadialGrid, density: Float64Array) -> Float64Array:
    """V_H(r) of the electrons `density` (4 pi r^2 rho, per bohr of radius)."""
    cumulative_simpson = scipy_module("scipy.integrate").cumulative_simpson
    inside = cumulative_simpson(density * grid.dr_dx, dx=grid.h, initial=0.0)
    outer_integrand = density / grid.r * grid.dr_dx
    outer = cumulative_simpson(outer_integrand, dx=grid.h, initial=0.0)
    return np.asarray(inside / grid.r + (outer[-1] - outer))


def with_latter_tail(grid: RadialGrid, potential: Float64Array) -> Tuple[Float64Array, float]:
    """`potential` with -1/r from the first radius (beyond 0.1 bohr) where it rises above it."""
    tail = -1.0 / grid.r
    above = np.flatnonzero((potential >= tail) & (grid.r > 0.1))
    if above.size == 0:
        return potential, float(grid.r[-1])
    start = int(above[0])
    result = potential.copy()
    result[start:] = tail[start:]
    return result, float(grid.r[start])


def solve_atom(z: int, grid: Optional[RadialGrid] = None) -> AtomicPotential:
    """The self-consistent HFS potential with Latter's tail of the neutral atom Z (no cache)."""
    grid = grid or RadialGrid()
    configuration = ground_configuration(z)
    r = grid.r
    potential_in = thomas_fermi_potential(z, r)
    energies: Dict[Tuple[int, int], float] = {}
    orbitals: Dict[Tuple[int, int], Float64Array] = {}
    previous: Optional[Tuple[Float64Array, Float64Array]] = None
    latter = float(r[-1])
    for iteration in range(1, MAX_ITERATIONS + 1):
        density = np.zeros(grid.size)
        for n, l, electrons in configuration:
            energy, u = bound_state(grid, potential_in, z, n, l, energies.get((n, l)))
            energies[(n, l)], orbitals[(n, l)] = energy, u
            density += electrons * u * u
        rho = density / (4.0 * math.pi * r * r)
        exchange = -3.0 * np.cbrt(3.0 * rho / (8.0 * math.pi))
        potential_out, latter = with_latter_tail(
            grid, -z / r + hartree_potential(grid, density) + exchange)
        residual = r * (potential_out - potential_in)
        change = float(np.max(np.abs(residual)))
        if change < TOLERANCE:
            return AtomicPotential(z=z, grid=grid, potential=potential_in,
                                   configuration=configuration, energies=energies,
                                   orbitals=orbitals, latter_radius=latter,
                                   iterations=iteration)
        # Anderson's mixing of r V with the previous step
        mixed_in, mixed_residual = r * potential_in, residual
        if previous is not None:
            last_in, last_residual = previous
            difference = residual - last_residual
            denominator = float(difference @ difference)
            if denominator > 0:
                theta = float(residual @ difference) / denominator
                mixed_in = (1 - theta) * r * potential_in + theta * last_in
                mixed_residual = (1 - theta) * residual + theta * last_residual
        previous = (r * potential_in, residual)
        potential_in = (mixed_in + MIXING * mixed_residual) / r
    raise AtomicCalculationError(f"the potential of {ELEMENTS[z]} did not converge in "
                                 f"{MAX_ITERATIONS} iterations")


_MEMORY: Dict[str, AtomicPotential] = {}


def atomic_potential(element: object, grid: Optional[RadialGrid] = None,
                     use_cache: bool = True) -> AtomicPotential:
    """The HFS potential with Latter's tail of `element` (a symbol or Z), from the cache
    when it is there (in memory, then on disk), computed and stored otherwise."""
    z = element_number(element)
    grid = grid or RadialGrid()
    key = potential_key(z, grid)
    if use_cache and key in _MEMORY:
        return _MEMORY[key]
    path = cache_directory(CACHE_KIND) / f"{key}.npz" if use_cache else None
    if path is not None and path.exists():
        try:
            result = AtomicPotential.from_bytes(path.read_bytes(), grid)
        except (OSError, ValueError, KeyError, EOFError, zipfile.BadZipFile):
            result = None  # unreadable or of another version: computed again below
        if result is not None:
            _MEMORY[key] = result
            return result
    result = solve_atom(z, grid)
    if path is not None:
        atomic_write_bytes(path, result.to_bytes())
        _MEMORY[key] = result
    return result
