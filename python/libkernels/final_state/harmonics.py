"""Real spherical harmonics up to l = 5 in the library's convention, and the angular
coefficients of a dipole transition between them.

The library's harmonics (include/libkernels.h) are real, normalised on the unit
sphere, listed m = 0, +1, -1, +2, -2, ... (cosine-type before sine-type), with
the constants of the table there; those of |m| = 3 and 4 carry a minus sign.
Here they are formed, for any degree, from the associated Legendre functions
without the Condon-Shortley phase,

    Y_l0 = sqrt((2l+1)/4pi) P_l(cos t),
    Y_lm(c/s) = sqrt(2 (2l+1)/4pi (l-m)!/(l+m)!) P_l^m(cos t) (cos m phi | sin m phi),

times -1 for |m| = 3 and 4, in double precision.  For l <= 4 these are the
library's to the last digit of its constants (the test suite compares them
with its reference table).  Degree 5 appears only as the final state l' = l + 1
of g shells, always summed over all its m' (the projector onto degree 5 does
not depend on the basis chosen within it); it takes the same rule of signs.

`DIPOLE_ANGULAR[i, a, b]` is the integral over directions of Y_a r^_i Y_b, for
the Cartesian component i (x, y, z) of the unit vector and harmonics a (degree
<= 5) and b (degree <= 4), each index l*l + c.  With these, the gradient of
g(r) Y_b(r^) splits exactly into degrees l + 1 and l - 1 (a property of
harmonic polynomials: grad(r^l Y_lm) has degree l - 1, grad(r^-(l+1) Y_lm)
degree l + 1),

    d_i [g Y_lm] = sum_a' DIPOLE_ANGULAR[i, a', lm] (g' - l g / r) Y_a'      (a' of degree l+1)
                 + sum_a  DIPOLE_ANGULAR[i, a,  lm] (g' + (l+1) g / r) Y_a   (a of degree l-1),

the angular coefficients of eps . grad between real harmonics.  They are
computed once, by Gauss-Legendre quadrature in cos t and the trapezoidal rule
in phi, exact for these polynomials of degree <= 10.
"""

from __future__ import annotations

import math
from typing import TYPE_CHECKING, Any

import numpy as np

if TYPE_CHECKING:
    from numpy.typing import ArrayLike, DTypeLike, NDArray

    from ..core.types import Float64Array

MAX_FINAL_L = 5
MAX_BOUND_L = 4


def harmonic_count(l_max: int) -> int:
    return (l_max + 1) ** 2


def _sign(m: int) -> float:
    return -1.0 if m in (3, 4) else 1.0


def real_harmonics(l_max: int, directions: ArrayLike,
                   dtype: DTypeLike = np.float64) -> NDArray[Any]:
    """Y_a(d) for every harmonic a of degree <= l_max at unit vectors `directions` (..., 3).

    Returns (..., (l_max + 1)^2), index l*l + c in the library's order.  The
    vectors are used as given (not normalised here).  `dtype` is that of the
    arithmetic and the result (float64, or float32 for the fast maps).
    """
    if not 0 <= l_max <= 8:
        raise ValueError(f"l_max must lie between 0 and 8, got {l_max}")
    d = np.asarray(directions, dtype=dtype)
    x, y, z = d[..., 0], d[..., 1], d[..., 2]
    out = np.empty(d.shape[:-1] + (harmonic_count(l_max),), dtype=d.dtype)
    scalar = d.dtype.type
    # cos(m phi) sin^m t and sin(m phi) sin^m t as Re/Im of (x + i y)^m
    cos_m = [np.ones_like(x)]
    sin_m = [np.zeros_like(x)]
    for _ in range(l_max):
        c, s = cos_m[-1], sin_m[-1]
        cos_m.append(c * x - s * y)
        sin_m.append(c * y + s * x)
    for m in range(l_max + 1):
        # P_l^m(z) / sin^m t by the upward recurrence in l
        previous = np.zeros_like(z)
        current = np.full_like(z, float(np.prod(np.arange(1, 2 * m, 2))) if m else 1.0)
        for l in range(m, l_max + 1):
            if l > m:
                following = (scalar((2 * l - 1) / (l - m)) * z * current
                             - scalar((l + m - 1) / (l - m)) * previous)
                previous, current = current, following
            if m == 0:
                out[..., l * l] = scalar(math.sqrt((2 * l + 1) / (4 * math.pi))) * current
            else:
                norm = scalar(_sign(m) * math.sqrt(2 * (2 * l + 1) / (4 * math.pi)
                                                   * math.factorial(l - m) / math.factorial(l + m)))
                out[..., l * l + 2 * m - 1] = norm * current * cos_m[m]
                out[..., l * l + 2 * m] = norm * current * sin_m[m]
    return out


def sphere_quadrature(points_in_cos: int = 12,
                      points_in_phi: int = 24) -> tuple[Float64Array, Float64Array]:
    """(unit vectors (n, 3), weights (n,)) of a product rule over the sphere (weights sum
    to 4 pi), exact for polynomials of degree < min(2 points_in_cos, points_in_phi)."""
    nodes, weights = np.polynomial.legendre.leggauss(points_in_cos)
    phi = 2 * math.pi * np.arange(points_in_phi) / points_in_phi
    cos_t, angle = np.meshgrid(nodes, phi, indexing="ij")
    sin_t = np.sqrt(1 - cos_t**2)
    vectors = np.stack([sin_t * np.cos(angle), sin_t * np.sin(angle), cos_t], axis=-1)
    w = np.repeat(weights[:, None], points_in_phi, axis=1) * (2 * math.pi / points_in_phi)
    return vectors.reshape(-1, 3), w.reshape(-1)


def _dipole_angular() -> Float64Array:
    vectors, weights = sphere_quadrature()
    final = real_harmonics(MAX_FINAL_L, vectors)
    bound = real_harmonics(MAX_BOUND_L, vectors)
    table = np.einsum("pa,pi,pb,p->iab", final, vectors, bound, weights)
    table[np.abs(table) < 1e-14] = 0.0  # the zeros of the selection rules, exactly
    table.setflags(write=False)
    return table


DIPOLE_ANGULAR: Float64Array = _dipole_angular()


def degree_block(l: int) -> slice:
    """The harmonics of degree l: indices l*l .. l*l + 2l."""
    return slice(l * l, (l + 1) * (l + 1))
