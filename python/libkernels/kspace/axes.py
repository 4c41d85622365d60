"""What the dimensions of measured data are: recognised by name and unit.

Measured data arrive with the dimension names their instrument or program
gives.  Each dimension is given a role, and its coordinate the unit of that
role (degrees, eV, 1/Å):

    phi             angle along the analyser's slit
    psi             deflector angle, perpendicular to the slit
    theta           manipulator polar angle (a polar scan), or with
                    `polar-azimuth` the emission angle from the surface normal
    beta            manipulator tilt angle (a tilt scan)
    azimuth         emission azimuth (azimuthal scans)
    kx, ky          parallel momenta (data already in momentum space)
    kinetic_energy, binding_energy
    energy_above_fermi   E - E_F in eV (negative below the Fermi level)
    photon_energy   the photon energy of a photon-energy scan (eV)

A dimension is placed by `dims` when given ({file's name: role}), else by
its name (NAMES, in any case, without spaces or underscores), else by its
unit and the type the file gives an energy (NeXus `type`, an Igor note's
energy scale).  Dimensions that cannot be placed are refused in one line that
lists the dimensions found and the option that names them.  Scalar
coordinates with a role (a manipulator angle held fixed during the scan) are
kept as fixed angles, scalar energies as the data's energy.  Coordinates must be finite and monotonic (descending
ones are turned around) and angles within +-90 degrees (azimuths excepted).

Units are never guessed.  An angle is in degrees or radians only when its
`units` say so (deg, degree, °, rad, radian, mrad; the unit in brackets of an
Igor or SES label such as `Y-Scale [deg]`), or when the caller states it
(`angle_unit`, --angle-unit), which then wins over the file and is recorded as
given.  A reader that knows its writer's convention writes the unit onto the
coordinates itself (formats/measured/: the field's xarray layout stores
radians).  An angle axis without a unit is refused in one line naming the
axis, its range and --angle-unit; so is an axis labelled in degrees whose span
is below 2 degrees while its values look like radians, and the axes of an Igor
wave without scaling (its indices), unless the caller states the unit.
Energies: an axis is kinetic, binding or E - E_F by its name, the `type`
attribute (NeXus), the label (`Kinetic Energy [eV]`) or the file's energy
scale (an SES note); under this package's own names (kinetic_energy,
binding_energy) eV is the unit when none is written.
"""

from __future__ import annotations

import math
import re
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, Dict, List, Mapping, Optional, Tuple

import numpy as np

from ..core.errors import MeasuredDataError
from ..core.measured import in_unit
from .metadata import Stated, stated as stated_metadata

if TYPE_CHECKING:
    import xarray

__all__ = ["ANGLES", "MOMENTA", "ENERGIES", "ROLES", "NAMES", "Placed", "place",
           "parse_dims", "bare_unit", "check_angle_unit", "ANGLE_UNIT_CHOICES", "ANGLE_UNITS"]

ANGLES = ("phi", "psi", "theta", "beta", "azimuth")
MOMENTA = ("kx", "ky")
ENERGIES = ("kinetic_energy", "binding_energy", "energy_above_fermi")
SCANS = ("photon_energy",)
ROLES = ANGLES + MOMENTA + ENERGIES + SCANS

# role -> names it is recognised by (compared in lower case, without spaces and _)
NAMES: Dict[str, Tuple[str, ...]] = {
    "phi": ("phi", "slit", "slitangle", "angle", "angular0", "thetax", "analyserangle",
            "analyzerangle"),
    "psi": ("psi", "deflector", "deflectorangle", "defl", "angular1", "thetay", "deflection"),
    "theta": ("theta", "polar", "polarangle"),
    "beta": ("beta", "tilt", "tiltangle"),
    "azimuth": ("azimuth", "azi", "azimuthal", "azimuthalangle", "emissionazimuth"),
    "kx": ("kx", "kparx", "kx(1/a)"),
    "ky": ("ky", "kpary", "ky(1/a)"),
    "kinetic_energy": ("kineticenergy", "ekin", "ek", "kinetic", "ke"),
    "binding_energy": ("bindingenergy", "eb", "ebin", "binding", "be"),
    "energy_above_fermi": ("ev", "eef", "e-ef", "energyrelative"),
    "photon_energy": ("hv", "photonenergy", "excitationenergy", "hn"),
}
_BY_NAME = {alias: role for role, aliases in NAMES.items() for alias in aliases}

