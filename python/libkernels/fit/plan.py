"""What the fit itself takes: a request's settings resolved, with the flat field it
read, into one small frozen value (the fit's requests make it, request.py)."""

from __future__ import annotations

from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Dict, Optional, Tuple

import numpy as np

from ..core.memory import MemorySize
from ..core.molecule import Molecule
from ..kspace.geometry import k_of_energy
from ..requests.maps import MapRequest
from .forward import Instrument

if TYPE_CHECKING:
    from ..core.types import BoolArray, Float64Array, Polarisation, Spin, Symmetry


@dataclass(frozen=True)
class FitPlan:
    """A fit's settings resolved for the engine (map_fit.fit_map): the orbitals (`names`),
    the start and the fitted angles (indices), the background's columns, the model's
    maps' settings (`maps_at` makes their request), the error model, the
    instrument's settings and the flat field read on the measured axes."""

    names: Tuple[str, ...]
    start: Tuple[float, float, float]
    angles: Tuple[int, ...]
    terms: Tuple[str, ...]
    spin: Spin
    symmetry: Symmetry
    polarisation: Optional[Polarisation]
    incidence: float
    azimuth: float
    s_share: float
    mirrors: bool
    k_range: Optional[Tuple[float, float]]
    error_model: str
    starts: Optional[int]
    threads: Optional[int]
    max_memory: MemorySize
    k_offset: Tuple[float, float]
    fit_k_offset: bool
    k_resolution: float
    fit_k_resolution: bool
    transmission: str
    populations: bool
    flat: Optional[Float64Array]
    model_image: bool
    progress: bool
    k_area: bool = False

    def flat_at(self, kx: Float64Array, ky: Float64Array, energy: float
                ) -> Optional[Float64Array]:
        """The response multiplying the whole model on the measured axes at kinetic
        energy `energy` (eV): the flat field, and for counts per area in k the Jacobian
        from solid angle, d2k = K kz dOmega, as K / kz (1 at normal emission; NaN
        beyond the photoemission horizon, which masks those pixels)."""
        if not self.k_area:
            return self.flat
        big_k = k_of_energy(energy)
        k2 = kx[:, None] ** 2 + ky[None, :] ** 2
        with np.errstate(invalid="ignore", divide="ignore"):
            jacobian = big_k / np.sqrt(big_k * big_k - k2)
        jacobian = np.where(k2 < big_k * big_k, jacobian, np.nan)
        return jacobian if self.flat is None else self.flat * jacobian

    @property
    def fits_instrument(self) -> bool:
        return self.fit_k_offset or self.fit_k_resolution or self.transmission != "none" or \
            self.populations

    def maps_at(self, molecule: Molecule, energy: float) -> MapRequest:
        """The request of the model's maps at kinetic energy `energy` (eV)."""
        return MapRequest(molecule=molecule, orbitals=list(self.names), spin=self.spin,
                          kinetic_energy=energy, symmetry=self.symmetry,
                          polarisation=self.polarisation, incidence=self.incidence,
                          azimuth=self.azimuth, s_share=self.s_share,
                          max_memory=self.max_memory)

    def instrument(self, used: BoolArray, values: Optional[Dict[str, Any]] = None,
                   flat: Optional[Float64Array] = None) -> Instrument:
        """The instrument model at the used pixels; with `values` (a FitResult's
        `instrument`, or {} for the settings' own values) every part fixed."""
        flat = self.flat if flat is None else flat
        instrument = Instrument(
            k_offset=self.k_offset, fit_k_offset=self.fit_k_offset,
            k_resolution=self.k_resolution, fit_k_resolution=self.fit_k_resolution,
            transmission=self.transmission,
            flat_field=None if flat is None else flat[used], populations=self.populations)
        if values is not None:
            instrument.k_offset = tuple(values.get("k_offset", instrument.k_offset))
            instrument.k_resolution = float(values.get("k_resolution", instrument.k_resolution))
            instrument.fit_k_offset = instrument.fit_k_resolution = False
            instrument.fixed_transmission = values.get("transmission")
            instrument.fixed_populations = values.get("domain_populations")
        return instrument
