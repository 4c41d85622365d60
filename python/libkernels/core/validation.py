"""Checks of user input shared by the Python functions and the command line.

Every check raises `InputError` (errors.py), a `ValueError` that knows which argument was
wrong (`name`, the Python keyword such as ``photon_energy``) and what is wrong
with it (`problem`, a phrase in the caller's units).  The Python functions
show it as ``photon_energy must be a finite number, got nan eV``; the command
line re-spells the name as its option (``--photon-energy must be ...``) through
`InputError.render`, so both front ends report the same problem in one line.

    from libkernels.core.validation import finite, positive, in_range
    e = finite(photon_energy, "photon_energy", "eV")
    share = in_range(s_share, "s_share", 0, 100, "%")
"""

from __future__ import annotations

import math
import numbers
from typing import TYPE_CHECKING, Iterable, Optional, SupportsFloat

from .errors import InputError

if TYPE_CHECKING:
    from .types import Orientation

__all__ = ["finite", "positive", "non_negative", "in_range", "count", "angles"]

def _show(value: object, unit: str) -> str:
    text = f"{value:g}" if isinstance(value, float) else str(value)
    if not unit:
        return text
    return text + ("" if unit in ("%", "°") else " ") + unit


def _number(value: object, name: str, unit: str) -> float:
    # every numbers.Real has __float__, and so does a numpy scalar
    if isinstance(value, bool) or not isinstance(value, (str, SupportsFloat)):
        raise InputError(name, f"must be a number, got {value!r}")
    try:
        number = float(value)
    except (TypeError, ValueError):
        raise InputError(name, f"must be a number, got {value!r}") from None
    if not math.isfinite(number):
        raise InputError(name, f"must be a finite number, got {_show(number, unit)}")
    return number


def finite(value: object, name: str, unit: str = "") -> float:
    """`value` as a finite float; `unit` is the caller's unit, used in the message."""
    return _number(value, name, unit)


def positive(value: object, name: str, unit: str = "", hint: str = "") -> float:
    """A finite float > 0."""
    number = _number(value, name, unit)
    if not number > 0:
        raise InputError(name, f"must be positive, got {_show(number, unit)}", hint)
    return number


def non_negative(value: object, name: str, unit: str = "") -> float:
    """A finite float >= 0."""
    number = _number(value, name, unit)
    if number < 0:
        raise InputError(name, f"must not be negative, got {_show(number, unit)}")
    return number


def in_range(value: object, name: str, low: float, high: float, unit: str = "") -> float:
    """A finite float within [low, high]."""
    number = _number(value, name, unit)
    if not low <= number <= high:
        raise InputError(name, f"must lie between {_show(float(low), unit)} and "
                               f"{_show(float(high), unit)}, got {_show(number, unit)}")
    return number


def count(value: object, name: str, minimum: int = 1, maximum: Optional[int] = None,
          what: str = "") -> int:
    """An integer >= minimum (and <= maximum); `what` names the counted things."""
    if isinstance(value, bool) or not isinstance(value, numbers.Integral):
        if isinstance(value, float) and value.is_integer():
            value = int(value)
        else:
            raise InputError(name, f"must be a whole number, got {value!r}")
    value = int(value)
    things = f" {what}" if what else ""
    if value < minimum:
        raise InputError(name, f"must be at least {minimum}{things}, got {value}")
    if maximum is not None and value > maximum:
        raise InputError(name, f"must be at most {maximum}{things}, got {value}")
    return value


def angles(values: object, name: str = "orientation") -> Orientation:
    """Three finite angles in degrees (alpha, beta, gamma)."""
    if not isinstance(values, Iterable):
        raise InputError(name, "takes three angles (alpha, beta, gamma) in degrees, "
                               f"got {values!r}")
    items = tuple(values)
    if len(items) != 3:
        raise InputError(name, "takes three angles (alpha, beta, gamma) in degrees, "
                               f"got {len(items)}")
    alpha, beta, gamma = (_number(v, name, "°") for v in items)
    return alpha, beta, gamma
