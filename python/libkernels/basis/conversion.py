"""From a basis and orbitals in another program's convention to a Molecule.

Every reader first describes what its file holds in one common form: radial
shells (atom, l, exponents, weights w_p of exp(-a_p r^2), pure or Cartesian
as written) and the orbitals as coefficients of each shell's Cartesian
monomials x^i y^j z^k (overlap.py's representation).  In that form the
readers check that the orbitals are orthonormal under the analytic overlap
matrix, and this module turns it into the library's model: the pure part of
every shell with l <= 4 is kept, the r^2 (and r^4) parts of Cartesian shells
become pure shells of lower degree whose radial functions are fitted
(cartesian.py), whatever the library cannot hold (pure functions with l >= 5)
is left out, what is not represented is measured per orbital as the fraction
of its norm (in double precision, through the overlap of the file's shells
and the new ones), and what was done is recorded on the Molecule.
"""

from __future__ import annotations

import math
import os
import warnings
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, List, Optional, Sequence, Set, Tuple, Union

import numpy as np
from numpy.typing import NDArray

from ..core.errors import DroppedPartsWarning, MoleculeError
from ..core.memory import check
from ..core.molecule import MAX_L, NOTHING_LOST, Conversion, Molecule, share_text
from .cartesian import fitted_shell, split_matrices
from .conventions import MOLDEN_ORDER, MOLDEN_SIGN, primitive_norm, reorder_components
from .overlap import cartesian_norms, n_cartesian, overlap_matrix, pure_from_cartesian, \
    pure_projection

if TYPE_CHECKING:
    from numpy.typing import ArrayLike

    from ..core.types import Float64Array

# the atoms' nuclear charges as a reader has them (0 for a ghost atom)
AtomicNumbers = Union[Sequence[int], NDArray[np.integer]]

TOLERANCE = 1e-4  # files print 5 to 10 digits; a wrong reading is off by 1e-2 or more
DEFAULT_MAX_DROPPED = 0.01
# what the fits of Cartesian r^2 parts leave out is named only above this fraction (it is
# about 1e-8 at worst for high virtual orbitals of diffuse bases, 1e-12 for occupied ones)
FIT_RESIDUE_NOTED = 1e-6
_LETTERS = "spdfghi"


@dataclass
class Shell:
    """One contracted shell as a file gives it, with its weights on exp(-a r^2)."""
    atom: int
    l: int
    exponents: Float64Array
    weights: Float64Array
    pure: bool


@dataclass
class Orbitals:
    """Orbitals as coefficients of the shells' monomials, with what the file says of them."""
    cartesian: Float64Array            # (n_orbitals, sum of n_cartesian(l))
    energies: Float64Array
    occupations: Float64Array
    spins: NDArray[np.int32]           # 0 alpha (or restricted), 1 beta
    symmetries: List[str] = field(default_factory=list)


def radial_weights(l: int, pure: bool, exponents: ArrayLike, coefficients: ArrayLike,
                   normalise_contraction: bool) -> Float64Array:
    """Weights w_p of exp(-a_p r^2) for contraction coefficients of normalised
    primitives; they multiply sphere-normalised solid harmonics for pure
    shells and monomials scaled like x^l for Cartesian ones
    (see cartesian_scale).  With `normalise_contraction` the contracted
    function is scaled to unit norm."""
    exponents = np.asarray(exponents, dtype=np.float64)
    d = np.asarray(coefficients, dtype=np.float64)
    w = d * (primitive_norm(l, exponents) if pure else 1.0 / cartesian_norms(l, exponents)[0])
    if normalise_contraction:
        a = exponents[:, None] + exponents[None, :]
        if pure:
            gram = math.gamma(l + 1.5) / 2.0 / a ** (l + 1.5)
        else:
            # norm of x^l exp(-a r^2) with a = a_p + a_q, squared: as cartesian_norms at a/2
            gram = cartesian_norms(l, (a / 2).reshape(-1))[0].reshape(a.shape) ** 2
        norm2 = float(w @ gram @ w)
        if norm2 > 0 and np.isfinite(norm2):
            w = w / np.sqrt(norm2)
    return w


def cartesian_scale(l: int) -> Float64Array:
    """Factor of each monomial (overlap.py's order) that normalises it by itself
    on the radial weights of radial_weights (which normalise x^l)."""
    norms = cartesian_norms(l, [1.0])[:, 0]
    return norms[0] / norms


