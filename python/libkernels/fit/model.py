"""Orbital momentum maps at the pixels of a measured map.

The library computes square maps on the lattice k = k_min + i * k_step (the same
in kx and ky).  A measured map's pixels usually lie on one such lattice: equal
steps in kx and ky, and offsets a whole number of steps apart.  Then the maps
are computed on the smallest square of that lattice holding the pixels and the
pixels are taken out of it: exact, no interpolation.  Otherwise the maps are
computed on a square at the finer of the two steps and interpolated bilinearly
to the pixels (model_grid "interpolated").

Averaging over the domains of the molecule on the surface (rotations about
k = 0, with or without mirror images) turns and mirrors the map about the
centre of the square, so with domains the square is centred on k = 0 whatever
the measured grid is, and it is wide enough that every turned pixel's source
lies inside it (the map is zero beyond the photoemission disc, so the disc
bounds what is needed).  The crop comes after the averaging.

A map converted from angles states how its pixels were made (kspace/
footprint.py): then a pixel's model is what the conversion makes of the model
map, the map at the momenta of the measured pixels around it (cubic
convolution of the square) interpolated as the counts were (model_grid
"resampled"), and the square reaches that far beyond the pixels.

When the instrument's blur or k offset is modelled, the square reaches
`margin` (1/Å) beyond the pixels: what a pixel sees of the map comes from that
far around it.  When the populations of the domains are fitted, each domain's
map is kept apart (`squares`), the light's factor already applied, and the fit
weighs them.

In the IAC final state (final_state "iac") the light is in the amplitude, so a
domain is the molecule turned (and mirrored) with the light fixed, computed as
such by the IAC call (final_state/map_call.py), never a turned picture: the
square needs no centring.  Partial waves fitted (`ModelSettings.partial_waves`,
the channels "C 2", ... whose amplitude and phase are fitted) come from the
channels' amplitudes at each orientation (a PartialWaveBasis, kept for the last
few orientations), so that a change of the partial waves costs one small matrix
product.
"""

from __future__ import annotations

import math
from collections import OrderedDict
from dataclasses import dataclass, replace
from typing import TYPE_CHECKING, Any, Dict, List, Optional, Sequence, Tuple

import numpy as np

from ..core.errors import InputError, MeasuredDataError
from ..core.grids import MomentumMap
from ..core.map_operations import flip_over_y, polarisation_factor, rotation
from ..core.map_sum_call import MapSumCall, symmetry_mode
from ..core.memory import check, float32_bytes
from ..core.units import BOHR_IN_ANGSTROM, HARTREE_IN_EV
from ..core.memory import MemorySize
from ..core.validation import positive
from ..final_state.iac import PartialWaveBasis, domain_matrices
from ..final_state.map_call import IACMapSumCall
from ..requests.maps import MapRequest

if TYPE_CHECKING:
    from concurrent.futures import Executor
    from numpy.typing import ArrayLike, NDArray

    from ..core.molecule import Molecule
    from ..core.types import (BoolArray, Float32Array, Float64Array, MemorySize, OrbitalSelection,
                              OrientationLike, Polarisation, Spin, Symmetry)
    from ..kspace.footprint import Footprint

# Pixels lie on one square lattice when every measured coordinate is within
# this share of the largest |k| of a lattice point (float32 axes pass).
LATTICE_TOLERANCE = 1e-6
# Extra pixels around the square when domains are averaged: the library's map
# rotation sets pixels fed from the last row or column to 0.
DOMAIN_MARGIN = 2
# Model maps smaller than this need no look at the free memory (and so no file
# read: the page of the explorer fits without touching the file system).
ALWAYS_ALLOWED = 64 * 2**20
# Lattice steps the cubic convolution of a footprint reaches beyond a point.
CUBIC_REACH = 2
# Orientations whose squares are kept: a Jacobian's steps in the instrument's
# parameters come back to the orientation of its steps in the angles.
KEPT_ORIENTATIONS = 4
# Orientations whose IAC partial-wave bases are kept (each holds every channel's
# complex amplitudes at every pixel, for every domain: the largest arrays of a fit).
KEPT_BASES = 2


