"""Overlap integrals of contracted Gaussian shells, and the angular algebra of
Cartesian and pure functions, in double precision with numpy alone.

A shell is written here as a radial contraction sum_p w_p exp(-a_p r^2) times
homogeneous polynomials of degree l in the Cartesian monomials
x^i y^j z^k (i + j + k = l), listed in the order Molden files use.  Pure
functions are the real solid harmonics r^l Y_lm with Y_lm normalised on the
unit sphere, in the order m = 0, +1, -1, ..., +l, -l (p as x, y, z) and with
the usual signs (the x^l-like cosine term positive).  The overlap matrix of a
whole basis lets the readers check that orbitals are orthonormal and measure
which part of an orbital a conversion leaves out.
"""

from __future__ import annotations

import math
from functools import lru_cache, wraps
from typing import TYPE_CHECKING, Any, Callable, Sequence, Tuple, Union

import numpy as np
from numpy.typing import ArrayLike, NDArray

if TYPE_CHECKING:
    from ..core.types import Float64Array


# A shell as overlap_matrix takes it: (centre, l, exponents, weights).
ShellTuple = Tuple[ArrayLike, int, Union[Sequence[float], NDArray[Any]],
                   Union[Sequence[float], NDArray[Any]]]


def _cached(function: Callable[[int], NDArray[Any]]) -> Callable[[int], NDArray[Any]]:
    """lru_cache for functions of l returning arrays; the arrays are read-only
    because every caller shares them."""
    @lru_cache(maxsize=None)
    def compute(l: int) -> NDArray[Any]:
        array = function(l)
        array.setflags(write=False)
        return array
    return wraps(function)(compute)

# Molden's order of the Cartesian components for d, f and g shells; s, p and
# l >= 5 (whose order Molden files do not fix) use the lexicographic order.
_MOLDEN_CARTESIAN = {
    0: [""], 1: ["x", "y", "z"],
    2: ["xx", "yy", "zz", "xy", "xz", "yz"],
    3: ["xxx", "yyy", "zzz", "xyy", "xxy", "xxz", "xzz", "yzz", "yyz", "xyz"],
    4: ["xxxx", "yyyy", "zzzz", "xxxy", "xxxz", "xyyy", "yyyz", "xzzz", "yzzz", "xxyy",
        "xxzz", "yyzz", "xxyz", "xyyz", "xyzz"],
}


@_cached
def cartesian_powers(l: int) -> NDArray[np.int64]:
    """(n_cart, 3) integer powers (i, j, k) of the Cartesian components of degree l."""
    if l in _MOLDEN_CARTESIAN:
        return np.array([[s.count("x"), s.count("y"), s.count("z")]
                         for s in _MOLDEN_CARTESIAN[l]], dtype=np.int64)
    return np.array([(i, j, l - i - j) for i in range(l, -1, -1) for j in range(l - i, -1, -1)],
                    dtype=np.int64)


def n_cartesian(l: int) -> int:
    """Number of Cartesian components of degree l."""
    return (l + 1) * (l + 2) // 2


def sphere_integral(powers: ArrayLike) -> Float64Array:
    """Integral of x^i y^j z^k over the unit sphere, for each row (i, j, k)."""
    powers = np.atleast_2d(powers)
    out = np.zeros(len(powers))
    for row, (i, j, k) in enumerate(powers):
        if i % 2 or j % 2 or k % 2:
            continue
        out[row] = 2.0 * math.gamma((i + 1) / 2) * math.gamma((j + 1) / 2) * \
            math.gamma((k + 1) / 2) / math.gamma((i + j + k + 3) / 2)
    return out


@_cached
def sphere_gram(l: int) -> Float64Array:
    """Inner products on the unit sphere of the Cartesian components of degree l."""
    powers = cartesian_powers(l)
    return sphere_integral((powers[:, None, :] + powers[None, :, :]).reshape(-1, 3)).reshape(
        len(powers), len(powers))


