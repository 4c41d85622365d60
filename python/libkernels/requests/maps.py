"""The request of `libkernels map` (and `demo`): momentum maps of chosen orbitals.

    request = MapRequest(molecule="pentacene", orbitals=["HOMO", "HOMO-1"],
                         photon_energy=35, work_function=4.5, n=201)
    maps = request.run()                   # one MomentumMap per orbital (or one summed)
    request.record(...)                    # what the command writes beside each map
    MapRequest.from_record("pentacene_HOMO.json").run()    # the same bits again

The settings are momentum_map_sum's, in the caller's units, plus the
orientation, whether the orbitals are summed, and the figure's format and
resolution.  `prepare` checks and converts them, once, into a MapSumCall
(the library's units, float32 arrays): every setting named like one of
MapSumCall's keywords is handed to it.
"""

from __future__ import annotations

import inspect
import math
import warnings
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, ClassVar, Dict, List, Optional, Sequence, Union

from ..core.errors import InputError, MapWarning
from ..core.grids import MomentumMap
from ..core.map_sum_call import (POLARISATIONS, MapSumCall, as_momentum_maps, compute_maps,
                                 idle_damping, orbital_groups, orientation_angles,
                                 undamped_dichroism, zero_map)
from ..core.memory import MemorySize, parse_size
from ..core.orientation import CONVENTION
from ..core.types import OrbitalSelection
from .base import MoleculeRequest, setting

if TYPE_CHECKING:
    from ..core.types import EnergyUnit, MomentumUnit, Polarisation, Symmetry

ENERGY = "photoelectron energy (eV)"
GRID = "momentum grid"
GEOMETRY = "orientation and symmetry"
LIGHT = "light polarisation"
OUTPUT = "output"

ORIENTATION_HELP = ("molecule orientation ALPHA BETA GAMMA in degrees (default: 0 0 0); "
                    + CONVENTION)
MAP_FORMATS = ("png", "pdf", "svg", "nc")

# orbitals by name ('HOMO', 'HOMO-1', ...) or row index: one, or several
Orbitals = OrbitalSelection


def symmetry_option(value: str) -> Optional[int]:
    """--symmetry none|2|3|4 as the library's keyword."""
    return None if value == "none" else int(value)


def polarisation_option(value: str) -> Optional[str]:
    return None if value == "none" else value


def memory_option(value: str) -> MemorySize:
    return parse_size(value, "max_memory")


def light(name: str) -> Any:
    """One of the light's settings, declared alike for maps and fits."""
    if name == "polarisation":
        return setting(None, "--polarisation", group=LIGHT,
                       choices=("none",) + tuple(POLARISATIONS), convert=polarisation_option,
                       help="weight the maps by the polarisation factor; dichroism maps are "
                            "signed and drawn with a diverging colour map (default: none)")
    if name == "incidence":
        return setting(65.0, "--incidence", group=LIGHT, type=float, metavar="DEG",
                       help="angle of incidence from the surface normal, 0-90 (default: 65)")
    if name == "azimuth":
        return setting(0.0, "--azimuth", group=LIGHT, type=float, metavar="DEG",
                       help="azimuth of the plane of incidence from kx (default: 0)")
    if name == "s_share":
        return setting(0.0, "--s-share", group=LIGHT, type=float, metavar="PERCENT",
                       help="s-polarised share for --polarisation linear, 0-100 (default: 0)")
    if name == "kz_imaginary":
        return setting(0.0, "--kz-damping", group=LIGHT, type=float, metavar="INV_ANGSTROM",
                       help="damping of the photoelectron: an imaginary part of its kz, in "
                            "1/Å (in the light's factor); circular dichroism is zero without "
                            "it (default: 0)")
    raise KeyError(name)


def threads_setting(help: str = "threads for several maps (default: all CPUs)") -> Any:
    return setting(None, "--threads", type=int, recorded=False, help=help)


def max_memory_setting() -> Any:
    return setting(None, "--max-memory", metavar="SIZE", recorded=False, convert=memory_option,
                   help="refuse requests estimated above SIZE, e.g. 4G or 500M; 0 for no limit "
                        "(default: half the available memory)")


def quiet_setting(help: str = "no progress display") -> Any:
    return setting(False, "--quiet", action="store_false", recorded=False, cli_default=True,
                   help=help)


