"""The photoelectron's energies, held once in the caller's unit and resolved once.

    E_kin = photon energy - work function - E_B

is the one rule (`kinetic_energy`); every command, the explorer and the fits
take it from here.  An `Energies` value keeps what the caller gave, in the
unit given (eV unless `unit` says hartree), and is converted to hartree only
where the library is called (`hartree`).  A record states each energy once,
as given (`settings`).

Where the energies come from, in order (`Energies.over`): the caller's values;
then, for what the caller left open, the ones a measured file states.  A
caller's kinetic energy stands alone; a caller's photon energy drops the
file's kinetic energy (the two would contradict), and the file fills in the
work function and binding energy (likewise when the caller gives any of
these).  An orbital's binding energy, when none is
given, is minus its orbital energy (`for_orbitals`).  `sources` says for each
energy whether it was given or read from the file, so that outputs can state
what was taken from where.
"""

from __future__ import annotations

from dataclasses import dataclass, field, replace
from typing import TYPE_CHECKING, Any, Dict, Mapping, Optional, Sequence, Tuple, Union

import numpy as np

from .errors import InputError
from .units import energy_to_hartree
from .validation import finite, non_negative, positive as positive_number

if TYPE_CHECKING:
    from numpy.typing import ArrayLike

    from .types import Float64Array

# One value, or one per orbital, map or slice (as held, and as given).
Values = Union[float, Tuple[float, ...]]
EnergyLike = Union[float, Sequence[float], "ArrayLike"]

NAMES = ("photon_energy", "work_function", "binding_energy", "kinetic_energy",
         "inner_potential")
GIVEN, FILE = "given", "file"


def kinetic_energy(photon_energy: Any, work_function: Any, binding_energy: Any) -> Any:
    """The kinetic energy of the photoelectron: photon energy - work function -
    binding energy (numbers or arrays, in one unit)."""
    return photon_energy - work_function - binding_energy


def binding_energy(photon_energy: Any, work_function: Any, kinetic: Any) -> Any:
    """The binding energy of a photoelectron of kinetic energy `kinetic`: the same rule
    solved for E_B (it reads alike)."""
    return kinetic_energy(photon_energy, work_function, kinetic)


def unit_text(unit: str) -> str:
    """How an energy unit is written in messages and records ('eV', 'hartree')."""
    energy_to_hartree(1.0, unit)  # an unknown unit fails here
    return "eV" if str(unit).strip().lower() == "ev" else str(unit)


def _values(value: Any, name: str, unit: str, positive: bool = False) -> Optional[Values]:
    """None, one number, or a tuple of numbers (a list, array or tuple given)."""
    check = positive_number if positive else finite
    if value is None:
        return None
    if isinstance(value, (list, tuple, np.ndarray)):
        flat = np.asarray(value, dtype=object).ravel()
        if flat.size == 0:
            raise InputError(name, "is an empty list")
        return tuple(check(v, name, unit) for v in flat)
    return check(value, name, unit)


