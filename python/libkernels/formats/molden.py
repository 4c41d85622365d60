"""Reads Molden files into a Molecule.

Read: [Atoms] in bohr (AU) or angstrom (Angs), [GTO] with s, p, sp, d, f, g,
h, i shells, the flags [5D], [5D7F], [5D10F], [7F], [9G] in any case (l >= 5
follows [9G] when the orbitals' coefficient count agrees), and [MO] with Sym=,
Ene=, Spin= and Occup=.  Other sections ([Title], [Molpro variables],
[SCFCONV], a repeated [Molden Format], ...) are skipped; an atom with nuclear
charge 0 is a ghost (atomic number 0, basis kept).

The numbers are then checked and converted by molden_checks.py: orbitals must
be orthonormal under the basis' overlap matrix, known deviations of the
writing programs are corrected with a warning, files nothing explains are
refused, and what the library cannot hold (r^2 parts of Cartesian shells,
l >= 5) is left out with the norm fraction it carried.
"""

from __future__ import annotations

import os
import re
from typing import TYPE_CHECKING, Dict, Iterable, List, Optional, Set, Tuple, Union

import numpy as np

from ..basis.conversion import DEFAULT_MAX_DROPPED, TOLERANCE
from ..core.errors import MoldenError
from ..core.molecule import ELEMENTS, Molecule
from ..core.types import Float64Array
from ..core.units import length_to_bohr
from .molden_checks import convert

if TYPE_CHECKING:
    from ..core.types import Int32Array, PathLike
    from .molden_checks import FileOrbital, FileShell

# A section's lines: (line number in the file, stripped text).
Lines = List[Tuple[int, str]]
# A shell as [GTO] lists it, before the flags say pure or Cartesian:
# (atom, l, exponents, coefficients).
GtoShell = Tuple[int, int, Float64Array, Float64Array]


_LETTERS = "spdfghi"
_SHELL_L = {letter: l for l, letter in enumerate(_LETTERS)}


def _float(text: str, where: str) -> float:
    try:
        return float(text.replace("D", "E").replace("d", "e"))
    except ValueError:
        raise MoldenError(f"{where}: expected a number, found {text!r}") from None


def _int(text: str, where: str) -> int:
    try:
        return int(text)
    except ValueError:
        raise MoldenError(f"{where}: expected an integer, found {text!r}") from None


def _sections(lines: Iterable[str], name: str) -> Dict[str, Tuple[str, Lines]]:
    """Splits the file into {section: (options, [(line_number, text), ...])}."""
    sections: Dict[str, Tuple[str, Lines]] = {}
    current = None
    for number, raw in enumerate(lines, start=1):
        line = raw.strip()
        match = re.match(r"\[([^\]]*)\](.*)", line)
        if match:
            current = match.group(1).strip().lower()
            sections.setdefault(current, (match.group(2).strip().lower(), []))
            continue
        if current is not None:
            sections[current][1].append((number, line))
    if "molden format" not in sections:
        raise MoldenError(f"{name}: not a Molden file (no [Molden Format] line)")
    for required in ("atoms", "gto", "mo"):
        if required not in sections:
            raise MoldenError(f"{name}: no [{required.upper() if required != 'atoms' else 'Atoms'}]"
                              " section (truncated or incomplete file?)")
    return sections


def _read_atoms(options: str, body: Lines, name: str) -> Tuple[Int32Array, Float64Array]:
    if "ang" in options:
        unit = "angstrom"
    elif "au" in options or "bohr" in options or options == "":
        unit = "bohr"
    else:
        raise MoldenError(f"{name}: [Atoms] has unknown unit {options!r} (expected AU or Angs)")
    symbols: List[str] = []
    numbers: List[int] = []
    positions: List[List[float]] = []
    for number, line in body:
        if not line:
            continue
        fields = line.split()
        where = f"{name}, line {number}"
        if len(fields) < 6:
            raise MoldenError(f"{where}: an atom line needs 'symbol index Z x y z', "
                              f"found {line!r}")
        z = _int(fields[2], where)
        symbol = fields[0].capitalize()
        # nuclear charge 0 marks a ghost atom: its basis functions stay, it has no nucleus
        element = 0 if z == 0 else ELEMENTS.index(symbol) if symbol in ELEMENTS else z
        xyz = [_float(f, where) for f in fields[3:6]]
        if not np.all(np.isfinite(xyz)):
            raise MoldenError(f"{where}: atom {len(symbols) + 1} has a non-finite position")
        symbols.append(symbol)
        numbers.append(element)
        positions.append(xyz)
    if not positions:
        raise MoldenError(f"{name}: the [Atoms] section lists no atom")
    return (np.array(numbers, dtype=np.int32),
            length_to_bohr(np.array(positions, dtype=np.float64), unit))


