"""The IAC final state as the map machinery's call: what `MapRequest.call` returns for
final_state "iac".

`IACMapSumCall` takes a map request's settings in the caller's units, as
MapSumCall does (energies, grid, symmetry, light), and answers what
compute_maps, as_momentum_maps, the scans, the explorer and the fit ask of a
prepared call (core/map_sum_call.py MapCall): run(orientation, rows=, out=)
into float32 maps, n, k_min_bohr, k_step_bohr, k_unit, e_kin, parameters and
check_memory.  The light enters the amplitude through its vector eps
(light.py): "dichroism" is I_left - I_right (the plane wave's name for left
minus right), and `dichroism=True` the asymmetry (I_left - I_right) /
(I_left + I_right).  Symmetry averages the maps of the molecule's domains on
the surface, each turned (and, with mirrors, mirrored) as a whole with the
light fixed: the plane wave's symmetrisation of |psi~|^2 before its light
factor is the same average, exact where that factor does not depend on the
molecule (the free continuum).
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any, Dict, List, Mapping, Optional, Sequence, Tuple, Union

import numpy as np

from ..core.energies import Energies
from ..core.errors import InputError
from ..core.map_sum_call import (CIRCULAR_POLARISATIONS, POLARISATIONS, BohrGridNames,
                                 checked_molecule, checked_out, energy_parameters, given_energies,
                                 helicity_asymmetry, light_modes, light_parameters,
                                 momentum_grid,
                                 orbital_energies, symmetry_mode)
from ..core.memory import check
from ..core.molecule import ELEMENTS, Molecule, orbital_rows
from ..core.orientation import document
from ..core.validation import finite, in_range
from .iac import (CONTINUA, PIXEL_CHUNK, IACMapCall, PartialWaveBasis, PartialWaves,
                  domain_matrices)
from .light import Light

if TYPE_CHECKING:
    from numpy.typing import ArrayLike

    from ..core.types import (EnergyUnit, Float32Array, Float64Array, MemorySize,
                              MomentumUnit, OrbitalSelection, OrientationLike, Polarisation,
                              Spin, Symmetry)

# A record's partial waves: "C 2" -> [amplitude, phase in radians]
PartialWaveSettings = Dict[str, List[float]]

FOLDS = {-1: 1, 0: 4, 1: 2, 2: 3}  # symmetry_mode -> fold


def channel_name(channel: Tuple[str, int]) -> str:
    """("C", 2) as "C 2", the spelling of records and the command line."""
    return f"{channel[0]} {channel[1]}"


def parse_channel(text: object, name: str = "partial_waves") -> Tuple[str, int]:
    """("C", 2) from "C 2" (or "C2", "c 2", ("C", 2)); InputError otherwise."""
    if isinstance(text, (tuple, list)) and len(text) == 2:
        symbol, degree = str(text[0]), str(text[1])
    else:
        spelt = str(text).strip()
        digits = spelt.lstrip("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz ")
        symbol, degree = spelt[:len(spelt) - len(digits)].strip(), digits.strip()
    symbol = symbol.capitalize()
    if symbol not in ELEMENTS[1:] or not degree.isdigit():
        raise InputError(name, f"names a channel as 'element l'' (e.g. 'C 2'), got {text!r}")
    return symbol, int(degree)


def partial_wave_settings(value: object) -> Optional[PartialWaveSettings]:
    """Partial waves in their one recorded form, {"C 2": [amplitude, phase], ...} sorted by
    channel, from that form, a PartialWaves, or [(channel, amplitude, phase), ...]; None
    stays None."""
    if value is None:
        return None
    found: Dict[Tuple[str, int], List[float]] = {}
    if isinstance(value, PartialWaves):
        for key in sorted(set(value.amplitude) | set(value.phase)):
            found[key] = [float(value.amplitude.get(key, 1.0)), float(value.phase.get(key, 0.0))]
    elif isinstance(value, Mapping):
        for key, pair in value.items():
            if not (isinstance(pair, (list, tuple)) and len(pair) == 2):
                raise InputError("partial_waves", f"gives each channel [amplitude, phase]; "
                                                  f"{key!r} has {pair!r}")
            found[parse_channel(key)] = [finite(pair[0], "partial_waves"),
                                         finite(pair[1], "partial_waves", "rad")]
    elif isinstance(value, (list, tuple)):
        for entry in value:
            if not (isinstance(entry, (list, tuple)) and len(entry) == 3):
                raise InputError("partial_waves", f"lists (channel, amplitude, phase); got "
                                                  f"{entry!r}")
            found[parse_channel(entry[0])] = [finite(entry[1], "partial_waves"),
                                              finite(entry[2], "partial_waves", "rad")]
    else:
        raise InputError("partial_waves", f"must be {{'C 2': [amplitude, phase], ...}}, got "
                                          f"{value!r}")
    for key, (amplitude, _) in found.items():
        if amplitude < 0:
            raise InputError("partial_waves", f"amplitude of {channel_name(key)} must be >= 0 "
                                              f"(a sign is a phase of pi), got {amplitude:g}")
    return {channel_name(key): found[key] for key in sorted(found, key=lambda k: (
        ELEMENTS.index(k[0]), k[1]))}


def fitted_channels_setting(value: object) -> Union[bool, str, List[str]]:
    """Which partial waves a fit fits, in its one recorded form: False (none), "auto"
    (every channel carrying a share of the model's intensity, relative to the largest)
    or a list of channels ("C 0", ...) relative to those not named."""
    if value is None or value is False:
        return False
    if value is True or (isinstance(value, str) and value.strip().lower() in ("auto", "")):
        return "auto"
    if isinstance(value, (list, tuple)) and not value:
        return "auto"
    entries = str(value).replace(",", ";").split(";") if isinstance(value, str) else value
    if not isinstance(entries, (list, tuple)):
        raise InputError("fit_partial_waves", f"must be true, 'auto' or channels such as "
                                              f"['C 0', 'C 2'], got {value!r}")
    named = [parse_channel(e, "fit_partial_waves") for e in entries if str(e).strip()]
    unique = sorted(set(named), key=lambda k: (ELEMENTS.index(k[0]), k[1]))
    return [channel_name(c) for c in unique] or "auto"


def partial_waves_of(settings: Optional[PartialWaveSettings]) -> PartialWaves:
    """The PartialWaves of the recorded form (None: the model's own waves)."""
    if not settings:
        return PartialWaves()
    channels = [parse_channel(key) for key in settings]
    return PartialWaves({c: v[0] for c, v in zip(channels, settings.values())},
                        {c: v[1] for c, v in zip(channels, settings.values())})


def iac_light(polarisation: Optional[Polarisation], incidence: float, azimuth: float,
              s_share: float, dichroism: bool) -> Light:
    """The light of an IAC map request; the helicities come from its geometry for
    "dichroism" and the asymmetry."""
    if polarisation in (None, "none"):
        if not dichroism:
            raise InputError("polarisation", "is needed by the IAC final state, where the "
                                             "light enters the amplitude: give p, s, linear, "
                                             "circular-left, circular-right, dichroism or "
                                             "radial")
        name = "circular-"
    else:
        name = str(polarisation).strip().lower()
        if name not in POLARISATIONS:
            raise InputError("polarisation", f"must be one of none, {', '.join(POLARISATIONS)}; "
                                             f"got {polarisation!r}")
        if dichroism and name not in CIRCULAR_POLARISATIONS:
            raise InputError("polarisation", f"must be circular (or none) for the dichroism "
                                             f"asymmetry, got {polarisation!r}")
        if name == "dichroism":
            name = "circular-"
    return Light(name, incidence, azimuth, s_share)


class IACMapSumCall(BohrGridNames):
    """A prepared IAC map in the map machinery's interface (see the module notes).

    The keywords are MapSumCall's (but kz_imaginary: the IAC model has no damping)
    and `continuum` ("atomic" or "free"), `partial_waves` (their recorded form or a
    PartialWaves), `dichroism` (the asymmetry instead of one light's map) and
    `mirrors` (the domains' mirror images with symmetry).  `call` is the IACMapCall
    underneath.
    """

    final_state = "iac"

    def __init__(self, molecule: Molecule, orbitals: OrbitalSelection = ("HOMO",), *,
                 spin: Spin = "alpha", weights: Optional[ArrayLike] = None,
                 kinetic_energy: Optional[ArrayLike] = None,
                 photon_energy: Optional[float] = None, work_function: Optional[float] = None,
                 binding_energy: Optional[ArrayLike] = None, energy_unit: EnergyUnit = "eV",
                 k_max: float = 3.0, n: int = 201, k_unit: MomentumUnit = "1/angstrom",
                 k_min: Optional[float] = None, k_step: Optional[float] = None,
                 symmetry: Symmetry = None, polarisation: Optional[Polarisation] = None,
                 incidence: float = 65.0, azimuth: float = 0.0, s_share: float = 0.0,
                 continuum: str = "atomic",
                 partial_waves: Union[None, PartialWaves, PartialWaveSettings] = None,
                 dichroism: bool = False, mirrors: bool = True,
                 max_memory: MemorySize = None, energies: Optional[Energies] = None) -> None:
        self.molecule = checked_molecule(molecule)
        self.rows = orbital_rows(molecule, orbitals, spin)
        self.energies = given_energies(
            energies, kinetic_energy=kinetic_energy, photon_energy=photon_energy,
            work_function=work_function, binding_energy=binding_energy,
            energy_unit=energy_unit)
        e_kin, binding = orbital_energies(molecule, self.rows, self.energies)
        # hartree here, rounded to the float32 the plane-wave call hands the library, so
        # that the two models see the same photoelectron
        self.e_kin = np.ascontiguousarray(self.energies.hartree(e_kin), dtype=np.float32)
        if weights is not None:
            weights = [finite(w, "weights") for w in np.atleast_1d(
                np.asarray(weights, dtype=object)).ravel()]
            if len(weights) not in (1, len(self.rows)):
                raise InputError("weights", f"needs one value or one per orbital "
                                            f"({len(self.rows)}), got {len(weights)}")
        self.weights = None if weights is None else np.ascontiguousarray(
            np.broadcast_to(np.asarray(weights, dtype=np.float32), (len(self.rows),)))
        self.n, self.k_min_bohr, self.k_step_bohr = momentum_grid(k_max, n, k_unit, k_min,
                                                                  k_step)
        self.k_unit = k_unit
        self.max_memory = max_memory
        self.continuum = str(continuum).strip().lower()
        if self.continuum not in CONTINUA:
            raise InputError("continuum", f"must be one of {', '.join(CONTINUA)}, got "
                                          f"{continuum!r}")
        self.dichroism = bool(dichroism)
        self.mirrors = bool(mirrors)
        incidence = in_range(incidence, "incidence", 0, 90, "°")
        azimuth = finite(azimuth, "azimuth", "°")
        share = in_range(s_share, "s_share", 0, 100, "%")
        light = iac_light(polarisation, incidence, azimuth, share, self.dichroism)
        modes = light_modes(polarisation, share)  # the s share as the plane wave records it
        recorded_share = 0.0 if modes is None else modes[2]
        self.helicities = self.dichroism or polarisation == "dichroism"
        mode = symmetry_mode(symmetry)
        self.fold = FOLDS[mode]
        self.domains = None if mode == -1 else domain_matrices(self.fold, self.mirrors)
        self.partial_wave_settings = partial_wave_settings(partial_waves)
        waves = partial_waves if isinstance(partial_waves, PartialWaves) else \
            partial_waves_of(self.partial_wave_settings)
        self.check_memory(1)
        self.call = IACMapCall(
            molecule, self.rows, kinetic_energy_hartree=self.e_kin.astype(np.float64),
            grid=(self.n, self.k_min_bohr, self.k_step_bohr), light=light,
            continuum=self.continuum, partial_waves=waves,
            weights=None if self.weights is None else self.weights.astype(np.float64),
            max_memory=max_memory)
        unknown = sorted((set(waves.amplitude) | set(waves.phase)) - set(self.call.channels))
        if unknown:
            known = ", ".join(map(channel_name, self.call.channels))
            raise InputError("partial_waves", f"names {', '.join(map(channel_name, unknown))}, "
                                              f"not among this map's channels ({known})")
        iac = self.call.parameters
        self.parameters: Dict[str, Any] = {
            "orbitals": [molecule.orbital_label(r) for r in self.rows],
            **energy_parameters(self.energies, e_kin, binding, self.e_kin),
            **light_parameters(symmetry, polarisation, incidence, azimuth, recorded_share),
            "weights": None if self.weights is None else [float(w) for w in self.weights],
            "final_state": "iac", "continuum": self.continuum,
            "potential": iac["potential"], "continuum_method": iac["continuum_method"],
            "channels": [channel_name(c) for c in self.call.channels],
            "partial_waves": self.partial_wave_settings or {}}
        if self.fold > 1 and not self.mirrors:
            self.parameters["mirrors"] = False
        if self.dichroism:
            self.parameters["dichroism"] = True

    def check_memory(self, maps: int, calls_in_flight: int = 1) -> None:
        """Refuses (MemoryLimitError) when `maps` results plus each call's scratch (its
        float64 map, pixels' momenta and one block of amplitudes, twice for the
        helicities) exceed the limit."""
        per_call = self.n * self.n * 44 + PIXEL_CHUNK * 64 * 4 * 8
        if self.helicities:
            per_call *= 2
        check(self.n * self.n * 4 * maps + per_call * calls_in_flight,
              f"{maps} IAC map{'s' if maps != 1 else ''} of {self.n} x {self.n} pixels",
              "lower {n}", self.max_memory)

    @document
    def run(self, orientation: OrientationLike = (0.0, 0.0, 0.0),
            rows: Optional[Sequence[int]] = None,
            out: Optional[Float32Array] = None) -> Float32Array:
        """The IAC map of the selected orbitals (or of the subset `rows`, positions into
        self.rows), domains averaged; float32.

    {orientation}
        `out`: an (n, n) C-contiguous float32 array to write into (returned).
        """
        out = checked_out(out, self.n)
        out[...] = self.maps(orientation, rows)
        return out

    @property
    def channels(self) -> List[str]:
        """The map's partial-wave channels, "C 2" for carbon's l' = 2, in the order of
        the partial-wave basis."""
        return [channel_name(c) for c in self.call.channels]

    def channel_values(self) -> Tuple[Float64Array, Float64Array]:
        """(amplitudes, phases) of every channel as this call applies them: 1 and 0 but
        where `partial_waves` says otherwise."""
        waves = self.call.partial_waves
        return (np.array([waves.amplitude.get(c, 1.0) for c in self.call.channels]),
                np.array([waves.phase.get(c, 0.0) for c in self.call.channels]))

    def channel_phases(self) -> Optional[Float64Array]:
        """arg((-i)^l' e^{i delta}) of every channel, the model's own phase of its waves;
        None when the orbitals have several kinetic energies."""
        if len(self.call.groups) != 1:
            return None
        return np.angle(self.call.groups[0].base_factor)

    @document
    def basis(self, orientation: OrientationLike = (0.0, 0.0, 0.0),
              domains: Optional[Sequence[Float64Array]] = None) -> PartialWaveBasis:
        """Each channel's amplitudes at `orientation`, domains averaged (the call's own, or
        `domains`): the maps for any amplitudes and phases at one matrix product each
        (PartialWaveBasis.orbital_intensities).  Not for the dichroism.

    {orientation}
        """
        if self.helicities:
            raise InputError("dichroism", "has no partial-wave basis (a difference or ratio "
                                          "of two lights' maps)")
        return self.call.partial_wave_basis(orientation,
                                            domains=self.domains if domains is None else domains)

    @document
    def maps(self, orientation: OrientationLike = (0.0, 0.0, 0.0),
             rows: Optional[Sequence[int]] = None,
             partial_waves: Optional[PartialWaves] = None,
             domains: Optional[Sequence[Float64Array]] = None) -> np.ndarray:
        """The map as run makes it, with other `partial_waves` or `domains` (the call's
        own when None; a list of domain matrices replaces them).

    {orientation}
        """
        chosen = self.domains if domains is None else domains
        if not self.helicities:
            return self.call.run(orientation, partial_waves, rows=rows, domains=chosen)
        left, right = self.call.helicity_maps(orientation, partial_waves, rows, chosen)
        if self.dichroism:
            return helicity_asymmetry(left, right)
        return left - right


__all__ = ["IACMapSumCall", "channel_name", "parse_channel", "partial_wave_settings",
           "fitted_channels_setting",
           "partial_waves_of", "PartialWaveSettings"]
