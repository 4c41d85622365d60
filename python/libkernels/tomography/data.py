"""Measured maps as Fourier magnitudes on the box: kinetic energies, gridding, symmetry.

One map samples |psi~|^2 on the hemisphere |k| = sqrt(2 E_kin): its pixel at
k_par gives the magnitude at (k_par, kz) with kz = sqrt(2 E_kin - k_par^2).  In
2D the magnitudes are taken as those of a function of k_par alone (the
hemisphere projected onto the plane); in 3D each map's pixels are placed at
their kz, and maps at many kinetic energies fill one k volume.

Gridding: the finite pixels inside the hemisphere are binned into the box's
cells (nearest cell per axis) and their intensities averaged; the magnitude is
the square root of the mean (negative means, from noise, count as 0).  In 2D a
cell counts as measured when at least half of the pixels that would fall into
it are there (cells at the map's edge or beside NaN pixels are left free); in
3D when any pixel falls into it.  Cells without data stay free: NaN pixels,
the region outside the hemisphere, outside the map's window and between the
hemispheres.

Reality: the transform of a real function has |F(-k)| = |F(k)|.  Each measured
cell is averaged with its mirror cell -k when that is measured too, and fills
it when it is not (a NaN wedge is filled from the opposite side; in 3D the
lower hemispheres kz < 0 come from the upper ones).
"""

from __future__ import annotations

import math
import os
from dataclasses import dataclass
from typing import Any, List, Mapping, Optional, Sequence, Tuple

import numpy as np

from ..core.energies import Energies
from ..core.errors import InputError, MeasuredDataError
from ..core.grids import MomentumMap
from ..core.measured import MeasuredMap
from ..core.units import bohr_momentum_to, energy_to_hartree, hartree_to, momentum_to_bohr
from ..core.validation import finite
from ..kspace.measured import file_contents, from_contents, load_measured
from .model import PixelModel, pixel_model
from .sampling import FourierBox, mirrored

# 2D: a cell is measured when at least this share of the pixels that a full
# cell holds are finite and inside the hemisphere.
MEASURED_SHARE = 0.5
ENERGY_AXES = ("photon_energy", "kinetic_energy")


def hemisphere_radius(kinetic_energy_ev: float) -> float:
    """|k| = sqrt(2 E_kin) in 1/Å for a kinetic energy in eV."""
    return float(bohr_momentum_to(math.sqrt(2.0 * energy_to_hartree(kinetic_energy_ev, "eV")),
                                  "1/angstrom"))


@dataclass
class Series:
    """The maps of one reconstruction with their kinetic energies (eV)."""

    maps: List[MeasuredMap]
    kinetic_energy: List[float]

    @property
    def three_d(self) -> bool:
        return len(self.maps) > 1

    @property
    def source(self) -> str:
        names = [m.source for m in self.maps]
        return names[0] if len(names) == 1 else f"{len(names)} maps ({names[0]}, ...)"

    def inside(self, index: int) -> np.ndarray:
        """Pixels of map `index` inside its hemisphere."""
        m = self.maps[index]
        radius = hemisphere_radius(self.kinetic_energy[index])
        return np.hypot(m.kx[:, None], m.ky[None, :]) < radius

    def valid(self, index: int) -> np.ndarray:
        """Finite pixels inside the hemisphere of map `index`."""
        return np.isfinite(self.maps[index].intensity) & self.inside(index)

    def missing_share(self) -> float:
        """The share of the maps' pixels inside their hemispheres that are NaN (the
        constraints alone fill them)."""
        inside = sum(int(self.inside(i).sum()) for i in range(len(self.maps)))
        valid = sum(int(self.valid(i).sum()) for i in range(len(self.maps)))
        return (inside - valid) / inside if inside else 0.0

    def k_cover(self) -> List[float]:
        """The largest |k| (1/Å) with data along x, y (and z in 3D)."""
        cover = [0.0, 0.0, 0.0]
        for i, m in enumerate(self.maps):
            valid = self.valid(i)
            rows, cols = valid.any(axis=1), valid.any(axis=0)
            cover[0] = max(cover[0], float(np.abs(m.kx[rows]).max()))
            cover[1] = max(cover[1], float(np.abs(m.ky[cols]).max()))
            cover[2] = max(cover[2], hemisphere_radius(self.kinetic_energy[i]))
        return cover[:3 if self.three_d else 2]

    def data_step(self) -> List[float]:
        """The coarsest k step (1/Å) of the maps along x and y (0 along z: no limit)."""
        steps = [max(m.kx_step for m in self.maps), max(m.ky_step for m in self.maps)]
        return steps + ([0.0] if self.three_d else [])


