"""Wavefunction files read by IOData (qc-iodata), converted and checked.

IOData loads Gaussian formatted checkpoint files, wfx, wfn, Molekel, Multiwfn
and CP2K atom files into a molecular basis (shells in each format's own
component order and signs, pure or Cartesian, coefficients of L2-normalised
primitives) and orbitals.  Its component labels name the functions: 'c2',
'-s3' are the real solid harmonics with cos(m phi) or sin(m phi) (the minus
sign flips one), 'xxy' the Cartesian monomials, each normalised by itself.
The labels are turned into the monomials of basis/overlap.py's representation, and
from there the orbitals go through the same checks as a Molden file's:
orthonormality per spin under the analytic overlap, Cartesian shells reduced
to their pure part with the dropped norm measured per orbital, l >= 5 left
out, ghost atoms kept.  Corrections IOData applies to Molekel files are
reported as warnings.
"""

from __future__ import annotations

import os
import re
import warnings
from functools import lru_cache
from typing import TYPE_CHECKING, Any, List, Optional, Sequence, Tuple

import numpy as np

from ..basis.conversion import DEFAULT_MAX_DROPPED, TOLERANCE, Orbitals, Shell, \
    cartesian_scale, orthonormality_error, overlap_of, radial_weights, to_molecule
from ..basis.overlap import cartesian_powers, pure_from_cartesian
from ..core.errors import MoldenCorrectionWarning, ReadError, ReaderWarning
from ..core.extras import require
from ..core.molecule import Conversion, Molecule

if TYPE_CHECKING:
    from ..core.types import Float64Array, PathLike


@lru_cache(maxsize=None)
def angular_map(l: int, labels: Tuple[str, ...]) -> Float64Array:
    """(n_cart, n_labels) map from IOData's components of a shell to monomials,
    for radial weights from radial_weights (pure: sphere-normalised solid
    harmonics, whose columns are basis/overlap.py's m = 0, +1, -1, +2, ...;
    Cartesian: each monomial normalised by itself)."""
    powers = [tuple(p) for p in cartesian_powers(l)]
    scale = cartesian_scale(l)
    matrix = np.zeros((len(powers), len(labels)))
    for column, label in enumerate(labels):
        sign = -1.0 if label.startswith("-") else 1.0
        name = label.lstrip("-")
        harmonic = re.fullmatch(r"([cs])(\d+)", name)
        if harmonic:
            m = int(harmonic.group(2))
            index = 0 if m == 0 else 2 * m - (harmonic.group(1) == "c")
            matrix[:, column] = sign * pure_from_cartesian(l)[:, index]
        else:
            monomial = (name.count("x"), name.count("y"), name.count("z"))
            if sum(monomial) != l or set(name) - set("xyz1"):
                raise ReadError(f"unknown component {label!r} of a shell with l = {l}")
            row = powers.index(monomial)
            matrix[row, column] = sign * scale[row]
    return matrix


def _load(path: PathLike, fmt: Optional[str]) -> Tuple[Any, List[str]]:
    """IOData's reading of the file and the warnings it gave."""
    name = os.fspath(path)
    iodata = require("iodata", "formats", f"{name}: reading {fmt or 'this'} files", "IOData",
                     "or pip install qc-iodata")
    if not os.path.isfile(name):
        raise ReadError(f"{name}: no such file")
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            data = iodata.load_one(name, fmt=fmt)
        except Exception as error:  # IOData raises many kinds; each becomes one line
            raise ReadError(_load_failure(name, fmt, error)) from None
    return data, [_one_line(str(w.message), name) for w in caught]


def _load_failure(name: str, fmt: Optional[str], error: Exception) -> str:
    """One line saying why IOData could not read the file, in the file's terms."""
    cause = error.__cause__
    kind = f" as {fmt}" if fmt else ""
    if isinstance(cause, KeyError) and cause.args and isinstance(cause.args[0], str):
        return (f"{name}: the file lacks its {cause.args[0]!r} section (no basis set with "
                "orbitals?)")
    detail = _one_line(str(error), name)
    if "Uncaught exception" in detail:  # IOData's words for its own stumble
        detail = ""
    reason = _one_line(str(cause), name) if cause is not None else ""
    if reason and reason not in detail and not (isinstance(cause, KeyError)
                                               and cause.args == (None,)):
        detail = f"{detail} ({reason})" if detail else reason
    return (f"{name}: IOData cannot read it{kind}: "
            + (detail or "a section the format needs is missing or damaged"))


def _one_line(message: str, name: str) -> str:
    """IOData's message without the file name it appends, on one line."""
    message = re.sub(rf"\s*\({re.escape(name)}(:\d+)?\)", "", message)
    return " ".join(message.split())


