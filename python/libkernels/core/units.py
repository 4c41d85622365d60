"""Unit conversions between what users type and what the library computes in.

The library works in atomic units: positions in bohr, momenta in bohr^-1,
energies in hartree, angles in degrees.  Photoemission users think in
angstrom, inverse angstrom and electronvolt.  Every conversion in the package
goes through the two CODATA 2018 constants below, written once.
"""

from __future__ import annotations

from typing import Any, Dict, TypeVar

import numpy as np
from numpy.typing import NDArray

from .errors import InputError

#: The bohr (atomic unit of length) in ångström, CODATA 2018: lengths in bohr times
#: this are in Å, momenta in 1/bohr divided by it are in 1/Å.
BOHR_IN_ANGSTROM = 0.529177210903
#: The hartree (atomic unit of energy) in eV, CODATA 2018: orbital energies in hartree
#: (`Molecule.mo_energy`) times this are in eV.
HARTREE_IN_EV = 27.211386245988

_LENGTH = {"bohr": 1.0, "au": 1.0, "angstrom": 1.0 / BOHR_IN_ANGSTROM, "a": 1.0 / BOHR_IN_ANGSTROM}
_MOMENTUM = {"1/bohr": 1.0, "au": 1.0, "1/angstrom": BOHR_IN_ANGSTROM, "1/a": BOHR_IN_ANGSTROM}
_ENERGY = {"hartree": 1.0, "au": 1.0, "ev": 1.0 / HARTREE_IN_EV}
# the keyword that names each kind of unit in the package's functions
_KEYWORD = {"length": "unit", "momentum": "k_unit", "energy": "energy_unit"}

# A scalar or an array of them: each conversion returns what it is given.
Quantity = TypeVar("Quantity", float, NDArray[np.float64], NDArray[np.floating[Any]])


def _factor(table: Dict[str, float], unit: object, what: str) -> float:
    key = str(unit).strip().lower().replace("å", "a").replace("^-1", "").replace(" ", "")
    if key in ("a-1", "angstrom-1"):
        key = "1/angstrom"
    if key in ("bohr-1",):
        key = "1/bohr"
    try:
        return table[key]
    except KeyError:
        choices = ", ".join(sorted(table))
        raise InputError(_KEYWORD[what], f"names an unknown {what} unit {unit!r}; use one of "
                                         f"{choices}") from None


def length_to_bohr(value: Quantity, unit: str = "bohr") -> Quantity:
    """Converts a length (scalar or array) from `unit` ('bohr' or 'angstrom') to bohr."""
    return value * _factor(_LENGTH, unit, "length")


def bohr_to(value: Quantity, unit: str) -> Quantity:
    """Converts a length in bohr to `unit`."""
    return value / _factor(_LENGTH, unit, "length")


def momentum_to_bohr(value: Quantity, unit: str = "1/bohr") -> Quantity:
    """Converts a momentum from `unit` ('1/bohr' or '1/angstrom') to bohr^-1."""
    return value * _factor(_MOMENTUM, unit, "momentum")


def bohr_momentum_to(value: Quantity, unit: str) -> Quantity:
    """Converts a momentum in bohr^-1 to `unit`."""
    return value / _factor(_MOMENTUM, unit, "momentum")


def energy_to_hartree(value: Quantity, unit: str = "hartree") -> Quantity:
    """Converts an energy from `unit` ('hartree' or 'eV') to hartree."""
    return value * _factor(_ENERGY, unit, "energy")


def hartree_to(value: Quantity, unit: str) -> Quantity:
    """Converts an energy in hartree to `unit`."""
    return value / _factor(_ENERGY, unit, "energy")