def _energy_list(value: Any, name: str, count: int) -> Optional[List[float]]:
    if value is None:
        return None
    values = np.atleast_1d(np.asarray(value, dtype=object)).tolist()
    if len(values) == 1 and count > 1:
        if name == "kinetic_energy":
            raise InputError(name, f"is one value for {count} maps; a reconstruction in 3D "
                                   "needs the maps at different kinetic energies, one each")
        values = values * count
    if len(values) != count:
        raise InputError(name, f"has {len(values)} values for {count} maps; give one per map")
    return [finite(v, name, "eV") for v in values]


def load_series(measured: Any, kinetic_energy: Any = None, photon_energy: Any = None,
                work_function: Optional[float] = None,
                binding_energy: Optional[float] = None) -> Series:
    """The maps and their kinetic energies (eV) from one map, a list of maps, or a
    series with a photon_energy or kinetic_energy axis (a file or an xarray
    object whose leading dimension is so named).  Maps computed by the package
    (MomentumMap) bring their kinetic energy.

    Each map's kinetic energy is given (kinetic_energy, one per map), or is
    photon_energy - work_function - binding_energy (photon_energy one per map;
    the binding energy given, or the map's own, else 0); what is not given is the
    map's file's (core/energies.py).
    """
    maps, axis_name, axis_values = _maps_of(measured)
    if axis_name == "kinetic_energy" and kinetic_energy is None and photon_energy is None:
        kinetic_energy = axis_values
    if axis_name == "photon_energy" and photon_energy is None and kinetic_energy is None:
        photon_energy = axis_values
    count = len(maps)
    if kinetic_energy is not None and photon_energy is not None:
        raise InputError("kinetic_energy", "and the photon energy exclude each other",
                         "give {kinetic_energy}, or {photon_energy} with {work_function}, "
                         "not both")
    kinetics = _energy_list(kinetic_energy, "kinetic_energy", count)
    photons = _energy_list(photon_energy, "photon_energy", count)
    energies = []
    for i, m in enumerate(maps):
        given = Energies(photon_energy=None if photons is None else photons[i],
                         work_function=work_function, binding_energy=binding_energy,
                         kinetic_energy=None if kinetics is None else kinetics[i])
        own = m.binding_energy if m.binding_energy is not None and \
            np.ndim(m.binding_energy) == 0 else None
        merged = given.over(Energies.stated({**m.energies, "binding_energy": own}))
        if merged.kinetic_energy is None and merged.photon_energy is None:
            raise InputError("kinetic_energy", "is missing: the size of the hemisphere each "
                                               "map lies on depends on it",
                             "give {kinetic_energy}, or {photon_energy} and {work_function}")
        if merged.kinetic_energy is None and merged.work_function is None:
            raise InputError("work_function", "is missing: the photon energy needs it (E_kin "
                                              "= photon energy - work function - binding "
                                              "energy)")
        # without a binding energy the map is taken at the Fermi level
        energies.append(float(merged.kinetic(1, [0.0], "the map")[0]))
    for i, energy in enumerate(energies):
        if not energy > 0:
            where = f"of map {i} is" if count > 1 else "is"
            raise InputError("kinetic_energy", f"{where} {energy:g} eV; it must be positive")
    if count > 1 and len(set(round(e, 9) for e in energies)) < count:
        raise InputError("kinetic_energy", "repeats a value: each map of a 3D series must "
                                           "lie on its own hemisphere")
    series = Series(maps, energies)
    for i in range(count):
        if not series.valid(i).any():
            raise MeasuredDataError(f"{maps[i].source}: no finite pixel inside the "
                                    f"hemisphere |k| < {hemisphere_radius(energies[i]):.3g} "
                                    f"1/Å of {energies[i]:g} eV")
    return series


