"""Check, then correct: orbitals read from a Molden file must be orthonormal.

Programs differ in what their Molden files mean by the numbers they write:
how primitives and contractions are normalised, the signs of some pure
components, how Cartesian components are normalised.  A reading that gets one
of these wrong gives orbitals that are no longer orthonormal under the overlap
matrix of the basis, so the reader computes that matrix (basis/overlap.py) and
checks C S C^T = 1 for each spin.  When the plain reading fails, the known
deviations of the writing programs are tried in turn; the first one that makes
the orbitals orthonormal is applied and reported, and when none does the file
is refused.

A `Reading` says how to turn the file's numbers into functions: the radial
weights of every primitive and the map from the file's components of a shell
to Cartesian monomials (basis/overlap.py's representation, in which every check and
measurement here is made).
"""

from __future__ import annotations

import math
import warnings
from dataclasses import dataclass, replace
from typing import TYPE_CHECKING, Dict, List, Optional, Sequence, Tuple, TypedDict

import numpy as np
from numpy.typing import ArrayLike

from ..basis.conventions import primitive_norm
from ..basis.conversion import (DEFAULT_MAX_DROPPED, TOLERANCE, Orbitals, Shell,
                                cartesian_scale, orthonormality_error, overlap_of,
                                radial_weights, to_molecule)
from ..basis.overlap import n_cartesian, pure_from_cartesian
from ..core.errors import MoldenCorrectionWarning, MoldenError
from ..core.molecule import Conversion, Molecule

if TYPE_CHECKING:
    from ..basis.conversion import AtomicNumbers
    from ..core.types import Float64Array


@dataclass(frozen=True)
class Reading:
    """One interpretation of a Molden file's basis and coefficients."""
    name: str
    description: str
    # primitives: "normalised" (the format: coefficients multiply normalised
    # primitives) or "folded" (the coefficients already include the
    # primitive normalisation)
    primitives: str = "normalised"
    normalise_contraction: bool = True
    # pure f, g and h components with |m| = 3, 4 written with the opposite sign
    flip_high_m: bool = False
    # Cartesian components: "individual" (the format: each normalised by
    # itself), "shared", "turbomole" or "cfour" (see CORRECTIONS)
    cartesian_components: str = "individual"


PLAIN = Reading("plain", "the format as written")
CORRECTIONS = (
    Reading("psi4", "older Psi4: the contraction coefficients already include the primitive "
                    "normalisation",
            primitives="folded"),
    Reading("orca", "ORCA: the contraction coefficients already include the primitive "
                    "normalisation, and the pure f, g and h components with |m| = 3, 4 have "
                    "the opposite sign",
            primitives="folded", flip_high_m=True),
    Reading("turbomole", "Turbomole: Cartesian d, f, g components carry an extra factor "
                         "sqrt((2l-1)!!) on top of their own normalisation",
            cartesian_components="turbomole"),
    Reading("cfour", "CFOUR: all Cartesian components of a shell share one normalisation, "
                     "x^l's times sqrt((2l-1)!!), instead of each being normalised by itself",
            cartesian_components="cfour"),
    Reading("psi4-1.3", "Psi4 up to 1.3.2: all Cartesian components of a shell share x^l's "
                        "normalisation instead of each being normalised by itself",
            cartesian_components="shared"),
)


# a shell as the file gives it: (atom, l, exponents, coefficients, pure)
FileShell = Tuple[int, int, ArrayLike, ArrayLike, bool]


class FileOrbital(TypedDict):
    """An orbital as the file gives it: coefficients in file order and its header."""
    coeff: Float64Array
    energy: float
    occ: float
    spin: int  # 0 alpha, 1 beta
    sym: str


def _shell(atom: int, l: int, exponents: ArrayLike, coefficients: ArrayLike, pure: bool,
           reading: Reading) -> Shell:
    """The shell's radial weights under `reading`."""
    exponents = np.asarray(exponents, dtype=np.float64)
    d = np.asarray(coefficients, dtype=np.float64)
    if reading.primitives == "folded":
        d = d / primitive_norm(l, exponents)
    return Shell(atom, l, exponents,
                 radial_weights(l, pure, exponents, d, reading.normalise_contraction), pure)


def _angular_map(l: int, pure: bool, reading: Reading) -> Float64Array:
    """(n_cart, n_file_components) map from file components to monomials."""
    if pure:
        matrix = pure_from_cartesian(l).copy()
        if reading.flip_high_m and l in (3, 4, 5):
            matrix[:, 5:9] *= -1  # components c3, s3, c4, s4 in Molden order
        return matrix
    if reading.cartesian_components == "shared":
        return np.eye(n_cartesian(l))
    extra = math.sqrt(float(np.prod(np.arange(2 * l - 1, 0, -2)))) if l > 1 else 1.0
    if reading.cartesian_components == "cfour":
        return np.eye(n_cartesian(l)) * extra
    matrix = np.diag(cartesian_scale(l))  # each component normalised by itself
    return matrix * extra if reading.cartesian_components == "turbomole" else matrix


def cartesian_representation(file_shells: Sequence[FileShell], coefficients: Float64Array,
                             reading: Reading) -> Tuple[List[Shell], Float64Array]:
    """The shells (radial weights) and the orbitals as coefficients of their
    monomials, (n_orbitals, n_cart_total), under `reading`."""
    shells: List[Shell] = []
    parts: List[Float64Array] = []
    offset = 0
    for atom, l, exponents, coeffs, pure in file_shells:
        size = 2 * l + 1 if pure else n_cartesian(l)
        shells.append(_shell(atom, l, exponents, coeffs, pure, reading))
        parts.append(coefficients[:, offset:offset + size] @ _angular_map(l, pure, reading).T)
        offset += size
    return shells, np.concatenate(parts, axis=1)


