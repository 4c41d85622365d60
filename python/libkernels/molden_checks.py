"""Check, then correct: orbitals read from a Molden file must be orthonormal.

Programs differ in what their Molden files mean by the numbers they write:
how primitives and contractions are normalised, the signs of some pure
components, how Cartesian components are normalised.  A reading that gets one
of these wrong gives orbitals that are no longer orthonormal under the overlap
matrix of the basis, so the reader computes that matrix (overlap.py) and
checks C S C^T = 1 for each spin.  When the plain reading fails, the known
deviations of the writing programs are tried in turn; the first one that makes
the orbitals orthonormal is applied and reported, and when none does the file
is refused.

A `Reading` says how to turn the file's numbers into functions: the radial
weights of every primitive and the map from the file's components of a shell
to Cartesian monomials (overlap.py's representation, in which every check and
measurement here is made).
"""

import math
import os
import warnings
from dataclasses import dataclass, field, replace

import numpy as np

from .conventions import primitive_norm
from .overlap import cartesian_norms, n_cartesian, overlap_matrix, pure_from_cartesian, \
    pure_projection


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
    # pure f and g components with |m| = 3, 4 written with the opposite sign
    flip_high_m: bool = False
    # Cartesian components: "individual" (the format: each normalised by
    # itself), "turbomole" or "cfour" (see CORRECTIONS)
    cartesian_components: str = "individual"


PLAIN = Reading("plain", "the format as written")
CORRECTIONS = (
    Reading("psi4", "older Psi4: the contraction coefficients already include the primitive "
                    "normalisation",
            primitives="folded"),
    Reading("orca", "ORCA: the contraction coefficients already include the primitive "
                    "normalisation, and the pure f and g components with |m| = 3, 4 have "
                    "the opposite sign",
            primitives="folded", flip_high_m=True),
    Reading("turbomole", "Turbomole: Cartesian d, f, g components carry an extra factor "
                         "sqrt((2l-1)!!) on top of their own normalisation",
            cartesian_components="turbomole"),
    Reading("cfour", "CFOUR: all Cartesian components of a shell share one normalisation, "
                     "x^l's times sqrt((2l-1)!!), instead of each being normalised by itself",
            cartesian_components="cfour"),
)
TOLERANCE = 1e-4  # files print 5 to 10 digits; a wrong reading is off by 1e-2 or more


@dataclass
class Basis:
    """A basis as read from the file, in file order."""
    centres: np.ndarray                # (n_atoms, 3) bohr
    shells: list                       # (atom, l, exponents, coefficients, pure)

    def sizes(self):
        return [2 * l + 1 if pure else n_cartesian(l) for _, l, _, _, pure in self.shells]


def _radial_weights(l, pure, exponents, coefficients, reading):
    """Weights w_p of exp(-a_p r^2) that multiply the shell's angular functions
    (sphere-normalised solid harmonics for pure shells, the monomials scaled as
    x^l for Cartesian ones)."""
    exponents = np.asarray(exponents, dtype=np.float64)
    d = np.asarray(coefficients, dtype=np.float64)
    if reading.primitives == "folded":
        d = d / primitive_norm(l, exponents)
    w = d * (primitive_norm(l, exponents) if pure else 1.0 / cartesian_norms(l, exponents)[0])
    if reading.normalise_contraction:
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


def _angular_map(l, pure, reading):
    """(n_cart, n_file_components) map from file components to monomials."""
    if pure:
        matrix = pure_from_cartesian(l).copy()
        if reading.flip_high_m and l in (3, 4):
            matrix[:, 5:] *= -1  # components c3, s3, c4, s4 in Molden order
        return matrix
    norms = cartesian_norms(l, [1.0])[:, 0]
    extra = math.sqrt(float(np.prod(np.arange(2 * l - 1, 0, -2)))) if l > 1 else 1.0
    if reading.cartesian_components == "cfour":
        return np.eye(n_cartesian(l)) * extra
    matrix = np.diag(norms[0] / norms)  # the monomials are scaled like x^l
    return matrix * extra if reading.cartesian_components == "turbomole" else matrix


def cartesian_representation(basis, coefficients, reading):
    """Radial shells (centre, l, exponents, weights) and the orbitals as
    coefficients of their monomials: (shells, (n_orbitals, n_cart_total))."""
    shells = []
    offset = 0
    parts = []
    for (atom, l, exponents, coeffs, pure), size in zip(basis.shells, basis.sizes()):
        shells.append((basis.centres[atom], l, np.asarray(exponents, float),
                       _radial_weights(l, pure, exponents, coeffs, reading)))
        angular = _angular_map(l, pure, reading)
        parts.append(coefficients[:, offset:offset + size] @ angular.T)
        offset += size
    return shells, np.concatenate(parts, axis=1)


def _represent(basis, coefficients, reading):
    """(orbitals on monomials, overlap matrix) under `reading`."""
    shells, cartesian = cartesian_representation(basis, coefficients, reading)
    return cartesian, overlap_matrix(shells)


