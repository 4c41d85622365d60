"""A molecule in the library's flat-array basis model, validated once.

`Molecule` holds the arrays every orbital kernel takes (atoms, shells,
primitives) in the exact dtypes the C functions expect, plus the orbitals
(coefficient rows in the library's component order, energies in hartree,
occupations and spins).  Everything is checked on construction, so that a
kernel never sees input outside the library's data model: the library itself
validates nothing.

A reader's `Conversion` record (what it found and did) travels with the
molecule, and `orbital_rows` selects orbitals by name, refusing those a reader
had to cut too much of (`check_selected`).
"""

from __future__ import annotations

import re
import warnings
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, Dict, List, NamedTuple, Optional, Sequence, Tuple

import numpy as np

from .errors import DroppedPartsWarning, InputError, MoleculeError
from .units import length_to_bohr

if TYPE_CHECKING:
    from numpy.typing import ArrayLike, NDArray

    from .types import (Float32Array, Float64Array, Int32Array, LengthUnit, OrbitalSelection,
                        OrbitalSelector, Spin)

MAX_L = 4
NOTHING_LOST = 1e-12  # a fraction of an orbital's norm below this is rounding, not a loss

ELEMENTS = (
    "X H He Li Be B C N O F Ne Na Mg Al Si P S Cl Ar K Ca Sc Ti V Cr Mn Fe Co Ni Cu Zn "
    "Ga Ge As Se Br Kr Rb Sr Y Zr Nb Mo Tc Ru Rh Pd Ag Cd In Sn Sb Te I Xe").split()


@dataclass
class Conversion:
    """What a reader found and did, kept on the Molecule it returns."""
    reader: str = ""                   # which reader and format, e.g. "Molden", "IOData fchk"
    reading: str = "plain"
    correction: str = ""               # empty when the file was read as written
    error_before: float = 0.0          # orthonormality error as written
    error_after: float = 0.0           # ... after the correction
    tolerance: float = 0.0
    dropped: str = ""                  # what was left out (Cartesian r^2 parts, l >= 5)
    dropped_fraction: Float64Array = field(default_factory=lambda: np.zeros(0))
    max_dropped_fraction: float = 0.0
    notes: List[str] = field(default_factory=list)


def _integers(name: str, values: ArrayLike) -> Int32Array:
    array = np.asarray(values)
    if array.dtype.kind not in "iu" and not (array.size == 0 and array.dtype.kind == "f"):
        raise MoleculeError(f"{name} must hold integers, got dtype {array.dtype}")
    if array.ndim != 1:
        raise MoleculeError(f"{name} must be one-dimensional, got shape {array.shape}")
    if array.size and (array.max() > 2**31 - 1 or array.min() < -2**31):
        raise MoleculeError(f"{name} does not fit in int32")
    return np.array(array, dtype=np.int32, order="C")  # a copy: later edits by the caller
                                                        # cannot bypass the checks


def _reals(name: str, values: ArrayLike, ndim: int = 1) -> Float32Array:
    array = np.asarray(values)
    if array.dtype.kind not in "iuf":
        raise MoleculeError(f"{name} must hold real numbers, got dtype {array.dtype}")
    if array.ndim != ndim:
        raise MoleculeError(f"{name} must be {ndim}-dimensional, got shape {array.shape}")
    with np.errstate(over="ignore"):  # overflow to inf is reported by the checks
        return np.array(array, dtype=np.float32, order="C")


class MoleculeFile(NamedTuple):
    """The file a Molecule was read from: its absolute path, SHA-256 and format."""

    path: str
    sha256: str
    format: str


