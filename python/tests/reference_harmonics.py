"""The library's real solid harmonics, evaluated in numpy (double precision).

Entry l*l + c of the table belongs to component c of a shell of degree l, in
the order m = 0, +1, -1, +2, -2, ... (cosine-type before sine-type).  The
constants are the library's own, including its negative constants for
m = +-3 and m = +-4.  This module is the test suite's slow, plainly written
reference of the library's angular convention: the readers derive their
component mapping against it, and the tests evaluate orbitals with it.
"""

from __future__ import annotations

from typing import TYPE_CHECKING

import numpy as np

if TYPE_CHECKING:
    from libkernels import Molecule

SHELL_START = (0, 1, 4, 9, 16)

HARMONIC_CONSTANTS = np.array([
    np.float32(0.2820948),                    # s
    0.48860251190291992, 0.48860251190291992, 0.48860251190291992,  # z, x, y
    0.31539155959179921,                      # 3z^2 - r^2
    1.0925484305920792, 1.0925484305920792,   # xz, yz
    0.54627421529603959, 1.0925484305920792,  # x^2 - y^2, xy
    0.37317632877825935,                      # z(5z^2 - 3r^2)
    0.45704579639229809, 0.45704579639229809,  # x(5z^2 - r^2), y(5z^2 - r^2)
    1.4453057213202769, 2.8906114426405538,   # z(x^2 - y^2), xyz
    -0.59004361139937245, -0.59004361139937245,  # x(x^2 - 3y^2), y(3x^2 - y^2)
    0.10578554329759174,                      # 35z^4 - 30z^2r^2 + 3r^4
    0.6690465310246213, 0.6690465310246213,   # xz(7z^2 - 3r^2), yz(7z^2 - 3r^2)
    0.47308734011966758, 0.94617468023933515,  # (x^2 - y^2)(7z^2 - r^2), xy(7z^2 - r^2)
    -1.7701307394854329, -1.7701307394854329,  # xz(x^2 - 3y^2), yz(3x^2 - y^2)
    -0.62583573544917614, -2.5033429417967046,  # x^4 - 6x^2y^2 + y^4, xy(x^2 - y^2)
], dtype=np.float64)


def solid_harmonics(x, y, z) -> np.ndarray:
    """All 25 solid harmonics at offsets (x, y, z); returns shape (25,) + x.shape."""
    x, y, z = (np.asarray(v, dtype=np.float64) for v in (x, y, z))
    x2, y2, z2 = x * x, y * y, z * z
    r2 = x2 + y2 + z2
    polynomials = [
        np.ones_like(x),
        z, x, y,
        3 * z2 - r2, x * z, y * z, x2 - y2, x * y,
        z * (5 * z2 - 3 * r2), x * (5 * z2 - r2), y * (5 * z2 - r2),
        z * (x2 - y2), x * y * z, x * (x2 - 3 * y2), y * (3 * x2 - y2),
        35 * z2 * z2 - 30 * z2 * r2 + 3 * r2 * r2,
        x * z * (7 * z2 - 3 * r2), y * z * (7 * z2 - 3 * r2),
        (x2 - y2) * (7 * z2 - r2), x * y * (7 * z2 - r2),
        x * z * (x2 - 3 * y2), y * z * (3 * x2 - y2),
        x2 * x2 - 6 * x2 * y2 + y2 * y2, x * y * (x2 - y2),
    ]
    return HARMONIC_CONSTANTS.reshape((25,) + (1,) * x.ndim) * np.stack(polynomials)


def evaluate_basis(molecule: Molecule, points) -> np.ndarray:
    """Every basis function of `molecule` at `points` (shape (m, 3), bohr).

    Returns an (m, n_components) float64 array in the library's component order,
    with the contraction coefficients exactly as stored (no normalisation added).
    """
    points = np.asarray(points, dtype=np.float64)
    columns = []
    shell = 0
    prim = 0
    for atom, count in enumerate(molecule.shells_per_atom):
        offset = points - np.array([molecule.atom_x[atom], molecule.atom_y[atom],
                                    molecule.atom_z[atom]], dtype=np.float64)
        r2 = np.einsum("ij,ij->i", offset, offset)
        harmonics = solid_harmonics(offset[:, 0], offset[:, 1], offset[:, 2])
        for _ in range(count):
            l = int(molecule.shell_l[shell])
            n_prim = int(molecule.shell_n_prim[shell])
            exponents = molecule.prim_exponent[prim:prim + n_prim].astype(np.float64)
            coefficients = molecule.prim_coeff[prim:prim + n_prim].astype(np.float64)
            radial = np.exp(-np.outer(r2, exponents)) @ coefficients
            for c in range(2 * l + 1):
                columns.append(radial * harmonics[l * l + c])
            shell += 1
            prim += n_prim
    return np.stack(columns, axis=1) if columns else np.zeros((len(points), 0))


def momentum_amplitude(molecule: Molecule, coefficients, k_points) -> np.ndarray:
    """Fourier transform of an orbital at momenta `k_points` ((m, 3), bohr^-1).

    Returns the complex amplitude integral psi(r) exp(-i k.r) d^3r divided by
    pi^(3/2), which is what the library's momentum kernels square: per shell
    (-i)^l (k/2)^l sum_p c_p a_p^-(l+3/2) exp(-k^2/(4 a_p)) times the table's
    harmonic at the direction of k, and per atom the phase exp(-i k.P).
    """
    k_points = np.asarray(k_points, dtype=np.float64)
    coefficients = np.asarray(coefficients, dtype=np.float64)
    k = np.sqrt(np.einsum("ij,ij->i", k_points, k_points))
    safe = np.where(k > 0, k, 1.0)
    harmonics = solid_harmonics(*(k_points / safe[:, None]).T)
    amplitude = np.zeros(len(k_points), dtype=np.complex128)
    shell = prim = comp = 0
    for atom, count in enumerate(molecule.shells_per_atom):
        position = np.array([molecule.atom_x[atom], molecule.atom_y[atom],
                             molecule.atom_z[atom]], dtype=np.float64)
        atom_sum = np.zeros(len(k_points), dtype=np.complex128)
        for _ in range(count):
            l = int(molecule.shell_l[shell])
            n_prim = int(molecule.shell_n_prim[shell])
            a = molecule.prim_exponent[prim:prim + n_prim].astype(np.float64)
            c = molecule.prim_coeff[prim:prim + n_prim].astype(np.float64)
            radial = (k / 2) ** l * (np.exp(-np.outer(k * k, 1 / (4 * a))) @ (c * a ** -(l + 1.5)))
            angular = coefficients[comp:comp + 2 * l + 1] @ harmonics[l * l:(l + 1) ** 2]
            atom_sum += (-1j) ** l * radial * angular
            shell += 1
            prim += n_prim
            comp += 2 * l + 1
        amplitude += np.exp(-1j * (k_points @ position)) * atom_sum
    return amplitude
