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

A dimension is placed by `dims` when given ({file's name: role}), else by
its name (NAMES, in any case, without spaces or underscores), else by its
unit and the type the file gives an energy (NeXus `type`, an Igor note's
energy scale).  Dimensions that cannot be placed are refused in one line that
lists the dimensions found and the option that names them.  Scalar
coordinates with a role (a manipulator angle held fixed during the scan) are
kept as fixed angles, scalar energies as the data's energy.  Coordinates must be finite and monotonic (descending
ones are turned around) and angles within +-90 degrees (azimuths excepted).
"""

from __future__ import annotations

import math
import re
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, Dict, List, Mapping, Optional, Tuple

import numpy as np

from ..core.errors import MeasuredDataError
from ..core.measured import in_unit

if TYPE_CHECKING:
    import xarray

__all__ = ["ANGLES", "MOMENTA", "ENERGIES", "ROLES", "NAMES", "Placed", "place",
           "parse_dims"]

ANGLES = ("phi", "psi", "theta", "beta", "azimuth")
MOMENTA = ("kx", "ky")
ENERGIES = ("kinetic_energy", "binding_energy", "energy_above_fermi")
ROLES = ANGLES + MOMENTA + ENERGIES

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
}
_BY_NAME = {alias: role for role, aliases in NAMES.items() for alias in aliases}

DEGREE_UNITS = ("deg", "degree", "degrees", "°", "")
RADIAN_UNITS = ("rad", "radian", "radians")
DIMS_HINT = ("name them with --dims NAME=ROLE (Python: dims={NAME: ROLE}); roles: "
             + ", ".join(ROLES))


def _normal(name: str) -> str:
    return re.sub(r"[\s_]", "", str(name).lower())


def _unit(attrs: Mapping[str, Any]) -> str:
    unit = attrs.get("units", attrs.get("unit", ""))
    if isinstance(unit, bytes):
        unit = unit.decode("latin-1")
    return str(unit).strip()


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
    """The role of a dimension named unhelpfully, from its unit and energy type."""
    unit = _unit(attrs).lower()
    if unit in ("ev", "mev", "kev") or _normal(name) == "energy":
        kind = str(attrs.get("type", "") or dataset_attrs.get("energy_scale", "")).lower()
        if kind.startswith("kin"):
            return "kinetic_energy"
        if kind.startswith("bind"):
            return "binding_energy"
    return None


def _coordinate(values: Any, role: str, unit: str, label: str, name: str) -> Any:
    values = np.asarray(values, dtype=np.float64)
    lower = unit.lower()
    if role in ANGLES:
        if lower in RADIAN_UNITS:
            values = np.degrees(values)
        elif lower not in DEGREE_UNITS:
            raise MeasuredDataError(f"{label}: unknown unit {unit!r} of the angle {name}; give "
                                    "deg or rad")
        return values
    return in_unit(values, "energy" if role in ENERGIES else "momentum", unit, label, name)


def place(dataset: xarray.Dataset, dims: Any = None, label: str = "") -> Placed:
    """The data with every dimension given its role (see the module notes)."""
    label = label or str(dataset.attrs.get("source", "data"))
    given = parse_dims(dims)
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
            value = float(_coordinate(coordinate.values, role, _unit(coordinate.attrs), label,
                                      name))
            if math.isfinite(value):
                fixed[role] = value
        elif coordinate.ndim == 0 and role in ("kinetic_energy", "binding_energy"):
            attrs.setdefault(role, float(_coordinate(coordinate.values, role,
                                                     _unit(coordinate.attrs), label, name)))

    coords: Dict[str, Any] = {}
    flips = {}
    for name, role in roles.items():
        values = _coordinate(dataset[name].values, role, _unit(dataset[name].attrs), label,
                             name)
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
                                    "+-90 (is its unit right? radians need units='rad')")
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
    return Placed(placed_data, fixed, attrs, found)