class Molecule:
    """Atoms, a contracted Gaussian basis (pure functions, l <= 4) and orbitals.

    Positions are stored in bohr (give `unit="angstrom"` to convert), exponents
    in bohr^-2, contraction coefficients as the library uses them (normalisation
    folded in), orbital energies in hartree.  `mo_coeff` is an
    (n_orbitals, n_components) matrix in the library's component order.
    `mo_spin` holds 0 (alpha, or restricted) or 1 (beta) per orbital.
    `mo_symmetry` holds the symmetry label a file gave each orbital ("" when
    none), `conversion` what a reader found and did (None for molecules built
    directly), `origin` the file it was read from (None for molecules built
    directly), so that a record of work on it can name that file.  `title` names the source (a file's name), `name` the molecule as
    the file calls it (its title line; "" when it gives none).

    `mo_name` gives orbitals a name of their own ("" where they have none):
    the Dyson orbitals of an ionisation calculation are IP1, IP2, ..., and
    `orbital_index` selects them by it like HOMO or LUMO.  `computation` holds,
    for orbitals the package computed itself (structures.compute_orbitals,
    dyson_orbitals), what was computed and how: method, basis, charge, spin,
    the turn and shift that brought the input coordinates into the library's
    orientation, timings and the cache entry (None otherwise).
    """

    mo_symmetry: List[str]
    mo_name: List[str]
    conversion: Optional[Conversion]
    computation: Optional[Dict[str, Any]]
    origin: Optional[MoleculeFile] = None

    def __init__(self, *, atom_x: ArrayLike, atom_y: ArrayLike, atom_z: ArrayLike,
                 shells_per_atom: ArrayLike, shell_l: ArrayLike, shell_n_prim: ArrayLike,
                 prim_exponent: ArrayLike, prim_coeff: ArrayLike,
                 mo_coeff: Optional[ArrayLike] = None, mo_energy: Optional[ArrayLike] = None,
                 mo_occ: Optional[ArrayLike] = None, mo_spin: Optional[ArrayLike] = None,
                 atomic_numbers: Optional[ArrayLike] = None, unit: LengthUnit = "bohr",
                 title: str = "", mo_symmetry: Optional[Sequence[str]] = None,
                 conversion: Optional[Conversion] = None, name: str = "",
                 mo_name: Optional[Sequence[str]] = None,
                 computation: Optional[Dict[str, Any]] = None) -> None:
        self.title = title
        self.name = " ".join(str(name or "").split())[:80]
        self.conversion = conversion
        self.computation = computation
        xyz = [_reals(name, v) for name, v in
               (("atom_x", atom_x), ("atom_y", atom_y), ("atom_z", atom_z))]
        if unit != "bohr":
            xyz = [np.ascontiguousarray(length_to_bohr(v.astype(np.float64), unit),
                                        dtype=np.float32) for v in xyz]
        self.atom_x, self.atom_y, self.atom_z = xyz
        self.shells_per_atom = _integers("shells_per_atom", shells_per_atom)
        self.shell_l = _integers("shell_l", shell_l)
        self.shell_n_prim = _integers("shell_n_prim", shell_n_prim)
        self.prim_exponent = _reals("prim_exponent", prim_exponent)
        self.prim_coeff = _reals("prim_coeff", prim_coeff)
        n_atoms = len(self.shells_per_atom)
        if atomic_numbers is None:
            atomic_numbers = np.zeros(n_atoms, dtype=np.int32)
        self.atomic_numbers = _integers("atomic_numbers", atomic_numbers)
        self._check_basis()

        if mo_coeff is None:
            mo_coeff = np.zeros((0, self.n_components), dtype=np.float32)
        mo = np.asarray(mo_coeff)
        if mo.ndim == 1:
            mo = mo[None, :]
        self.mo_coeff = _reals("mo_coeff", mo, ndim=2)
        n_orb = self.mo_coeff.shape[0]
        self.mo_energy: Float64Array = np.full(n_orb, np.nan) if mo_energy is None else \
            np.asarray(mo_energy, dtype=np.float64).reshape(-1)
        self.mo_occ: Float64Array = np.zeros(n_orb) if mo_occ is None else \
            np.asarray(mo_occ, dtype=np.float64).reshape(-1)
        self.mo_spin = np.zeros(n_orb, dtype=np.int32) if mo_spin is None else \
            _integers("mo_spin", mo_spin)
        self.mo_symmetry = [""] * n_orb if mo_symmetry is None else [str(s) for s in mo_symmetry]
        self.mo_name = [""] * n_orb if mo_name is None else [str(s).strip() for s in mo_name]
        self._check_orbitals()

    # -- counts ------------------------------------------------------------
    @property
    def n_atoms(self) -> int:
        return len(self.shells_per_atom)

    @property
    def n_shells(self) -> int:
        return len(self.shell_l)

    @property
    def n_components(self) -> int:
        return int(np.sum(2 * self.shell_l.astype(np.int64) + 1))

    @property
    def n_orbitals(self) -> int:
        return int(self.mo_coeff.shape[0])

    @property
    def positions(self) -> Float32Array:
        """(n_atoms, 3) atom positions in bohr."""
        return np.stack([self.atom_x, self.atom_y, self.atom_z], axis=1)

    @property
    def symbols(self) -> List[str]:
        return [ELEMENTS[z] if 0 < z < len(ELEMENTS) else "X" for z in self.atomic_numbers]

    def shell_atom(self) -> NDArray[np.intp]:
        """Atom index of every shell."""
        return np.repeat(np.arange(self.n_atoms), self.shells_per_atom)

    def basis_arguments(self) -> Tuple[Int32Array, Float32Array, Float32Array, Float32Array,
                                       Int32Array, Int32Array, Float32Array, Float32Array]:
        """The eight basis arrays in the order the kernels take them after n_atoms."""
        return (self.shells_per_atom, self.atom_x, self.atom_y, self.atom_z, self.shell_l,
                self.shell_n_prim, self.prim_exponent, self.prim_coeff)

    # -- validation ----------------------------------------------------------
    def _check_basis(self) -> None:
        n_atoms = len(self.shells_per_atom)
        for name in ("atom_x", "atom_y", "atom_z", "atomic_numbers"):
            if len(getattr(self, name)) != n_atoms:
                raise MoleculeError(f"{name} has {len(getattr(self, name))} entries but "
                                    f"shells_per_atom describes {n_atoms} atoms")
        for a in range(n_atoms):
            if self.shells_per_atom[a] < 0:
                raise MoleculeError(f"atom {a} has a negative shell count "
                                    f"{self.shells_per_atom[a]}")
            position = (self.atom_x[a], self.atom_y[a], self.atom_z[a])
            if not np.all(np.isfinite(position)):
                raise MoleculeError(f"atom {a} has a non-finite position ("
                                    + ", ".join(f"{float(v):.6g}" for v in position) + ")")
        n_shells = int(self.shells_per_atom.sum(dtype=np.int64))
        for name in ("shell_l", "shell_n_prim"):
            if len(getattr(self, name)) != n_shells:
                raise MoleculeError(f"{name} has {len(getattr(self, name))} entries but "
                                    f"shells_per_atom adds up to {n_shells} shells")
        atom_of = np.repeat(np.arange(n_atoms), self.shells_per_atom)
        for s in range(n_shells):
            l = self.shell_l[s]
            if not 0 <= l <= MAX_L:
                raise MoleculeError(f"shell {s} (atom {atom_of[s]}) has l = {l}; the library "
                                    f"supports 0 <= l <= {MAX_L}")
            if self.shell_n_prim[s] < 1:
                raise MoleculeError(f"shell {s} (atom {atom_of[s]}) has "
                                    f"{self.shell_n_prim[s]} primitives; it needs at least one")
        n_prims = int(self.shell_n_prim.sum(dtype=np.int64))
        for name in ("prim_exponent", "prim_coeff"):
            if len(getattr(self, name)) != n_prims:
                raise MoleculeError(f"{name} has {len(getattr(self, name))} entries but "
                                    f"shell_n_prim adds up to {n_prims} primitives")
        bad_exp = ~(np.isfinite(self.prim_exponent) & (self.prim_exponent > 0))
        bad_coeff = ~np.isfinite(self.prim_coeff)
        if bad_exp.any() or bad_coeff.any():
            shell_of = np.repeat(np.arange(n_shells), self.shell_n_prim)
            p = int(np.flatnonzero(bad_exp | bad_coeff)[0])
            s = shell_of[p]
            what = (f"exponent {self.prim_exponent[p]}" if bad_exp[p] else
                    f"contraction coefficient {self.prim_coeff[p]}")
            raise MoleculeError(f"shell {s} (atom {atom_of[s]}, l = {self.shell_l[s]}) has "
                                f"{what} at primitive {p}; exponents must be positive and "
                                "finite, coefficients finite (in float32)")

    def _check_orbitals(self) -> None:
        n_orb, n_comp = self.mo_coeff.shape
        if n_comp != self.n_components:
            raise MoleculeError(f"mo_coeff rows have {n_comp} coefficients but the basis has "
                                f"{self.n_components} components")
        for name in ("mo_energy", "mo_occ", "mo_spin", "mo_symmetry", "mo_name"):
            if len(getattr(self, name)) != n_orb:
                raise MoleculeError(f"{name} has {len(getattr(self, name))} entries for "
                                    f"{n_orb} orbitals")
        if not np.all(np.isin(self.mo_spin, (0, 1))):
            raise MoleculeError("mo_spin must be 0 (alpha) or 1 (beta)")
        seen = set()
        for name, spin in zip(self.mo_name, self.mo_spin):
            if not name:
                continue
            if re.fullmatch(r"[+-]?\d+|(homo|lumo)\s*([+-]\s*\d+)?", name, re.IGNORECASE):
                raise MoleculeError(f"orbital name {name!r} would read as an index or as a "
                                    "name relative to the HOMO")
            if (name.lower(), int(spin)) in seen:
                raise MoleculeError(f"two orbitals of the same spin are named {name!r}")
            seen.add((name.lower(), int(spin)))
        bad = ~np.isfinite(self.mo_coeff)
        if bad.any():
            o, c = np.argwhere(bad)[0]
            raise MoleculeError(f"orbital {o} has a non-finite coefficient at component {c} "
                                "(in float32)")

    # -- orbitals ---------------------------------------------------------------
    @property
    def spin_restricted(self) -> bool:
        return not np.any(self.mo_spin == 1)

    def orbital_index(self, selector: OrbitalSelector, spin: Spin = "alpha") -> int:
        """Index (row of mo_coeff) of the orbital named by `selector`.

        `selector` is an int (0-based row index), a string holding an int, or a
        name relative to the frontier orbitals of the chosen spin: 'HOMO',
        'HOMO-1', 'LUMO', 'LUMO+2', ... (case-insensitive).  An orbital is
        occupied when its occupation exceeds 0.5.
        """
        if isinstance(selector, (int, np.integer)):
            index = int(selector)
            if index < 0:
                raise InputError("orbital", f"index {index} is negative: indices count from 0 "
                                            f"to {self.n_orbitals - 1}; name orbitals below "
                                            "the HOMO as HOMO-1, HOMO-2, ...")
            if index >= self.n_orbitals:
                raise InputError("orbital", f"index {index} is out of range: the molecule has "
                                            f"{self.n_orbitals} orbitals (0 to "
                                            f"{self.n_orbitals - 1})")
            return index
        text = str(selector).strip()
        if re.fullmatch(r"[+-]?\d+", text):
            return self.orbital_index(int(text), spin)
        spin_code = _spin_code(spin)
        named = [r for r, name in enumerate(self.mo_name) if name and name.lower() == text.lower()]
        if named:
            return next((r for r in named if self.mo_spin[r] == spin_code), named[0])
        match = re.fullmatch(r"(homo|lumo)\s*(?:([+-])\s*(\d+))?", text, re.IGNORECASE)
        if not match:
            own = [name for name in self.mo_name if name]
            raise MoleculeError(f"cannot read orbital {selector!r}: give an index or a name "
                                "such as HOMO, HOMO-1, LUMO, LUMO+1"
                                + (f", or one of the orbitals' own names ({', '.join(own[:4])}"
                                   f"{', ...' if len(own) > 4 else ''})" if own else ""))
        rows = np.flatnonzero(self.mo_spin == spin_code)
        if len(rows) == 0:
            raise MoleculeError(f"the molecule has no {('alpha', 'beta')[spin_code]} orbitals")
        occupied = rows[self.mo_occ[rows] > 0.5]
        virtual = rows[self.mo_occ[rows] <= 0.5]
        shift = int(match.group(3) or 0) * (-1 if match.group(2) == "-" else 1)
        if match.group(1).lower() == "homo":
            if len(occupied) == 0:
                raise MoleculeError("the molecule has no occupied orbital of this spin")
            ranked = occupied[np.argsort(self.mo_energy[occupied], kind="stable")]
            position = len(ranked) - 1 + shift
            if 0 <= position < len(ranked):
                return int(ranked[position])
            if shift > 0:
                return self.orbital_index(f"LUMO+{shift - 1}", spin)
        else:
            ranked = virtual[np.argsort(self.mo_energy[virtual], kind="stable")]
            position = shift
            if 0 <= position < len(ranked):
                return int(ranked[position])
            if shift < 0:
                return self.orbital_index(f"HOMO{shift + 1:+d}" if shift + 1 else "HOMO", spin)
        raise MoleculeError(f"orbital {text} does not exist: the molecule has {len(occupied)} "
                            f"occupied and {len(virtual)} virtual orbitals of this spin")

    def orbital_label(self, index: int) -> str:
        """A readable name for orbital row `index`, e.g. 'HOMO-1' or 'LUMO (beta)' (its own
        name, such as 'IP1', where it has one)."""
        spin = int(self.mo_spin[index])
        rows = np.flatnonzero(self.mo_spin == spin)
        occupied = rows[self.mo_occ[rows] > 0.5]
        virtual = rows[self.mo_occ[rows] <= 0.5]
        suffix = "" if self.spin_restricted else (" (alpha)", " (beta)")[spin]
        if self.mo_name[index]:
            return self.mo_name[index] + suffix
        if index in occupied:
            ranked = list(occupied[np.argsort(self.mo_energy[occupied], kind="stable")])
            shift = ranked.index(index) - (len(ranked) - 1)
            return ("HOMO" if shift == 0 else f"HOMO{shift}") + suffix
        ranked = list(virtual[np.argsort(self.mo_energy[virtual], kind="stable")])
        shift = ranked.index(index)
        return ("LUMO" if shift == 0 else f"LUMO+{shift}") + suffix

    def occupied_orbitals(self) -> NDArray[np.intp]:
        """Rows of all orbitals with a positive occupation."""
        return np.flatnonzero(self.mo_occ > 0)

    def __repr__(self) -> str:
        return (f"Molecule({self.title!r}: {self.n_atoms} atoms, {self.n_shells} shells, "
                f"{self.n_components} basis functions, {self.n_orbitals} orbitals)")