def _orbitals(name: str, mo: Any
              ) -> Tuple[Float64Array, Float64Array, Float64Array, np.ndarray, List[str]]:
    """(coefficients (n_orbitals, n_basis), energies, occupations, spins, symmetries)."""
    if mo.kind == "restricted":
        parts = [(mo.coeffs, mo.energies, mo.occs, mo.irreps, 0)]
    elif mo.kind == "unrestricted":
        parts = [(mo.coeffsa, mo.energiesa, mo.occsa, mo.irrepsa, 0),
                 (mo.coeffsb, mo.energiesb, mo.occsb, mo.irrepsb, 1)]
    else:
        raise ReadError(f"{name}: the file holds {mo.kind} (two-component) orbitals; only "
                        "restricted and unrestricted orbitals are supported")
    coefficients: List[Float64Array] = []
    energies: List[Float64Array] = []
    occupations: List[Float64Array] = []
    spins: List[np.ndarray] = []
    symmetries: List[str] = []
    for coeffs, energy, occ, irreps, spin in parts:
        n = coeffs.shape[1]
        coefficients.append(np.asarray(coeffs, dtype=np.float64).T)
        energies.append(np.full(n, np.nan) if energy is None else np.asarray(energy, float))
        occupations.append(np.zeros(n) if occ is None else np.asarray(occ, float))
        spins.append(np.full(n, spin, dtype=np.int32))
        symmetries += [""] * n if irreps is None else [str(s) for s in irreps]
    return (np.concatenate(coefficients), np.concatenate(energies),
            np.concatenate(occupations), np.concatenate(spins), symmetries)


def representation(name: str, data: Any) -> Tuple[List[Shell], Orbitals]:
    """(shells, Orbitals) of an IOData object in basis/overlap.py's representation."""
    convert_to_segmented = require("iodata.convert", "formats", f"{name}: converting the basis",
                                   "IOData").convert_to_segmented
    if data.obasis is None or data.mo is None:
        held = [k for k in ("atcoords", "obasis", "mo") if getattr(data, k, None) is not None]
        raise ReadError(f"{name}: the file holds no basis set with orbitals (read: "
                        f"{', '.join(held) or 'nothing usable'})")
    if data.obasis.primitive_normalization != "L2":
        raise ReadError(f"{name}: the basis has {data.obasis.primitive_normalization}-"
                        "normalised primitives (a density basis), not an orbital basis")
    obasis = convert_to_segmented(data.obasis)
    coefficients, energies, occupations, spins, symmetries = _orbitals(name, data.mo)
    if coefficients.shape[1] != obasis.nbasis:
        raise ReadError(f"{name}: the orbitals have {coefficients.shape[1]} coefficients, the "
                        f"basis {obasis.nbasis} functions")
    bad = np.argwhere(~np.isfinite(coefficients))
    if len(bad):
        raise ReadError(f"{name}: orbital {bad[0][0] + 1} has a non-finite coefficient for "
                        f"basis function {bad[0][1] + 1}")
    shells: List[Shell] = []
    parts: List[Float64Array] = []
    offset = 0
    for shell in obasis.shells:
        l, kind = int(shell.angmoms[0]), str(shell.kinds[0])
        labels = tuple(obasis.conventions[(l, kind)])
        weights = radial_weights(l, kind == "p", shell.exponents, shell.coeffs[:, 0], False)
        # s and p shells have no r^2 part to leave out
        shells.append(Shell(int(shell.icenter), l, np.asarray(shell.exponents, float), weights,
                            pure=kind == "p" or l < 2))
        parts.append(coefficients[:, offset:offset + len(labels)] @ angular_map(l, labels).T)
        offset += len(labels)
    return shells, Orbitals(np.concatenate(parts, axis=1), energies, occupations, spins,
                            symmetries)


def read_with_iodata(path: PathLike, fmt: Optional[str] = None, *,
                     max_dropped_fraction: float = DEFAULT_MAX_DROPPED,
                     tolerance: float = TOLERANCE) -> Molecule:
    """Reads a wavefunction file with IOData (format `fmt`, IOData's name, or
    guessed by IOData from the file name); returns a checked Molecule."""
    name = os.fspath(path)
    data, messages = _load(name, fmt)
    return from_iodata(data, name, fmt or "", messages, max_dropped_fraction=max_dropped_fraction,
                       tolerance=tolerance)


def from_iodata(data: Any, name: str = "<iodata>", fmt: str = "", messages: Sequence[str] = (), *,
                max_dropped_fraction: float = DEFAULT_MAX_DROPPED,
                tolerance: float = TOLERANCE) -> Molecule:
    """Molecule from an IOData object, through the checks of every reader;
    `messages` are the warnings IOData gave while loading it."""
    shells, orbitals = representation(name, data)
    centres = np.asarray(data.atcoords, dtype=np.float64)
    record = Conversion(reader=f"IOData {fmt}".strip(), reading="as loaded", tolerance=tolerance,
                        max_dropped_fraction=float(max_dropped_fraction))
    error = orthonormality_error(orbitals.cartesian, overlap_of(centres, shells), orbitals.spins)
    record.error_before = record.error_after = error
    if not error <= tolerance:
        raise ReadError(f"{name}: the orbitals are not orthonormal under the overlap matrix of "
                        f"the basis as loaded (largest error {error:.2g}, tolerance "
                        f"{tolerance:g}); refusing to return wrong orbitals")
    for message in messages:
        if message.startswith("Corrected"):
            record.correction = message
            warnings.warn(f"{name}: {message} (orthonormality error now {error:.2g})",
                          MoldenCorrectionWarning, stacklevel=3)
        else:
            record.notes.append(message)
            warnings.warn(f"{name}: {message}", ReaderWarning, stacklevel=3)
    numbers = np.asarray(data.atnums, dtype=np.int32).copy()
    if data.atcorenums is not None:
        numbers[np.asarray(data.atcorenums) == 0] = 0  # ghost atoms: basis, no nucleus
    return to_molecule(name, numbers, centres, shells, orbitals, record,
                       file_title=str(getattr(data, "title", None) or ""))