def _error(centres: Float64Array, file_shells: Sequence[FileShell], coefficients: Float64Array,
           spins: ArrayLike, reading: Reading) -> float:
    shells, cartesian = cartesian_representation(file_shells, coefficients, reading)
    return orthonormality_error(cartesian, overlap_of(centres, shells), spins)


def choose_reading(centres: Float64Array, file_shells: Sequence[FileShell],
                   coefficients: Float64Array, spins: ArrayLike, tolerance: float = TOLERANCE,
                   hint: str = "", plain: Reading = PLAIN
                   ) -> Tuple[Optional[Reading], Dict[str, float]]:
    """The first reading under which the orbitals are orthonormal.

    Returns (reading or None, {name: orthonormality error} of every reading
    tried, plain first).  `hint` (the file's title) puts the reading of the
    program it names first among the corrections: ORCA's and older Psi4's
    readings differ only in signs that one atom (or a file without f and g
    functions) cannot reveal, so ORCA's is taken first only for files that
    name it.
    """
    hint = hint.lower()
    corrections = sorted(CORRECTIONS, key=lambda r: r.name not in hint)
    tried: Dict[str, float] = {}
    for reading in (plain,) + tuple(corrections):
        tried[reading.name] = _error(centres, file_shells, coefficients, spins, reading)
        if tried[reading.name] <= tolerance:
            return reading, tried
    return None, tried


def _check_and_correct(name: str, centres: Float64Array, file_shells: Sequence[FileShell],
                       coefficients: Float64Array, spins: ArrayLike, record: Conversion,
                       title: str, reading: Reading) -> Reading:
    """The reading to use, after the orthonormality check; refuses what no
    known writer deviation explains, warns about every correction."""
    chosen, tried = choose_reading(centres, file_shells, coefficients, spins, record.tolerance,
                                   title, reading)
    record.error_before = tried["plain"]
    if chosen is None:
        listing = ", ".join(f"{k} {v:.2g}" for k, v in tried.items())
        raise MoldenError(
            f"{name}: the orbitals are not orthonormal under the overlap matrix of the "
            f"basis as written (largest error {tried['plain']:.2g}), and no known writer "
            f"deviation explains it (errors: {listing}); refusing to return wrong orbitals"
            + ("; a file printing few digits may need a looser tolerance="
               if min(tried.values()) < 100 * record.tolerance else ""))
    record.error_after = tried[chosen.name]
    if chosen is reading:
        return reading
    record.correction = chosen.description
    twin = replace(chosen, flip_high_m=not chosen.flip_high_m)
    has_f_or_g = any(pure and l in (3, 4, 5) for _, l, _, _, pure in file_shells)
    if chosen.primitives == "folded" and has_f_or_g and \
            _error(centres, file_shells, coefficients, spins, twin) <= record.tolerance:
        record.notes.append(
            "the signs of the f, g and h components with |m| = 3, 4 follow the writer "
            f"({'named in the title' if chosen.name in title.lower() else 'assumed'});"
            " orthonormality cannot tell them apart in this file")
    warnings.warn(f"{name}: the orbitals are not orthonormal as written (error "
                  f"{record.error_before:.2g}); corrected for a known writer deviation: "
                  f"{chosen.description} (error now {record.error_after:.2g})"
                  + "".join(f"; {note}" for note in record.notes),
                  MoldenCorrectionWarning, stacklevel=5)
    return chosen


def convert(name: str, numbers: AtomicNumbers, positions: ArrayLike,
            file_shells: Sequence[FileShell], orbitals: Sequence[FileOrbital], *,
            renormalise: bool = True,
            max_dropped_fraction: float = DEFAULT_MAX_DROPPED, check: bool = True,
            title: str = "", tolerance: float = TOLERANCE) -> Molecule:
    """Molecule from what a Molden file says, checked and corrected.

    `file_shells` are (atom, l, exponents, coefficients, pure) in file order,
    `orbitals` dicts with coeff (file order), energy, occ, spin, sym.
    """
    centres = np.asarray(positions, dtype=np.float64)
    coefficients = np.array([o["coeff"] for o in orbitals], dtype=np.float64)
    spins = np.array([o["spin"] for o in orbitals], dtype=np.int32)
    bad = np.argwhere(~np.isfinite(coefficients))
    if len(bad):
        raise MoldenError(f"{name}: orbital {bad[0][0] + 1} has a non-finite coefficient "
                          f"({coefficients[tuple(bad[0])]}) for basis function {bad[0][1] + 1}")
    record = Conversion(reader="Molden", tolerance=tolerance,
                        max_dropped_fraction=float(max_dropped_fraction))
    reading = replace(PLAIN, normalise_contraction=renormalise)
    if check:
        reading = _check_and_correct(name, centres, file_shells, coefficients, spins, record,
                                     title, reading)
    record.reading = reading.name
    shells, cartesian = cartesian_representation(file_shells, coefficients, reading)
    return to_molecule(name, numbers, centres, shells, Orbitals(
        cartesian, energies=np.array([o["energy"] for o in orbitals], dtype=np.float64),
        occupations=np.array([o["occ"] for o in orbitals], dtype=np.float64), spins=spins,
        symmetries=[o["sym"] for o in orbitals]), record, file_title=title)