def _maps_of(measured: Any) -> Tuple[List[MeasuredMap], Optional[str], Any]:
    """(maps, name of the series axis, its values) from what reconstruct was given;
    maps computed by the package bring their kinetic energy along."""
    if isinstance(measured, (list, tuple)) and measured and not _is_array_tuple(measured):
        maps: List[MeasuredMap] = []
        energies: List[Any] = []
        for item in measured:
            found, name, values = _maps_of(item)
            maps.extend(found)
            energies.extend(values if name == "kinetic_energy" else [None] * len(found))
        if all(e is not None for e in energies):
            return maps, "kinetic_energy", energies
        return maps, None, None
    if isinstance(measured, MomentumMap):
        return _computed(measured)
    if isinstance(measured, (str, os.PathLike)) and os.path.exists(measured):
        path = os.fspath(measured)  # read once: a series, else one map (or a stack)
        with file_contents(path) as (contents, layout):
            series = None if layout.OWN_DIMS else _series_axis(contents, path)
            if series is not None:
                return series
            loaded = from_contents(contents, layout, path)
    else:
        series = _series_axis(measured, "DataArray")
        if series is not None:
            return series
        loaded = load_measured(measured)
    if loaded.is_stack:
        raise MeasuredDataError(f"{loaded.source}: a stack over binding energy holds "
                                "different orbitals at one photon energy; a reconstruction "
                                "needs one orbital's maps at many photon energies: give a "
                                "list of maps or a series with a photon_energy or "
                                "kinetic_energy axis")
    return [loaded], None, None


def _computed(computed: MomentumMap) -> Tuple[List[MeasuredMap], Optional[str], Any]:
    """A map computed by the package, as a measured one; its kinetic energy when all
    its orbitals share one."""
    to_angstrom = float(momentum_to_bohr(1.0, computed.unit)
                        / momentum_to_bohr(1.0, "1/angstrom"))
    loaded = load_measured(np.asarray(computed.data, dtype=np.float64),
                           kx=computed.kx * to_angstrom, ky=computed.ky * to_angstrom,
                           name="momentum map")
    hartree = computed.parameters.get("e_kin_hartree") or []
    if len(set(hartree)) == 1:
        return [loaded], "kinetic_energy", [float(hartree_to(hartree[0], "eV"))]
    return [loaded], None, None


def _is_array_tuple(value: Sequence) -> bool:
    """(intensity, kx, ky) as load_measured takes it, not a list of maps."""
    return (isinstance(value, tuple) and len(value) in (3, 4)
            and all(isinstance(v, np.ndarray) or np.ndim(v) > 0 for v in value[:3])
            and np.ndim(value[0]) == 2)


# maps, the name of the axis they were split along, its values
SplitSeries = Tuple[List[MeasuredMap], str, np.ndarray]


def _series_axis(measured: Any, label: str) -> Optional[SplitSeries]:
    """A series with a photon_energy or kinetic_energy leading axis (the arrays of an
    .npz or another mapping, or an xarray object), split into maps; None for anything
    else."""
    if type(measured).__module__.startswith("xarray"):
        value = measured
        if hasattr(value, "data_vars"):
            value = value[list(value.data_vars)[0]] if value.data_vars else value
        if hasattr(value, "dims") and any(n in value.dims for n in ENERGY_AXES):
            return _from_xarray(value, label)
    elif isinstance(measured, Mapping) and "intensity" in measured:
        names = [n for n in ENERGY_AXES if n in measured and np.ndim(measured[n]) == 1]
        if names:  # a 0-d energy is the one map's, stated
            return _split(measured["intensity"], measured.get("kx"), measured.get("ky"),
                          names[0], measured[names[0]], label)
    return None