def _spin_code(spin: object) -> int:
    if spin in (0, 1):
        return int(spin)
    text = str(spin).strip().lower()
    if text in ("alpha", "a", "up"):
        return 0
    if text in ("beta", "b", "down"):
        return 1
    raise InputError("spin", f"must be 'alpha' or 'beta', got {spin!r}")


def orbital_rows(molecule: Molecule, orbitals: OrbitalSelection,
                 spin: Spin = "alpha") -> List[int]:
    """Row indices of `orbitals`: one selector, a list of them, or 'occupied'."""
    if isinstance(orbitals, str) and orbitals.strip().lower() == "occupied":
        rows = molecule.occupied_orbitals()
        if len(rows) == 0:
            raise MoleculeError("the molecule has no occupied orbital")
        selected = [int(r) for r in rows]
        check_selected(molecule, selected)
        return selected
    if isinstance(orbitals, (str, int, np.integer)):
        orbitals = [orbitals]
    selected = [molecule.orbital_index(o, spin) for o in orbitals]
    if not selected:
        raise InputError("orbitals", "selects no orbital")
    check_selected(molecule, selected)  # parts a file held beyond the library's basis
    return selected


def share_text(fraction: float, digits: int = 2) -> str:
    """A norm fraction for messages; rounding noise shows as '< 1e-12'."""
    return "< 1e-12" if fraction < NOTHING_LOST else f"{fraction:.{digits}g}"


def check_selected(molecule: Molecule, rows: Sequence[int]) -> None:
    """Warns with the norm fraction left out of each selected orbital and refuses
    orbitals above the molecule's threshold (molecules without a record pass)."""
    record: Optional[Conversion] = molecule.conversion
    if record is None or not record.dropped:
        return
    fraction = record.dropped_fraction[list(rows)]
    if not np.any(fraction > NOTHING_LOST):
        return  # rounding, not a loss: nothing to warn about
    names = [f"{molecule.orbital_label(r)} (row {r}): {share_text(f, 3)}"
             for r, f in zip(rows, fraction)]
    too_much = [n for n, f in zip(names, fraction) if f > record.max_dropped_fraction]
    if too_much:
        raise MoleculeError(f"{molecule.title}: the selected orbitals lose too much of their "
                            f"norm to the {record.dropped} left out ({'; '.join(too_much)}; "
                            f"threshold {record.max_dropped_fraction:g}, raise "
                            "max_dropped_fraction or --max-dropped-norm to accept)")
    warnings.warn(f"{molecule.title}: fraction of the norm left out ({record.dropped}) of the "
                  "selected orbitals: " + "; ".join(names), DroppedPartsWarning, stacklevel=3)
