"""What the page may ask for, checked field by field, and the computations it asks for.

Every request body is a JSON object of settings.  `parse_settings` accepts only
the fields listed in FIELDS, each of its type and within its range, and raises
RequestError (a one-line message naming the field) for anything else: unknown
fields, wrong types, non-finite numbers, out-of-range values, unknown
molecules or orbitals.  Strings are only ever compared with fixed choices or
used as dictionary keys; none of them reaches the file system.

A map is computed as steps, one orbital each (`map_steps`), so that the
server's scheduler can serve other pages between them: summed in orbital
order they give the bits of one call of the library (core/interrupt.py).
"""

from __future__ import annotations

import math
from typing import (TYPE_CHECKING, Any, Callable, Dict, Generator, List, Mapping, Optional,
                    Sequence, Tuple, Union)

import numpy as np

from ..core.errors import InputError, MemoryLimitError, RequestError
from ..core.grids import Grid
from ..core.kernels import scalar_field
from ..core.map_sum_call import FINAL_STATES, POLARISATIONS, MapCall, map_notes
from ..final_state.iac import CONTINUA
from ..requests.maps import MapRequest
from ..core.units import BOHR_IN_ANGSTROM, bohr_momentum_to
from ..core.validation import count, in_range, positive

if TYPE_CHECKING:
    from ..core.molecule import Molecule
    from ..core.types import Float32Array
    from .molecules import Entry

MAX_RESOLUTION = 1001  # pixels per side of a map: 4 MB of float32
MAX_ORBITALS = 16  # orbitals summed in one map
MAX_PLANE_POINTS = 400 * 400  # real-space view
MAX_ANGLE = 180.0  # degrees either way: the sliders' range, and the typed angles'
MAX_KZ_DAMPING = 10.0  # 1/Å
ANGLE_NAMES = ("alpha", "beta", "gamma")
SYMMETRIES = ("none", "2", "3", "4")
POLARISATION_CHOICES = ("none",) + tuple(POLARISATIONS)
ENERGY_MODES = ("photon", "kinetic")

# The checked settings of a request, by field name (FIELDS), plus the molecule's
# key and its orbitals as [[row, weight], ...].
Settings = Dict[str, Any]


def _number(name: str, value: object, low: float, high: float, *, integer: bool = False,
            low_open: bool = False, unit: str = "") -> float:
    # JSON true/false are ints to Python, and strings are not numbers here; the
    # rest is checked as the command line checks it.
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise RequestError(f"{name} must be a number, got {_show(value)}")
    try:
        if integer:
            return count(value, name, int(low), int(high))
        if low_open:
            positive(value, name, unit)
        return in_range(value, name, low, high, unit)
    except InputError as error:
        raise RequestError(str(error)) from None


def _choice(name: str, value: object, choices: Sequence[str]) -> str:
    if not isinstance(value, str) or value not in choices:
        raise RequestError(f"{name} must be one of {', '.join(choices)}, got {_show(value)}")
    return value


def _flag(name: str, value: object) -> bool:
    if not isinstance(value, bool):
        raise RequestError(f"{name} must be true or false, got {_show(value)}")
    return value


def limits() -> Dict[str, float]:
    """The largest values the controls offer, by the names the page's parts know them by."""
    return {"resolution": MAX_RESOLUTION, "orbitals": MAX_ORBITALS, "angle": MAX_ANGLE,
            "kz_damping": MAX_KZ_DAMPING}


