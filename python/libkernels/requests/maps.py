"""The request of momentum maps: `libkernels map`, the explorer's view, a scan's maps,
`lk.momentum_map_sum`.

    request = MapRequest(molecule="pentacene", orbitals=["HOMO", "HOMO-1"],
                         photon_energy=35, work_function=4.5, n=201)
    maps = request.run()                   # a MapResult: one RecordedMap per orbital
    maps.save("out")                       # figures, .npy and the .json records
    MapRequest.from_record("out/pentacene_HOMO.json").run()    # the same bits again

The settings are momentum_map_sum's, in the caller's units, plus the
orientation, whether the orbitals are summed, and the figure's format and
resolution.  `call` is their one translation into a MapSumCall (the library's
units, float32 arrays); every front end that computes maps goes through it.
"""

from __future__ import annotations

import math
import warnings
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, ClassVar, Dict, List, Optional, Sequence, Tuple, Union

import numpy as np

from ..core.energies import Energies
from ..core.errors import InputError, MapWarning
from ..core.map_sum_call import (MapSumCall, as_momentum_maps, compute_maps, idle_damping,
                                 orbital_groups, orientation_angles, undamped_dichroism,
                                 zero_map)
from ..core.memory import MemorySize
from ..core.molecule import Molecule, orbital_rows
from ..core.orientation import CONVENTION, document
from ..core.types import OrbitalSelection
from ..formats.outputs import MAP_FORMATS, MAP_LAYOUT, MAP_UNITS
from .base import DYSON_METHOD, Inputs, MoleculeRequest, setting
from .cuts import model_on_cut
from .results import MapResult, RecordedMap, file_stem

if TYPE_CHECKING:
    from numpy.typing import ArrayLike

    from ..core.types import EnergyUnit, MomentumUnit, OrientationLike, Polarisation, Spin, \
        Symmetry

# orbitals by name ('HOMO', 'HOMO-1', ...) or row index: one, or several
Orbitals = OrbitalSelection


@dataclass(frozen=True)
class MapRequest(MoleculeRequest):
    """Momentum maps of chosen orbitals at one orientation (see the module notes)."""

    kind: ClassVar[str] = "map"
    input_files: ClassVar[Tuple[str, ...]] = ("molecule", "cut")

    orbitals: Orbitals = setting(["HOMO"])
    weights: Optional[List[float]] = setting(None)
    kinetic_energy: Optional[Union[float, List[float]]] = setting(None)
    photon_energy: Optional[float] = setting(None)
    work_function: Optional[float] = setting(None)
    binding_energy: Optional[Union[float, List[float]]] = setting(None)
    energy_unit: EnergyUnit = setting("eV")
    k_max: float = setting(3.0)
    n: int = setting(201)
    k_unit: MomentumUnit = setting("1/angstrom")
    k_min: Optional[float] = setting(None)
    k_step: Optional[float] = setting(None)
    orientation: OrientationLike = setting((0.0, 0.0, 0.0))
    symmetry: Symmetry = setting(None)
    polarisation: Optional[Polarisation] = setting(None)
    incidence: float = setting(65.0)
    azimuth: float = setting(0.0)
    s_share: float = setting(0.0)
    kz_imaginary: Union[float, List[float]] = setting(0.0)
    separate_orbitals: bool = setting(True)
    format: str = setting("png")
    dpi: float = setting(150.0)
    cut: Optional[str] = setting(None)
    threads: Optional[int] = setting(None, recorded=False)
    max_memory: MemorySize = setting(None, recorded=False)
    progress: bool = setting(True, recorded=False)

    def check(self) -> None:
        super().check()
        self._set("orientation", orientation_angles(self.orientation))
        if self.format not in MAP_FORMATS:
            raise InputError("format", f"must be one of {', '.join(MAP_FORMATS)}, got "
                                       f"{self.format!r}")
        if not (isinstance(self.dpi, (int, float)) and self.dpi > 0 and math.isfinite(self.dpi)):
            raise InputError("dpi", f"must be positive, got {self.dpi}")
        if self.cut is None:
            self.energies  # every energy checked now, before any file is read
        elif self.kinetic_energy is not None:
            raise InputError("cut", "takes each slice's kinetic energy from the cut",
                             "give {cut} without {kinetic_energy}")

    @property
    def energies(self) -> Energies:
        """The map's energies, as given."""
        if (self.kinetic_energy is None) == (self.photon_energy is None):
            raise InputError("kinetic_energy", "or photon_energy (with work_function) must be "
                                               "given, not both")
        return Energies(photon_energy=self.photon_energy, work_function=self.work_function,
                        binding_energy=None if self.kinetic_energy is not None
                        else self.binding_energy,
                        kinetic_energy=self.kinetic_energy, unit=self.energy_unit)

    def call(self, molecule: Molecule) -> MapSumCall:
        """The checked call in the library's units: the one translation of map settings.
        Dyson orbitals weigh by their pole strengths unless weights are given."""
        weights: Any = self.weights
        if weights is None and str((molecule.computation or {}).get("method", "")).lower() \
                == DYSON_METHOD:
            weights = list(molecule.mo_occ[orbital_rows(molecule, self.orbitals, self.spin)])
        return MapSumCall(molecule, self.orbitals, spin=self.spin, weights=weights,
                          energies=self.energies, k_max=self.k_max, n=self.n,
                          k_unit=self.k_unit, k_min=self.k_min, k_step=self.k_step,
                          symmetry=self.symmetry, polarisation=self.polarisation,
                          incidence=self.incidence, azimuth=self.azimuth,
                          s_share=self.s_share, kz_imaginary=self.kz_imaginary,
                          max_memory=self.max_memory)

    def prepare(self) -> MapSumCall:
        """The call, the molecule read for it."""
        return self.call(self.read_molecule(Inputs(self)))

    def run(self) -> Any:
        """The maps: one per orbital, or one of their (weighted) sum, each with its record
        (a MapResult); with `cut`, the model on the cut's points (a CutModel,
        requests/cuts.py).  A map that shows nothing (zero everywhere, an undamped
        dichroism) gives a MapWarning."""
        if self.cut is not None:
            return model_on_cut(self)
        inputs = Inputs(self)
        molecule = self.read_molecule(inputs)
        call = self.call(molecule)
        orientation = orientation_angles(self.orientation)
        maps = compute_maps(call, [orientation], orbital_groups(call, self.separate_orbitals),
                            self.threads, self.progress)
        notes = [undamped_dichroism(call), idle_damping(call)]
        result = MapResult()
        for momentum_map in as_momentum_maps(maps, call, [orientation])[0]:
            parameters = momentum_map.parameters
            notes.append(zero_map(call, momentum_map.data, parameters["orbitals"]))
            record = self.to_record(
                inputs.found, **{k: v for k, v in parameters.items() if k != "e_kin_hartree"},
                k_unit=momentum_map.unit, k_axis=momentum_map.kx, layout=MAP_LAYOUT,
                units=MAP_UNITS, orientation_convention=CONVENTION)
            result.append(RecordedMap(
                momentum_map.data, momentum_map.k_min_bohr, momentum_map.k_step_bohr,
                momentum_map.unit, parameters, record=record,
                name=file_stem(self.molecule_name, "+".join(parameters["orbitals"])),
                molecule=molecule, title=molecule.name or self.molecule_name,
                format=self.format, dpi=self.dpi))
        for note in notes:
            if note:
                warnings.warn(note, MapWarning, stacklevel=2)
        return result