# angle units as files write them (lower case) -> degrees per unit
ANGLE_UNITS = {**dict.fromkeys(("deg", "degree", "degrees", "°", "deg."), 1.0),
               **dict.fromkeys(("rad", "radian", "radians"), math.degrees(1.0)),
               **dict.fromkeys(("mrad", "milliradian", "milliradians"), math.degrees(1e-3))}
ANGLE_UNIT_CHOICES = ("deg", "rad")
# an axis labelled in degrees spanning less than this, with values no larger than
# a right angle in radians, is taken for radians mislabelled (unless stated)
SMALL_SPAN_DEGREES = 2.0
ANGLE_HINT = "give --angle-unit deg or rad (Python: angle_unit='deg' or 'rad')"
DIMS_HINT = ("name them with --dims NAME=ROLE (Python: dims={NAME: ROLE}); roles: "
             + ", ".join(ROLES))


def _normal(name: str) -> str:
    return re.sub(r"[\s_]", "", str(name).lower())


def _unit(attrs: Mapping[str, Any]) -> str:
    unit = attrs.get("units", attrs.get("unit", ""))
    if isinstance(unit, bytes):
        unit = unit.decode("latin-1")
    return str(unit).strip()


def bare_unit(unit: str) -> str:
    """The unit of a label such as Igor's and SES's `Kinetic Energy [eV]` (the text in
    its last brackets), else the unit itself."""
    match = re.search(r"\[([^\[\]]*)\]\s*$", unit)
    return (match.group(1) if match else unit).strip()


def check_angle_unit(value: Any) -> Optional[str]:
    """None, 'deg' or 'rad' (also degree(s), radian(s))."""
    if value is None:
        return None
    key = str(value).strip().lower()
    unit = {"deg": "deg", "degree": "deg", "degrees": "deg", "rad": "rad", "radian": "rad",
            "radians": "rad"}.get(key)
    if unit is None:
        raise MeasuredDataError(f"angle_unit: must be deg or rad, got {value!r}")
    return unit


def parse_dims(value: Any) -> Dict[str, str]:
    """{file's name: role} from a mapping, or from 'NAME=ROLE' strings (also
    comma-separated); roles checked."""
    if value is None:
        return {}
    if isinstance(value, Mapping):
        pairs = [(str(k), str(v)) for k, v in value.items()]
    else:
        items = [value] if isinstance(value, str) else list(value)
        pairs = []
        for item in items:
            for part in str(item).split(","):
                if not part.strip():
                    continue
                name, sep, role = part.partition("=")
                if not sep or not name.strip() or not role.strip():
                    raise MeasuredDataError(f"dims: {part.strip()!r} is not NAME=ROLE; "
                                            f"{DIMS_HINT}")
                pairs.append((name.strip(), role.strip()))
    for _, role in pairs:
        if role not in ROLES:
            raise MeasuredDataError(f"dims: unknown role {role!r}; roles: {', '.join(ROLES)}")
    return dict(pairs)


@dataclass
class Placed:
    """Measured data with their dimensions placed: `data` is the Dataset with each
    dimension renamed to its role (coordinates in degrees, eV or 1/Å, ascending),
    `fixed` the angles held fixed (degrees), `attrs` what the file said about
    the measurement, `found` the file's dimensions as they came."""

    data: xarray.Dataset
    fixed: Dict[str, float] = field(default_factory=dict)
    attrs: Dict[str, Any] = field(default_factory=dict)
    found: str = ""
    angle_units: Dict[str, str] = field(default_factory=dict)
    stated: Stated = field(default_factory=Stated)

    @property
    def dims(self) -> Tuple[str, ...]:
        return tuple(str(d) for d in self.data["intensity"].dims)

    def angle_dims(self) -> List[str]:
        return [d for d in self.dims if d in ANGLES]

    def energy_dim(self) -> Optional[str]:
        found = [d for d in self.dims if d in ENERGIES]
        return found[0] if found else None


def _describe(dataset: Any) -> str:
    parts = []
    for dim in dataset["intensity"].dims:
        unit = _unit(dataset[dim].attrs) if dim in dataset.coords else ""
        parts.append(f"{dim} [{unit or 'no unit'}] ({dataset.sizes[dim]})")
    return ", ".join(parts)