def _read_gto(body: Lines, n_atoms: int, name: str) -> List[GtoShell]:
    """Shells in file order: list of (atom, l, exponents, coefficients)."""
    shells: List[GtoShell] = []
    lines = [(n, l) for n, l in body]
    i = 0
    atom: Optional[int] = None
    while i < len(lines):
        number, line = lines[i]
        i += 1
        fields = line.split()
        where = f"{name}, line {number}"
        if not fields:
            atom = None
            continue
        if atom is None:
            atom = _int(fields[0], where) - 1
            if not 0 <= atom < n_atoms:
                raise MoldenError(f"{where}: basis given for atom {atom + 1}, but [Atoms] "
                                  f"lists {n_atoms} atoms")
            continue
        kind = fields[0].lower()
        if kind not in _SHELL_L and kind != "sp":
            if re.fullmatch(r"\d+", fields[0]) and len(fields) <= 2:
                atom = _int(fields[0], where) - 1  # next atom without a blank line
                if not 0 <= atom < n_atoms:
                    raise MoldenError(f"{where}: basis given for atom {atom + 1}, but "
                                      f"[Atoms] lists {n_atoms} atoms")
                continue
            raise MoldenError(f"{where}: unknown shell type {fields[0]!r}")
        if len(fields) < 2:
            raise MoldenError(f"{where}: a shell line needs 'type n_primitives', found {line!r}")
        n_prim = _int(fields[1], where)
        if n_prim < 1:
            raise MoldenError(f"{where}: a shell needs at least one primitive")
        rows: List[List[float]] = []
        for _ in range(n_prim):
            if i >= len(lines) or not lines[i][1] or lines[i][1][0].isalpha():
                raise MoldenError(f"{where}: the {kind} shell announces {n_prim} primitives "
                                  f"but lists {len(rows)} (truncated file?)")
            pnum, pline = lines[i]
            i += 1
            pfields = pline.split()
            pwhere = f"{name}, line {pnum}"
            need = 3 if kind == "sp" else 2
            if len(pfields) < need:
                raise MoldenError(f"{pwhere}: a primitive line needs 'exponent coefficient"
                                  f"{' coefficient' if kind == 'sp' else ''}', found {pline!r}")
            rows.append([_float(f, pwhere) for f in pfields[:need]])
        table = np.array(rows, dtype=np.float64)
        if not np.all(np.isfinite(table)) or np.any(table[:, 0] <= 0):
            raise MoldenError(f"{where}: the {kind} shell of atom {atom + 1} has a "
                              "non-positive or non-finite exponent or coefficient")
        if kind == "sp":
            shells.append((atom, 0, table[:, 0], table[:, 1]))
            shells.append((atom, 1, table[:, 0], table[:, 2]))
        else:
            shells.append((atom, _SHELL_L[kind], table[:, 0], table[:, 1]))
    if not shells:
        raise MoldenError(f"{name}: the [GTO] section holds no shell")
    return shells


def _read_mo(body: Lines, n_functions: int, name: str) -> List[FileOrbital]:
    orbitals: List[FileOrbital] = []
    current: Optional[FileOrbital] = None
    found = np.zeros(n_functions, bool)  # the current orbital's coefficients read so far
    coeff_started = False

    def finish() -> None:
        if current is None:
            return
        if not found.all():
            missing = int(np.count_nonzero(~found))
            raise MoldenError(f"{name}: orbital {len(orbitals) + 1} lacks {missing} of its "
                              f"{n_functions} coefficients (truncated file?)")
        orbitals.append(current)

    for number, line in body:
        if not line:
            continue
        where = f"{name}, line {number}"
        if "=" in line:
            key, _, value = line.partition("=")
            key = key.strip().lower()
            if current is None or coeff_started:
                finish()
                current = {"energy": np.nan, "occ": 0.0, "spin": 0, "sym": "",
                           "coeff": np.zeros(n_functions)}
                found = np.zeros(n_functions, bool)
                coeff_started = False
            value = value.strip()
            if key == "ene":
                current["energy"] = _float(value, where)
            elif key == "occup":
                current["occ"] = _float(value, where)
            elif key == "spin":
                if value.lower() not in ("alpha", "beta"):
                    raise MoldenError(f"{where}: Spin must be Alpha or Beta, found {value!r}")
                current["spin"] = 0 if value.lower() == "alpha" else 1
            elif key == "sym":
                current["sym"] = value
            continue
        fields = line.split()
        if current is None:
            raise MoldenError(f"{where}: coefficient line before any orbital header")
        if len(fields) != 2:
            raise MoldenError(f"{where}: expected 'index coefficient', found {line!r}")
        index = _int(fields[0], where) - 1
        if not 0 <= index < n_functions:
            raise MoldenError(f"{where}: coefficient index {index + 1} outside the "
                              f"{n_functions} basis functions of [GTO]")
        current["coeff"][index] = _float(fields[1], where)
        found[index] = True
        coeff_started = True
    finish()
    if not orbitals:
        raise MoldenError(f"{name}: the [MO] section holds no orbital")
    return orbitals