def orthonormality_error(cartesian, overlap, spins):
    """Largest |C S C^T - 1| over the orbitals of each spin."""
    error = 0.0
    for spin in np.unique(spins):
        c = cartesian[spins == spin]
        gram = c @ overlap @ c.T
        error = max(error, float(np.abs(gram - np.eye(len(c))).max()))
    return error


@dataclass
class Conversion:
    """What the reader found and did, kept on the Molecule it returns."""
    reading: str = "plain"
    correction: str = ""               # empty when the file was read as written
    error_before: float = 0.0          # orthonormality error of the plain reading
    error_after: float = 0.0           # ... of the reading used
    tolerance: float = 0.0
    dropped: str = ""                  # what was left out (Cartesian r^2 parts, l >= 5)
    dropped_fraction: np.ndarray = field(default_factory=lambda: np.zeros(0))
    max_dropped_fraction: float = 0.0
    notes: list = field(default_factory=list)


class MoldenError(ValueError):
    """A Molden file that cannot be read correctly; the message says why."""


DEFAULT_MAX_DROPPED = 0.01


def choose_reading(basis, coefficients, spins, tolerance=TOLERANCE, hint="", plain=PLAIN):
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
    tried = {}
    for reading in (plain,) + tuple(corrections):
        tried[reading.name] = orthonormality_error(*_represent(basis, coefficients, reading),
                                                   spins)
        if tried[reading.name] <= tolerance:
            return reading, tried
    return None, tried


def convert(name, numbers, positions, shells, orbitals, *, renormalise=True,
            max_dropped_fraction=DEFAULT_MAX_DROPPED, check=True, title="",
            tolerance=TOLERANCE):
    """Molecule from what a Molden file says, checked and corrected.

    `shells` are (atom, l, exponents, coefficients, pure) in file order,
    `orbitals` dicts with coeff (file order), energy, occ, spin, sym.
    """
    from .conventions import MOLDEN_ORDER, MOLDEN_SIGN, reorder_components
    from .molecule import MAX_L, Molecule

    basis = Basis(np.asarray(positions, dtype=np.float64), shells)
    coefficients = np.array([o["coeff"] for o in orbitals], dtype=np.float64)
    spins = np.array([o["spin"] for o in orbitals], dtype=np.int32)
    bad = np.argwhere(~np.isfinite(coefficients))
    if len(bad):
        raise MoldenError(f"{name}: orbital {bad[0][0] + 1} has a non-finite coefficient "
                          f"({coefficients[tuple(bad[0])]}) for basis function {bad[0][1] + 1}")
    record = Conversion(tolerance=tolerance,
                        max_dropped_fraction=float(max_dropped_fraction))
    reading = replace(PLAIN, normalise_contraction=renormalise)
    if check:
        chosen, tried = choose_reading(basis, coefficients, spins, tolerance, title, reading)
        record.error_before = tried["plain"]
        if chosen is None:
            listing = ", ".join(f"{k} {v:.2g}" for k, v in tried.items())
            raise MoldenError(
                f"{name}: the orbitals are not orthonormal under the overlap matrix of the "
                f"basis as written (largest error {tried['plain']:.2g}), and no known writer "
                f"deviation explains it (errors: {listing}); refusing to return wrong orbitals"
                + ("; a file printing few digits may need a looser tolerance="
                   if min(tried.values()) < 100 * tolerance else ""))
        record.error_after = tried[chosen.name]
        if chosen is not reading:
            reading = chosen
            record.correction = chosen.description
            twin = replace(chosen, flip_high_m=not chosen.flip_high_m)
            has_f_or_g = any(pure and l in (3, 4) for _, l, _, _, pure in shells)
            if chosen.primitives == "folded" and has_f_or_g and orthonormality_error(
                    *_represent(basis, coefficients, twin), spins) <= tolerance:
                record.notes.append(
                    "the signs of the f and g components with |m| = 3, 4 follow the writer "
                    f"({'named in the title' if chosen.name in title.lower() else 'assumed'});"
                    " orthonormality cannot tell them apart in this file")
            warnings.warn(f"{name}: the orbitals are not orthonormal as written (error "
                          f"{record.error_before:.2g}); corrected for a known writer deviation: "
                          f"{chosen.description} (error now {record.error_after:.2g})"
                          + "".join(f"; {note}" for note in record.notes),
                          MoldenCorrectionWarning, stacklevel=3)
    record.reading = reading.name

    # Keep the pure part of every shell the library holds (l <= 4); measure the rest.
    radial, cartesian = cartesian_representation(basis, coefficients, reading)
    kept = np.zeros_like(cartesian)
    library_shells, library_coeff = [], []
    offset = 0
    lost = set()
    for (atom, l, exponents, _, pure), (_, _, _, weights) in zip(basis.shells, radial):
        size = n_cartesian(l)
        block = cartesian[:, offset:offset + size]
        if l <= MAX_L:
            harmonic = block @ pure_projection(l).T      # sphere-normalised, Molden order
            kept[:, offset:offset + size] = harmonic @ pure_from_cartesian(l).T
            library_shells.append((atom, l, np.asarray(exponents, float), weights))
            library_coeff.append(harmonic)
            if not pure and l >= 2:
                lost.add(f"r^2 parts of Cartesian {'spdfghi'[l]}")
        else:
            lost.add(f"{'spdfghi'[l] if l < 7 else f'l = {l}'} functions")
        offset += size
    if lost:
        overlap = overlap_matrix(radial)
        dropped = cartesian - kept
        norm = np.einsum("ij,jk,ik->i", cartesian, overlap, cartesian)
        left_out = np.einsum("ij,jk,ik->i", dropped, overlap, dropped)
        record.dropped = ", ".join(sorted(lost))
        # can exceed 1 where the kept pure part does not even resemble the orbital
        record.dropped_fraction = np.maximum(left_out / np.where(norm > 0, norm, 1.0), 0.0)
    else:
        record.dropped_fraction = np.zeros(len(coefficients))

    order = sorted(range(len(library_shells)), key=lambda s: library_shells[s][0])
    library_shells = [library_shells[s] for s in order]
    shell_l = [s[1] for s in library_shells]
    mo = np.concatenate([library_coeff[s] for s in order], axis=1)
    mo = reorder_components(shell_l, mo, lambda l: MOLDEN_ORDER[l], lambda l: MOLDEN_SIGN[l])
    molecule = Molecule(
        atom_x=basis.centres[:, 0], atom_y=basis.centres[:, 1], atom_z=basis.centres[:, 2],
        atomic_numbers=numbers,
        shells_per_atom=np.bincount([s[0] for s in library_shells], minlength=len(numbers)),
        shell_l=shell_l, shell_n_prim=[len(s[2]) for s in library_shells],
        prim_exponent=np.concatenate([s[2] for s in library_shells]),
        prim_coeff=np.concatenate([s[3] for s in library_shells]),
        mo_coeff=mo, mo_energy=[o["energy"] for o in orbitals],
        mo_occ=[o["occ"] for o in orbitals], mo_spin=spins,
        title=os.path.basename(name))
    molecule.mo_symmetry = [o["sym"] for o in orbitals]
    ghosts = [a + 1 for a in range(len(numbers)) if numbers[a] == 0]
    if ghosts:
        record.notes.append(f"ghost atoms (nuclear charge 0, basis kept): {ghosts}")
    molecule.conversion = record
    if lost:
        _warn_dropped(name, molecule, record)
    return molecule