def json_ready(value: Any) -> Any:
    """`value` with NaN and infinities as None: JSON has no words for them."""
    if isinstance(value, float):
        return value if np.isfinite(value) else None
    if isinstance(value, dict):
        return {k: json_ready(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [json_ready(v) for v in value]
    return value


def _show(value: object) -> str:
    text = repr(value)
    return text if len(text) <= 40 else text[:37] + "..."


# name: (default, check).  A check turns the JSON value into the setting or raises.
FIELDS: Dict[str, Tuple[Any, Optional[Callable[[Any], Any]]]] = {
    "molecule": (None, None),  # checked against the loaded molecules
    "orbitals": (None, None),  # checked against the molecule
    "orientation": ([0.0, 0.0, 0.0], None),
    "energy_mode": ("photon", lambda v: _choice("energy_mode", v, ENERGY_MODES)),
    "photon_energy": (35.0, lambda v: _number("photon_energy", v, 0, 10000, low_open=True,
                                              unit="eV")),
    "work_function": (4.5, lambda v: _number("work_function", v, 0, 100, unit="eV")),
    "kinetic_energy": (30.0, lambda v: _number("kinetic_energy", v, 0, 10000, low_open=True,
                                               unit="eV")),
    "symmetry": ("none", lambda v: _choice("symmetry", v, SYMMETRIES)),
    "polarisation": ("none", lambda v: _choice("polarisation", v, POLARISATION_CHOICES)),
    "incidence": (65.0, lambda v: _number("incidence", v, 0, 90, unit="°")),
    "azimuth": (0.0, lambda v: _number("azimuth", v, -360, 360, unit="°")),
    "s_share": (0.0, lambda v: _number("s_share", v, 0, 100, unit="%")),
    "kz_damping": (0.0, lambda v: _number("kz_damping", v, 0, MAX_KZ_DAMPING, unit="1/Å")),
    "dichroism": (False, lambda v: _flag("dichroism", v)),
    "final_state": ("plane-wave", lambda v: _choice("final_state", v, FINAL_STATES)),
    "continuum": ("atomic", lambda v: _choice("continuum", v, CONTINUA)),
    "k_max": (3.0, lambda v: _number("k_max", v, 0, 20, low_open=True, unit="1/Å")),
    "resolution": (201, lambda v: _number("resolution", v, 2, MAX_RESOLUTION, integer=True)),
    "plane_height": (0.5, lambda v: _number("plane_height", v, -20, 20, unit="Å")),
    "plane_orbital": (None, None),  # an orbital row, checked against the molecule
    "seq": (0, lambda v: _number("seq", v, 0, 2**53, integer=True)),
    "client": ("", None),
}

CLIENT_CHARS = set("abcdefghijklmnopqrstuvwxyz0123456789")


def parse_settings(body: object, molecules: Mapping[str, Entry]) -> Tuple[Settings, Entry]:
    """Checks a decoded JSON body; returns (settings dict, molecule entry)."""
    if not isinstance(body, dict):
        raise RequestError("the request body must be a JSON object of settings")
    unknown = sorted(set(body) - set(FIELDS))
    if unknown:
        raise RequestError(f"unknown setting {_show(unknown[0])}")
    settings: Settings = {}
    for field, (default, check) in FIELDS.items():
        if check is None:
            continue
        value = body.get(field, default)
        settings[field] = check(value)

    name = body.get("molecule")
    if not isinstance(name, str) or name not in molecules:
        raise RequestError(f"molecule must be one of {', '.join(molecules)}, got {_show(name)}",
                           404 if isinstance(name, str) else 400)
    entry = molecules[name]
    settings["molecule"] = name

    orientation = body.get("orientation", [0.0, 0.0, 0.0])
    if not isinstance(orientation, list) or len(orientation) != 3:
        raise RequestError("orientation must be a list of three angles in degrees")
    settings["orientation"] = [_angle(name, v) for name, v in zip(ANGLE_NAMES, orientation)]

    client = body.get("client", "")
    if not isinstance(client, str) or len(client) > 32 or not set(client) <= CLIENT_CHARS:
        raise RequestError("client must be up to 32 lower-case letters and digits")
    settings["client"] = client

    settings["orbitals"] = _orbitals(body.get("orbitals"), entry.molecule)
    plane = body.get("plane_orbital", settings["orbitals"][0][0])
    settings["plane_orbital"] = _orbital_row("plane_orbital", plane, entry.molecule)
    return settings, entry


def _angle(name: str, value: object) -> float:
    try:
        return _number(name, value, -MAX_ANGLE, MAX_ANGLE, unit="°")
    except RequestError as error:  # "alpha (orientation) must ...": the page marks the field
        raise RequestError(str(error).replace(name, f"{name} (orientation)", 1)) from None


def _orbital_row(name: str, value: object, molecule: Molecule) -> int:
    return int(_number(name, value, 0, molecule.n_orbitals - 1, integer=True))


def _orbitals(value: object, molecule: Molecule) -> List[List[Union[int, float]]]:
    """[[row, weight], ...] from a list of {"index": row, "weight": w}."""
    if not isinstance(value, list) or not value:
        raise RequestError("orbitals must be a non-empty list of {index, weight}")
    if len(value) > MAX_ORBITALS:
        raise RequestError(f"at most {MAX_ORBITALS} orbitals can be summed, got {len(value)}")
    rows: List[List[Union[int, float]]] = []
    for i, item in enumerate(value):
        if not isinstance(item, dict) or set(item) - {"index", "weight"} or "index" not in item:
            raise RequestError(f"orbitals[{i}] must be an object {{index, weight}}")
        row = _orbital_row(f"orbitals[{i}].index", item["index"], molecule)
        weight = _number(f"orbitals[{i}].weight", item.get("weight", 1.0), -1e15, 1e15)
        if any(row == r for r, _ in rows):
            raise RequestError(f"orbital {row} is listed twice")
        rows.append([row, weight])
    return rows


def map_request(settings: Settings, entry: Entry) -> MapRequest:
    """The page's map as a map request: the settings every front end makes maps from."""
    kinetic = settings["energy_mode"] == "kinetic"
    return MapRequest(
        molecule=entry.molecule, orbitals=[r for r, _ in settings["orbitals"]],
        weights=[w for _, w in settings["orbitals"]],
        kinetic_energy=settings["kinetic_energy"] if kinetic else None,
        photon_energy=None if kinetic else settings["photon_energy"],
        work_function=None if kinetic else settings["work_function"],
        k_max=settings["k_max"], n=settings["resolution"],
        orientation=tuple(settings["orientation"]),
        symmetry=None if settings["symmetry"] == "none" else int(settings["symmetry"]),
        polarisation=None if settings["polarisation"] == "none" else settings["polarisation"],
        incidence=settings["incidence"], azimuth=settings["azimuth"],
        s_share=settings["s_share"], kz_imaginary=settings["kz_damping"],
        dichroism=settings["dichroism"], final_state=settings["final_state"],
        continuum=settings["continuum"], separate_orbitals=False, max_memory=entry.max_memory)


def prepare_map(settings: Settings, entry: Entry) -> MapCall:
    """The prepared call for the settings; library refusals become RequestErrors."""
    try:
        call = map_request(settings, entry).call(entry.molecule)
        call.check_memory(1)
        return call
    except MemoryLimitError as error:
        raise RequestError(str(error).splitlines()[0], 413) from None
    except ValueError as error:
        raise RequestError(str(error).splitlines()[0]) from None


def map_steps(settings: Settings, entry: Entry
              ) -> Generator[None, None, Tuple[Float32Array, Dict[str, Any], MapCall]]:
    """The map of compute_map, one orbital per step (the scheduler's unit of work); the
    dichroism's asymmetry, a ratio of sums, in one step."""
    call = prepare_map(settings, entry)
    orientation = tuple(settings["orientation"])
    if len(call.rows) == 1 or settings["dichroism"]:
        data = call.run(orientation)
    else:
        data = np.zeros((call.n, call.n), dtype=np.float32)
        part = np.empty_like(data)
        for position in range(len(call.rows)):
            # the library's sum, one orbital at a time: the same additions in the same order
            data += call.run(orientation, rows=[position], out=part)
            if position + 1 < len(call.rows):
                yield
    return data, map_info(settings, call, data), call


def map_info(settings: Settings, call: MapCall, data: Float32Array) -> Dict[str, Any]:
    """What the page shows about a map besides its numbers."""
    k_step = float(bohr_momentum_to(call.k_step, "1/angstrom"))
    k_min = float(bohr_momentum_to(call.k_min, "1/angstrom"))
    low, high = float(np.min(data)), float(np.max(data))
    return {"n": call.n, "k_min": k_min, "k_step": k_step,
            "radius": float(bohr_momentum_to(np.sqrt(2.0 * np.max(call.e_kin)), "1/angstrom")),
            "e_kin_ev": list(call.parameters["kinetic_energy"]),
            "binding_ev": call.parameters.get("binding_energy"),
            "orbitals": call.parameters["orbitals"], "min": low, "max": high,
            "signed": settings["polarisation"] == "dichroism" or settings["dichroism"],
            "final_state": call.final_state,
            "notes": map_notes(call, data)}


def compute_map(settings: Settings,
                entry: Entry) -> Tuple[Float32Array, Dict[str, Any], MapCall]:
    """(float32 map of shape (n, n), information for the page, the prepared call)."""
    steps = map_steps(settings, entry)
    while True:
        try:
            next(steps)
        except StopIteration as stop:
            return stop.value


def plane_view(settings: Settings, entry: Entry) -> Tuple[Float32Array, Dict[str, Any]]:
    """The orbital `plane_orbital` on the plane through the molecule at `plane_height`.

    The plane is perpendicular to the coordinate axis of the molecule's own frame
    closest to the normal of its best-fitting plane (z for a flat molecule in
    the xy plane), at that height in Å above the molecule's centre.
    """
    molecule = entry.molecule
    axis = entry.normal_axis
    across = [a for a in range(3) if a != axis]
    positions = molecule.positions.astype(np.float64) * BOHR_IN_ANGSTROM
    low = positions[:, across].min(axis=0) - 3.0
    high = positions[:, across].max(axis=0) + 3.0
    step = max(0.05, float(np.max(high - low)) / 300)
    counts = np.floor((high - low) / step).astype(int) + 1
    if int(np.prod(counts)) > MAX_PLANE_POINTS:
        raise RequestError("the molecule is too large for the real-space view")
    origin = [0.0, 0.0, 0.0]
    shape = [1, 1, 1]
    for a, lo, count in zip(across, low, counts):
        origin[a] = lo / BOHR_IN_ANGSTROM
        shape[a] = int(count)
    origin[axis] = (entry.centre[axis] + settings["plane_height"]) / BOHR_IN_ANGSTROM
    grid = Grid((origin[0], origin[1], origin[2]), step / BOHR_IN_ANGSTROM,
                (shape[0], shape[1], shape[2]), "real")
    try:
        field = scalar_field(molecule, settings["plane_orbital"], grid=grid)
    except ValueError as error:
        raise RequestError(str(error).splitlines()[0]) from None
    # Field data are (nz, ny, nx); keep the two in-plane axes as (rows = second, cols = first).
    data = np.ascontiguousarray(field.data.reshape([shape[2], shape[1], shape[0]]).squeeze(
        axis=2 - axis), dtype=np.float32)
    info = {"axes": ["xyz"[a] for a in across], "normal": "xyz"[axis],
            "origin": [float(v - entry.centre[a]) for v, a in zip(low, across)], "step": step,
            "shape": [int(v) for v in data.shape], "height": settings["plane_height"],
            "orbital": molecule.orbital_label(settings["plane_orbital"]),
            "max_abs": float(np.max(np.abs(data)))}
    return data, info
