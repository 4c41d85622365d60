"""Radial dipole integrals of contracted Gaussian shells with continuum radial functions.

A shell of degree l holds g(r) Y_lm(r^) with g(r) = sum_p c_p r^l exp(-a_p r^2),
c_p the library's contraction coefficients (normalisation folded in, as
core/molecule.py keeps them) and Y_lm its real harmonics.  The gradient splits
it into degrees l + 1 and l - 1 (harmonics.py) with the radial factors

    g' - l g / r       = -2 sum_p c_p a_p r^(l+1) exp(-a_p r^2)                  (l' = l + 1)
    g' + (l + 1) g / r = sum_p c_p [(2l + 1) r^(l-1) - 2 a_p r^(l+1)] exp(-a_p r^2)  (l' = l - 1)

and the velocity-form radial integral of the transition l -> l' is

    D_{l -> l'} = integral_0^inf R_{E l'}(r) [radial factor of l'] r^2 dr,

by Simpson's rule on the radial grid (radial_grid.py), which resolves both the
tightest core primitives (log spacing 0.02 near the nucleus) and the
continuum's oscillation (40 points per wavelength at 150 eV).  With
R = j_l'(kr) the integrals are known in closed form (free_dipole_integrals),
against which the quadrature is checked to 1e-9.
"""

from __future__ import annotations

import math
from typing import TYPE_CHECKING, List, Tuple

import numpy as np

from .radial_grid import RadialGrid

if TYPE_CHECKING:
    from numpy.typing import ArrayLike

    from ..core.types import Float64Array


def final_degrees(l: int) -> List[int]:
    """The degrees l' = l - 1 (for l >= 1) and l + 1 a dipole reaches from degree l."""
    return [lp for lp in (l - 1, l + 1) if lp >= 0]


def gradient_radial_factors(grid: RadialGrid, l: int, exponents: ArrayLike,
                            coefficients: ArrayLike) -> List[Tuple[int, Float64Array]]:
    """[(l', radial factor of the gradient on grid.r)] of the shell (module docstring)."""
    a = np.asarray(exponents, dtype=np.float64)[:, None]
    c = np.asarray(coefficients, dtype=np.float64)[:, None]
    r = grid.r[None, :]
    gauss = np.exp(-a * r * r)
    factors = []
    if l >= 1:
        factors.append((l - 1, np.sum(c * ((2 * l + 1) * r ** (l - 1) - 2 * a * r ** (l + 1))
                                      * gauss, axis=0)))
    factors.append((l + 1, np.sum(-2.0 * c * a * r ** (l + 1) * gauss, axis=0)))
    return factors


def dipole_integrals(grid: RadialGrid, radial: Float64Array, l: int, exponents: ArrayLike,
                     coefficients: ArrayLike) -> List[Tuple[int, Float64Array]]:
    """[(l', D)] of one shell: `radial[..., l', :]` holds R_l' on grid.r (any leading axes,
    e.g. energies); D has those leading axes."""
    result = []
    for lp, factor in gradient_radial_factors(grid, l, exponents, coefficients):
        result.append((lp, grid.integrate(radial[..., lp, :] * factor * grid.r**2)))
    return result


def free_dipole_integrals(k: float, l: int, exponents: ArrayLike,
                          coefficients: ArrayLike) -> List[Tuple[int, float]]:
    """[(l', D)] of one shell with R = j_l'(kr), in closed form:
    integral j_L(kr) r^(L+2) e^(-a r^2) dr = sqrt(pi) k^L e^(-k^2/4a) / (2^(L+2) a^(L+3/2)),
    and the moment r^(L+4) from its derivative in a."""
    a = np.asarray(exponents, dtype=np.float64)
    c = np.asarray(coefficients, dtype=np.float64)
    result = []

    def moment(big_l: int) -> Float64Array:  # integral j_L r^(L+2) e^(-a r^2)
        return math.sqrt(math.pi) * k**big_l * np.exp(-k * k / (4 * a)) / (
            2 ** (big_l + 2) * a ** (big_l + 1.5))

    if l >= 1:
        big_l = l - 1
        low = moment(big_l)
        high = low * ((big_l + 1.5) / a - k * k / (4 * a * a))  # integral j_L r^(L+4) e^(-a r^2)
        result.append((big_l, float(np.sum(c * ((2 * l + 1) * low - 2 * a * high)))))
    result.append((l + 1, float(np.sum(-2.0 * c * a * moment(l + 1)))))
    return result