class MoldenCorrectionWarning(UserWarning):
    """A Molden file was read with a correction for its writer's deviation."""


class DroppedPartsWarning(UserWarning):
    """Parts of orbitals the library cannot hold were left out."""


def _warn_dropped(name, molecule, record):
    fraction = record.dropped_fraction
    parts = []
    for label in ("HOMO", "LUMO"):
        try:
            row = molecule.orbital_index(label)
        except ValueError:
            continue
        parts.append(f"{label} {_share(fraction[row])}")
    occupied = molecule.occupied_orbitals()
    if len(occupied):
        parts.append(f"occupied orbitals up to {_share(fraction[occupied].max())}")
    above = int(np.count_nonzero(fraction > record.max_dropped_fraction))
    warnings.warn(f"{name}: the library holds pure functions up to g only; left out the "
                  f"{record.dropped}: fraction of the norm left out "
                  + ", ".join(parts) + f"; {above} of {len(fraction)} orbitals lose more than "
                  f"{record.max_dropped_fraction:g} and cannot be selected (raise "
                  "max_dropped_fraction to allow them)", DroppedPartsWarning, stacklevel=4)


def _share(fraction, digits=2):
    """A norm fraction for messages; rounding noise shows as '< 1e-12'."""
    return "< 1e-12" if fraction < 1e-12 else f"{fraction:.{digits}g}"


def check_selected(molecule, rows):
    """Warns with the norm fraction left out of each selected orbital and refuses
    orbitals above the molecule's threshold (molecules without a record pass)."""
    record = getattr(molecule, "conversion", None)
    if record is None or not record.dropped:
        return
    fraction = record.dropped_fraction[rows]
    names = [f"{molecule.orbital_label(r)} (row {r}): {_share(f, 3)}"
             for r, f in zip(rows, fraction)]
    too_much = [n for n, f in zip(names, fraction) if f > record.max_dropped_fraction]
    if too_much:
        raise ValueError(f"{molecule.title}: the selected orbitals lose too much of their norm "
                         f"to the {record.dropped} left out ({'; '.join(too_much)}; threshold "
                         f"{record.max_dropped_fraction:g}, raise max_dropped_fraction or "
                         "--max-dropped-norm to accept)")
    warnings.warn(f"{molecule.title}: fraction of the norm left out ({record.dropped}) of the "
                  "selected orbitals: " + "; ".join(names), DroppedPartsWarning, stacklevel=3)
