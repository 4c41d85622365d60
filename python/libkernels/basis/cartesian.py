"""The parts of a Cartesian shell beyond its pure functions, in the library's terms.

A Cartesian shell of degree l spans more than the 2l + 1 pure functions: its
monomials x^i y^j z^k (i + j + k = l) are, uniquely, sums of r^(2j) times a
solid harmonic of degree l - 2j (j = 0 ... l // 2).  A Cartesian d shell is
five pure d functions and r^2 (an s function), f is seven f and r^2 times
three p, g is nine g, r^2 times five d and r^4.  The library holds pure
functions r^l' Y_l'm exp(-a r^2) only, so the r^(2j) parts need another radial
function: r^(2j) exp(-a r^2) is represented by a few Gaussians exp(-a s_k r^2)
of the same shell degree l', with exponents a geometric grid s_k = RATIO^(k -
(m - 1)/2) around a and coefficients fitted in the L2 norm over all space.
The fit is scale-free (exponents a * s_k, coefficients a^-j * c_k), so it is
made once per (l', j), in double precision from the closed-form overlaps.

With m = 4 + 2j Gaussians at RATIO 1.2 the part left out is below 2e-10 of the
r^2 part's norm (1e-11 for the r^2 of a d shell) and below 7e-9 of the r^4
part's, and the coefficients stay below 10 (r^2) and 40 (r^4) times the
target's scale, so that float32 keeps about six digits of the represented
part.  (A geometric grid of an even count, without the target's own
exponent, fits a hundred times better than one of an odd count.)  What the
fit leaves out is measured with the rest of a conversion (conversion.py).
"""

from __future__ import annotations

import math
from functools import lru_cache
from typing import TYPE_CHECKING, Dict, List, Tuple

import numpy as np

from .overlap import cartesian_powers, n_cartesian, pure_from_cartesian

if TYPE_CHECKING:
    from ..core.types import Float64Array

RATIO = 1.2


def _read_only(array: np.ndarray) -> np.ndarray:
    array.setflags(write=False)
    return array


@lru_cache(maxsize=None)
def split_matrices(l: int) -> Tuple[Tuple[int, int, "Float64Array"], ...]:
    """For a Cartesian shell of degree l: (j, l', M) for j = 0 ... l // 2, l' = l - 2j,
    where M (2l'+1, n_cart) takes monomial coefficients (overlap.py's order) to the
    coefficients of r^(2j) times the sphere-normalised solid harmonics of degree l'
    (m = 0, +1, -1, ...)."""
    powers = [tuple(int(v) for v in p) for p in cartesian_powers(l)]
    index = {p: n for n, p in enumerate(powers)}
    columns: List[np.ndarray] = []
    parts: List[Tuple[int, int, int]] = []  # (j, l', columns)
    for j in range(l // 2 + 1):
        degree = l - 2 * j
        harmonics = pure_from_cartesian(degree)
        inner = [tuple(int(v) for v in p) for p in cartesian_powers(degree)]
        # (x^2 + y^2 + z^2)^j, expanded
        square: Dict[Tuple[int, int, int], float] = {}
        for a in range(j + 1):
            for b in range(j - a + 1):
                c = j - a - b
                square[(2 * a, 2 * b, 2 * c)] = math.factorial(j) / (
                    math.factorial(a) * math.factorial(b) * math.factorial(c))
        for m in range(2 * degree + 1):
            column = np.zeros(len(powers))
            for (i, k, n), h in zip(inner, harmonics[:, m]):
                if h == 0:
                    continue
                for (a, b, c), weight in square.items():
                    column[index[(i + a, k + b, n + c)]] += h * weight
            columns.append(column)
        parts.append((j, degree, 2 * degree + 1))
    inverse = np.linalg.inv(np.array(columns).T)
    result = []
    start = 0
    for j, degree, size in parts:
        result.append((j, degree, _read_only(inverse[start:start + size].copy())))
        start += size
    assert start == n_cartesian(l)
    return tuple(result)


@lru_cache(maxsize=None)
def radial_fit(degree: int, j: int) -> Tuple["Float64Array", "Float64Array"]:
    """(ratios s_k, coefficients c_k) with r^(2j) exp(-r^2) ~ sum_k c_k exp(-s_k r^2),
    both multiplying r^degree Y(angles), best in the L2 norm over all space."""
    count = 4 + 2 * j
    ratios = np.asarray(RATIO ** (np.arange(count) - (count - 1) / 2), dtype=np.float64)

    def radial(power: float, exponent: "Float64Array | float") -> "Float64Array":
        # integral of r^power exp(-exponent r^2) over r from 0 to infinity
        return math.gamma((power + 1) / 2) / 2 / exponent ** ((power + 1) / 2)

    gram = radial(2 * degree + 2, ratios[:, None] + ratios[None, :])
    target = radial(2 * degree + 2 * j + 2, np.asarray(1.0 + ratios, dtype=np.float64))
    coefficients = np.linalg.solve(gram, target)
    return _read_only(ratios), _read_only(coefficients)


def fitted_shell(exponents: "Float64Array", weights: "Float64Array", degree: int,
                 j: int) -> Tuple["Float64Array", "Float64Array"]:
    """(exponents, weights) of a pure shell of `degree` whose radial part represents
    sum_p weights[p] r^(2j) exp(-exponents[p] r^2)."""
    ratios, coefficients = radial_fit(degree, j)
    a = np.asarray(exponents, dtype=np.float64)[:, None]
    w = np.asarray(weights, dtype=np.float64)[:, None]
    return (a * ratios).reshape(-1), (w * a ** (-j) * coefficients).reshape(-1)