@_cached
def pure_from_cartesian(l: int) -> Float64Array:
    """(n_cart, 2l+1) matrix: column m holds the solid harmonic r^l Y_lm (Y_lm
    normalised on the sphere) as a combination of the Cartesian components.

    The coefficients are the closed form of the real solid harmonics (sums over
    binomials); their normalisation on the sphere is then made exact numerically.
    """
    index = {tuple(p): n for n, p in enumerate(cartesian_powers(l))}
    columns = []
    for m in [0] + [s * k for k in range(1, l + 1) for s in (1, -1)]:
        am = abs(m)
        column = np.zeros(len(index))
        vm = 0.0 if m >= 0 else 0.5
        for t in range((l - am) // 2 + 1):
            for u in range(t + 1):
                v = vm
                while v <= am / 2 + 1e-9:
                    two_v = int(round(2 * v))
                    c = ((-1) ** int(round(t + v - vm)) * 0.25 ** t * math.comb(l, t)
                         * math.comb(l - t, am + t) * math.comb(t, u) * math.comb(am, two_v))
                    power = (2 * t + am - 2 * u - two_v, 2 * u + two_v, l - 2 * t - am)
                    column[index[power]] += c
                    v += 1.0
        columns.append(column)
    matrix = np.array(columns).T
    if l == 1:  # the closed form gives (z, x, y); Molden lists p as x, y, z
        matrix = matrix[:, [1, 2, 0]]
    norms = np.sqrt(np.einsum("km,kn,nm->m", matrix, sphere_gram(l), matrix))
    return matrix / norms


@_cached
def pure_projection(l: int) -> Float64Array:
    """(2l+1, n_cart) matrix taking a polynomial's Cartesian coefficients to the
    coefficients of its harmonic (pure) part of degree l; the rest is r^2 times
    lower degrees, which is orthogonal to degree l on the sphere."""
    return pure_from_cartesian(l).T @ sphere_gram(l)


def cartesian_norms(l: int, exponent: ArrayLike) -> Float64Array:
    """Norm of x^i y^j z^k exp(-a r^2) for every component (rows) and exponent (columns)."""
    exponent = np.asarray(exponent, dtype=np.float64)
    powers = cartesian_powers(l)
    double_factorial = np.array([np.prod([float(v) for v in range(2 * n - 1, 0, -2)] or [1.0])
                                 for n in range(l + 1)])
    odd = np.prod(double_factorial[powers], axis=1)
    integral = odd[:, None] * (math.pi / (2 * exponent[None, :])) ** 1.5 / \
        (4 * exponent[None, :]) ** l
    return np.sqrt(integral)


def _overlap_1d(n_a: int, n_b: int, a: Float64Array, b: Float64Array, xa: Float64Array,
                xb: Float64Array) -> Float64Array:
    """1D overlaps of (x-A)^i (x-B)^j exp(-a(x-A)^2 - b(x-B)^2), shape (P, n_a+1, n_b+1)."""
    p = a + b
    xp = (a * xa + b * xb) / p
    pa, pb = xp - xa, xp - xb
    top = n_a + n_b
    # moments of t^n exp(-p t^2): zero for odd n
    moments = np.zeros((len(p), top + 1))
    for n in range(0, top + 1, 2):
        moments[:, n] = np.prod(np.arange(n - 1, 0, -2, dtype=np.float64)) / (2 * p) ** (n // 2) \
            * np.sqrt(math.pi / p)
    out = np.zeros((len(p), n_a + 1, n_b + 1))
    for i in range(n_a + 1):
        for j in range(n_b + 1):
            total = np.zeros(len(p))
            for k in range(i + 1):
                for m in range(j + 1):
                    total += (math.comb(i, k) * math.comb(j, m) * pa ** (i - k) * pb ** (j - m)
                              * moments[:, k + m])
            out[:, i, j] = total
    return out


def overlap_matrix(shells: Sequence[ShellTuple], chunk: int = 2_000_000) -> Float64Array:
    """Overlap matrix of the Cartesian components of `shells`, each a tuple
    (centre, l, exponents, weights); components in shell order.

    Computed one pair of degrees at a time, vectorised over all primitive
    pairs of those degrees (in chunks of about `chunk` numbers) and contracted
    with the weights at once, so that no matrix over primitives is ever held.
    """
    ls = np.array([l for _, l, _, _ in shells], dtype=np.int64)
    sizes = (ls + 1) * (ls + 2) // 2
    offsets = np.concatenate([[0], np.cumsum(sizes)])
    prim_shell = np.concatenate([[s] * len(e) for s, (_, _, e, _) in enumerate(shells)]
                                ).astype(np.int64)
    prim_exponent = np.concatenate([np.asarray(e, float) for _, _, e, _ in shells])
    prim_weight = np.concatenate([np.asarray(w, float) for _, _, _, w in shells])
    prim_centre = np.array([np.asarray(c, float) for c, _, e, _ in shells for _ in e]
                           ).reshape(-1, 3)
    prim_l = ls[prim_shell]
    matrix = np.zeros((offsets[-1], offsets[-1]))
    for la in np.unique(ls):
        shells_a = np.flatnonzero(ls == la)
        prims_a = np.flatnonzero(prim_l == la)
        for lb in np.unique(ls[ls >= la]):
            shells_b = np.flatnonzero(ls == lb)
            prims_b = np.flatnonzero(prim_l == lb)
            powers_a, powers_b = cartesian_powers(int(la)), cartesian_powers(int(lb))
            # weights summing primitives into shells: (shells, primitives)
            sum_b = np.zeros((len(shells_b), len(prims_b)))
            sum_b[np.searchsorted(shells_b, prim_shell[prims_b]), np.arange(len(prims_b))] = \
                prim_weight[prims_b]
            block = np.zeros((len(shells_a), len(shells_b), len(powers_a), len(powers_b)))
            step = max(1, chunk // max(1, len(prims_b) * len(powers_a) * len(powers_b)))
            for start in range(0, len(prims_a), step):
                part = prims_a[start:start + step]
                grid_a, grid_b = np.meshgrid(part, prims_b, indexing="ij")
                pa_, pb_ = grid_a.reshape(-1), grid_b.reshape(-1)
                a, b = prim_exponent[pa_], prim_exponent[pb_]
                ab = prim_centre[pa_] - prim_centre[pb_]
                pair = np.exp(-a * b / (a + b) * np.einsum("ij,ij->i", ab, ab))[:, None, None]
                for axis in range(3):
                    table = _overlap_1d(int(la), int(lb), a, b, prim_centre[pa_, axis],
                                        prim_centre[pb_, axis])
                    pair = pair * table[:, powers_a[:, axis]][:, :, powers_b[:, axis]]
                pair = pair.reshape(len(part), len(prims_b), len(powers_a), len(powers_b))
                sum_a = np.zeros((len(shells_a), len(part)))
                sum_a[np.searchsorted(shells_a, prim_shell[part]), np.arange(len(part))] = \
                    prim_weight[part]
                block += np.einsum("sp,pqij,tq->stij", sum_a, pair, sum_b, optimize=True)
            for i, sa in enumerate(shells_a):
                for j, sb in enumerate(shells_b):
                    rows = slice(offsets[sa], offsets[sa + 1])
                    cols = slice(offsets[sb], offsets[sb + 1])
                    matrix[rows, cols] = block[i, j]
                    matrix[cols, rows] = block[i, j].T
    return matrix