# float64 matrices of the basis's size a check holds at once: the overlap, the
# orbitals' Gram matrix and the products between them
OVERLAP_MATRICES = 3


def overlap_of(centres: Float64Array, shells: Sequence[Shell]) -> Float64Array:
    """Overlap matrix of the shells' monomials, its size held to the memory guard
    first (core/memory.py): a small file can state a basis whose matrices fill the
    memory."""
    size = sum(n_cartesian(s.l) for s in shells)
    check(OVERLAP_MATRICES * 8 * size * size, f"the overlap of the file's {size} basis "
          f"functions ({len(shells)} shells)", "give a smaller basis")
    return overlap_matrix([(centres[s.atom], s.l, s.exponents, s.weights) for s in shells])


def orthonormality_error(cartesian: Float64Array, overlap: Float64Array,
                         spins: ArrayLike) -> float:
    """Largest |C S C^T - 1| over the orbitals of each spin."""
    spins = np.asarray(spins)
    error = 0.0
    for spin in np.unique(spins):
        c = cartesian[spins == spin]
        gram = c @ overlap @ c.T
        error = max(error, float(np.abs(gram - np.eye(len(c))).max()))
    return error


def to_molecule(name: str, numbers: AtomicNumbers, centres: Float64Array,
                shells: Sequence[Shell], orbitals: Orbitals, record: Conversion,
                file_title: str = "") -> Molecule:
    """The library's Molecule: pure parts up to g kept, the r^(2j) parts of Cartesian
    shells represented by fitted pure shells, the rest left out and measured.

    `record` receives what was left out; orbitals losing more than its
    max_dropped_fraction cannot be selected later (core.molecule.check_selected).
    `file_title` is the molecule's name as the file gives it.
    """
    parts = _library_parts(shells, orbitals.cartesian)
    if parts.lost or parts.fitted:
        record.dropped_fraction = _dropped_fraction(centres, shells, orbitals.cartesian, parts)
    else:
        record.dropped_fraction = np.zeros(len(orbitals.cartesian))
    worst = float(record.dropped_fraction.max()) if len(record.dropped_fraction) else 0.0
    if parts.lost:
        record.dropped = ", ".join(sorted(parts.lost))
    elif worst > FIT_RESIDUE_NOTED:  # what the fits leave out, where it is not negligible
        record.dropped = "residue of the fitted Cartesian r^2 parts"
    if parts.fitted:
        record.notes.append(
            f"{', '.join(sorted(parts.fitted))} represented by pure shells of lower degree with "
            "fitted radial functions")
    ghosts = [a + 1 for a in range(len(numbers)) if numbers[a] == 0]
    if ghosts:
        record.notes.append(f"ghost atoms (nuclear charge 0, basis kept): {ghosts}")
    molecule = _assemble(name, numbers, centres, parts.shells, parts.harmonic, orbitals, record)
    molecule.name = " ".join(file_title.split())[:80]
    if record.dropped and worst > NOTHING_LOST:
        _warn_dropped(name, molecule, record)
    return molecule


@dataclass
class _Parts:
    """A basis as the library holds it: its pure shells with their coefficients
    (Molden order), the kept part of each file shell on its monomials, the new
    shells that represent Cartesian r^(2j) parts, labels of what was fitted and of
    what is left out."""
    shells: List[Shell] = field(default_factory=list)
    harmonic: List[Float64Array] = field(default_factory=list)
    kept: Optional[Float64Array] = None
    extra: List[Tuple[Shell, Float64Array]] = field(default_factory=list)
    fitted: Set[str] = field(default_factory=set)
    lost: Set[str] = field(default_factory=set)


