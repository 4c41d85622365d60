"""Reads Molden files with pure (spherical) functions into a Molecule.

Supported: the files PySCF writes, and others written the same way: [Atoms] in
bohr (AU) or angstrom (Angs), [GTO] with s, p, sp, d, f, g shells, the flags
[5D], [5D7F], [5D10F], [7F], [9G] in any case, and [MO] with Sym=, Ene=,
Spin= and Occup= and every coefficient listed.  Contraction coefficients are
taken to multiply normalised primitives, each contraction is normalised, and
components are reordered and re-signed to the library's convention
(conventions.py).

Not supported yet, each with an error saying so: Cartesian d, f or g functions
(a file without the matching pure-function flag), shells with l > 4.
"""

import os
import re

import numpy as np

from .conventions import MOLDEN_ORDER, MOLDEN_SIGN, library_contraction, reorder_components
from .molecule import ELEMENTS, Molecule
from .units import length_to_bohr


class MoldenError(ValueError):
    """A Molden file that cannot be read correctly; the message says why."""


_SHELL_L = {"s": 0, "p": 1, "d": 2, "f": 3, "g": 4, "h": 5, "i": 6}


def _float(text, where):
    try:
        return float(text.replace("D", "E").replace("d", "e"))
    except ValueError:
        raise MoldenError(f"{where}: expected a number, found {text!r}") from None


def _int(text, where):
    try:
        return int(text)
    except ValueError:
        raise MoldenError(f"{where}: expected an integer, found {text!r}") from None


def _sections(lines, name):
    """Splits the file into {section: (options, [(line_number, text), ...])}."""
    sections = {}
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


def _read_atoms(options, body, name):
    if "ang" in options:
        unit = "angstrom"
    elif "au" in options or "bohr" in options or options == "":
        unit = "bohr"
    else:
        raise MoldenError(f"{name}: [Atoms] has unknown unit {options!r} (expected AU or Angs)")
    symbols, numbers, positions = [], [], []
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
        element = ELEMENTS.index(symbol) if symbol in ELEMENTS else z
        xyz = [_float(f, where) for f in fields[3:6]]
        if not np.all(np.isfinite(xyz)):
            raise MoldenError(f"{where}: atom {len(symbols) + 1} has a non-finite position")
        symbols.append(symbol)
        numbers.append(element)
        positions.append(xyz)
    if not positions:
        raise MoldenError(f"{name}: the [Atoms] section lists no atom")
    positions = length_to_bohr(np.array(positions, dtype=np.float64), unit)
    return np.array(numbers, dtype=np.int32), positions


def _read_gto(body, n_atoms, name):
    """Shells in file order: list of (atom, l, exponents, coefficients)."""
    shells = []
    lines = [(n, l) for n, l in body]
    i = 0
    atom = None
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
        if kind != "sp" and _SHELL_L[kind] > 4:
            raise MoldenError(f"{where}: {kind} functions (l = {_SHELL_L[kind]}) are not "
                              "supported: the library handles l <= 4")
        rows = []
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
        rows = np.array(rows, dtype=np.float64)
        if not np.all(np.isfinite(rows)) or np.any(rows[:, 0] <= 0):
            raise MoldenError(f"{where}: the {kind} shell of atom {atom + 1} has a "
                              "non-positive or non-finite exponent or coefficient")
        if kind == "sp":
            shells.append((atom, 0, rows[:, 0], rows[:, 1]))
            shells.append((atom, 1, rows[:, 0], rows[:, 2]))
        else:
            shells.append((atom, _SHELL_L[kind], rows[:, 0], rows[:, 1]))
    if not shells:
        raise MoldenError(f"{name}: the [GTO] section holds no shell")
    return shells


def _read_mo(body, n_functions, name):
    orbitals = []
    current = None

    def finish():
        if current is None:
            return
        found = current["found"]
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
            if current is None or current["coeff_started"]:
                finish()
                current = {"energy": np.nan, "occ": 0.0, "spin": 0, "sym": "",
                           "coeff": np.zeros(n_functions), "found": np.zeros(n_functions, bool),
                           "coeff_started": False}
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
        current["found"][index] = True
        current["coeff_started"] = True
    finish()
    if not orbitals:
        raise MoldenError(f"{name}: the [MO] section holds no orbital")
    return orbitals


def read_molden(path, renormalise=True):
    """Reads a Molden file with pure functions; returns a Molecule (bohr, hartree)."""
    name = os.fspath(path)
    try:
        with open(path, "r", errors="strict") as handle:
            text = handle.read()
    except (OSError, UnicodeDecodeError) as error:
        raise MoldenError(f"{name}: cannot read the file ({error})") from None
    return parse_molden(text, name=name, renormalise=renormalise)


def parse_molden(lines, name="<molden>", renormalise=True):
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
    numbers, positions = _read_atoms(*sections["atoms"], name)
    shells = _read_gto(sections["gto"][1], len(numbers), name)

    flags = set(sections)
    pure = {2: bool(flags & {"5d", "5d7f", "5d10f"}),
            3: bool(flags & {"5d", "5d7f", "7f"}),
            4: "9g" in flags}
    for l, letter, flag in ((2, "d", "[5D]"), (3, "f", "[7F]"), (4, "g", "[9G]")):
        if not pure[l] and any(shell[1] == l for shell in shells):
            raise MoldenError(f"{name}: the file uses Cartesian {letter} functions (it has no "
                              f"{flag} flag); only pure (spherical) functions are supported "
                              "so far")

    # Components in file order, then shells regrouped atom by atom (stable).
    offsets = np.cumsum([0] + [2 * s[1] + 1 for s in shells])
    n_functions = int(offsets[-1])
    order = sorted(range(len(shells)), key=lambda s: shells[s][0])
    component_order = np.concatenate([np.arange(offsets[s], offsets[s + 1]) for s in order])
    shells = [shells[s] for s in order]

    orbitals = _read_mo(sections["mo"][1], n_functions, name)
    coeff = np.array([o["coeff"] for o in orbitals])[:, component_order]
    shell_l = [s[1] for s in shells]
    coeff = reorder_components(shell_l, coeff, lambda l: MOLDEN_ORDER[l], lambda l: MOLDEN_SIGN[l])

    prim_coeff = [library_contraction(l, e, c, renormalise) for _, l, e, c in shells]
    return Molecule(
        atom_x=positions[:, 0], atom_y=positions[:, 1], atom_z=positions[:, 2],
        atomic_numbers=numbers,
        shells_per_atom=np.bincount([s[0] for s in shells], minlength=len(numbers)),
        shell_l=shell_l, shell_n_prim=[len(s[2]) for s in shells],
        prim_exponent=np.concatenate([s[2] for s in shells]),
        prim_coeff=np.concatenate(prim_coeff),
        mo_coeff=coeff,
        mo_energy=[o["energy"] for o in orbitals],
        mo_occ=[o["occ"] for o in orbitals],
        mo_spin=np.array([o["spin"] for o in orbitals], dtype=np.int32),
        title=os.path.basename(name))