class ModelGrid:
    """The square the maps are computed on and how the used pixels are read from it.

    k_min, k_step in 1/Å; n the side.  Exact grids read pixel p at flat index
    index[p]; interpolated grids blend the four flat indices index[p, :] with
    weights[p, :].
    """

    index: NDArray[np.intp]  # (pixels,) exact, (pixels, 4) interpolated
    weights: Optional[Float64Array]  # (pixels, 4) interpolated, None exact
    operator: Any = None  # scipy.sparse (pixels, n * n): the conversion's footprint

    def __init__(self, kx: Float64Array, ky: Float64Array, used: BoolArray, *,
                 centred: bool = False, quarter_turns_only: bool = True,
                 disc_radius: float = math.inf, margin: float = 0.0) -> None:
        rows = np.flatnonzero(used.any(axis=1))
        cols = np.flatnonzero(used.any(axis=0))
        if rows.size == 0:
            raise MeasuredDataError("no pixel is left to fit")
        xs, ys = kx[rows[0]:rows[-1] + 1], ky[cols[0]:cols[-1] + 1]
        dx = (kx[-1] - kx[0]) / (kx.size - 1)
        dy = (ky[-1] - ky[0]) / (ky.size - 1)
        bounds = np.array([xs[0], xs[-1], ys[0], ys[-1]])
        tolerance = LATTICE_TOLERANCE * max(np.abs(bounds).max(), dx, dy)

        half_width = np.abs(bounds).max() + margin
        if centred and not quarter_turns_only:
            # Turned by other angles, a pixel at radius r reads the map anywhere on
            # the circle of radius r: the square must hold that circle up to the disc.
            i, j = np.nonzero(used)
            r_max = float(np.sqrt(kx[i] ** 2 + ky[j] ** 2).max())
            half_width = max(half_width, min(r_max, disc_radius))

        def on_lattice(origin: float, step: float) -> bool:
            return all(np.max(np.abs(a - (origin + np.round((a - origin) / step) * step)))
                       <= tolerance for a in (xs, ys))

        self.exact = False
        if centred:
            for origin in (0.0, dx / 2):
                if on_lattice(origin, dx):
                    self.exact = True
                    self.k_step = dx
                    half = origin != 0.0
                    break
            if not self.exact:
                self.k_step = min(dx, dy)
                half = False
            step = self.k_step
            m = math.ceil(half_width / step - (0.5 if half else 0.0) - 1e-9) + DOMAIN_MARGIN
            self.k_min = -(m + (0.5 if half else 0.0)) * step
            self.n = 2 * m + (2 if half else 1)
        else:
            origin = min(xs[0], ys[0])
            self.exact = on_lattice(origin, dx)
            self.k_step = dx if self.exact else min(dx, dy)
            extra = math.ceil(margin / self.k_step - 1e-9) * self.k_step
            self.k_min = origin - extra
            top = max(xs[-1], ys[-1]) + extra
            self.n = int(round((top - self.k_min) / self.k_step)) + 1 if self.exact else \
                math.ceil((top - self.k_min) / self.k_step - 1e-9) + 1
            self.n = max(self.n, 2)

        i, j = np.nonzero(used)
        fx = (kx[i] - self.k_min) / self.k_step
        fy = (ky[j] - self.k_min) / self.k_step
        if self.exact:
            self.index = np.round(fx).astype(np.intp) * self.n + np.round(fy).astype(np.intp)
            self.weights = None
        else:
            i0 = np.clip(np.floor(fx).astype(np.intp), 0, self.n - 2)
            j0 = np.clip(np.floor(fy).astype(np.intp), 0, self.n - 2)
            tx, ty = fx - i0, fy - j0
            self.index = np.stack([i0 * self.n + j0, i0 * self.n + j0 + 1,
                                   (i0 + 1) * self.n + j0, (i0 + 1) * self.n + j0 + 1], axis=1)
            self.weights = np.stack([(1 - tx) * (1 - ty), (1 - tx) * ty, tx * (1 - ty),
                                     tx * ty], axis=1)

    @property
    def kind(self) -> str:
        if self.operator is not None:
            return "resampled"
        return "exact" if self.exact else "interpolated"

    def take(self, square: NDArray[np.floating[Any]]) -> Float64Array:
        """The used pixels' values (float64) from a square map computed on this grid."""
        flat = square.reshape(-1)
        if self.operator is not None:
            return np.asarray(self.operator @ flat.astype(np.float64))
        if self.weights is None:  # exact
            return flat[self.index].astype(np.float64)
        return np.einsum("pk,pk->p", flat[self.index].astype(np.float64), self.weights)

    def take_shifted(self, square: Float64Array, shift: Tuple[float, float],
                     kx: Float64Array, ky: Float64Array) -> Float64Array:
        """The used pixels' values of the square seen at k - shift (1/Å), bilinearly."""
        return _bilinear(square, (kx - shift[0] - self.k_min) / self.k_step,
                         (ky - shift[1] - self.k_min) / self.k_step)