def _from_xarray(value: Any, label: str) -> SplitSeries:
    name = next(n for n in ENERGY_AXES if n in value.dims)
    if name not in value.coords:
        raise MeasuredDataError(f"{label}: dimension {name!r} has no coordinate values")
    for dim in ("kx", "ky"):
        if dim not in value.dims or dim not in value.coords:
            raise MeasuredDataError(f"{label}: missing axis {dim!r} with coordinate values")
    value = value.transpose(name, "kx", "ky")
    return _split(np.asarray(value.values), np.asarray(value.coords["kx"].values),
                  np.asarray(value.coords["ky"].values), name,
                  np.asarray(value.coords[name].values), label)


def _split(intensity: Any, kx: Any, ky: Any, name: str, energies: Any,
           label: str) -> SplitSeries:
    if kx is None or ky is None:
        raise MeasuredDataError(f"{label}: missing array {'kx' if kx is None else 'ky'!r}")
    intensity = np.asarray(intensity)
    energies = np.atleast_1d(np.asarray(energies, dtype=np.float64))
    if intensity.ndim != 3 or intensity.shape[0] != energies.size:
        raise MeasuredDataError(f"{label}: a series is intensity[e, i, j] with one {name} "
                                f"per map; got shape {intensity.shape} for {energies.size} "
                                "energies")
    maps = [load_measured(intensity[e], kx=kx, ky=ky, name=f"{label}[{name}={energies[e]:g}]")
            for e in range(energies.size)]
    return maps, name, energies


@dataclass
class FourierData:
    """Magnitudes on the box (full arrays, FFT order): `amplitude` where `measured`,
    `band` the k region the maps cover (with its mirror); in 3D `model`, each
    pixel at its own k (model.py); `asymmetry` the measured cells' relative
    difference between k and -k before they were averaged (2D; None in 3D, where
    -k is not measured)."""

    amplitude: np.ndarray
    measured: np.ndarray
    band: np.ndarray
    model: Optional[PixelModel] = None
    asymmetry: Optional[float] = None


def _pixels(series: Series, index: int, ndim: int) -> Tuple[np.ndarray, np.ndarray]:
    """k (n, ndim) in 1/Å and intensities of map `index`'s valid pixels; in 3D each
    at its kz on the hemisphere."""
    m = series.maps[index]
    valid = series.valid(index)
    kx = np.broadcast_to(m.kx[:, None], valid.shape)[valid]
    ky = np.broadcast_to(m.ky[None, :], valid.shape)[valid]
    coordinates = [kx, ky]
    if ndim == 3:
        radius = hemisphere_radius(series.kinetic_energy[index])
        coordinates.append(np.sqrt(np.clip(radius ** 2 - kx ** 2 - ky ** 2, 0.0, None)))
    return np.stack(coordinates, axis=-1), m.intensity[valid]