def _library_parts(shells: Sequence[Shell], cartesian: Float64Array) -> _Parts:
    """Each file shell's parts: the pure one (kept when l <= MAX_L) and, for a
    Cartesian shell, its r^(2j) parts as new pure shells of degree l - 2j."""
    parts = _Parts(kept=np.zeros_like(cartesian))
    offset = 0
    for shell in shells:
        l = shell.l
        size = n_cartesian(l)
        block = cartesian[:, offset:offset + size]
        pieces = split_matrices(l) if not shell.pure else ((0, l, pure_projection(l)),)
        for j, degree, matrix in pieces:
            coefficients = block @ matrix.T  # on r^(2j) times sphere-normalised harmonics
            if degree > MAX_L:
                parts.lost.add(f"{_letter(degree)} functions" if j == 0 else
                               f"r^{2 * j} parts of Cartesian {_letter(l)}")
                continue
            if j == 0:
                assert parts.kept is not None
                parts.kept[:, offset:offset + size] = coefficients @ pure_from_cartesian(l).T
                parts.shells.append(shell)
                parts.harmonic.append(coefficients)
                continue
            if np.abs(coefficients).max(initial=0.0) <= 1e-9 * np.abs(block).max(initial=0.0):
                continue  # rounding of a file written from pure functions: nothing to hold
            exponents, weights = fitted_shell(shell.exponents, shell.weights, degree, j)
            new = Shell(shell.atom, degree, exponents, weights, pure=True)
            parts.shells.append(new)
            parts.harmonic.append(coefficients)
            parts.extra.append((new, coefficients @ pure_from_cartesian(degree).T))
            parts.fitted.add(f"r^{2 * j} parts of Cartesian {_letter(l)}")
        offset += size
    return parts


def _letter(l: int) -> str:
    return _LETTERS[l] if l < len(_LETTERS) else f"l = {l}"


def _dropped_fraction(centres: Float64Array, shells: Sequence[Shell], cartesian: Float64Array,
                      parts: _Parts) -> Float64Array:
    """Norm of (orbital - what the library holds of it) over the norm of the orbital,
    per orbital: the file's shells and the new ones in one overlap matrix."""
    assert parts.kept is not None
    everything = list(shells) + [new for new, _ in parts.extra]
    overlap = overlap_of(centres, everything)
    difference = np.concatenate([cartesian - parts.kept] + [-c for _, c in parts.extra], axis=1)
    size = cartesian.shape[1]
    norm = np.einsum("ij,jk,ik->i", cartesian, overlap[:size, :size], cartesian)
    left_out = np.einsum("ij,jk,ik->i", difference, overlap, difference)
    # can exceed 1 where the kept pure part does not even resemble the orbital
    return np.maximum(left_out / np.where(norm > 0, norm, 1.0), 0.0)


def _assemble(name: str, numbers: AtomicNumbers, centres: Float64Array,
              shells: Sequence[Shell], harmonic: Sequence[Float64Array], orbitals: Orbitals,
              record: Conversion) -> Molecule:
    order = sorted(range(len(shells)), key=lambda s: shells[s].atom)
    shells = [shells[s] for s in order]
    shell_l = [s.l for s in shells]
    n_orbitals = len(orbitals.cartesian)
    mo = np.concatenate([harmonic[s] for s in order], axis=1) if shells else \
        np.zeros((n_orbitals, 0))
    mo = reorder_components(shell_l, mo, lambda l: MOLDEN_ORDER[l], lambda l: MOLDEN_SIGN[l])
    return Molecule(
        atom_x=centres[:, 0], atom_y=centres[:, 1], atom_z=centres[:, 2],
        atomic_numbers=numbers,
        shells_per_atom=np.bincount([s.atom for s in shells], minlength=len(numbers)),
        shell_l=shell_l, shell_n_prim=[len(s.exponents) for s in shells],
        prim_exponent=np.concatenate([s.exponents for s in shells] or [np.zeros(0)]),
        prim_coeff=np.concatenate([s.weights for s in shells] or [np.zeros(0)]),
        mo_coeff=mo, mo_energy=orbitals.energies, mo_occ=orbitals.occupations,
        mo_spin=orbitals.spins, mo_symmetry=orbitals.symmetries,
        title=os.path.basename(name), conversion=record)


def _warn_dropped(name: str, molecule: Molecule, record: Conversion) -> None:
    fraction = record.dropped_fraction
    parts = []
    for label in ("HOMO", "LUMO"):
        try:
            row = molecule.orbital_index(label)
        except MoleculeError:
            continue
        parts.append(f"{label} {share_text(fraction[row])}")
    occupied = molecule.occupied_orbitals()
    if len(occupied):
        parts.append(f"occupied orbitals up to {share_text(fraction[occupied].max())}")
    above = int(np.count_nonzero(fraction > record.max_dropped_fraction))
    warnings.warn(f"{name}: the library holds pure functions up to g only; left out the "
                  f"{record.dropped}: fraction of the norm left out "
                  + ", ".join(parts) + f"; {above} of {len(fraction)} orbitals lose more than "
                  f"{record.max_dropped_fraction:g} and cannot be selected (raise "
                  "max_dropped_fraction to allow them)", DroppedPartsWarning, stacklevel=5)