@dataclass
class MapRequest(MoleculeRequest):
    """Momentum maps of chosen orbitals at one orientation (see the module notes)."""

    kind: ClassVar[str] = "map"

    orbitals: Orbitals = setting(
        ["HOMO"], "-O", "--orbital", action="append", metavar="ORBITAL",
        help="orbital by name (HOMO, HOMO-1, LUMO+1, ...) or 0-based index; repeat for "
             "several (default: {default})")
    weights: Optional[List[float]] = setting(
        None, "--weights", type=float, nargs="+", metavar="W",
        help="a weight for each orbital, in the order of -O: the summed map (--sum) adds "
             "them with these weights, a map of its own is scaled by its weight (default: 1)")
    kinetic_energy: Optional[Union[float, List[float]]] = setting(
        None, "--kinetic-energy", group=ENERGY, type=float, metavar="EV",
        help="kinetic energy for every orbital (overrides the photon energy)")
    photon_energy: Optional[float] = setting(
        None, "--photon-energy", group=ENERGY, type=float, metavar="EV", cli_default=35.0,
        overridden_by="kinetic_energy",
        help="photon energy; each orbital then has E_kin = photon energy - work function + "
             "orbital energy (default: 35)")
    work_function: Optional[float] = setting(
        None, "--work-function", group=ENERGY, type=float, metavar="EV", cli_default=4.5,
        overridden_by="kinetic_energy", help="work function (default: 4.5)")
    binding_energy: Optional[Union[float, List[float]]] = setting(None)
    energy_unit: EnergyUnit = setting("eV")
    k_max: float = setting(
        3.0, "--k-max", group=GRID, type=float, metavar="INV_ANGSTROM",
        help="maps span -k_max ... +k_max in kx and ky, in 1/Å (default: 3.0)")
    n: int = setting(201, "--resolution", group=GRID, type=int, metavar="N",
                     help="pixels per side (default: 201)")
    k_unit: MomentumUnit = setting("1/angstrom")
    k_min: Optional[float] = setting(None)
    k_step: Optional[float] = setting(None)
    orientation: Sequence[float] = setting(
        (0.0, 0.0, 0.0), "--orientation", group=GEOMETRY, type=float, nargs=3,
        metavar=("ALPHA", "BETA", "GAMMA"), help=ORIENTATION_HELP)
    symmetry: Symmetry = setting(
        None, "--symmetry", group=GEOMETRY, choices=("none", "2", "3", "4"),
        convert=symmetry_option,
        help="average over an n-fold rotation group with mirrors (default: none)")
    polarisation: Optional[Polarisation] = light("polarisation")
    incidence: float = light("incidence")
    azimuth: float = light("azimuth")
    s_share: float = light("s_share")
    kz_imaginary: Union[float, List[float]] = light("kz_imaginary")
    separate_orbitals: bool = setting(
        True, "--sum", group=OUTPUT, action="store_false",
        help="one map of all chosen orbitals summed, instead of one each")
    format: str = setting(
        "png", "--format", group=OUTPUT, choices=MAP_FORMATS,
        help="figure format, or nc for the data as NetCDF (labelled axes and settings, no "
             "figure); png/pdf/svg also write the data as .npy (default: png)")
    dpi: float = setting(150.0, "--dpi", group=OUTPUT, type=float,
                         help="figure resolution (default: 150)")
    threads: Optional[int] = threads_setting()
    max_memory: MemorySize = max_memory_setting()
    progress: bool = quiet_setting()

    def __post_init__(self) -> None:
        self.orientation = orientation_angles(self.orientation)
        if self.format not in MAP_FORMATS:
            raise InputError("format", f"must be one of {', '.join(MAP_FORMATS)}, got "
                                       f"{self.format!r}")
        if not (isinstance(self.dpi, (int, float)) and self.dpi > 0 and math.isfinite(self.dpi)):
            raise InputError("dpi", f"must be positive, got {self.dpi}")

    def call_options(self) -> Dict[str, Any]:
        """The settings MapSumCall takes, by its keywords."""
        return {name: getattr(self, name) for name in CALL_KEYWORDS}

    def prepare(self) -> MapSumCall:
        """The checked call in the library's units: every map setting's one check."""
        return MapSumCall(self.load_molecule(), self.orbitals, **self.call_options())

    def run(self) -> List[MomentumMap]:
        """The maps: one per orbital, or one of their (weighted) sum.  A map that
        shows nothing (zero everywhere, an undamped dichroism) gives a MapWarning."""
        call = self.prepare()
        orientation = orientation_angles(self.orientation)
        maps = compute_maps(call, [orientation], orbital_groups(call, self.separate_orbitals),
                            self.threads, self.progress)
        result = as_momentum_maps(maps, call, [orientation])[0]
        notes = [undamped_dichroism(call), idle_damping(call)] + [
            zero_map(call, m.data, m.parameters["orbitals"]) for m in result]
        for note in notes:
            if note:
                warnings.warn(note, MapWarning, stacklevel=2)
        return result


# A setting named like a keyword of MapSumCall is passed on to it: adding one to
# the call and to the request is all it takes.
CALL_KEYWORDS = tuple(
    name for name in inspect.signature(MapSumCall).parameters
    if name not in ("molecule", "orbitals")
    and name in {f.name for f in MapRequest.setting_fields()})