def _bilinear(square: Float64Array, fx: Float64Array, fy: Float64Array) -> Float64Array:
    n = square.shape[0]
    i0 = np.clip(np.floor(fx).astype(np.intp), 0, n - 2)
    j0 = np.clip(np.floor(fy).astype(np.intp), 0, n - 2)
    tx, ty = fx - i0, fy - j0
    return ((1 - tx) * ((1 - ty) * square[i0, j0] + ty * square[i0, j0 + 1])
            + tx * ((1 - ty) * square[i0 + 1, j0] + ty * square[i0 + 1, j0 + 1]))


@dataclass(frozen=True)
class ModelSettings:
    """How a fit's model maps are made: the orbitals' map request (`maps`: orbitals,
    spin, kinetic energy, domains and light), whether domains come with their mirror
    images, the executor of the orbitals' maps, the memory guard's limit, whether
    the domains' populations are fitted, and the margin of the model grid (1/Å)."""

    maps: MapRequest
    mirrors: bool = True
    executor: Optional[Executor] = None
    max_memory: MemorySize = None
    populations: bool = False
    margin: float = 0.0
    partial_waves: Tuple[str, ...] = ()  # IAC channels whose amplitude and phase are fitted


class OrbitalMaps:
    """D[map_i] * P of each orbital at the used pixels of a measured map, for any
    orientation; all orbitals at the one kinetic energy of the measured slice.

    symmetry: None or n (2, 3, 4): average over n-fold domains about k = 0, with
    their mirror images when `mirrors` (the library's symmetrisation) or without.
    populations: keep each domain's map apart (`squares`): domain r is the map
    turned by r * 360/n degrees, with its mirror image over the kx axis at an
    equal share when `mirrors`.  margin: 1/Å of square beyond the pixels.
    """

    def __init__(self, molecule: Molecule, model: ModelSettings, kx: Float64Array,
                 ky: Float64Array, used: BoolArray,
                 footprint: Optional[Footprint] = None) -> None:
        maps = model.maps
        self.kinetic_energy = positive(maps.kinetic_energy, "kinetic_energy", "eV")
        fold = {-1: 1, 0: 4, 1: 2, 2: 3}[symmetry_mode(maps.symmetry)]
        self.fold = fold
        self.mirrors = bool(model.mirrors)
        disc = math.sqrt(2 * self.kinetic_energy / HARTREE_IN_EV) / BOHR_IN_ANGSTROM
        self.disc_radius = disc  # 1/Å: the maps are 0 beyond it
        margin = model.margin
        if footprint is not None:  # the measured pixels, and the cubic's reach beyond them
            margin += footprint.reach() + CUBIC_REACH * abs(float(kx[1] - kx[0]))
        self.iac = maps.final_state == "iac"
        self.grid = ModelGrid(kx, ky, used, centred=fold > 1 and not self.iac,
                              quarter_turns_only=fold in (1, 2, 4), disc_radius=disc,
                              margin=margin)
        if footprint is not None:
            grid = self.grid
            grid.operator = footprint.operator(kx, ky, used, grid.k_min, grid.k_step, grid.n,
                                               model.max_memory)
        self.populations = model.populations and fold > 1
        # the IAC call averages its domains itself, with or without mirrors
        self.own_rotations = fold > 1 and (not model.mirrors or self.populations) and \
            not self.iac
        # Maps alive per orbital in flight: the result and the library's scratch,
        # with own rotations also the turned copies and their running sum.
        orbitals = maps.orbitals
        n_orbitals = len([orbitals] if isinstance(orbitals, (str, int, np.integer))
                         else orbitals)
        in_flight = n_orbitals if model.executor is not None else 1
        per_orbital = 2 + (fold + 1 if self.own_rotations else 0) + \
            (2 * len(model.partial_waves) if self.iac else 0)
        n = self.grid.n
        estimate = float32_bytes(n, n) * per_orbital * in_flight
        if model.max_memory is not None or estimate > ALWAYS_ALLOWED:
            check(estimate,
                  f"the model maps ({n} x {n} pixels at a step of {self.grid.k_step:.4g} 1/Å)",
                  "bin the measured map or narrow {k_range}", model.max_memory)
        self.polarisation = maps.polarisation
        self.light = dict(incidence=maps.incidence, azimuth=maps.azimuth, s_share=maps.s_share)
        # on the model's own grid; domains and light applied here when they are its own
        self.call = replace(maps, n=self.grid.n, k_min=self.grid.k_min, k_step=self.grid.k_step,
                            k_unit="1/angstrom", energy_unit="eV",
                            symmetry=None if self.own_rotations else maps.symmetry,
                            polarisation=None if self.own_rotations else maps.polarisation
                            ).call(molecule, mirrors=self.mirrors)
        self.labels = list(self.call.parameters["orbitals"])
        self.n_orbitals = len(self.call.rows)
        self.n_pixels = int(np.count_nonzero(used))
        self.executor = model.executor
        self.max_memory = model.max_memory
        self.evaluations = 0
        self._factor: Optional[Float64Array] = None
        self._kept: OrderedDict[Tuple[float, ...], Float64Array] = OrderedDict()
        self._bases: OrderedDict[Tuple[float, ...], List[PartialWaveBasis]] = OrderedDict()
        self.partial_waves: Tuple[str, ...] = ()
        self.fit_partial_waves(model.partial_waves)

    # ---- the IAC model's partial waves -----------------------------------------------------

    @property
    def channels(self) -> List[str]:
        """The IAC map's channels ("C 2", ...); none for the plane wave."""
        return self.call.channels if isinstance(self.call, IACMapSumCall) else []

    def fit_partial_waves(self, channels: Sequence[str]) -> None:
        """Fit the amplitude and phase of these channels (the others keep their values:
        they are the reference the fitted ones are relative to)."""
        if not channels:
            self.partial_waves = ()
            return
        if not isinstance(self.call, IACMapSumCall):
            raise InputError("fit_partial_waves", "belongs to the IAC final state",
                             "give {final_state} 'iac'")
        known = self.call.channels
        unknown = [c for c in channels if c not in known]
        if unknown:
            raise InputError("fit_partial_waves", f"names {', '.join(unknown)}, not among the "
                                                  f"channels of these orbitals "
                                                  f"({', '.join(known)})")
        self.check_basis_memory()
        self.partial_waves = tuple(channels)
        self._positions = [known.index(c) for c in channels]
        self._values = self.call.channel_values()
        self._kept.clear()

    def check_basis_memory(self) -> None:
        """Refuses (MemoryLimitError) partial-wave bases beyond the memory limit."""
        assert isinstance(self.call, IACMapSumCall)
        domains = (2 if self.mirrors else 1) * self.fold if self.fold > 1 else 1
        light = self.call.call.light
        vectors = 1 if light.per_pixel else len(light.vectors())
        channels = len(self.call.channels)
        # one more basis than kept: the new one is made before the oldest goes
        estimate = self.grid.n ** 2 * self.n_orbitals * channels * 16 * domains * vectors * \
            (KEPT_BASES + 1)
        if self.max_memory is not None or estimate > ALWAYS_ALLOWED:
            check(estimate, f"the partial waves' amplitudes ({channels} channels on "
                            f"{self.grid.n} x {self.grid.n} pixels, {domains} domain(s))",
                  "bin the measured map or narrow {k_range}", self.max_memory)

    def channel_values(self) -> Tuple[Float64Array, Float64Array]:
        """(amplitudes, phases) of every channel as the settings give them."""
        assert isinstance(self.call, IACMapSumCall)
        return self.call.channel_values()

    def mirrored_partial_waves(self, waves: Float64Array,
                               shares: Dict[str, float]) -> Optional[Float64Array]:
        """The partial waves with every channel's total phase (the model's own plus the
        fitted one) reversed about the largest reference channel's: the same map whenever
        the channels' amplitudes are real up to one phase per pixel (a centrosymmetric
        orbital in linearly polarised light), so the data give the phases' cosines only.
        The reference is the reference channel with the largest of `shares`
        (channel_shares).  None when there is no one energy or reference."""
        assert isinstance(self.call, IACMapSumCall)
        own = self.call.channel_phases()
        reference = [c for c in self.channels if c not in self.partial_waves]
        if own is None or not reference:
            return None
        amplitudes, phases = self._values
        strongest = max(reference, key=lambda c: shares.get(c, 0.0))
        r = self.channels.index(strongest)
        anchor = own[r] + phases[r]
        count = len(self.partial_waves)
        mirrored = np.array(waves, dtype=np.float64)
        for k, c in enumerate(self._positions):
            total = own[c] + waves[count + k]
            mirrored[count + k] = 2 * anchor - total - own[c]
        mirrored[count:] = np.angle(np.exp(1j * mirrored[count:]))
        return mirrored

    def partial_wave_start(self) -> Tuple[Float64Array, Float64Array]:
        """(amplitudes, phases) of the fitted channels as the settings give them."""
        amplitudes, phases = self._values
        return amplitudes[self._positions], phases[self._positions]

    def channel_shares(self, orientation: OrientationLike) -> Dict[str, float]:
        """Each channel's share of the model's intensity on the used pixels at
        `orientation` (each channel alone, all orbitals summed): what "auto" fits."""
        if not isinstance(self.call, IACMapSumCall):
            return {}
        self.check_basis_memory()
        basis = self.call.basis(orientation)
        n = len(self.call.channels)
        amplitudes, phases = self.call.channel_values()
        shares = []
        for c in range(n):
            only = np.zeros(n)
            only[c] = amplitudes[c]
            shares.append(float(np.sum(self.grid.take(basis.intensity(only, phases)))))
        total = sum(shares) or 1.0
        return {name: share / total for name, share in zip(self.call.channels, shares)}

    def _domain_sets(self) -> List[Optional[List[Float64Array]]]:
        """The IAC call's domain matrices, as one set (None: the call's own average) or,
        with fitted populations, one set per domain."""
        if not self.populations:
            return [None]
        return [[g for g in domain_matrices(self.fold, self.mirrors)
                 [r * (2 if self.mirrors else 1):(r + 1) * (2 if self.mirrors else 1)]]
                for r in range(self.fold)]

    def _iac_squares(self, orientation: Tuple[float, ...],
                     waves: Optional[Float64Array]) -> Float64Array:
        """(orbitals, domains, n, n) of the IAC call, the fitted channels at `waves`
        (amplitudes, then phases)."""
        call = self.call
        assert isinstance(call, IACMapSumCall)
        sets = self._domain_sets()
        if not self.partial_waves:
            return np.stack([np.stack([call.maps(orientation, [o], domains=d).astype(np.float64)
                                       for d in sets]) for o in range(self.n_orbitals)])
        if orientation not in self._bases:
            self._bases[orientation] = [call.basis(orientation, d) for d in sets]
            while len(self._bases) > KEPT_BASES:
                self._bases.popitem(last=False)
        self._bases.move_to_end(orientation)
        amplitudes, phases = (np.array(v) for v in self._values)
        if waves is not None:
            count = len(self.partial_waves)
            amplitudes[self._positions] = waves[:count]
            phases[self._positions] = waves[count:]
        parts = [basis.orbital_intensities(amplitudes, phases)
                 for basis in self._bases[orientation]]           # [domain](orbitals, n, n)
        return np.stack(parts, axis=1)

    @property
    def n_domains(self) -> int:
        """Maps per orbital in `squares`: one per domain when populations are fitted."""
        return self.fold if self.populations else 1

    def squares(self, orientation: OrientationLike,
                partial_waves: Optional[ArrayLike] = None) -> Float64Array:
        """(n_orbitals, n_domains, n, n) float64: each orbital's map (each domain's
        apart when populations are fitted) on the model grid, the light's factor
        applied; with fitted IAC partial waves, those at `partial_waves` (their
        amplitudes, then their phases; None: the settings' values).  The last few
        orientations (and partial waves) are kept."""
        angles = tuple(float(a) for a in orientation)
        waves = None if partial_waves is None or not self.partial_waves else \
            np.asarray(partial_waves, dtype=np.float64).reshape(-1)
        key = angles + (() if waves is None else tuple(waves.tolist()))
        if key in self._kept:
            self._kept.move_to_end(key)
            return self._kept[key]
        self.evaluations += 1
        if self.iac:
            result = self._iac_squares(angles, waves)
            self._kept[key] = result
            while len(self._kept) > KEPT_ORIENTATIONS:
                self._kept.popitem(last=False)
            return result
        if self.executor is None or self.n_orbitals == 1:
            parts = [self._orbital_square(angles, o) for o in range(self.n_orbitals)]
        else:
            parts = list(self.executor.map(lambda o: self._orbital_square(angles, o),
                                           range(self.n_orbitals)))
        result = np.stack(parts)
        self._kept[key] = result
        while len(self._kept) > KEPT_ORIENTATIONS:
            self._kept.popitem(last=False)
        return result

    def _orbital_square(self, orientation: OrientationLike, o: int) -> Float64Array:
        if not self.populations:
            return self._square(orientation, o).astype(np.float64)[None]
        square = self.call.run(orientation, rows=[o])
        domains = []
        for r in range(self.fold):
            turned = rotation(square, 360.0 * r / self.fold) if r else square
            domain = turned.astype(np.float64)
            if self.mirrors:
                domain = 0.5 * (domain + flip_over_y(turned).astype(np.float64))
            domains.append(domain * self.light_factor())
        return np.stack(domains)

    def light_factor(self) -> Float64Array:
        """The light's polarisation factor on the model grid (1 without light)."""
        if self._factor is None:
            if self.polarisation in (None, "none"):
                self._factor = np.ones((self.grid.n, self.grid.n))
            else:
                ones = np.ones((self.grid.n, self.grid.n), dtype=np.float32)
                self._factor = polarisation_factor(
                    MomentumMap(ones, self.call.k_min, self.call.k_step),
                    polarisation=self.polarisation, kinetic_energy=self.kinetic_energy,
                    incidence=self.light["incidence"], azimuth=self.light["azimuth"],
                    s_share=self.light["s_share"]).data.astype(np.float64)
        return self._factor

    def _orbital(self, orientation: OrientationLike, o: int) -> Float64Array:
        return self.grid.take(self._square(orientation, o))

    def _square(self, orientation: OrientationLike, o: int) -> Float32Array:
        """Orbital o's map on the model grid, domains averaged, the light applied."""
        square = self.call.run(orientation, rows=[o])
        if self.own_rotations:
            turned = [rotation(square, 360.0 * r / self.fold) for r in range(1, self.fold)]
            for t in turned:
                square += t
            square /= np.float32(self.fold)
            if self.polarisation not in (None, "none"):
                square = polarisation_factor(
                    MomentumMap(square, self.call.k_min, self.call.k_step),
                    polarisation=self.polarisation, kinetic_energy=self.kinetic_energy,
                    incidence=self.light["incidence"], azimuth=self.light["azimuth"],
                    s_share=self.light["s_share"]).data
        return square

    def columns(self, orientation: OrientationLike) -> Float64Array:
        """(n_pixels, n_orbitals) float64: each orbital's model map at the used pixels."""
        if self.iac:
            squares = self.squares(orientation).sum(axis=1)
            return np.asfortranarray(np.stack([self.grid.take(q) for q in squares], axis=1))
        self.evaluations += 1
        orientation = tuple(float(a) for a in orientation)
        if self.executor is None or self.n_orbitals == 1:
            parts = [self._orbital(orientation, o) for o in range(self.n_orbitals)]
        else:
            parts = list(self.executor.map(lambda o: self._orbital(orientation, o),
                                           range(self.n_orbitals)))
        columns = np.empty((self.n_pixels, self.n_orbitals), order="F")
        for o, part in enumerate(parts):
            columns[:, o] = part
        return columns