def grid_series(series: Series, box: FourierBox, fit_scales: bool = False) -> FourierData:
    """The maps' intensities averaged into the box's cells, as magnitudes; in 3D
    with the pixel model (its scales fitted when `fit_scales`)."""
    shape = box.shape
    sums = np.zeros(int(np.prod(shape)))
    hits = np.zeros(int(np.prod(shape)))
    full_cell = 0.0
    pixels = []
    for i, m in enumerate(series.maps):
        k, values = _pixels(series, i, box.ndim)
        pixels.append((k, values))
        flat = np.zeros(len(k), dtype=np.int64)
        inside = np.ones(len(k), dtype=bool)
        for axis, (n, step) in enumerate(zip(shape, box.k_step)):
            index = np.rint(k[:, axis] / step).astype(np.int64)
            inside &= np.abs(index) <= n // 2 - 1
            flat = flat * n + index % n
        sums += np.bincount(flat[inside], weights=values[inside], minlength=sums.size)
        hits += np.bincount(flat[inside], minlength=hits.size)
        full_cell = max(full_cell, box.k_step[0] / m.kx_step * box.k_step[1] / m.ky_step)
    total = sums.reshape(shape)
    counts = hits.reshape(shape)
    threshold = max(1.0, MEASURED_SHARE * full_cell) if box.ndim == 2 else 1.0
    measured = counts >= threshold
    mean = np.where(measured, total / np.maximum(counts, 1.0), 0.0)
    amplitude = np.sqrt(np.clip(mean, 0.0, None))
    model = None
    asymmetry = None
    if box.ndim == 3:
        model = pixel_model(pixels, box, fit_scales)
        measured = (model.counts > 0).reshape(shape)
        amplitude = np.sqrt(np.clip(model.data(np.ones((1, model.maps)))[0], 0.0, None)
                            ).reshape(shape) * measured
    else:
        asymmetry = _asymmetry(amplitude, measured)
        amplitude, measured = symmetrised(amplitude, measured)
    if not measured.any():
        raise MeasuredDataError(f"{series.source}: no cell of the {'x'.join(map(str, shape))} "
                                "box holds enough pixels; the map covers too little of k")
    if not np.any(amplitude[measured] > 0):
        raise MeasuredDataError(f"{series.source}: the map holds no intensity above 0")
    return FourierData(amplitude, measured, covered_band(series, box), model, asymmetry)


def _asymmetry(amplitude: np.ndarray, measured: np.ndarray) -> Optional[float]:
    """|| A(k) - A(-k) || / || A || over the cells measured on both sides (None
    when there are none): 0 for the transform of a real function without noise."""
    both = measured & mirrored(measured)
    if not both.any():
        return None
    difference = amplitude - mirrored(amplitude)
    norm = float(np.sum(amplitude[both] ** 2))
    return float(np.sqrt(np.sum(difference[both] ** 2) / norm)) if norm > 0 else None


def symmetrised(amplitude: np.ndarray, measured: np.ndarray) -> Tuple[np.ndarray, np.ndarray]:
    """|F(k)| = |F(-k)|: each measured cell averaged with its measured mirror, or
    copied into the mirror cell when that has no data."""
    mirror_amplitude, mirror_measured = mirrored(amplitude), mirrored(measured)
    weight = measured.astype(np.float64) + mirror_measured
    both = np.where(weight > 0, (amplitude * measured + mirror_amplitude * mirror_measured)
                    / np.maximum(weight, 1.0), 0.0)
    return both, weight > 0


def covered_band(series: Series, box: FourierBox) -> np.ndarray:
    """The k region the maps cover, with its mirror: in 2D the disc of the
    hemisphere within the map's window; in 3D the ball of the largest hemisphere
    within the maps' windows.  NaN pixels inside count as covered: the
    reconstruction fills them."""
    grid = box.k_grid()
    kx, ky = grid[0], grid[1]
    window = np.zeros(np.broadcast_shapes(kx.shape, ky.shape), dtype=bool)
    radius = max(hemisphere_radius(e) for e in series.kinetic_energy)
    for m in series.maps:
        window |= ((kx >= m.kx[0]) & (kx <= m.kx[-1]) & (ky >= m.ky[0]) & (ky <= m.ky[-1]))
    k_squared = kx ** 2 + ky ** 2
    if box.ndim == 3:
        k_squared = k_squared + grid[2] ** 2
    band = np.broadcast_to(window & (k_squared < radius ** 2), box.shape).copy()
    return band | mirrored(band)