def read_molden(path: PathLike, renormalise: bool = True,
                max_dropped_fraction: float = DEFAULT_MAX_DROPPED, check: bool = True,
                tolerance: float = TOLERANCE) -> Molecule:
    """Reads a Molden file; returns a Molecule (bohr, hartree).

    The orbitals are checked for orthonormality and corrected for the known
    deviations of the writing programs (molden_checks.py); what was done is on
    the returned molecule's `conversion`.  Parts of the orbitals the library
    cannot hold (the r^2 parts of Cartesian shells, l >= 5) are left out with a
    warning; an orbital losing more than `max_dropped_fraction` of its norm
    cannot be selected.  `tolerance` bounds |C S C^T - 1|; `check=False`
    skips the check and its corrections (the orbitals are then taken as
    written).
    """
    name = os.fspath(path)
    try:
        with open(path, "r", errors="strict") as handle:
            text = handle.read()
    except (OSError, UnicodeDecodeError) as error:
        raise MoldenError(f"{name}: cannot read the file ({error})") from None
    return parse_molden(text, name=name, renormalise=renormalise,
                        max_dropped_fraction=max_dropped_fraction, check=check,
                        tolerance=tolerance)


def parse_molden(lines: Union[str, Iterable[str]], name: str = "<molden>",
                 renormalise: bool = True, max_dropped_fraction: float = DEFAULT_MAX_DROPPED,
                 check: bool = True, tolerance: float = TOLERANCE) -> Molecule:
    """Like read_molden, from the text of a file (or its lines)."""
    if isinstance(lines, str):
        text = lines
        lines = text.splitlines()
        if lines and lines[-1].strip() and not text.endswith("\n") and \
                not lines[-1].lstrip().startswith("["):
            # A file cut short mostly ends inside a number, which would still
            # parse (as a wrong value): insist on the final line break.
            raise MoldenError(f"{name}: the last line has no line break; the file seems "
                              "truncated")
    sections = _sections(lines, name)
    atom_options, atom_lines = sections["atoms"]
    numbers, positions = _read_atoms(atom_options, atom_lines, name)
    gto_shells = _read_gto(sections["gto"][1], len(numbers), name)

    pure = _pure_flags(set(sections), gto_shells, sections["mo"][1], name)
    shells: List[FileShell] = [(atom, l, e, c, pure[l]) for atom, l, e, c in gto_shells]
    n_functions = sum(2 * l + 1 if p else (l + 1) * (l + 2) // 2 for _, l, _, _, p in shells)
    orbitals = _read_mo(sections["mo"][1], n_functions, name)
    no_title: Tuple[str, Lines] = ("", [])
    title = " ".join(line for _, line in sections.get("title", no_title)[1])
    return convert(name, numbers, positions, shells, orbitals, renormalise=renormalise,
                   max_dropped_fraction=max_dropped_fraction, check=check, title=title,
                   tolerance=tolerance)


def _pure_flags(flags: Set[str], shells: List[GtoShell], mo_body: Lines,
                name: str) -> Dict[int, bool]:
    """Pure (True) or Cartesian (False) for every l, from the flags of the file.

    [5D] means pure d and f, [5D10F] pure d only, [7F] pure f, [9G] pure g.
    The format has no flag for l >= 5: those follow [9G] when the number of
    coefficients per orbital agrees, else they are taken as Cartesian.
    """
    pure = {0: True, 1: True,
            2: bool(flags & {"5d", "5d7f", "5d10f"}),
            3: bool(flags & {"5d", "5d7f", "7f"}),
            4: "9g" in flags}
    high = sorted({l for _, l, _, _ in shells if l >= 5})
    for l in high:
        pure[l] = pure[4]

    def count(kinds: Dict[int, bool]) -> int:
        return sum(2 * l + 1 if kinds[l] else (l + 1) * (l + 2) // 2 for _, l, _, _ in shells)

    written = _first_orbital_size(mo_body)
    if high and written != count(pure):
        other = dict(pure)
        other.update({l: not pure[4] for l in high})
        if count(other) == written:
            pure = other
    if written is not None and count(pure) != written:
        kinds = ", ".join(f"{'pure' if pure[l] else 'Cartesian'} {_LETTERS[l]}"
                          for l in sorted({s[1] for s in shells}))
        raise MoldenError(f"{name}: the first orbital lists {written} coefficients, but [GTO] "
                          f"describes {count(pure)} basis functions ({kinds}); the counts "
                          "disagree")
    return pure


def _first_orbital_size(body: Lines) -> Optional[int]:
    """Largest coefficient index of the first orbital in [MO], or None."""
    largest: Optional[int] = None
    started = False
    for _, line in body:
        if "=" in line:
            if started:
                break
            continue
        fields = line.split()
        if len(fields) == 2 and re.fullmatch(r"\d+", fields[0]):
            started = True
            largest = max(largest or 0, int(fields[0]))
    return largest
