"""The catalogue of the field's molecules (catalogue.toml beside this file): its entries.

Each entry names a molecule, the names it is also known by, its SMILES, charge
and spin; its structure is built from the SMILES like any other (RDKit, then
GFN2-xTB), so the catalogue holds no coordinates.  `catalogue()` lists the
entries, `entry(name)` finds one by its name or an alias in any case.
"""

from __future__ import annotations

import difflib
import functools
import importlib.resources
import sys
from dataclasses import dataclass
from typing import Dict, List, Optional, Tuple

from ..core.errors import InputError, ReadError

if sys.version_info >= (3, 11):
    import tomllib
else:  # pragma: no cover - the package depends on tomli there
    import tomli as tomllib

FILE = "catalogue.toml"


@dataclass(frozen=True)
class CatalogueEntry:
    """One molecule of the catalogue."""

    name: str
    aliases: Tuple[str, ...]
    smiles: str
    formula: str
    rings: int
    charge: int
    spin: int
    description: str
    status: str = "computes"

    def names(self) -> Tuple[str, ...]:
        return (self.name,) + self.aliases


@functools.lru_cache(maxsize=1)
def _entries() -> Tuple[CatalogueEntry, ...]:
    text = importlib.resources.files(__package__).joinpath(FILE).read_text()
    try:
        table = tomllib.loads(text)
    except tomllib.TOMLDecodeError as error:
        raise ReadError(f"the catalogue {FILE} cannot be read ({error})") from None
    entries = []
    seen: Dict[str, str] = {}
    for raw in table.get("molecule", []):
        entry = CatalogueEntry(
            name=str(raw["name"]), aliases=tuple(str(a) for a in raw.get("aliases", ())),
            smiles=str(raw["smiles"]), formula=str(raw["formula"]), rings=int(raw["rings"]),
            charge=int(raw.get("charge", 0)), spin=int(raw.get("spin", 0)),
            description=str(raw.get("description", "")),
            status=str(raw.get("status", "computes")))
        for name in entry.names():
            key = name.lower()
            if key in seen:
                raise ReadError(f"the catalogue names {name!r} twice ({seen[key]} and "
                                f"{entry.name})")
            seen[key] = entry.name
        entries.append(entry)
    return tuple(entries)


def catalogue() -> List[CatalogueEntry]:
    """Every entry of the catalogue, in its order."""
    return list(_entries())


def find(name: str) -> Optional[CatalogueEntry]:
    """The entry named `name` (its name or an alias, any case), or None."""
    key = " ".join(str(name).split()).lower()
    for candidate in _entries():
        if key in (n.lower() for n in candidate.names()):
            return candidate
    return None


def close_matches(name: str, extra: Tuple[str, ...] = ()) -> List[str]:
    """Names of the catalogue (and `extra`) that `name` may have meant."""
    names = [n for e in _entries() for n in e.names()] + list(extra)
    lowered = {n.lower(): n for n in names}
    found = difflib.get_close_matches(str(name).lower(), list(lowered), n=3, cutoff=0.75)
    return list(dict.fromkeys(lowered[f] for f in found))


def entry(name: str) -> CatalogueEntry:
    """The entry named `name`; InputError naming close matches when there is none."""
    found = find(name)
    if found is None:
        hint = close_matches(name)
        raise InputError("structure", f"{name!r} is not in the catalogue (libkernels "
                                      "molecules lists it)"
                         + (f"; did you mean {' or '.join(hint)}?" if hint else ""))
    return found
