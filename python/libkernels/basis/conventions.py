"""Conversion of pure Gaussian functions from other programs to the library's.

Molden files (and PySCF, which writes them) store for each shell contraction
coefficients that multiply *normalised* primitives r^l exp(-a r^2) Y_lm, and
list the 2l+1 pure components in the order m = 0, +1, -1, ..., +l, -l (p shells
as x, y, z).  The library instead uses its coefficients unchanged on
exp(-a r^2) times its own solid harmonic (evaluated in double precision by the
test suite's reference_harmonics.py), in the same m order but with p as
(z, x, y) and with the opposite sign for m = +-3 and m = +-4.

These tables were derived by evaluating both conventions at random points and
fitting one to the other (the fit is an exact signed permutation, residual
1e-15); the test suite repeats that derivation against PySCF for every l.
"""

from __future__ import annotations

import math
from typing import TYPE_CHECKING, Callable, List, Sequence, Tuple

import numpy as np

from ..core.errors import MoleculeError

if TYPE_CHECKING:
    from numpy.typing import ArrayLike

    from ..core.types import Float64Array

# library component c of degree l  <-  file component MOLDEN_ORDER[l][c] times MOLDEN_SIGN[l][c]
MOLDEN_ORDER = (
    (0,),
    (2, 0, 1),
    (0, 1, 2, 3, 4),
    (0, 1, 2, 3, 4, 5, 6),
    (0, 1, 2, 3, 4, 5, 6, 7, 8),
)
MOLDEN_SIGN = (
    (1,),
    (1, 1, 1),
    (1, 1, 1, 1, 1),
    (1, 1, 1, 1, 1, -1, -1),
    (1, 1, 1, 1, 1, -1, -1, -1, -1),
)


def pyscf_order(l: int) -> Tuple[int, ...]:
    """PySCF's component index for each library component of degree l.

    PySCF lists pure functions m = -l ... +l (p shells as x, y, z); the library
    lists m = 0, +1, -1, +2, -2, ...
    """
    if l == 1:
        return (2, 0, 1)
    order = [l]
    for m in range(1, l + 1):
        order += [l + m, l - m]
    return tuple(order)


def primitive_norm(l: int, exponent: ArrayLike) -> Float64Array:
    """Normalisation of r^l exp(-a r^2) Y_lm with Y_lm normalised on the sphere."""
    exponent = np.asarray(exponent, dtype=np.float64)
    # 1 / sqrt(integral of r^(2l+2) exp(-2 a r^2) dr from 0 to infinity)
    integral = math.gamma(l + 1.5) / (2.0 * (2.0 * exponent) ** (l + 1.5))
    return 1.0 / np.sqrt(integral)


def library_contraction(l: int, exponents: ArrayLike, coefficients: ArrayLike,
                        renormalise: bool = True) -> Float64Array:
    """Library contraction coefficients of a shell given on normalised primitives.

    With `renormalise` the contracted function is scaled to unit norm first (as
    most programs assume when they write MO coefficients); files that are
    already normalised, like PySCF's, change only in the last digits.
    """
    alphas = np.asarray(exponents, dtype=np.float64)
    weights = np.asarray(coefficients, dtype=np.float64)
    if renormalise:
        a = alphas[:, None]
        b = alphas[None, :]
        overlap = (2.0 * np.sqrt(a * b) / (a + b)) ** (l + 1.5)
        norm2 = float(weights @ overlap @ weights)
        if norm2 > 0 and np.isfinite(norm2):
            weights = weights / np.sqrt(norm2)
    return weights * primitive_norm(l, alphas)


def reorder_components(shell_l: Sequence[int], coefficients: ArrayLike,
                       order_table: Callable[[int], Sequence[int]],
                       sign_table: Callable[[int], Sequence[int]]) -> Float64Array:
    """Reorders the component axis (last) of `coefficients` shell by shell.

    `order_table(l)` / `sign_table(l)` give, for each library component, the
    source index within the shell and its sign.
    """
    coefficients = np.asarray(coefficients, dtype=np.float64)
    index: List[int] = []
    sign: List[int] = []
    offset = 0
    for l in shell_l:
        l = int(l)
        index.extend(offset + i for i in order_table(l))
        sign.extend(sign_table(l))
        offset += 2 * l + 1
    if offset != coefficients.shape[-1]:
        raise MoleculeError(f"orbital rows have {coefficients.shape[-1]} coefficients, "
                            f"the basis has {offset} pure functions")
    return coefficients[..., index] * np.asarray(sign, dtype=np.float64)