def _role_by_unit(name: str, attrs: Mapping[str, Any], dataset_attrs: Mapping[str, Any]
                  ) -> Optional[str]:
    """The role of a dimension named unhelpfully, from its unit (or label) and
    energy type."""
    label = _unit(attrs).lower()
    unit = bare_unit(label)
    if unit in ("ev", "mev", "kev") or _normal(name) == "energy":
        kind = str(attrs.get("type", "") or (label if "[" in label else "") or
                   dataset_attrs.get("energy_scale", "")).lower().strip()
        if kind.startswith("kin"):
            return "kinetic_energy"
        if kind.startswith("bind"):
            return "binding_energy"
    return None


def _range(values: Any) -> str:
    flat = np.asarray(values, dtype=np.float64).reshape(-1)
    return f"{flat.min():.6g} to {flat.max():.6g}" if flat.size > 1 else f"{flat[0]:.6g}"


@dataclass
class UnitNote:
    """How the unit of each angle was decided (for the record): {name: text}."""

    notes: Dict[str, str] = field(default_factory=dict)


def _angle_degrees(values: Any, unit: str, label: str, name: str, stated: Optional[str],
                   unscaled: bool, notes: UnitNote) -> Any:
    """An angle coordinate in degrees (module notes: the unit from the file or the
    caller, never guessed)."""
    values = np.asarray(values, dtype=np.float64)
    written = bare_unit(unit).lower()
    if stated is not None:
        factor = ANGLE_UNITS[stated]
        if written and written in ANGLE_UNITS and ANGLE_UNITS[written] != factor:
            notes.notes[name] = f"{stated} (given, over the file's {unit!r})"
        else:
            notes.notes[name] = f"{stated} (given)"
        return values * factor
    where = f"the angle axis {name} ({_range(values)})"
    if unscaled:
        raise MeasuredDataError(f"{label}: the Igor wave has no scaling (start 0, step 1 on "
                                f"every dimension), so {where} holds indices, not angles; "
                                f"{ANGLE_HINT} if they are, or scale the wave")
    if not written:
        raise MeasuredDataError(f"{label}: {where} states no unit, and this file's writer "
                                f"has no convention that says it; {ANGLE_HINT}")
    if written not in ANGLE_UNITS:
        raise MeasuredDataError(f"{label}: unknown unit {unit!r} of {where}; {ANGLE_HINT}")
    degrees = values * ANGLE_UNITS[written]
    if ANGLE_UNITS[written] == 1.0 and values.size > 1:
        span = float(np.ptp(values))
        if span < SMALL_SPAN_DEGREES and float(np.max(np.abs(values))) <= math.pi / 2:
            raise MeasuredDataError(
                f"{label}: {where} is labelled {unit!r} but spans only {span:.3g} degrees, as "
                f"radians would; give --angle-unit rad if they are radians, or --angle-unit "
                f"deg to confirm degrees")
    notes.notes[name] = f"{written} (the file's {unit!r})"
    return degrees


def _coordinate(values: Any, role: str, unit: str, label: str, name: str,
                stated: Optional[str] = None, unscaled: bool = False,
                notes: Optional[UnitNote] = None) -> Any:
    if role in ANGLES:
        return _angle_degrees(values, unit, label, name, stated, unscaled,
                              notes if notes is not None else UnitNote())
    values = np.asarray(values, dtype=np.float64)
    return in_unit(values, "energy" if role in ENERGIES + SCANS else "momentum", bare_unit(unit),
                   label, name)


