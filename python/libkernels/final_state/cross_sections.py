"""Atomic subshell photoionisation cross-sections and asymmetry parameters from the IAC
model's own matrix elements.

A free atom is the IAC model with one centre: its subshell nl, taken from the
same HFS potential as the continuum (potential.py), is written as one
contracted Gaussian shell (a least-squares fit of u_nl(r) / r^(l+1) by even-
tempered Gaussians, `gaussian_shell`) and goes through the very radial
integrals (radial.py), angular coefficients (harmonics.py) and continuum
(continuum.py) that molecules use.  With the continuum normalised per unit
energy (R_E = sqrt(2k/pi) R, R as continuum.py normalises it) and linear
polarisation,

    sigma_nl = (4 pi^2 alpha / omega) N_nl / (2l+1) sum_m sum_{l'm'} |A_{lm->l'm'}(z) D^E_{l'}|^2

(velocity form, atomic units, times a0^2 = 28.0028521 Mb), omega = h nu the
photon energy and E = h nu + eps_nl the photoelectron's, N_nl the subshell's
electrons.  The angular distribution (sigma / 4 pi)(1 + beta P_2(cos theta))
gives beta, here both in Cooper and Zare's closed form and from the maps of
an IACMapCall of the atom (`beta_from_maps`), which must agree.
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import TYPE_CHECKING, Dict, List, Tuple

import numpy as np

from ..basis.conventions import primitive_norm
from ..core.errors import InputError
from ..core.molecule import Molecule
from ..core.units import BOHR_IN_ANGSTROM, HARTREE_IN_EV
from .continuum import atomic_waves
from .harmonics import DIPOLE_ANGULAR, degree_block
from .iac import IACMapCall
from .light import Light
from .potential import SUBSHELL_LETTERS, AtomicPotential, atomic_potential, element_number
from .radial import dipole_integrals

if TYPE_CHECKING:
    from numpy.typing import ArrayLike

    from ..core.types import Float64Array

FINE_STRUCTURE = 7.2973525693e-3        # CODATA 2018
MEGABARN_PER_BOHR2 = (BOHR_IN_ANGSTROM * 1e-8) ** 2 / 1e-18   # 28.0028521 Mb
FIT_EXPONENTS = np.geomspace(0.012, 4.0e4, 34)  # even-tempered, bohr^-2


def parse_subshell(subshell: str) -> Tuple[int, int]:
    """(n, l) of a subshell written as '2p', '3d', ..."""
    text = str(subshell).strip().lower()
    if len(text) < 2 or not text[:-1].isdigit() or text[-1] not in SUBSHELL_LETTERS:
        raise InputError("subshell", f"must be written like '2p' or '3d', got {subshell!r}")
    n, l = int(text[:-1]), SUBSHELL_LETTERS.index(text[-1])
    if not 0 <= l < n:
        raise InputError("subshell", f"{subshell!r} does not exist (l must be below n)")
    return n, l


@dataclass
class GaussianShell:
    """A contracted Gaussian shell r^l sum_p c_p exp(-a_p r^2) in the library's normalisation
    (coefficients multiply the unnormalised primitives); `misfit` is 1 - <u|fit>^2 of the
    normalised fit against the orbital it was fitted to."""

    l: int
    exponents: Float64Array
    coefficients: Float64Array
    misfit: float


def gaussian_shell(potential: AtomicPotential, n: int, l: int,
                   exponents: Float64Array = FIT_EXPONENTS) -> GaussianShell:
    """The subshell's u_nl(r) fitted by r^(l+1) sum_p c_p exp(-a_p r^2) (least squares in the
    norm of L2(dr))."""
    if (n, l) not in potential.orbitals:
        raise InputError("subshell", f"{n}{SUBSHELL_LETTERS[l]} is not occupied in "
                                     f"{potential.symbol}'s ground configuration")
    grid = potential.grid
    u = potential.orbitals[(n, l)]
    r = grid.r
    # columns scaled to unit norm for the conditioning of the solve
    basis = r[:, None] ** (l + 1) * np.exp(-np.outer(r * r, exponents))
    scale = primitive_norm(l, exponents)
    basis = basis * scale
    root = np.sqrt(grid.weights)
    solution, *_ = np.linalg.lstsq(basis * root[:, None], u * root, rcond=1e-13)
    fitted = basis @ solution
    norm = float(grid.integrate(fitted * fitted))
    overlap = float(grid.integrate(fitted * u)) / math.sqrt(norm)
    coefficients = solution * scale / math.sqrt(norm)
    return GaussianShell(l, np.asarray(exponents, dtype=np.float64), coefficients,
                         1.0 - overlap * overlap)


def angular_weights(l: int) -> Dict[int, float]:
    """sum_m sum_m' |A_{lm->l'm'}(z)|^2 for l' = l - 1, l + 1: (l'_>) / 3 ... as computed."""
    z = DIPOLE_ANGULAR[2]
    return {lp: float(np.sum(z[degree_block(lp), degree_block(l)] ** 2))
            for lp in (l - 1, l + 1) if lp >= 0}


@dataclass
class SubshellPhotoionisation:
    """sigma (Mb) and beta of one subshell over photon energies (eV), with what made them."""

    element: str
    subshell: str
    photon_energy_ev: Float64Array
    kinetic_energy_ev: Float64Array
    cross_section_mb: Float64Array
    beta: Float64Array
    binding_energy_ev: float
    electrons: int
    # per l': the velocity-form integrals D (energy-normalised) and the total phases
    integrals: Dict[int, Float64Array]
    phases: Dict[int, Float64Array]
    shell: GaussianShell


def subshell_photoionisation(element: object, subshell: str,
                             photon_energy_ev: ArrayLike) -> SubshellPhotoionisation:
    """sigma_nl and beta of `subshell` of the free atom `element` at `photon_energy_ev`."""
    z = element_number(element)
    n, l = parse_subshell(subshell)
    potential = atomic_potential(z)
    shell = gaussian_shell(potential, n, l)
    electrons = next(c for nn, ll, c in potential.configuration if (nn, ll) == (n, l))
    binding = -potential.energies[(n, l)]
    photon = np.atleast_1d(np.asarray(photon_energy_ev, dtype=np.float64)) / HARTREE_IN_EV
    kinetic = photon - binding
    if np.any(kinetic <= 0):
        raise InputError("photon_energy", f"must exceed the {subshell} binding energy "
                                          f"{binding * HARTREE_IN_EV:.3f} eV of the model")
    waves = atomic_waves(z, kinetic, max(l + 1, 1))
    k = np.sqrt(2 * kinetic)
    energy_norm = np.sqrt(2 * k / math.pi)
    integrals = {lp: np.asarray(d) * energy_norm for lp, d in
                 dipole_integrals(potential.grid, waves.radial, l, shell.exponents,
                                  shell.coefficients)}
    phases = {lp: waves.phase[:, lp] for lp in integrals}
    weights = angular_weights(l)
    total = sum(weights[lp] * integrals[lp] ** 2 for lp in integrals)
    sigma = 4 * math.pi**2 * FINE_STRUCTURE / photon * electrons / (2 * l + 1) * total
    return SubshellPhotoionisation(
        element=potential.symbol, subshell=f"{n}{SUBSHELL_LETTERS[l]}",
        photon_energy_ev=photon * HARTREE_IN_EV, kinetic_energy_ev=kinetic * HARTREE_IN_EV,
        cross_section_mb=sigma * MEGABARN_PER_BOHR2, beta=cooper_zare_beta(l, integrals, phases),
        binding_energy_ev=binding * HARTREE_IN_EV, electrons=electrons, integrals=integrals,
        phases=phases, shell=shell)


def cooper_zare_beta(l: int, integrals: Dict[int, Float64Array],
                     phases: Dict[int, Float64Array]) -> Float64Array:
    """beta = [l(l-1) D-^2 + (l+1)(l+2) D+^2 - 6 l(l+1) D+ D- cos(d+ - d-)]
    / [(2l+1)(l D-^2 + (l+1) D+^2)] (Cooper and Zare), D+- the l +- 1 integrals."""
    up = integrals[l + 1]
    if l == 0:
        return np.full_like(up, 2.0)
    down = integrals[l - 1]
    cross = np.cos(phases[l + 1] - phases[l - 1])
    numerator = (l * (l - 1) * down**2 + (l + 1) * (l + 2) * up**2
                 - 6 * l * (l + 1) * up * down * cross)
    return numerator / ((2 * l + 1) * (l * down**2 + (l + 1) * up**2))


def atom_molecule(symbol: str, shell: GaussianShell) -> Molecule:
    """One atom at the origin with the one shell, its 2l+1 components as orbitals."""
    z = element_number(symbol)
    l = shell.l
    return Molecule(atom_x=[0.0], atom_y=[0.0], atom_z=[0.0], shells_per_atom=[1],
                    shell_l=[l], shell_n_prim=[len(shell.exponents)],
                    prim_exponent=shell.exponents, prim_coeff=shell.coefficients,
                    mo_coeff=np.eye(2 * l + 1), mo_occ=np.full(2 * l + 1, 2.0),
                    mo_energy=np.full(2 * l + 1, -1.0), atomic_numbers=[z])


def beta_from_maps(result: SubshellPhotoionisation, index: int = 0) -> Tuple[float, float]:
    """(sigma in Mb, beta) at photon energy `index` from the centre pixel of two IAC maps of
    the atom (light along and across the emission direction), summed over the subshell's m."""
    n, l = parse_subshell(result.subshell)
    kinetic = float(result.kinetic_energy_ev[index]) / HARTREE_IN_EV
    molecule = atom_molecule(result.element, result.shell)
    values: List[float] = []
    for vector in ((0, 0, 1), (1, 0, 0)):
        call = IACMapCall(molecule, list(range(2 * l + 1)), kinetic_energy_hartree=kinetic,
                          grid=(3, -0.01, 0.01), light=Light("vector", vector=vector),
                          precision="float64")
        values.append(float(call.run((0.0, 0.0, 0.0))[1, 1]))
    along, across = values
    photon = float(result.photon_energy_ev[index]) / HARTREE_IN_EV
    k = math.sqrt(2 * kinetic)
    solid = (math.pi / 16) * (4 * math.pi / 3) * (along + 2 * across)  # sum_m int |M_m|^2
    sigma = (4 * math.pi**2 * FINE_STRUCTURE / photon * result.electrons / (2 * l + 1)
             * (2 * k / math.pi) * solid)
    return sigma * MEGABARN_PER_BOHR2, 2 * (along - across) / (along + 2 * across)
