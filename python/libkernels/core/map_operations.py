"""Operations on finished momentum maps: the light's polarisation factor, rotation,
mirroring, symmetrisation and normalisation.

Each takes a MomentumMap (or, except polarisation_factor, a plain square array)
and returns a new one; the input is never changed.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any, TypeVar, Union

import numpy as np
from numpy.typing import NDArray

from . import library
from .errors import InputError
from .grids import MomentumMap, unit_text
from .energies import unit_text as energy_unit_text
from .map_sum_call import light_modes, light_parameters, symmetry_mode
from .units import energy_to_hartree, momentum_to_bohr
from .validation import finite, in_range, positive

if TYPE_CHECKING:
    from numpy.typing import ArrayLike

    from .types import EnergyUnit, Float32Array, Polarisation, Symmetry


def polarisation_factor(momentum_map: MomentumMap, *, polarisation: Polarisation = "p",
                        kinetic_energy: float, energy_unit: EnergyUnit = "eV",
                        incidence: float = 65.0, azimuth: float = 0.0, s_share: float = 0.0,
                        kz_imaginary: float = 0.0) -> MomentumMap:
    """A new MomentumMap: `momentum_map` times the light-polarisation factor.

    incidence: 0-90 degrees from the surface normal; azimuth: degrees from kx;
    s_share: 0-100 percent (for 'linear'); kinetic_energy in `energy_unit`.
    """
    if not isinstance(momentum_map, MomentumMap):
        raise TypeError("polarisation_factor needs a MomentumMap (it carries the k grid)")
    light = light_modes(polarisation, s_share)
    if light is None:
        raise InputError("polarisation", "is needed by polarisation_factor")
    mode, circular, share = light
    unit = energy_unit_text(energy_unit)
    e_kin = float(energy_to_hartree(positive(kinetic_energy, "kinetic_energy", unit),
                                    energy_unit))
    incidence = in_range(incidence, "incidence", 0, 90, "°")
    azimuth = finite(azimuth, "azimuth", "°")
    kz = float(momentum_to_bohr(finite(kz_imaginary, "kz_imaginary",
                                       unit_text(momentum_map.unit)), momentum_map.unit))
    data = np.array(momentum_map.data, dtype=np.float32, order="C")
    library.function("polarisation_factor")(
        data.shape[0], mode, circular, data, e_kin, momentum_map.k_min_bohr,
        momentum_map.k_step_bohr, incidence, azimuth, share, kz)
    return momentum_map.with_data(data, **light_parameters(
        momentum_map.parameters.get("symmetry"), polarisation, incidence, azimuth, share))


# ---- rotation, mirrors, symmetrisation, normalisation ---------------------------

# Each operation returns a new map of the kind it is given: a MomentumMap (with
# its axes and request) for a MomentumMap, a float32 array for a square array.
SquareMap = TypeVar("SquareMap", MomentumMap, NDArray[Any])


def _square_map(momentum_map: Union[MomentumMap, ArrayLike]) -> Float32Array:
    data = momentum_map.data if isinstance(momentum_map, MomentumMap) else momentum_map
    data = np.asarray(data)
    if data.ndim != 2 or data.shape[0] != data.shape[1]:
        raise InputError("momentum_map", f"must be square (n, n), got shape {data.shape}")
    if data.dtype.kind not in "iuf":
        raise InputError("momentum_map", f"must hold real numbers, got dtype {data.dtype}")
    return np.array(data, dtype=np.float32, order="C")


def _like(momentum_map: SquareMap, data: Float32Array, **parameters: Any) -> SquareMap:
    if isinstance(momentum_map, MomentumMap):
        return momentum_map.with_data(data, **parameters)
    return data


def rotation(momentum_map: SquareMap, angle: float) -> SquareMap:
    """The map turned by `angle` degrees about its centre (a new map).

    Positive angles turn the picture counter-clockwise as drawn (kx to the right,
    ky up): the content moves from the kx axis towards the ky axis.  A map made
    at orientation (alpha, 0, 0) equals rotation(map at (0, 0, 0), -alpha).
    """
    data = _square_map(momentum_map)
    n = data.shape[0]
    angle = finite(angle, "angle", "°")
    pointer = library.function("rotation")(n, data, angle)
    return _like(momentum_map, library.take_malloced_map(pointer, n), rotated_deg=angle)


def flip_over_x(momentum_map: SquareMap) -> SquareMap:
    """The map with its rows (kx) in reverse order (a new map)."""
    data = _square_map(momentum_map)
    n = data.shape[0]
    return _like(momentum_map, library.take_malloced_map(
        library.function("flip_over_x")(n, data), n))


def flip_over_y(momentum_map: SquareMap) -> SquareMap:
    """The map with every row reversed, i.e. ky mirrored (a new map)."""
    data = _square_map(momentum_map)
    n = data.shape[0]
    return _like(momentum_map, library.take_malloced_map(
        library.function("flip_over_y")(n, data), n))


def symmetrisation(momentum_map: SquareMap, symmetry: Symmetry) -> SquareMap:
    """The map averaged over a rotation-and-mirror group (None, 2, 3, 4); a new map."""
    data = _square_map(momentum_map)
    library.function("symmetrisation")(data.shape[0], symmetry_mode(symmetry), data)
    return _like(momentum_map, data, symmetry=symmetry)


def normalisation(momentum_map: SquareMap) -> SquareMap:
    """The map scaled so that its maximum is 255 (a new map)."""
    data = _square_map(momentum_map)
    library.function("normalisation")(data.shape[0], data)
    return _like(momentum_map, data)