@dataclass(frozen=True)
class Energies:
    """Photon energy, work function, binding and kinetic energies (one value, or one per
    orbital, map or slice) and the inner potential, in `unit`, as given; checked on
    construction (finite; kinetic and photon energies positive, the work function and
    inner potential not negative)."""

    photon_energy: Optional[float] = None
    work_function: Optional[float] = None
    binding_energy: Optional[EnergyLike] = None
    kinetic_energy: Optional[EnergyLike] = None
    inner_potential: Optional[float] = None
    unit: str = "eV"
    sources: Mapping[str, str] = field(default_factory=dict, compare=False)

    def __post_init__(self) -> None:
        unit = unit_text(self.unit)
        checked: Dict[str, Any] = {
            "photon_energy": None if self.photon_energy is None else positive_number(
                self.photon_energy, "photon_energy", unit),
            "work_function": None if self.work_function is None else non_negative(
                self.work_function, "work_function", unit),
            "binding_energy": _values(self.binding_energy, "binding_energy", unit),
            "kinetic_energy": _values(self.kinetic_energy, "kinetic_energy", unit, True),
            "inner_potential": None if self.inner_potential is None else non_negative(
                self.inner_potential, "inner_potential", unit)}
        for name, value in checked.items():
            object.__setattr__(self, name, value)
        object.__setattr__(self, "unit", unit)
        if not self.sources:
            object.__setattr__(self, "sources", {name: GIVEN for name in NAMES
                                                 if getattr(self, name) is not None})

    @classmethod
    def stated(cls, values: Mapping[str, Any], unit: str = "eV") -> "Energies":
        """The energies a file states (the names it uses here, None or absent where it
        states none), each marked as read from the file."""
        given = {name: values.get(name) for name in NAMES if values.get(name) is not None}
        return cls(**given, unit=unit, sources={name: FILE for name in given})

    # ---- what is known -------------------------------------------------------------------

    @property
    def given(self) -> bool:
        """Whether any energy is known."""
        return any(getattr(self, name) is not None for name in NAMES[:4])

    def over(self, stated: "Energies") -> "Energies":
        """These energies, completed by those a file states where these leave them open
        (see the module notes)."""
        if stated.unit != self.unit:
            raise InputError("energy_unit", f"the file's energies are in {stated.unit}, the "
                                            f"caller's in {self.unit}")
        if self.kinetic_energy is not None:
            return self
        taken = {}
        for name in NAMES:
            if getattr(self, name) is None and getattr(stated, name) is not None:
                if name == "kinetic_energy" and self.given:
                    continue  # the caller's photon energy (or binding energy) decides
                taken[name] = getattr(stated, name)
        if not taken:
            return self
        sources = {**self.sources, **{name: stated.sources.get(name, FILE) for name in taken}}
        return replace(self, **taken, sources=sources)

    def conflicts(self, stated: "Energies") -> Dict[str, Tuple[Any, Any]]:
        """{name: (given, stated)} where the caller's value differs from the file's."""
        found = {}
        for name in NAMES:
            mine, theirs = getattr(self, name), getattr(stated, name)
            if mine is not None and theirs is not None and mine != theirs \
                    and self.sources.get(name) == GIVEN:
                found[name] = (mine, theirs)
        return found

    # ---- the rule --------------------------------------------------------------------------

    def kinetic(self, count: int = 1, default_binding: Optional[ArrayLike] = None,
                what: str = "the orbitals") -> Float64Array:
        """The kinetic energy of each of `count` photoelectrons (orbitals, maps or slices)
        in this unit: the given kinetic energy, or photon energy - work function -
        binding energy, the binding energy given (or `default_binding`)."""
        if self.kinetic_energy is not None:
            return self._per(self.kinetic_energy, "kinetic_energy", count)
        if self.photon_energy is None:
            raise InputError("kinetic_energy", "or photon_energy (with work_function) must be "
                                               "given")
        if self.work_function is None:
            raise InputError("work_function", "must be given with photon_energy")
        binding = self.binding(count, default_binding, what)
        return np.asarray(kinetic_energy(self.photon_energy, self.work_function, binding),
                          dtype=np.float64)

    def binding(self, count: int = 1, default: Optional[ArrayLike] = None,
                what: str = "the orbitals") -> Float64Array:
        """Each binding energy in this unit: given, else `default` (NaN where unknown)."""
        if self.binding_energy is not None:
            return self._per(self.binding_energy, "binding_energy", count)
        if default is None:
            raise InputError("binding_energy", f"is missing: photon_energy needs the binding "
                                               f"energy of {what} (E_kin = photon energy - "
                                               "work function - binding energy)")
        values = np.broadcast_to(np.asarray(default, dtype=np.float64), (count,))
        if not np.all(np.isfinite(values)):
            raise InputError("binding_energy", f"is needed: {what} have no energies",
                             "or give {kinetic_energy}")
        return np.array(values)

    def known_binding(self, count: int = 1,
                      default: Optional[ArrayLike] = None) -> Optional[Float64Array]:
        """Each binding energy as far as it is known (None when nothing tells): given,
        `default`, or photon energy - work function - kinetic energy."""
        if self.kinetic_energy is None:
            return self.binding(count, default) if self.binding_energy is not None or \
                default is not None else None
        if self.photon_energy is not None and self.work_function is not None:
            return np.asarray(binding_energy(self.photon_energy, self.work_function,
                                             self._per(self.kinetic_energy, "kinetic_energy",
                                                       count)), dtype=np.float64)
        if default is not None:
            return np.broadcast_to(np.asarray(default, dtype=np.float64), (count,)).copy()
        return None

    def hartree(self, values: ArrayLike) -> Float64Array:
        """`values` of this unit in hartree: the library's unit, used only at its call."""
        return np.asarray(energy_to_hartree(np.asarray(values, dtype=np.float64), self.unit),
                          dtype=np.float64)

    def in_unit(self, hartree: ArrayLike) -> Float64Array:
        """Hartree values in this unit."""
        return np.asarray(hartree, dtype=np.float64) / float(energy_to_hartree(1.0, self.unit))

    def _per(self, value: EnergyLike, name: str, count: int) -> Float64Array:
        values = np.atleast_1d(np.asarray(value, dtype=np.float64))
        if values.size not in (1, count):
            raise InputError(name, f"needs one value or one per orbital ({count}), got "
                                   f"{values.size}")
        return np.broadcast_to(values, (count,)).copy()

    # ---- the record ------------------------------------------------------------------------

    def settings(self) -> Dict[str, Any]:
        """Each energy known, once, as given (lists for several values)."""
        values: Dict[str, Any] = {}
        for name in NAMES:
            value = getattr(self, name)
            if value is not None:
                values[name] = list(value) if isinstance(value, tuple) else value
        return values

    def provenance(self) -> Dict[str, str]:
        """{energy: 'given' or 'file'} for each energy known."""
        return {name: self.sources.get(name, GIVEN) for name in NAMES
                if getattr(self, name) is not None}


def per_orbital(values: Optional[Sequence[float]]) -> Optional[Values]:
    """A list of energies as an Energies field takes it (one value stays one)."""
    if values is None:
        return None
    items = tuple(float(v) for v in values)
    return items[0] if len(items) == 1 else items