@document
def momentum_map_sum(molecule: Union[Molecule, str], orbitals: Orbitals = ("HOMO",), *,
                     orientation: OrientationLike = (0.0, 0.0, 0.0), spin: Spin = "alpha",
                     weights: Optional[ArrayLike] = None,
                     kinetic_energy: Optional[ArrayLike] = None,
                     photon_energy: Optional[float] = None,
                     work_function: Optional[float] = None,
                     binding_energy: Optional[ArrayLike] = None,
                     energy_unit: EnergyUnit = "eV", k_max: float = 3.0, n: int = 201,
                     k_unit: MomentumUnit = "1/angstrom", k_min: Optional[float] = None,
                     k_step: Optional[float] = None, symmetry: Symmetry = None,
                     polarisation: Optional[Polarisation] = None, incidence: float = 65.0,
                     azimuth: float = 0.0, s_share: float = 0.0,
                     kz_imaginary: ArrayLike = 0.0,
                     max_memory: MemorySize = None) -> RecordedMap:
    """Weighted sum of symmetrised, optionally light-weighted momentum maps.

    molecule: a Molecule, or a file or example name.  Energies in `energy_unit`
    (eV): kinetic_energy (one, or one per orbital), or photon_energy with
    work_function (and binding_energy; default minus each orbital energy).  The
    map spans -k_max ... +k_max (k_unit, 1/angstrom) with n pixels per side, or
    k_min + k_step.  symmetry: None, 2, 3 or 4; polarisation: None, 'p', 's',
    'linear', 'circular+', 'circular-', 'dichroism', 'radial', with incidence
    (0-90 degrees from the surface normal), azimuth (degrees from kx), s_share
    (0-100 percent, for 'linear') and kz_imaginary (the photoelectron's damping,
    in k_unit); weights one per orbital; max_memory the memory guard's limit.
    {orientation}
    Intensities are |FT psi|^2 / pi^3 in bohr^3, summed with the weights.  The
    result carries its record: `.save(directory)` writes the figure, the numbers
    and the record, which `libkernels map --from-record` makes again.
    """
    request = MapRequest(
        molecule=molecule, orbitals=orbitals, spin=spin,
        weights=listed(weights),
        kinetic_energy=listed(kinetic_energy), photon_energy=photon_energy,
        work_function=work_function, binding_energy=listed(binding_energy),
        energy_unit=energy_unit, k_max=k_max, n=n, k_unit=k_unit, k_min=k_min, k_step=k_step,
        orientation=orientation, symmetry=symmetry, polarisation=polarisation,
        incidence=incidence, azimuth=azimuth, s_share=s_share,
        kz_imaginary=listed(kz_imaginary), separate_orbitals=False, max_memory=max_memory,
        progress=False, threads=1)
    return request.run()[0]


def listed(value: Any) -> Any:
    """A list, tuple or array as a list (as a record holds it); anything else as it is."""
    if isinstance(value, (list, tuple)) or getattr(value, "ndim", 0) > 0:
        return list(np.asarray(value, dtype=object).ravel())
    return value


__all__ = ["MapRequest", "momentum_map_sum", "Orbitals", "MapResult", "RecordedMap", "listed"]