def place(dataset: xarray.Dataset, dims: Any = None, label: str = "",
          angle_unit: Optional[str] = None) -> Placed:
    """The data with every dimension given its role (see the module notes);
    `angle_unit` ('deg' or 'rad') states the unit of every angle, over the file's."""
    label = label or str(dataset.attrs.get("source", "data"))
    given = parse_dims(dims)
    stated = check_angle_unit(angle_unit)
    notes = UnitNote()
    intensity = dataset["intensity"]
    found = _describe(dataset)
    if intensity.size == 0 or 0 in intensity.shape:
        raise MeasuredDataError(f"{label}: holds no data (dimensions {found or 'none'})")
    unknown_given = sorted(set(given) - set(map(str, dataset.coords)) - set(intensity.dims))
    if unknown_given:
        raise MeasuredDataError(f"{label}: dims names {', '.join(unknown_given)}, which the "
                                f"data do not have (dimensions: {found})")
    roles: Dict[str, str] = {}
    unplaced = []
    for dim in intensity.dims:
        name = str(dim)
        attrs = dataset[name].attrs if name in dataset.coords else {}
        role = given.get(name) or _BY_NAME.get(_normal(name)) or \
            _role_by_unit(name, attrs, dataset.attrs)
        if role is None:
            unplaced.append(name)
        else:
            roles[name] = role
    for name in unplaced:  # a reader that knows why a dimension is no angle says so
        why = dataset[name].attrs.get("not_placed") if name in dataset.coords else None
        if why:
            raise MeasuredDataError(f"{label}: the axis {name} {why}")
    if unplaced:
        raise MeasuredDataError(f"{label}: cannot tell what dimension(s) "
                                f"{', '.join(unplaced)} are (dimensions found: {found}); "
                                f"{DIMS_HINT}")
    doubled = sorted({r for r in roles.values() if list(roles.values()).count(r) > 1})
    if doubled:
        raise MeasuredDataError(f"{label}: two dimensions are {doubled[0]} (dimensions "
                                f"found: {found}); {DIMS_HINT}")
    missing = [name for name in roles if name not in dataset.coords]
    if missing:
        raise MeasuredDataError(f"{label}: dimension {missing[0]} has no coordinate values")

    fixed: Dict[str, float] = {}
    attrs = {key: value for key, value in dataset.attrs.items()}
    for key, coordinate in dataset.coords.items():
        name = str(key)
        role = given.get(name) or _BY_NAME.get(_normal(name))
        if coordinate.ndim == 0 and role in ANGLES:
            raw = float(np.asarray(coordinate.values, dtype=np.float64))
            if raw == 0.0 and not _unit(coordinate.attrs) and stated is None:
                value = 0.0  # zero in any unit
            else:
                value = float(_coordinate(coordinate.values, role, _unit(coordinate.attrs),
                                          label, name, stated, False, notes))
                if coordinate.attrs.get("units_from") and stated is None:
                    notes.notes[name] = f"{_unit(coordinate.attrs)} ({coordinate.attrs['units_from']})"
            if math.isfinite(value):
                fixed[role] = value
        elif coordinate.ndim == 0 and role == "photon_energy":
            attrs.setdefault("photon_energy", float(_coordinate(
                coordinate.values, role, _unit(coordinate.attrs), label, name)))
        elif coordinate.ndim == 0 and role in ("kinetic_energy", "binding_energy"):
            attrs.setdefault(role, float(_coordinate(coordinate.values, role,
                                                     _unit(coordinate.attrs), label, name)))

    coords: Dict[str, Any] = {}
    flips = {}
    for name, role in roles.items():
        values = _coordinate(dataset[name].values, role, _unit(dataset[name].attrs), label,
                             name, stated, bool(dataset[name].attrs.get("igor_unscaled")),
                             notes)
        if name in notes.notes and dataset[name].attrs.get("units_from") and stated is None:
            notes.notes[name] = f"{_unit(dataset[name].attrs)} ({dataset[name].attrs['units_from']})"
        if values.ndim != 1 or not np.all(np.isfinite(values)):
            raise MeasuredDataError(f"{label}: the coordinate of {name} holds NaN or infinite "
                                    "values")
        steps = np.diff(values)
        if values.size > 1 and not (np.all(steps > 0) or np.all(steps < 0)):
            raise MeasuredDataError(f"{label}: the coordinate of {name} is not monotonic (it "
                                    "must rise or fall throughout)")
        if role in ("phi", "psi", "theta", "beta") and np.max(np.abs(values)) > 90.0:
            raise MeasuredDataError(f"{label}: the angle {name} reaches "
                                    f"{values[np.argmax(np.abs(values))]:g} degrees, beyond "
                                    f"+-90 (is its unit right? {ANGLE_HINT})")
        if values.size > 1 and steps[0] < 0:
            flips[name] = slice(None, None, -1)
            values = values[::-1]
        coords[role] = (role, values, {"units": {**dict.fromkeys(ANGLES, "degree"),
                                                 **dict.fromkeys(MOMENTA, "1/angstrom")}
                                       .get(role, "eV")})
    variables = {}
    for variable in ("intensity", "sigma"):
        if variable in dataset.data_vars:
            array = dataset[variable]
            if flips:
                array = array.isel(flips)
            variables[variable] = (tuple(roles[str(d)] for d in array.dims), array.data,
                                   dict(array.attrs))
    placed_data = type(dataset)(variables, coords=coords)
    metadata = stated_metadata(dataset)
    for name in ("photon_energy", "work_function"):
        if name in metadata.values and "photon_energy" not in roles.values():
            attrs.setdefault(name, metadata.values[name])
    return Placed(placed_data, fixed, attrs, found, notes.notes, metadata)
