"""The radial grid of the atomic calculations, and Numerov's method on it.

Points are uniform in x = ln(r) + r / scale: logarithmic near the nucleus (where
the orbitals of heavy atoms change on a scale of 1/Z bohr) and uniform, with the
spacing `scale * step`, far out (where the continuum oscillates with a
wavelength of 2 pi / k).  On such a grid the radial equation u''(r) = Q(r) u(r)
becomes, with u = sqrt(r') f and r' = dr/dx,

    f''(x) = [r'^2 Q(r) + S(x)] f(x),   S = (3/4)(r''/r')^2 - (1/2) r'''/r'
                                          = scale^3 (scale/4 + r) / (scale + r)^4,

which has no first derivative and so suits Numerov's method (error O(step^4)):

    (1 - h^2 F_{n+1}/12) f_{n+1} = 2 (1 + 5 h^2 F_n/12) f_n - (1 - h^2 F_{n-1}/12) f_{n-1}.

Each sweep of that recurrence is one banded triangular solve (LAPACK's tbtrs),
so a sweep over the few thousand points costs microseconds, not a Python loop.
Integrals over r use Simpson's rule in x with the weight r'.
"""

from __future__ import annotations

import math
from dataclasses import dataclass, field
from typing import TYPE_CHECKING

import numpy as np

from ..core.errors import AtomicCalculationError
from ..core.extras import require

if TYPE_CHECKING:
    from types import ModuleType

    from ..core.types import Float64Array


def scipy_module(name: str) -> ModuleType:
    """A scipy module the final states need (MissingExtraError naming the extra)."""
    return require(name, "final-state", "the final-state models", "scipy")


@dataclass(frozen=True)
class RadialGrid:
    """Points r_i = r(x_i), x uniform from ln(r_min) + r_min/scale to ln(r_max) + r_max/scale.

    `step` is the spacing in x; near the nucleus the points are `step` apart in
    ln(r), beyond r ~ scale they are `scale * step` bohr apart.  The point count
    is odd (Simpson's rule).
    """

    r_min: float = 2e-6
    r_max: float = 80.0
    step: float = 0.02
    scale: float = 2.0
    x: Float64Array = field(init=False, repr=False, compare=False)
    r: Float64Array = field(init=False, repr=False, compare=False)
    dr_dx: Float64Array = field(init=False, repr=False, compare=False)
    curvature: Float64Array = field(init=False, repr=False, compare=False)
    weights: Float64Array = field(init=False, repr=False, compare=False)

    def __post_init__(self) -> None:
        x_min = math.log(self.r_min) + self.r_min / self.scale
        x_max = math.log(self.r_max) + self.r_max / self.scale
        n = int(math.ceil((x_max - x_min) / self.step)) + 1
        n += 1 - n % 2
        x = np.linspace(x_min, x_max, n)
        h = float(x[1] - x[0])
        # ln r by Newton's method on s + e^s / scale = x (convex: converges from above)
        s = np.where(x < 1.0, x, np.log(self.scale * np.maximum(x, 1.0)))
        s = np.minimum(s, x)
        for _ in range(100):
            e = np.exp(s) / self.scale
            change = (s + e - x) / (1.0 + e)
            s = s - change
            if np.max(np.abs(change)) < 1e-15:
                break
        r = np.exp(s)
        a = self.scale
        dr_dx = r * a / (a + r)
        curvature = a**3 * (a / 4 + r) / (a + r) ** 4
        simpson = np.ones(n)
        simpson[1:-1:2] = 4.0
        simpson[2:-1:2] = 2.0
        weights = simpson * h / 3.0 * dr_dx
        for name, value in (("x", x), ("r", r), ("dr_dx", dr_dx), ("curvature", curvature),
                            ("weights", weights)):
            value.setflags(write=False)
            object.__setattr__(self, name, value)

    @property
    def h(self) -> float:
        """The spacing in x."""
        return float(self.x[1] - self.x[0])

    @property
    def size(self) -> int:
        return int(self.r.size)

    def key(self) -> str:
        """The grid's parameters as text, for cache keys."""
        return f"r{self.r_min:.6g}-{self.r_max:.6g}-h{self.step:.6g}-s{self.scale:.6g}"

    def integrate(self, values: Float64Array) -> Float64Array:
        """Integral over r (Simpson in x) along the last axis of `values`."""
        return np.asarray(values @ self.weights)

    def numerov_factor(self, q: Float64Array) -> Float64Array:
        """F(x) = r'^2 Q(r) + S(x) of f'' = F f, for u'' = Q u (broadcast over q's leading axes)."""
        return self.dr_dx**2 * q + self.curvature

    def to_u(self, f: Float64Array) -> Float64Array:
        """u(r) = sqrt(r') f(x)."""
        return np.sqrt(self.dr_dx) * f


def numerov_outward(factor: Float64Array, f0: float, f1: float, stop: int) -> Float64Array:
    """f_0 .. f_stop of f'' = factor f (uniform step h folded into `factor` as h^2 F / 12).

    `factor` holds t_n = h^2 F_n / 12 for n = 0 .. stop; f_0 and f_1 start the
    recurrence (1 - t_{n+1}) f_{n+1} = 2 (1 + 5 t_n) f_n - (1 - t_{n-1}) f_{n-1}.
    """
    lapack = scipy_module("scipy.linalg.lapack")
    t = np.asarray(factor[:stop + 1], dtype=np.float64)
    a = 1.0 - t
    b = 2.0 * (1.0 + 5.0 * t)
    m = stop - 1  # unknowns f_2 .. f_stop
    if m <= 0:
        return np.array([f0, f1][:stop + 1], dtype=np.float64)
    # row j (unknown f_{j+2}): a_{j+2} f_{j+2} - b_{j+1} f_{j+1} + a_j f_j = 0
    band = np.zeros((3, m))
    band[0] = a[2:stop + 1]
    band[1, :m - 1] = -b[2:stop]
    band[2, :m - 2] = a[2:stop - 1]
    rhs = np.zeros((m, 1))
    rhs[0, 0] = b[1] * f1 - a[0] * f0
    if m > 1:
        rhs[1, 0] = -a[1] * f1
    solution, info = lapack.dtbtrs(band, rhs, uplo="L")
    if info != 0:
        raise AtomicCalculationError(f"a Numerov sweep failed (LAPACK tbtrs info {info})")
    return np.concatenate(([f0, f1], solution[:, 0]))


def numerov_inward(factor: Float64Array, start: int, stop: int, f_last: float = 0.0,
                   f_before: float = 1e-30) -> Float64Array:
    """f_stop .. f_start of f'' = F f integrated inward from f_start = f_last,
    f_{start-1} = f_before (`factor` as for numerov_outward, on the whole grid)."""
    reversed_factor = np.asarray(factor[stop:start + 1][::-1])
    values = numerov_outward(reversed_factor, f_last, f_before, start - stop)
    return values[::-1]

